#include "platform/resource.h"

#include <gtest/gtest.h>

#include "platform/system.h"

namespace {

TEST(Resources, TheImageCarriesTheRuleTemplates) {
    for (WORD wId : {1601, 1602, 1603}) {
        SCOPED_TRACE(wId);
        const HRSRC hResInfo = platform::FindResource(nullptr, MAKEINTRESOURCE(wId), RT_RCDATA);
        ASSERT_NE(hResInfo, nullptr);
        const HGLOBAL hData = platform::LoadResource(nullptr, hResInfo);
        ASSERT_NE(hData, nullptr);
        const DWORD cbData = platform::SizeofResource(nullptr, hResInfo);
        // Enciphered whole: a multiple of the cipher's block, and no plain text left in it.
        EXPECT_GT(cbData, 0u);
        EXPECT_EQ(cbData % 8, 0u);
        const auto* pData = static_cast<const char*>(platform::LockResource(hData));
        ASSERT_NE(pData, nullptr);
        EXPECT_EQ(std::string(pData, cbData).find("ruleModule"), std::string::npos);
    }
}

// A lookup that must fail with the given last error.
struct LookupCase {
    const char* szCase;
    HMODULE hModule;
    const char16_t* szName;
    const char16_t* szType;
    DWORD dwError;
};

void ExpectLookupFails(const LookupCase& c) {
    SCOPED_TRACE(c.szCase);
    platform::SetLastError(0);
    EXPECT_EQ(platform::FindResource(c.hModule, c.szName, c.szType), nullptr);
    EXPECT_EQ(platform::GetLastError(), c.dwError);
}

TEST(Resources, LookupFailuresAnswerThePlatformCodes) {
    for (const LookupCase& c : {
             LookupCase{"missing id", nullptr, MAKEINTRESOURCE(1700), RT_RCDATA,
                        ERROR_RESOURCE_NAME_NOT_FOUND},
             LookupCase{"missing type", nullptr, MAKEINTRESOURCE(1601), MAKEINTRESOURCE(5),
                        ERROR_RESOURCE_TYPE_NOT_FOUND},
         }) {
        ExpectLookupFails(c);
    }
    platform::SetLastError(0);
    EXPECT_EQ(platform::LoadResource(nullptr, nullptr), nullptr);
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(platform::SizeofResource(nullptr, nullptr), 0u);
}

// Resource tables hold numbered resources of the images this process loaded, nothing else.
TEST(Resources, OnlyNumberedResourcesOfLoadedModules) {
    int nNotAModule = 0;
    for (const LookupCase& c : {
             LookupCase{"named resource", nullptr, u"TEMPLATE", u"TEMPLATE", ERROR_RESOURCE_NAME_NOT_FOUND},
             LookupCase{"unknown module", &nNotAModule, MAKEINTRESOURCE(1601), RT_RCDATA,
                        ERROR_INVALID_HANDLE},
         }) {
        ExpectLookupFails(c);
    }
}

}  // namespace
