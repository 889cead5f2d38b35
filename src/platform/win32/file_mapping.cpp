#include "platform/file_mapping.h"

#include <string_view>

#include "platform/system.h"
#include "platform/win32/win32_api.h"

namespace platform {
namespace {

// The seam offers named mappings of the paging file only, by names the POSIX half can place as files;
// the same refusals here keep callers from relying on what only one half takes.
bool IsMappingName(const char16_t* szName) {
    if (szName == nullptr) {
        return false;
    }
    std::u16string_view sName(szName);
    for (std::u16string_view sPrefix : {std::u16string_view(u"Global\\"), std::u16string_view(u"Local\\")}) {
        if (sName.starts_with(sPrefix)) {
            sName.remove_prefix(sPrefix.size());
        }
    }
    return !sName.empty() && sName.find_first_of(u"\\/") == std::u16string_view::npos && sName != u"." &&
           sName != u"..";
}

}  // namespace

HANDLE CreateFileMapping(HANDLE hFile, const void* /*pAttributes*/, DWORD flProtect, DWORD dwMaximumSizeHigh,
                         DWORD dwMaximumSizeLow, const char16_t* szName) {
    if (hFile != INVALID_HANDLE_VALUE || !IsMappingName(szName) ||
        (dwMaximumSizeHigh == 0 && dwMaximumSizeLow == 0) ||
        (flProtect != PAGE_READWRITE && flProtect != PAGE_READONLY)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (flProtect == PAGE_READONLY) {
        // The platform would make a read-only mapping of zeros nobody can fill; a reader wants the
        // writer's mapping or nothing.
        HANDLE hExisting = win32::OpenFileMappingW(FILE_MAP_READ, false, win32::W(szName));
        if (hExisting != nullptr) {
            SetLastError(ERROR_ALREADY_EXISTS);
        }
        return hExisting;
    }
    return win32::CreateFileMappingW(hFile, nullptr, flProtect, dwMaximumSizeHigh, dwMaximumSizeLow,
                                     win32::W(szName));
}

HANDLE OpenFileMapping(DWORD dwDesiredAccess, bool bInheritHandle, const char16_t* szName) {
    if (!IsMappingName(szName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return win32::OpenFileMappingW(dwDesiredAccess, bInheritHandle, win32::W(szName));
}

void* MapViewOfFile(HANDLE hMapping, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                    std::size_t cb) {
    return win32::MapViewOfFile(hMapping, dwDesiredAccess, dwFileOffsetHigh, dwFileOffsetLow, cb);
}

bool UnmapViewOfFile(const void* pBaseAddress) {
    return win32::UnmapViewOfFile(pBaseAddress) != 0;
}

}  // namespace platform
