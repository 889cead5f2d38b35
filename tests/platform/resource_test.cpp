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

TEST(Resources, LookupFailuresAnswerThePlatformCodes) {
    struct Case {
        const char* szName;
        HMODULE hModule;
        WORD wId;
        const char16_t* szType;
        DWORD dwError;
    };
    const Case cases[] = {
        {"missing id", nullptr, 1700, RT_RCDATA, ERROR_RESOURCE_NAME_NOT_FOUND},
        {"missing type", nullptr, 1601, MAKEINTRESOURCE(5), ERROR_RESOURCE_TYPE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        platform::SetLastError(0);
        EXPECT_EQ(platform::FindResource(c.hModule, MAKEINTRESOURCE(c.wId), c.szType), nullptr);
        EXPECT_EQ(platform::GetLastError(), c.dwError);
    }
    platform::SetLastError(0);
    EXPECT_EQ(platform::LoadResource(nullptr, nullptr), nullptr);
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(platform::SizeofResource(nullptr, nullptr), 0u);
}

// Resource tables hold numbered resources of the images this process loaded, nothing else.
TEST(Resources, OnlyNumberedResourcesOfLoadedModules) {
    struct Case {
        const char* szName;
        HMODULE hModule;
        WORD wId;
        const char16_t* szType;
        DWORD dwError;
    };
    int nNotAModule = 0;
    const Case cases[] = {
        {"named resource", nullptr, 0, u"TEMPLATE", ERROR_RESOURCE_NAME_NOT_FOUND},
        {"unknown module", &nNotAModule, 1601, RT_RCDATA, ERROR_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        platform::SetLastError(0);
        const char16_t* szName = c.wId == 0 ? u"TEMPLATE" : MAKEINTRESOURCE(c.wId);
        EXPECT_EQ(platform::FindResource(c.hModule, szName, c.szType), nullptr);
        EXPECT_EQ(platform::GetLastError(), c.dwError);
    }
}

}  // namespace
