// Virtual memory regions: zeroed, writable over their whole length, huge ones aligned for huge pages,
// and freed exactly once.
#include "platform/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "platform/system.h"

namespace {

using namespace platform;

TEST(MemoryTest, RegionsAreZeroedWritableAndFreedOnce) {
    constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
    for (std::size_t cb : {std::size_t{1}, std::size_t{4096}, std::size_t{100000}, HUGE_PAGE - 1, HUGE_PAGE,
                           3 * HUGE_PAGE + 5}) {
        SCOPED_TRACE(cb);
        auto* p = static_cast<BYTE*>(VirtualAlloc(nullptr, cb, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        ASSERT_NE(p, nullptr);
        if (cb >= HUGE_PAGE) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % HUGE_PAGE, 0u);
        }
        std::size_t nNonZero = 0;
        for (std::size_t i = 0; i < cb; i += 509) {
            nNonZero += p[i] != 0;
        }
        EXPECT_EQ(nNonZero + p[cb - 1], 0u);
        std::memset(p, 0x5A, cb);
        EXPECT_EQ(p[cb - 1], 0x5A);
        EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
        SetLastError(0);
        EXPECT_FALSE(VirtualFree(p, 0, MEM_RELEASE));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST(MemoryTest, OnlyFreshReadWriteRegionsAreOffered) {
    BYTE b = 0;
    struct Case {
        void* pAddress;
        std::size_t cb;
        DWORD flType;
        DWORD flProtect;
    };
    for (const Case& c : {Case{&b, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE},
                          Case{nullptr, 0, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE},
                          Case{nullptr, 4096, MEM_COMMIT, PAGE_READWRITE},
                          Case{nullptr, 4096, MEM_COMMIT | MEM_RESERVE, 0x02}}) {
        SetLastError(0);
        EXPECT_EQ(VirtualAlloc(c.pAddress, c.cb, c.flType, c.flProtect), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    void* p = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(VirtualFree(p, 4096, MEM_RELEASE));
    EXPECT_FALSE(VirtualFree(&b, 0, MEM_RELEASE));
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

}  // namespace
