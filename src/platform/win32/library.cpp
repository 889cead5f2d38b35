#include "platform/library.h"

#include <string>

#include "platform/paths.h"
#include "platform/system.h"
#include "platform/win32/win32_api.h"

namespace platform {

HMODULE LoadLibraryEx(const char16_t* szPath, DWORD dwFlags) {
    if (szPath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string sPath(szPath);
    if (sPath.find_first_of(u"\\/:") == std::u16string::npos) {
        // Only beside the executable, never the system's search path: a stand-in or a planted copy
        // elsewhere must not be picked up by name.
        std::u16string sModule;
        if (!GetModuleFileName(&sModule)) {
            return nullptr;
        }
        sPath = sModule.substr(0, sModule.rfind(u'\\') + 1) + sPath;
        dwFlags |= LOAD_WITH_ALTERED_SEARCH_PATH;
    }
    std::string sChecked;
    if (!MapPath(sPath, &sChecked)) {
        return nullptr;
    }
    return win32::LoadLibraryExW(win32::W(sPath.c_str()), nullptr, dwFlags);
}

void* GetProcAddress(HMODULE hModule, const char* szName) {
    if (hModule == nullptr || szName == nullptr) {
        SetLastError(hModule == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return win32::GetProcAddress(hModule, szName);
}

bool FreeLibrary(HMODULE hModule) {
    return win32::FreeLibrary(hModule) != 0;
}

}  // namespace platform
