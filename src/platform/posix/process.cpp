#include "platform/process.h"

#include <fstream>
#include <iterator>

#include "platform/strings.h"

namespace platform {

std::u16string GetCommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string sRaw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::u16string sLine;
    std::size_t nStart = 0;
    while (nStart < sRaw.size()) {
        std::size_t nEnd = sRaw.find('\0', nStart);
        if (nEnd == std::string::npos) {
            nEnd = sRaw.size();
        }
        const std::u16string sArg = FromUtf8(std::string_view(sRaw).substr(nStart, nEnd - nStart));
        if (!sLine.empty()) {
            sLine += u' ';
        }
        // Quoting as a launcher on the platform does: only arguments with spaces, and never an
        // argument that brings its own quotes.
        const bool bQuote = sArg.empty() || (sArg.find(u' ') != std::u16string::npos &&
                                             sArg.find(u'"') == std::u16string::npos);
        sLine += bQuote ? u"\"" + sArg + u"\"" : sArg;
        nStart = nEnd + 1;
    }
    return sLine;
}

}  // namespace platform

namespace platform {

DWORD SetErrorMode(DWORD) {
    return 0;
}

bool SetProcessWorkingSetSize(std::size_t, std::size_t) {
    return true;
}

}  // namespace platform
