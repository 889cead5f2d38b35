// Installer databases and packages through msi.dll. The handles are msi.dll's own; what the seam adds
// is its refusals of paths and handle texts, and one code for a file that does not open: msi.dll's
// codes for it vary (ERROR_FUNCTION_FAILED, ERROR_FILE_NOT_FOUND, ...), and callers only log them.
#include "platform/msi.h"

#include <string_view>

#include "platform/paths.h"
#include "platform/system.h"
#include "platform/win32/win32_api.h"

namespace platform {
namespace {

constexpr DWORD ERROR_BAD_FORMAT = 11;
constexpr DWORD ERROR_FUNCTION_FAILED = 1627;

// "#N" with N a decimal handle value, nothing else: msi.dll reads "#12a" as handle 12.
bool IsHandleText(std::u16string_view sText) {
    if (sText.size() < 2 || sText.size() > 11 || sText.front() != u'#') {
        return false;
    }
    unsigned long long ullValue = 0;
    for (const char16_t ch : sText.substr(1)) {
        if (ch < u'0' || ch > u'9') {
            return false;
        }
        ullValue = ullValue * 10 + static_cast<unsigned>(ch - u'0');
    }
    return ullValue <= 0xFFFFFFFFull;
}

// Whether msi.dll failed on the file itself rather than for want of memory or service.
bool IsFileFault(DWORD dwError) {
    switch (dwError) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BAD_FORMAT:
        case ERROR_OPEN_FAILED:
        case ERROR_INVALID_DATA:
        case ERROR_FUNCTION_FAILED:
        case ERROR_INSTALL_PACKAGE_OPEN_FAILED:
            return true;
        default:
            return false;
    }
}

// A service has no desktop: opening a package must never raise the installer's own windows.
void SilenceInstallerUi() {
    static const int nPrevious = win32::MsiSetInternalUI(win32::INSTALLUILEVEL_NONE, nullptr);
    static_cast<void>(nPrevious);
}

}  // namespace

DWORD MsiOpenDatabase(const char16_t* szDatabasePath, const char16_t* szPersist, MSIHANDLE* phDatabase) {
    if (szDatabasePath == nullptr || phDatabase == nullptr || szPersist != MSIDBOPEN_READONLY) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string sChecked;
    if (!MapPath(szDatabasePath, &sChecked)) {
        return GetLastError();
    }
    *phDatabase = 0;
    const DWORD dwError = win32::MsiOpenDatabaseW(win32::W(szDatabasePath), nullptr, phDatabase);
    return IsFileFault(dwError) ? ERROR_OPEN_FAILED : dwError;
}

DWORD MsiOpenPackage(const char16_t* szPackagePath, MSIHANDLE* phProduct) {
    if (szPackagePath == nullptr || phProduct == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const bool bPath = !IsHandleText(szPackagePath);
    std::string sChecked;
    if (bPath && !MapPath(szPackagePath, &sChecked)) {
        return ERROR_INSTALL_PACKAGE_OPEN_FAILED;
    }
    SilenceInstallerUi();
    *phProduct = 0;
    const DWORD dwError = win32::MsiOpenPackageW(win32::W(szPackagePath), phProduct);
    return bPath && IsFileFault(dwError) ? ERROR_INSTALL_PACKAGE_OPEN_FAILED : dwError;
}

DWORD MsiGetProperty(MSIHANDLE hInstall, const char16_t* szName, char16_t* szValueBuf, DWORD* pcchValueBuf) {
    return win32::MsiGetPropertyW(hInstall, win32::W(szName), win32::W(szValueBuf), pcchValueBuf);
}

DWORD MsiCloseHandle(MSIHANDLE hAny) {
    return win32::MsiCloseHandle(hAny);
}

}  // namespace platform
