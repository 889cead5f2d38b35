// libFuzzer target for what the stand-in driver reads (driver_input.h).
#include "driver_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    krellfuzz::FeedDriverInput(pData, cbData);
    return 0;
}
