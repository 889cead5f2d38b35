// Front-coded set items: what survives the round trip, the documented bytes, and every way a run can be
// corrupt, named the same by Read and Check.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "srtc/srtc_layout.h"
#include "srtc_test_util.h"

namespace {

using srtctest::LayoutOfBlob;
using srtctest::SetWord;
using srtctest::Word;

// The item data of a blob's one set.
std::vector<std::uint8_t> ItemData(const std::vector<std::uint8_t>& blob) {
    const srtc::Layout l = LayoutOfBlob(blob);
    return {blob.begin() + static_cast<std::ptrdiff_t>(l.qwItemData),
            blob.begin() + static_cast<std::ptrdiff_t>(l.qwPadding)};
}

TEST(SrtcItemCoding, RoundTripsKeepEveryItem) {
    const std::u16string sLong(20000, u'X');  // counts past one and two varint bytes
    const struct {
        const char* szCase;
        std::vector<std::u16string> exact, prefix;
    } cases[] = {
        {"shared prefixes",
         {u"C:\\USERS\\A\\DOC1", u"C:\\USERS\\A\\DOC2", u"C:\\USERS\\A\\DOC20", u"C:\\USERS\\B"},
         {u"C:\\P\\", u"C:\\Q\\R\\", u"C:\\Q\\S\\"}},
        {"nothing shared", {u"A", u"B", u"C"}, {u"X", u"Y"}},
        {"both runs empty", {}, {}},
        {"empty exact run", {}, {u"D:\\"}},
        {"empty prefix run", {u"D:\\F"}, {}},
        {"an empty item first", {u"", u"A"}, {u""}},
        {"units beyond ASCII",
         {u"C:\\\u007F\u0080", u"C:\\\u00C9T\u00C9", u"C:\\\u0416", u"C:\\\u0416\u0416", u"C:\\\uFF21"},
         {u"\u3042\\", u"\uFFFF"}},
        {"lone surrogates", {u"A\xD800", u"A\xD800\xD800", u"A\xDC00", u"\xDFFF"}, {u"\xD800\\"}},
        {"zero units", {std::u16string(u"A\0", 2), std::u16string(u"A\0B", 3)}, {std::u16string(u"\0", 1)}},
        {"long items", {sLong, sLong + u"Y", sLong + u"Y" + sLong}, {sLong + u"\\"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szCase);
        const srtc::RuleSet ruleSet = srtctest::InSetRuleSet(c.exact, c.prefix);
        const std::vector<std::uint8_t> blob = srtc::Write(ruleSet);
        srtc::RuleSet read;
        std::string sError;
        ASSERT_TRUE(srtc::Read(blob, read, sError)) << sError;
        EXPECT_EQ(read, ruleSet);
        EXPECT_TRUE(srtc::Check(blob, sError)) << sError;
        // The compiler's packed path gives the same bytes.
        srtc::RuleSet withoutSets = ruleSet;
        withoutSets.sets.clear();
        const srtc::PackedStringSet packed = srtctest::Packed(ruleSet.sets[0]);
        EXPECT_EQ(srtc::WriteCanonical(withoutSets, std::span(&packed, 1)), blob);
    }
}

// Per item: the units shared with the item before it, the count of new units, the new units; all
// LEB128. The runs lie in set order, exact before prefix.
TEST(SrtcItemCoding, RunsHaveTheDocumentedBytes) {
    const std::vector<std::uint8_t> blob =
        srtc::Write(srtctest::InSetRuleSet({u"AB", u"AC", u"AC\u0100"}, {u"\xD800"}));
    const std::vector<std::uint8_t> exact = {0, 2, 'A', 'B', 1, 1, 'C', 2, 1, 0x80, 0x02};
    const std::vector<std::uint8_t> prefix = {0, 1, 0x80, 0xB0, 0x03};
    std::vector<std::uint8_t> expected = exact;
    expected.insert(expected.end(), prefix.begin(), prefix.end());
    EXPECT_EQ(ItemData(blob), expected);
    const std::size_t nSet = static_cast<std::size_t>(LayoutOfBlob(blob).qwSets);
    EXPECT_EQ(Word(blob, 32), expected.size());
    EXPECT_EQ(Word(blob, nSet + 4), 3u);
    EXPECT_EQ(Word(blob, nSet + 8), exact.size());
    EXPECT_EQ(Word(blob, nSet + 12), 1u);
    EXPECT_EQ(Word(blob, nSet + 16), prefix.size());
}

// A blob whose one set has the given runs, laid out as the writer lays them: the rule set is written
// with an empty set and the runs put in its place.
struct Runs {
    std::vector<std::uint8_t> exact;
    std::uint32_t dwExactCount;
    std::vector<std::uint8_t> prefix;
    std::uint32_t dwPrefixCount;
    std::vector<std::uint8_t> after;  // item data no run claims
    std::uint8_t bPadding = 0;
};

std::vector<std::uint8_t> BlobWith(const Runs& runs) {
    std::vector<std::uint8_t> blob = srtc::Write(srtctest::InSetRuleSet({}, {}));
    const srtc::Layout l = LayoutOfBlob(blob);
    blob.resize(static_cast<std::size_t>(l.qwItemData));
    for (const auto* pData : {&runs.exact, &runs.prefix, &runs.after}) {
        blob.insert(blob.end(), pData->begin(), pData->end());
    }
    SetWord(blob, 32, static_cast<std::uint32_t>(blob.size() - l.qwItemData));
    const std::size_t nSet = static_cast<std::size_t>(l.qwSets);
    SetWord(blob, nSet + 4, runs.dwExactCount);
    SetWord(blob, nSet + 8, static_cast<std::uint32_t>(runs.exact.size()));
    SetWord(blob, nSet + 12, runs.dwPrefixCount);
    SetWord(blob, nSet + 16, static_cast<std::uint32_t>(runs.prefix.size()));
    const std::size_t nEnd = blob.size();
    blob.resize((nEnd + 3) & ~std::size_t{3}, 0);
    if (runs.bPadding != 0) {
        blob.at(nEnd) = runs.bPadding;
    }
    SetWord(blob, 16, static_cast<std::uint32_t>(blob.size()));
    return blob;
}

TEST(SrtcItemCoding, RefusesCorruptRunsByName) {
    const struct {
        const char* szCase;
        Runs runs;
        const char* szError;  // empty: accepted
    } cases[] = {
        {"well-formed", {{0, 2, 'A', 'B', 1, 1, 'C'}, 2, {0, 2, 'X', '\\'}, 1, {}}, ""},
        {"overlong shared prefix",
         {{0x80, 0x00, 1, 'A'}, 1, {}, 0, {}},
         "set 0 exact item 0: shared prefix takes 2 bytes, expected 1 (the shortest form of 0)"},
        {"overlong new unit count",
         {{0, 0x81, 0x80, 0x00, 'A'}, 1, {}, 0, {}},
         "set 0 exact item 0: new unit count takes 3 bytes, expected 1 (the shortest form of 1)"},
        {"overlong unit",
         {{0, 1, 0xC1, 0x80, 0x00}, 1, {}, 0, {}},
         "set 0 exact item 0: new unit 0 takes 3 bytes, expected 1 (the shortest form of 65)"},
        {"overlong unit of two bytes",
         {{0, 2, 'A', 0x80, 0x82, 0x00}, 1, {}, 0, {}},
         "set 0 exact item 0: new unit 1 takes 3 bytes, expected 2 (the shortest form of 256)"},
        {"unit cut off by the run's end",
         {{0, 1, 0xC1}, 1, {}, 0, {}},
         "set 0 exact item 0: new unit 0 runs past the end of the run"},
        {"units of two bytes cut off",
         {{0, 2, 0xC1, 0x01}, 1, {}, 0, {}},
         "set 0 exact item 0: new unit 1 runs past the end of the run"},
        {"new unit count cut off",
         {{0, 0x81}, 1, {}, 0, {}},
         "set 0 exact item 0: new unit count runs past the end of the run"},
        {"second item cut off",
         {{0, 1, 'A', 1}, 2, {}, 0, {}},
         "set 0 exact item 1: new unit count runs past the end of the run"},
        {"varint of six bytes",
         {{0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, 1, {}, 0, {}},
         "set 0 exact item 0: shared prefix takes more than 5 bytes"},
        {"shared prefix beyond 32 bits",
         {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0}, 1, {}, 0, {}},
         "set 0 exact item 0: shared prefix is 34359738367, expected at most 4294967295"},
        {"unit beyond 16 bits",
         {{0, 1, 0x80, 0x80, 0x04}, 1, {}, 0, {}},
         "set 0 exact item 0: new unit 0 is 65536, expected at most 65535"},
        {"shared prefix on the first item",
         {{1, 1, 'A'}, 1, {}, 0, {}},
         "set 0 exact item 0: shared prefix 1 is longer than the item before it (0)"},
        {"shared prefix longer than the item before",
         {{0, 2, 'A', 'B', 3, 1, 'C'}, 2, {}, 0, {}},
         "set 0 exact item 1: shared prefix 3 is longer than the item before it (2)"},
        {"shared prefix not all in common",
         {{0, 3, 'A', 'B', 'C', 1, 2, 'B', 'D'}, 2, {}, 0, {}},
         "set 0 exact item 1: shared prefix is 1, expected 2 (the units it has in common with the item "
         "before "
         "it)"},
        {"new units beyond the run",
         {{0, 5, 'A', 'B'}, 1, {}, 0, {}},
         "set 0 exact item 0: new unit count is 5, expected at most 2 (a byte a unit, in what is left of the "
         "run)"},
        {"zero-length run with an item",
         {{}, 1, {}, 0, {}},
         "set 0: exact item count is 1, expected at most 0 (2 bytes an item at least)"},
        {"more items than the run can hold",
         {{0, 1, 'A'}, 2, {}, 0, {}},
         "set 0: exact item count is 2, expected at most 1 (2 bytes an item at least)"},
        {"bytes after the run's items",
         {{0, 1, 'A', 0}, 1, {}, 0, {}},
         "set 0: exact data length is 4, expected 3 (what its items take)"},
        {"lower case", {{0, 1, 'a'}, 1, {}, 0, {}}, "set 0 exact item 0: not upper-cased"},
        {"lower case after the shared part",
         {{0, 1, 'A', 1, 1, 0xE9, 0x01}, 2, {}, 0, {}},
         "set 0 exact item 1: not upper-cased"},
        {"descending",
         {{0, 1, 'B', 0, 1, 'A'}, 2, {}, 0, {}},
         "set 0 exact item 1: not above the item before it (items are sorted, without duplicates)"},
        {"duplicate",
         {{0, 1, 'A', 1, 0}, 2, {}, 0, {}},
         "set 0 exact item 1: not above the item before it (items are sorted, without duplicates)"},
        {"shorter than the item before",
         {{0, 2, 'A', 'B', 1, 0}, 2, {}, 0, {}},
         "set 0 exact item 1: not above the item before it (items are sorted, without duplicates)"},
        {"covered prefix",
         {{}, 0, {0, 2, 'X', '\\', 2, 1, 'Y'}, 2, {}},
         "set 0 prefix item 1: begins with the prefix item before it"},
        {"prefix run cut off",
         {{}, 0, {0, 2, 'X'}, 1, {}},
         "set 0 prefix item 0: new unit count is 2, expected at most 1 (a byte a unit, in what is left of "
         "the run)"},
        {"item data no run claims",
         {{0, 1, 'A'}, 1, {}, 0, {0}},
         "set table: item data used is 3, expected 4 (the header's count)"},
        {"padding", {{0, 1, 'A'}, 1, {}, 0, {}, 1}, "item data: padding byte is 1, expected 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szCase);
        const std::vector<std::uint8_t> blob = BlobWith(c.runs);
        srtc::RuleSet ruleSet;
        std::string sRead, sCheck = "stale";
        EXPECT_EQ(srtc::Read(blob, ruleSet, sRead), *c.szError == 0);
        EXPECT_EQ(sRead, c.szError);
        EXPECT_EQ(srtc::Check(blob, sCheck), *c.szError == 0);
        EXPECT_EQ(sCheck, sRead);
    }
}

// The run's length in the set table is checked against the item data before any item is decoded.
TEST(SrtcItemCoding, RefusesRunLengthsBeyondTheItemData) {
    std::vector<std::uint8_t> blob = BlobWith({{0, 1, 'A'}, 1, {0, 1, 'B'}, 1, {}});
    const std::size_t nSet = static_cast<std::size_t>(LayoutOfBlob(blob).qwSets);
    for (const bool bPrefix : {false, true}) {
        std::vector<std::uint8_t> bad = blob;
        SetWord(bad, nSet + (bPrefix ? 16 : 8), 0xFFFFFFFF);
        std::string sRead, sCheck;
        srtc::RuleSet ruleSet;
        EXPECT_FALSE(srtc::Read(bad, ruleSet, sRead));
        EXPECT_EQ(sRead, bPrefix ? "set 0: prefix data length is 4294967295, expected at most 3"
                                 : "set 0: exact data length is 4294967295, expected at most 6");
        EXPECT_FALSE(srtc::Check(bad, sCheck));
        EXPECT_EQ(sCheck, sRead);
    }
}

// A few bytes an item can repeat a long shared start: what the items of a blob decode to is bounded,
// so a small hostile blob cannot make the reader allocate the square of its size.
TEST(SrtcItemCoding, RefusesItemsDecodingBeyondTheBound) {
    // A first item of 60,000 units, then items that each keep all of the one before and add one.
    constexpr std::uint32_t FIRST = 60000;
    const auto varint = [](std::vector<std::uint8_t>& bytes, std::uint32_t dw) {
        for (; dw >= 0x80; dw >>= 7) {
            bytes.push_back(static_cast<std::uint8_t>(dw | 0x80));
        }
        bytes.push_back(static_cast<std::uint8_t>(dw));
    };
    Runs runs{{}, 0, {}, 0, {}};
    varint(runs.exact, 0);
    varint(runs.exact, FIRST);
    runs.exact.insert(runs.exact.end(), FIRST, 'A');
    std::uint64_t qwUnits = FIRST;
    std::uint32_t nOver = 0;
    for (std::uint32_t k = 1; nOver == 0; ++k) {
        varint(runs.exact, FIRST + k - 1);
        varint(runs.exact, 1);
        runs.exact.push_back('B');
        qwUnits += FIRST + k;
        nOver = qwUnits > srtc::SRTC_MAX_DECODED_UNITS ? k : 0;
    }
    runs.dwExactCount = nOver + 1;
    const std::vector<std::uint8_t> blob = BlobWith(runs);
    srtc::RuleSet ruleSet;
    std::string sRead, sCheck;
    EXPECT_FALSE(srtc::Read(blob, ruleSet, sRead));
    EXPECT_EQ(sRead, "set 0 exact item " + std::to_string(nOver) + ": the set items decode to more than " +
                         std::to_string(srtc::SRTC_MAX_DECODED_UNITS) + " units");
    EXPECT_FALSE(srtc::Check(blob, sCheck));
    EXPECT_EQ(sCheck, sRead);

    // One item fewer stays within the bound.
    runs.dwExactCount = nOver;
    runs.exact.resize(runs.exact.size() - 5);
    EXPECT_TRUE(srtc::Check(BlobWith(runs), sCheck)) << sCheck;
}

}  // namespace
