#include "platform/memory.h"

#include "platform/win32/win32_api.h"

namespace platform {

void* VirtualAlloc(void* pAddress, std::size_t cb, DWORD flAllocationType, DWORD flProtect) {
    return win32::VirtualAlloc(pAddress, cb, flAllocationType, flProtect);
}

bool VirtualFree(void* pAddress, std::size_t cb, DWORD dwFreeType) {
    return win32::VirtualFree(pAddress, cb, dwFreeType) != 0;
}

}  // namespace platform
