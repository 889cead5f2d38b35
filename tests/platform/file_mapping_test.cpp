// Named file mappings: shared between the views of one name, refused where the platform refuses.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/file_mapping.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace {

TEST(FileMapping, ViewsOfOneNameShareTheirBytesAndReadersCannotWrite) {
    HANDLE hCreated = platform::CreateFileMapping(INVALID_HANDLE_VALUE, nullptr, platform::PAGE_READWRITE, 0,
                                                  4096, u"Global\\krelltest.map");
    ASSERT_NE(hCreated, nullptr);
    EXPECT_EQ(platform::GetLastError(), ERROR_SUCCESS);
    auto* pWriter =
        static_cast<char*>(platform::MapViewOfFile(hCreated, platform::FILE_MAP_WRITE, 0, 0, 4096));
    ASSERT_NE(pWriter, nullptr);
    std::strcpy(pWriter + 100, "counted");

    // The same name, created again and opened: the same bytes, the size kept.
    HANDLE hAgain = platform::CreateFileMapping(INVALID_HANDLE_VALUE, nullptr, platform::PAGE_READWRITE, 0,
                                                16, u"Global\\krelltest.map");
    ASSERT_NE(hAgain, nullptr);
    EXPECT_EQ(platform::GetLastError(), ERROR_ALREADY_EXISTS);
    platform::CloseHandle(hAgain);
    HANDLE hReader = platform::OpenFileMapping(platform::FILE_MAP_READ, false, u"Global\\krelltest.map");
    ASSERT_NE(hReader, nullptr);
    EXPECT_EQ(platform::MapViewOfFile(hReader, platform::FILE_MAP_WRITE, 0, 0, 0), nullptr);
    EXPECT_EQ(platform::GetLastError(), ERROR_ACCESS_DENIED);
    const auto* pReader =
        static_cast<const char*>(platform::MapViewOfFile(hReader, platform::FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(pReader, nullptr);
    platform::CloseHandle(hReader);
    EXPECT_STREQ(pReader + 100, "counted");
    pWriter[100] = 'C';
    EXPECT_EQ(pReader[100], 'C') << "a write is seen at once";
    EXPECT_TRUE(platform::UnmapViewOfFile(pReader));
    EXPECT_TRUE(platform::CloseHandle(hCreated));
    EXPECT_TRUE(platform::UnmapViewOfFile(pWriter));
    EXPECT_FALSE(platform::UnmapViewOfFile(pWriter)) << "unmapped already";
}

TEST(FileMapping, AViewKeepsItsMappingAndNameAfterTheHandleCloses) {
    HANDLE hCreated = platform::CreateFileMapping(INVALID_HANDLE_VALUE, nullptr, platform::PAGE_READWRITE, 0,
                                                  4096, u"Global\\krelltest.kept");
    ASSERT_NE(hCreated, nullptr);
    auto* pWriter =
        static_cast<char*>(platform::MapViewOfFile(hCreated, platform::FILE_MAP_WRITE, 0, 0, 4096));
    ASSERT_NE(pWriter, nullptr);
    EXPECT_TRUE(platform::CloseHandle(hCreated)) << "the view outlives the handle";
    std::strcpy(pWriter + 100, "counted");

    HANDLE hReader = platform::OpenFileMapping(platform::FILE_MAP_READ, false, u"Global\\krelltest.kept");
    ASSERT_NE(hReader, nullptr);
    const auto* pReader =
        static_cast<const char*>(platform::MapViewOfFile(hReader, platform::FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(pReader, nullptr);
    platform::CloseHandle(hReader);
    EXPECT_STREQ(pReader + 100, "counted");
    EXPECT_TRUE(platform::UnmapViewOfFile(pReader));
    EXPECT_TRUE(platform::UnmapViewOfFile(pWriter));
}

// A single session, as a service's: "Global\", "Local\" and no prefix name one mapping.
TEST(FileMapping, SpellingsOfOneNameShareOneMapping) {
    HANDLE hCreated = platform::CreateFileMapping(INVALID_HANDLE_VALUE, nullptr, platform::PAGE_READWRITE, 0,
                                                  4096, u"Global\\krelltest.spelt");
    ASSERT_NE(hCreated, nullptr);
    for (const char16_t* szName : {u"krelltest.spelt", u"Local\\krelltest.spelt"}) {
        HANDLE hAgain = platform::CreateFileMapping(INVALID_HANDLE_VALUE, nullptr, platform::PAGE_READWRITE,
                                                    0, 16, szName);
        ASSERT_NE(hAgain, nullptr);
        EXPECT_EQ(platform::GetLastError(), ERROR_ALREADY_EXISTS);
        platform::CloseHandle(hAgain);
        HANDLE hReader = platform::OpenFileMapping(platform::FILE_MAP_READ, false, szName);
        EXPECT_NE(hReader, nullptr);
        platform::CloseHandle(hReader);
    }
    platform::CloseHandle(hCreated);
}

TEST(FileMapping, WhatCannotBeAMappingIsRefused) {
    struct {
        const char16_t* szName;
        DWORD flProtect;
        DWORD dwSize;
    } const cases[] = {
        {nullptr, platform::PAGE_READWRITE, 16}, {u"", platform::PAGE_READWRITE, 16},
        {u"a\\b", platform::PAGE_READWRITE, 16}, {u"../up", platform::PAGE_READWRITE, 16},
        {u"..", platform::PAGE_READWRITE, 16},   {u"fine", platform::PAGE_READWRITE, 0},
        {u"fine", 0x40 /* execute */, 16},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            platform::CreateFileMapping(INVALID_HANDLE_VALUE, nullptr, c.flProtect, 0, c.dwSize, c.szName),
            nullptr);
        EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(platform::OpenFileMapping(platform::FILE_MAP_READ, false, u"never.made"), nullptr);
    EXPECT_EQ(platform::GetLastError(), ERROR_FILE_NOT_FOUND);
    // A read-only mapping of a name nobody made does not make it.
    EXPECT_EQ(platform::CreateFileMapping(INVALID_HANDLE_VALUE, nullptr, platform::PAGE_READONLY, 0, 16,
                                          u"never.made"),
              nullptr);
    EXPECT_EQ(platform::MapViewOfFile(nullptr, platform::FILE_MAP_READ, 0, 0, 0), nullptr);
}

}  // namespace
