// The service's command line: tokens split at spaces, quoted tokens kept whole, switches ("/" or "-")
// recognised by their spelling, case-insensitively.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

class CCommandLine {
public:
    struct CEntry {
        bool m_bSwitch;
        std::u16string m_sText;  // without the switch character and surrounding quotes
        std::u16string m_sRaw;
    };

    bool Parse(const char16_t* szCommandLine);
    // True when a switch token equals one of the spellings.
    bool HasSwitch(std::initializer_list<const char16_t*> spellings) const;
    const std::vector<CEntry>& Entries() const { return m_Entries; }

private:
    static bool Tokenize(const std::u16string& sLine, std::vector<std::u16string>* pTokens);
    bool ProcessCommand(const std::u16string& sToken, bool bProgramPath);

    std::vector<CEntry> m_Entries;
};
