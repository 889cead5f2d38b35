#include "platform/known_folders.h"

#include "platform/system.h"
#include "platform/win32/win32_api.h"

namespace platform {

bool SHGetSpecialFolderPath(int nCsidl, std::u16string* psPath, bool bCreate) {
    wchar_t buffer[MAX_PATH] = {};
    if (win32::SHGetSpecialFolderPathW(nullptr, buffer, nCsidl, bCreate) == 0) {
        return false;
    }
    psPath->assign(reinterpret_cast<const char16_t*>(buffer));
    return true;
}

// The true version: GetVersionExW answers 6.2 on later systems unless the image's manifest names them.
void GetVersion(DWORD* pdwMajor, DWORD* pdwMinor) {
    win32::OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    win32::RtlGetVersion(&info);
    *pdwMajor = info.dwMajorVersion;
    *pdwMinor = info.dwMinorVersion;
}

// The record callers of the platform's own query know, with the answer that query gives.
bool GetVersionEx(DWORD* pdwMajor, DWORD* pdwMinor) {
    win32::OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (win32::GetVersionExW(&info) == 0) {
        return false;
    }
    *pdwMajor = info.dwMajorVersion;
    *pdwMinor = info.dwMinorVersion;
    return true;
}

}  // namespace platform
