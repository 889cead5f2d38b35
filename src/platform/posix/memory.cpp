#include "platform/memory.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <new>

#include "platform/system.h"

namespace platform {

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

// munmap needs the length that VirtualFree is not given.
std::mutex g_RegionsLock;
std::map<void*, std::size_t> g_Regions;

}  // namespace

void* VirtualAlloc(void* pAddress, std::size_t cb, DWORD flAllocationType, DWORD flProtect) {
    if (pAddress != nullptr || cb == 0 || flAllocationType != (MEM_COMMIT | MEM_RESERVE) ||
        flProtect != PAGE_READWRITE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool bHuge = cb >= HUGE_PAGE;
    // A huge region is mapped one huge page longer, and the ends beyond the aligned part unmapped.
    const std::size_t cbRegion = bHuge ? (cb + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1) : cb;
    const std::size_t cbMap = bHuge ? cbRegion + HUGE_PAGE : cb;
    if (cbRegion < cb || cbMap < cbRegion) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* pMap = mmap(nullptr, cbMap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pMap == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto* pRegion = static_cast<BYTE*>(pMap);
    if (bHuge) {
        const std::uintptr_t nStart = reinterpret_cast<std::uintptr_t>(pMap);
        const std::size_t cbHead = ((nStart + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1)) - nStart;
        pRegion += cbHead;
        if (cbHead != 0) {
            munmap(pMap, cbHead);
        }
        munmap(pRegion + cbRegion, HUGE_PAGE - cbHead);
        // Only a hint: without huge pages the region is still good memory.
        madvise(pRegion, cbRegion, MADV_HUGEPAGE);
    }
    try {
        const std::lock_guard<std::mutex> lock(g_RegionsLock);
        g_Regions.emplace(pRegion, cbRegion);
    } catch (const std::bad_alloc&) {
        munmap(pRegion, cbRegion);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return pRegion;
}

bool VirtualFree(void* pAddress, std::size_t cb, DWORD dwFreeType) {
    if (cb != 0 || dwFreeType != MEM_RELEASE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::size_t cbRegion = 0;
    {
        const std::lock_guard<std::mutex> lock(g_RegionsLock);
        const auto it = g_Regions.find(pAddress);
        if (it == g_Regions.end()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        cbRegion = it->second;
        g_Regions.erase(it);
    }
    if (munmap(pAddress, cbRegion) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    return true;
}

}  // namespace platform
