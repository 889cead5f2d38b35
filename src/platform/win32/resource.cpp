#include "platform/resource.h"

#include "platform/system.h"
#include "platform/win32/win32_api.h"

// The image's resources are real ones here: the rule templates are compiled into the image by the
// resource compiler (cmake/win32.cmake), so KrellResources does not exist on this platform.
namespace platform {

HRSRC FindResource(HMODULE hModule, const char16_t* szName, const char16_t* szType) {
    return win32::FindResourceW(hModule, win32::W(szName), win32::W(szType));
}

// The platform leaves the last error alone for a null resource; the seam's callers read it.
HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo) {
    if (hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return win32::LoadResource(hModule, const_cast<void*>(hResInfo));
}

DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo) {
    if (hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return win32::SizeofResource(hModule, const_cast<void*>(hResInfo));
}

const void* LockResource(HGLOBAL hResData) {
    return win32::LockResource(const_cast<void*>(hResData));
}

}  // namespace platform
