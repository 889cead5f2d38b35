#include "compiler/error_stack.h"

#include <gtest/gtest.h>

namespace {

using Entry = CErrorStack::Entry;

TEST(CErrorStack, StartsAsInformationWithNoEntries) {
    CErrorStack stack;
    EXPECT_EQ(stack.Status(), ERROR_STACK_INFO);
    EXPECT_TRUE(stack.Entries().empty());
}

TEST(CErrorStack, StatusIsTheWorstSeveritySeen) {
    // Every order of adds: the status only ever moves towards 0.
    struct Case {
        std::vector<DWORD> severities;
        DWORD dwStatus;
    };
    const Case cases[] = {
        {{2}, 2},    {{1}, 1},       {{0}, 0},    {{2, 2}, 2},    {{2, 1}, 1},
        {{1, 2}, 1}, {{1, 0, 2}, 0}, {{0, 1}, 0}, {{2, 1, 2}, 1}, {{0, 2, 1}, 0},
    };
    for (const Case& c : cases) {
        CErrorStack stack;
        std::vector<Entry> expected;
        for (DWORD dw : c.severities) {
            const std::u16string sText =
                u"message " + std::u16string(1, static_cast<char16_t>(u'0' + expected.size()));
            if (dw == 0) {
                stack.AddError(sText);
            } else if (dw == 1) {
                stack.AddWarning(sText);
            } else {
                stack.AddInfo(sText);
            }
            expected.push_back({dw, sText});
        }
        EXPECT_EQ(stack.Status(), c.dwStatus);
        EXPECT_EQ(stack.Entries(), expected);
    }
}

TEST(CErrorStack, MergeAppendsInOrderAndFoldsTheOtherStatus) {
    CErrorStack target;
    target.AddInfo(u"first");
    CErrorStack other;
    other.AddWarning(u"second");
    other.AddInfo(u"third");
    target.Merge(other);
    EXPECT_EQ(target.Entries(), (std::vector<Entry>{{2, u"first"}, {1, u"second"}, {2, u"third"}}));
    EXPECT_EQ(target.Status(), ERROR_STACK_WARNING);
    EXPECT_EQ(other.Entries().size(), 2u);

    // An empty stack's status (information) never improves the target's.
    CErrorStack failed;
    failed.AddError(u"bad");
    failed.Merge(CErrorStack());
    EXPECT_EQ(failed.Status(), ERROR_STACK_ERROR);
    target.Merge(failed);
    EXPECT_EQ(target.Status(), ERROR_STACK_ERROR);
    EXPECT_EQ(target.Entries().back(), (Entry{0, u"bad"}));

    target.Merge(target);
    EXPECT_EQ(target.Entries().size(), 8u);
}

}  // namespace
