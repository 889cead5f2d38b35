#include "platform/strings.h"

#include <gtest/gtest.h>

namespace {

using platform::CompareNoCase;
using platform::FromUtf8;
using platform::ToUpper;
using platform::ToUtf8;

TEST(Strings, Utf8RoundTripKeepsEveryPlane) {
    const std::u16string sWide = u"C:\\Programme\\Qu\u00efllon \u65e5\u672c \U0001F600";
    EXPECT_EQ(FromUtf8(ToUtf8(sWide)), sWide);
    EXPECT_EQ(ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(Strings, MalformedInputBecomesReplacementCharacters) {
    struct Case {
        std::string sUtf8;
        std::u16string sExpected;
    };
    const Case cases[] = {
        {"a\xC0\xAF"
         "b",
         u"a\uFFFDb"},                    // overlong '/'
        {"\xED\xA0\x80", u"\uFFFD"},      // encoded surrogate
        {"\xE2\x82", u"\uFFFD"},          // truncated sequence
        {"\xF4\x90\x80\x80", u"\uFFFD"},  // past U+10FFFF
        {"\xFF"
         "x",
         u"\uFFFDx"},  // invalid lead byte
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FromUtf8(c.sUtf8), c.sExpected) << c.sUtf8;
    }
    EXPECT_EQ(ToUtf8(std::u16string(1, u'\xD800') + u"x"), "\xEF\xBF\xBDx");  // lone high surrogate
}

TEST(Strings, UpperCasingIsPerCodeUnitAndLocaleFree) {
    EXPECT_EQ(ToUpper(u"krellsvc.log"), u"KRELLSVC.LOG");
    EXPECT_EQ(ToUpper(u"\u00e4\u00f6\u00fc\u00e9"), u"\u00c4\u00d6\u00dc\u00c9");
    EXPECT_EQ(ToUpper(u"\u00df"), u"\u00df");  // no expansion to "SS"
    EXPECT_EQ(ToUpper(u"\u0430\u03b1"), u"\u0410\u0391");
}

TEST(Strings, CaseInsensitiveComparisonOrdersByUpperCase) {
    EXPECT_EQ(CompareNoCase(u"Software\\Quillon", u"SOFTWARE\\quillon"), 0);
    EXPECT_LT(CompareNoCase(u"abc", u"ABD"), 0);
    EXPECT_GT(CompareNoCase(u"abcd", u"ABC"), 0);
    // '_' (0x5F) sorts after the upper-case letters, as in the platform's upcased comparison.
    EXPECT_LT(CompareNoCase(u"a", u"_"), 0);
}

}  // namespace
