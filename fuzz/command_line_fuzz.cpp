// libFuzzer target for what the programs read from their command lines (command_line.h).
#include "command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    krellfuzz::FeedCommandLine(pData, cbData);
    return 0;
}
