#include "platform/paths.h"

#include "platform/strings.h"
#include "platform/system.h"
#include "platform/win32/win32_api.h"

namespace platform {
namespace {

bool IsSeparator(char16_t ch) {
    return ch == u'\\' || ch == u'/';
}

}  // namespace

// On the platform a Windows-form path is the file system's own; only the seam's refusals remain.
bool MapPath(std::u16string_view sWindowsPath, std::string* pPosixPath) {
    const bool bDrive = sWindowsPath.size() >= 3 && sWindowsPath[1] == u':' && IsSeparator(sWindowsPath[2]);
    const bool bRooted = !sWindowsPath.empty() && IsSeparator(sWindowsPath[0]) &&
                         (sWindowsPath.size() < 2 || !IsSeparator(sWindowsPath[1]));
    const bool bDevice = sWindowsPath.starts_with(u"\\\\.\\");
    if (!bDrive && !bRooted && !bDevice) {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    if (sWindowsPath.size() >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    *pPosixPath = ToUtf8(sWindowsPath);
    return true;
}

std::string DriveDirectory(char16_t chDrive) {
    return std::string(1, static_cast<char>(UpperChar(chDrive))) + ":\\";
}

// What the C++ library calls a path here is already in Windows form; only its separators differ.
std::u16string WindowsPathOf(const std::string& sPath) {
    std::u16string s = FromUtf8(sPath);
    for (char16_t& ch : s) {
        if (ch == u'/') {
            ch = u'\\';
        }
    }
    return s;
}

bool GetModuleFileName(std::u16string* psPath) {
    wchar_t buffer[MAX_PATH];
    const DWORD cch = win32::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) {
        return false;
    }
    psPath->assign(reinterpret_cast<const char16_t*>(buffer), cch);
    return true;
}

}  // namespace platform
