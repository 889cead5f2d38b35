// libFuzzer target: arbitrary chunks through the channel's receive path (pbag and cmux decoding,
// reassembly). Corpus: fuzz/corpus/channel.
#include <cstddef>
#include <cstdint>

#include "channel_receive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    krellfuzz::FeedChunks(pData, nSize);
    return 0;
}
