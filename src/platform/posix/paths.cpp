#include "platform/paths.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/root.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "platform/types.h"

namespace platform {
namespace {

// The drive letter of the host's own file system.
constexpr char HOST_DRIVE = 'z';

bool IsSeparator(char16_t ch) {
    return ch == u'\\' || ch == u'/';
}

bool Exists(const std::string& sPath) {
    struct stat st {};
    return lstat(sPath.c_str(), &st) == 0;
}

// The existing entry of sDir whose name equals sName case-insensitively, else sName itself.
std::string ResolveComponent(const std::string& sDir, std::u16string_view sName) {
    std::string sExact = ToUtf8(sName);
    if (Exists(sDir + "/" + sExact)) {
        return sExact;
    }
    DIR* pDir = opendir(sDir.c_str());
    if (pDir == nullptr) {
        return sExact;
    }
    std::string sFound = sExact;
    while (const dirent* pEntry = readdir(pDir)) {
        if (EqualNoCase(FromUtf8(pEntry->d_name), sName)) {
            sFound = pEntry->d_name;
            break;
        }
    }
    closedir(pDir);
    return sFound;
}

std::vector<std::u16string_view> SplitComponents(std::u16string_view sRest) {
    std::vector<std::u16string_view> parts;
    std::size_t nStart = 0;
    for (std::size_t i = 0; i <= sRest.size(); ++i) {
        if (i == sRest.size() || IsSeparator(sRest[i])) {
            const auto sPart = sRest.substr(nStart, i - nStart);
            if (sPart == u"..") {
                if (!parts.empty()) {
                    parts.pop_back();
                }
            } else if (!sPart.empty() && sPart != u".") {
                parts.push_back(sPart);
            }
            nStart = i + 1;
        }
    }
    return parts;
}

}  // namespace

std::string DriveDirectory(char16_t chDrive) {
    const char chLower = static_cast<char>(UpperChar(chDrive) - u'A' + 'a');
    if (chLower == HOST_DRIVE) {
        return "/";
    }
    return RootSubdirectory((std::string("drive_") + chLower).c_str());
}

std::u16string WindowsPathOf(const std::string& sPosixPath) {
    const std::string sDrives = RootDirectory() + "/drive_";
    char chDrive = HOST_DRIVE;
    std::string sRest = sPosixPath;
    if (sPosixPath.starts_with(sDrives) && sPosixPath.size() > sDrives.size() &&
        sPosixPath[sDrives.size()] != HOST_DRIVE &&
        (sPosixPath.size() == sDrives.size() + 1 || sPosixPath[sDrives.size() + 1] == '/')) {
        chDrive = sPosixPath[sDrives.size()];
        sRest = sPosixPath.substr(sDrives.size() + 1);
    }
    std::u16string sPath = {static_cast<char16_t>(chDrive - 'a' + 'A'), u':'};
    sPath += sRest.empty() ? u"/" : FromUtf8(sRest);
    std::replace(sPath.begin(), sPath.end(), u'/', u'\\');
    return sPath;
}

bool GetModuleFileName(std::u16string* psPath) {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        SetLastError(ErrorFromErrno(ec.value()));
        return false;
    }
    *psPath = WindowsPathOf(exe.string());
    return true;
}

bool MapPath(std::u16string_view sWindowsPath, std::string* pPosixPath) {
    if (sWindowsPath.size() >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::string sBase;
    std::u16string_view sRest;
    const auto chUpper = sWindowsPath.empty() ? u'\0' : UpperChar(sWindowsPath[0]);
    if (sWindowsPath.size() >= 2 && chUpper >= u'A' && chUpper <= u'Z' && sWindowsPath[1] == u':') {
        if (sWindowsPath.size() > 2 && !IsSeparator(sWindowsPath[2])) {
            SetLastError(ERROR_BAD_PATHNAME);  // drive-relative ("C:foo")
            return false;
        }
        sBase = DriveDirectory(sWindowsPath[0]);
        sRest = sWindowsPath.substr(2);
    } else if (sWindowsPath.starts_with(u"\\\\.\\")) {
        sBase = RootSubdirectory("dev");
        sRest = sWindowsPath.substr(4);
    } else if (sWindowsPath.size() >= 1 && IsSeparator(sWindowsPath[0]) &&
               !(sWindowsPath.size() >= 2 && IsSeparator(sWindowsPath[1]))) {
        sBase = DriveDirectory(u'C');
        sRest = sWindowsPath;
    } else {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    std::string sPath = sBase == "/" ? "" : sBase;
    for (const auto sPart : SplitComponents(sRest)) {
        sPath += "/" + ResolveComponent(sPath.empty() ? "/" : sPath, sPart);
    }
    *pPosixPath = sPath.empty() ? "/" : std::move(sPath);
    return true;
}

}  // namespace platform
