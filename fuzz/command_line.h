// What the command-line fuzz target and its corpus replay feed: the programs read from their command lines:
// the service's command line (split into tokens and switches) and the tools' numbers and bytes. Besides
// crashes it checks what the readers promise: every switch has a name, a number read is the number written,
// bytes read are half as many as the digits.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "arguments.h"
#include "service/command_line.h"

namespace krellfuzz {

inline bool CheckCommandLine(const std::u16string& sLine) {
    CCommandLine commandLine;
    if (!commandLine.Parse(sLine.c_str())) {
        return false;
    }
    for (const CCommandLine::CEntry& entry : commandLine.Entries()) {
        if (entry.m_sRaw.empty() || (entry.m_bSwitch && entry.m_sText.empty())) {
            std::abort();
        }
    }
    commandLine.HasSwitch({u"install", u"i", u"remove", u"u", u"debug", u"d", u"terminate", u"t"});
    return true;
}

inline void CheckNumber(const std::string& sText) {
    for (toolargs::Radix radix : {toolargs::Radix::Decimal, toolargs::Radix::DecimalOrHex}) {
        DWORD dwValue = 0;
        if (!toolargs::ParseDword(sText, &dwValue, radix)) {
            continue;
        }
        DWORD dwAgain = ~dwValue;
        if (!toolargs::ParseDword(std::to_string(dwValue), &dwAgain, radix) || dwAgain != dwValue) {
            std::abort();
        }
    }
    std::vector<BYTE> bytes;
    if (toolargs::ParseHex(sText, &bytes) && bytes.size() * 2 != sText.size()) {
        std::abort();
    }
}

// One input; whether the service's line parsed.
inline bool FeedCommandLine(const std::uint8_t* pData, std::size_t cbData) {
    // The service's line is UTF-16; the tools' arguments are bytes, one argument per line.
    std::u16string sLine;
    for (std::size_t i = 0; i + 1 < cbData; i += 2) {
        const auto ch = static_cast<char16_t>(pData[i] | (pData[i + 1] << 8));
        if (ch == 0) {
            break;
        }
        sLine.push_back(ch);
    }
    const bool bParsed = CheckCommandLine(sLine);
    const std::string sBytes(reinterpret_cast<const char*>(pData), cbData);
    std::size_t nStart = 0;
    while (nStart <= sBytes.size()) {
        const std::size_t nEnd = std::min(sBytes.find('\n', nStart), sBytes.size());
        CheckNumber(sBytes.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    return bParsed;
}

}  // namespace krellfuzz
