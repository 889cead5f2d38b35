// Libraries loaded beside the executable: one module however it is named, its exports, and the
// platform's codes for what cannot be loaded or found.
#include "platform/library.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/system.h"

namespace {

// NoFactory.dll, built beside the test program, exports GetObjectCount only.
constexpr const char16_t* LIBRARY = u"NoFactory.dll";
using GetObjectCountProc = ULONG (*)();

std::u16string BesideTheExecutable(const char16_t* szName) {
    std::u16string sModule;
    EXPECT_TRUE(platform::GetModuleFileName(&sModule));
    return sModule.substr(0, sModule.rfind(u'\\') + 1) + szName;
}

TEST(Library, OneModuleWhetherNamedBareOrByPathFreedOncePerLoad) {
    const HMODULE hModule = platform::LoadLibraryEx(LIBRARY, 0);
    ASSERT_NE(hModule, nullptr) << platform::GetLastError();
    const auto pCount =
        reinterpret_cast<GetObjectCountProc>(platform::GetProcAddress(hModule, "GetObjectCount"));
    ASSERT_NE(pCount, nullptr);
    EXPECT_EQ(pCount(), 0u);

    const std::u16string sPath = BesideTheExecutable(LIBRARY);
    const HMODULE hAgain = platform::LoadLibraryEx(sPath.c_str(), platform::LOAD_WITH_ALTERED_SEARCH_PATH);
    EXPECT_EQ(hAgain, hModule);
    EXPECT_TRUE(platform::FreeLibrary(hAgain));
    // Still loaded by the first call: its code is still there to call.
    EXPECT_EQ(platform::GetProcAddress(hModule, "GetObjectCount"), reinterpret_cast<void*>(pCount));
    EXPECT_EQ(pCount(), 0u);
    EXPECT_TRUE(platform::FreeLibrary(hModule));
}

TEST(Library, WhatCannotBeLoadedOrFoundAnswersThePlatformCodes) {
    struct Case {
        const char16_t* szPath;
        DWORD dwError;
    };
    const std::u16string sMissing = BesideTheExecutable(u"Missing.dll");
    const Case cases[] = {
        {u"Missing.dll", ERROR_MOD_NOT_FOUND},
        {sMissing.c_str(), ERROR_MOD_NOT_FOUND},
        {u"lib\\NoFactory.dll", ERROR_BAD_PATHNAME},
        {nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szPath == nullptr ? "null" : platform::ToUtf8(c.szPath));
        platform::SetLastError(0);
        EXPECT_EQ(platform::LoadLibraryEx(c.szPath, 0), nullptr);
        EXPECT_EQ(platform::GetLastError(), c.dwError);
    }

    const HMODULE hModule = platform::LoadLibraryEx(LIBRARY, 0);
    ASSERT_NE(hModule, nullptr);
    platform::SetLastError(0);
    EXPECT_EQ(platform::GetProcAddress(hModule, "GetFactory"), nullptr);
    EXPECT_EQ(platform::GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(platform::FreeLibrary(hModule));
}

}  // namespace
