#include "platform/strings.h"

#include <gtest/gtest.h>

#include "platform/utf8_units.h"

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

// Valid text decodes as FromUtf8 decodes it, at each sequence length's edges; a sequence cut short
// stops at the byte that breaks it, so the terminator is never passed.
TEST(Strings, CrashTimeDecodingAgreesWithFromUtf8AndStopsAtBrokenSequences) {
    const char* const valid[] = {"A\x7F", "\xC2\x80\xDF\xBF", "\xE0\xA0\x80\xEF\xBF\xBD\xE6\x97\xA5",
                                 "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
                                 "C:\\Qu\xC3\xAFllon\\\xF0\x9F\x98\x80.dmp"};
    for (const char* szText : valid) {
        const auto* p = reinterpret_cast<const unsigned char*>(szText);
        std::u16string sDecoded;
        while (*p != 0) {
            char16_t units[2];
            sDecoded.append(units, static_cast<std::size_t>(platform::NextUtf16Units(&p, units)));
        }
        EXPECT_EQ(ToUtf8(sDecoded), ToUtf8(FromUtf8(szText))) << szText;
    }
    struct Cut {
        const char* szText;
        std::size_t cbFirst;  // how far the first character reaches
    };
    const Cut cuts[] = {{"\xE2\x82", 2},
                        {"\xF0\x9F", 2},
                        {"\xE2\x82"
                         "A",
                         2},
                        {"\xC3", 1}};
    for (const Cut& c : cuts) {
        const auto* pStart = reinterpret_cast<const unsigned char*>(c.szText);
        const unsigned char* p = pStart;
        char16_t units[2];
        EXPECT_EQ(platform::NextUtf16Units(&p, units), 1) << c.szText;
        EXPECT_EQ(static_cast<std::size_t>(p - pStart), c.cbFirst) << c.szText;
    }
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
