#include "service/command_line.h"

#include "diagnostics/user_debug_output.h"
#include "platform/strings.h"

namespace {

constexpr char16_t QUOTE = u'"';

bool IsSwitchCharacter(char16_t ch) {
    return ch == u'/' || ch == u'-';
}

}  // namespace

bool CCommandLine::Parse(const char16_t* szCommandLine) {
    m_Entries.clear();
    if (szCommandLine == nullptr || *szCommandLine == u'\0') {
        TraceOut1(u"CCommandLine::Parse() : szCommandLine == NULL\n");
        return false;
    }
    try {
        std::vector<std::u16string> tokens;
        if (!Tokenize(szCommandLine, &tokens)) {
            TraceOut1(u"CCommandLine::Parse() : Tokenize() == false\n");
            return false;
        }
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            if (!ProcessCommand(tokens[i], i == 0)) {
                TraceOut1(u"CCommandLine::Parse() : ProcessCommand() == false\n");
                return false;
            }
        }
    } catch (const std::bad_alloc&) {
        TraceOut1(u"LCCATCH : %s\n", u"std::bad_alloc");
        return false;
    }
    return true;
}

bool CCommandLine::Tokenize(const std::u16string& sLine, std::vector<std::u16string>* pTokens) {
    std::size_t nPos = 0;
    for (;;) {
        while (nPos < sLine.size() && sLine[nPos] == u' ') {
            ++nPos;
        }
        const std::size_t nEnd = std::min(sLine.find(u' ', nPos), sLine.size());
        std::u16string sToken = sLine.substr(nPos, nEnd - nPos);
        if (sToken.empty()) {
            return true;
        }
        nPos = nEnd;
        const bool bOpenQuote = sToken.front() == QUOTE && (sToken.size() == 1 || sToken.back() != QUOTE);
        if (bOpenQuote) {
            const std::size_t nClose =
                nEnd < sLine.size() ? sLine.find(QUOTE, nEnd + 1) : std::u16string::npos;
            if (nClose == std::u16string::npos) {
                TraceOut1(u"CCommandLine::Tokenize() : sString.Find() == -1\n");
                return false;
            }
            sToken += sLine.substr(nEnd, nClose + 1 - nEnd);
            nPos = nClose + 1;
        }
        pTokens->push_back(std::move(sToken));
    }
}

bool CCommandLine::ProcessCommand(const std::u16string& sToken, bool bProgramPath) {
    if (sToken.front() == QUOTE) {
        const std::size_t nFirst = sToken.find_first_not_of(QUOTE);
        const std::size_t nLast = sToken.find_last_not_of(QUOTE);
        m_Entries.push_back({false,
                             nFirst == std::u16string::npos ? u"" : sToken.substr(nFirst, nLast + 1 - nFirst),
                             sToken});
        return true;
    }
    if (!bProgramPath && IsSwitchCharacter(sToken.front())) {
        if (sToken.size() <= 1) {
            TraceOut1(u"CCommandLine::ProcessCommand() : sToken.GetLength() <= 1\n");
            return false;
        }
        m_Entries.push_back({true, sToken.substr(1), sToken});
        return true;
    }
    m_Entries.push_back({false, sToken, sToken});
    return true;
}

bool CCommandLine::HasSwitch(std::initializer_list<const char16_t*> spellings) const {
    for (const auto& entry : m_Entries) {
        if (!entry.m_bSwitch) {
            continue;
        }
        for (const char16_t* szSpelling : spellings) {
            if (platform::EqualNoCase(entry.m_sText, szSpelling)) {
                return true;
            }
        }
    }
    return false;
}
