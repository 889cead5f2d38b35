// Safe arrays of variants as the system hands them to outside components: vectors indexed from
// their lower bound, values copied in and out, and refusals of what is not an element.
#include "platform/variant.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

constexpr LONG LOWEST = std::numeric_limits<LONG>::min();
constexpr LONG HIGHEST = std::numeric_limits<LONG>::max();

VARIANT I4(LONG nValue) {
    VARIANT value{};
    value.vt = VT_I4;
    value.lVal = nValue;
    return value;
}

TEST(SafeArray, VectorsHoldTheirValuesFromTheLowerBound) {
    struct Case {
        LONG lLbound;
        ULONG cElements;
    };
    for (const Case& c : {Case{0, 1}, Case{0, 5}, Case{1, 3}, Case{-2, 4}, Case{100, 2}}) {
        SCOPED_TRACE(testing::Message() << "from " << c.lLbound << ", " << c.cElements << " elements");
        SAFEARRAY* psa = platform::SafeArrayCreateVector(VT_VARIANT, c.lLbound, c.cElements);
        ASSERT_NE(psa, nullptr);
        // A component reads the record without calling back.
        EXPECT_EQ(psa->cDims, 1);
        EXPECT_EQ(psa->cbElements, sizeof(VARIANT));
        EXPECT_EQ(psa->rgsabound[0].cElements, c.cElements);
        EXPECT_EQ(psa->rgsabound[0].lLbound, c.lLbound);
        const LONG lEnd = c.lLbound + static_cast<LONG>(c.cElements);
        for (LONG n = c.lLbound; n < lEnd; ++n) {
            VARIANT value = I4(-1);
            ASSERT_EQ(platform::SafeArrayGetElement(psa, &n, &value), S_OK);
            EXPECT_EQ(value.vt, VT_EMPTY) << n;
        }
        const LONG values[] = {LOWEST, -1, 0, 7, HIGHEST};
        for (LONG n = c.lLbound; n < lEnd; ++n) {
            const VARIANT value = I4(values[(n - c.lLbound) % 5]);
            ASSERT_EQ(platform::SafeArrayPutElement(psa, &n, &value), S_OK);
        }
        for (LONG n = c.lLbound; n < lEnd; ++n) {
            VARIANT value{};
            ASSERT_EQ(platform::SafeArrayGetElement(psa, &n, &value), S_OK);
            EXPECT_EQ(value.vt, VT_I4) << n;
            EXPECT_EQ(value.lVal, values[(n - c.lLbound) % 5]) << n;
            // The data is where the record says.
            EXPECT_EQ(static_cast<const VARIANT*>(psa->pvData)[n - c.lLbound].lVal, value.lVal) << n;
        }
        EXPECT_EQ(psa->cLocks, 0u);
        EXPECT_EQ(platform::SafeArrayDestroy(psa), S_OK);
    }
}

TEST(SafeArray, RefusesWhatIsNoElement) {
    SAFEARRAY* psa = platform::SafeArrayCreateVector(VT_VARIANT, 1, 3);
    ASSERT_NE(psa, nullptr);
    const VARIANT kept = I4(42);
    const LONG nKept = 2;
    ASSERT_EQ(platform::SafeArrayPutElement(psa, &nKept, &kept), S_OK);

    for (const LONG nIndex : {LONG{0}, LONG{4}, LONG{-1}, LOWEST, HIGHEST}) {
        SCOPED_TRACE(nIndex);
        const VARIANT value = I4(9);
        EXPECT_EQ(platform::SafeArrayPutElement(psa, &nIndex, &value), E_INVALIDARG);
        VARIANT out{};
        EXPECT_EQ(platform::SafeArrayGetElement(psa, &nIndex, &out), E_INVALIDARG);
    }
    VARIANT out{};
    EXPECT_EQ(platform::SafeArrayPutElement(nullptr, &nKept, &kept), E_INVALIDARG);
    EXPECT_EQ(platform::SafeArrayPutElement(psa, nullptr, &kept), E_INVALIDARG);
    EXPECT_EQ(platform::SafeArrayPutElement(psa, &nKept, nullptr), E_INVALIDARG);
    EXPECT_EQ(platform::SafeArrayGetElement(nullptr, &nKept, &out), E_INVALIDARG);
    EXPECT_EQ(platform::SafeArrayGetElement(psa, nullptr, &out), E_INVALIDARG);
    EXPECT_EQ(platform::SafeArrayGetElement(psa, &nKept, nullptr), E_INVALIDARG);
    EXPECT_EQ(platform::SafeArrayDestroy(nullptr), E_INVALIDARG);

    // The refusals left the stored element alone.
    ASSERT_EQ(platform::SafeArrayGetElement(psa, &nKept, &out), S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, 42);
    EXPECT_EQ(platform::SafeArrayDestroy(psa), S_OK);

    // Only vectors of variants are made.
    EXPECT_EQ(platform::SafeArrayCreateVector(VT_I4, 0, 3), nullptr);
    EXPECT_EQ(platform::SafeArrayCreateVector(VT_EMPTY, 0, 3), nullptr);
}

TEST(SafeArray, AnEmptyVectorHasNoElement) {
    SAFEARRAY* psa = platform::SafeArrayCreateVector(VT_VARIANT, 0, 0);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(psa->rgsabound[0].cElements, 0u);
    const LONG nIndex = 0;
    VARIANT out{};
    EXPECT_EQ(platform::SafeArrayGetElement(psa, &nIndex, &out), E_INVALIDARG);
    EXPECT_EQ(platform::SafeArrayDestroy(psa), S_OK);
}

}  // namespace
