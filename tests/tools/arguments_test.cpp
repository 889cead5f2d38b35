// The one way the tools read numbers and bytes from their command lines.
#include "arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using toolargs::Radix;

TEST(ToolArguments, Numbers) {
    struct Case {
        const char* szText;
        Radix radix;
        bool bOk;
        DWORD dwValue;
    } cases[] = {
        {"0", Radix::Decimal, true, 0},
        {"4294967295", Radix::Decimal, true, 0xFFFFFFFF},
        {"4294967296", Radix::Decimal, false, 0},
        {"99999999999999999999999", Radix::Decimal, false, 0},
        {"010", Radix::Decimal, true, 10},
        {"010", Radix::DecimalOrHex, true, 10},  // never octal
        {"0x10", Radix::Decimal, false, 0},
        {"0x10", Radix::DecimalOrHex, true, 16},
        {"0XfF", Radix::DecimalOrHex, true, 255},
        {"0xFFFFFFFF", Radix::DecimalOrHex, true, 0xFFFFFFFF},
        {"0x100000000", Radix::DecimalOrHex, false, 0},
        {"0x0000000000000001", Radix::DecimalOrHex, true, 1},
        {"0x", Radix::DecimalOrHex, false, 0},
        {"0xg", Radix::DecimalOrHex, false, 0},
        {"ff", Radix::DecimalOrHex, false, 0},
        {"", Radix::DecimalOrHex, false, 0},
        {"-1", Radix::DecimalOrHex, false, 0},
        {"-0", Radix::Decimal, false, 0},
        {"+5", Radix::Decimal, false, 0},
        {" 5", Radix::Decimal, false, 0},
        {"5 ", Radix::Decimal, false, 0},
        {"5x", Radix::Decimal, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szText);
        DWORD dwValue = 12345;
        EXPECT_EQ(toolargs::ParseDword(c.szText, &dwValue, c.radix), c.bOk);
        EXPECT_EQ(dwValue, c.bOk ? c.dwValue : 12345u) << "a refused number leaves the value alone";
    }
}

TEST(ToolArguments, HexBytes) {
    struct Case {
        const char* szText;
        bool bOk;
        std::vector<BYTE> bytes;
    } cases[] = {
        {"", true, {}},     {"00ff7A", true, {0x00, 0xFF, 0x7A}},
        {"abc", false, {}}, {"0x12", false, {}},
        {"1 ", false, {}},  {" 1", false, {}},
        {"-1", false, {}},  {"zz", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szText);
        std::vector<BYTE> bytes = {9};
        EXPECT_EQ(toolargs::ParseHex(c.szText, &bytes), c.bOk);
        EXPECT_EQ(bytes, c.bOk ? c.bytes : std::vector<BYTE>{9});
    }
}

}  // namespace
