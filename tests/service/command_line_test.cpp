#include "service/command_line.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/strings.h"

namespace {

struct ParsedToken {
    bool bSwitch;
    std::u16string sText;
    bool operator==(const ParsedToken&) const = default;
};

std::vector<ParsedToken> Tokens(const CCommandLine& line) {
    std::vector<ParsedToken> tokens;
    for (const auto& entry : line.Entries()) {
        tokens.push_back({entry.m_bSwitch, entry.m_sText});
    }
    return tokens;
}

TEST(CCommandLine, TokenizesAndClassifies) {
    struct Case {
        const char16_t* szLine;
        std::vector<ParsedToken> expected;
    };
    const Case cases[] = {
        {u"krellsvc", {{false, u"krellsvc"}}},
        {u"krellsvc -Install", {{false, u"krellsvc"}, {true, u"Install"}}},
        {u"  krellsvc   /t   ", {{false, u"krellsvc"}, {true, u"t"}}},
        // A POSIX program path starts with a switch character but is never a switch.
        {u"/opt/krell/krellsvc /Debug", {{false, u"/opt/krell/krellsvc"}, {true, u"Debug"}}},
        {u"\"C:\\Program Files\\Quillon\\KRELL\\KRELLSvc.exe\" -Remove",
         {{false, u"C:\\Program Files\\Quillon\\KRELL\\KRELLSvc.exe"}, {true, u"Remove"}}},
        {u"svc \"a b c\"tail", {{false, u"svc"}, {false, u"a b c"}, {false, u"tail"}}},
        {u"svc \"quoted\" plain", {{false, u"svc"}, {false, u"quoted"}, {false, u"plain"}}},
        {u"svc \"-t\"", {{false, u"svc"}, {false, u"-t"}}},  // a quoted switch is plain text
        {u"svc --x", {{false, u"svc"}, {true, u"-x"}}},
    };
    for (const auto& c : cases) {
        CCommandLine line;
        ASSERT_TRUE(line.Parse(c.szLine)) << platform::ToUtf8(c.szLine);
        EXPECT_EQ(Tokens(line), c.expected) << platform::ToUtf8(c.szLine);
    }
}

TEST(CCommandLine, RefusesMalformedLines) {
    for (const char16_t* szLine :
         {u"", u"svc -", u"svc /", u"svc \"unbalanced", u"svc \"", u"svc \"a b", u"\"svc -t"}) {
        CCommandLine line;
        EXPECT_FALSE(line.Parse(szLine)) << platform::ToUtf8(szLine);
    }
    CCommandLine line;
    EXPECT_FALSE(line.Parse(nullptr));
}

TEST(CCommandLine, SwitchesMatchAnySpellingWithoutCase) {
    CCommandLine line;
    ASSERT_TRUE(line.Parse(u"svc /TERMINATE -d other"));
    EXPECT_TRUE(line.HasSwitch({u"Terminate", u"T"}));
    EXPECT_TRUE(line.HasSwitch({u"Debug", u"D"}));
    EXPECT_FALSE(line.HasSwitch({u"Install", u"I"}));
    EXPECT_FALSE(line.HasSwitch({u"other"}));  // not a switch token
    EXPECT_FALSE(line.HasSwitch({u"svc"}));
}

}  // namespace
