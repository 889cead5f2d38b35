// A named object's DACL read back as the platform keeps it, as a descriptor string, and the two the
// framework gives its objects. For the tests of the Windows build.
#pragma once

#include <regex>
#include <string>
#include <vector>

#include "platform/strings.h"
#include "platform/types.h"

extern "C" {
__declspec(dllimport) int __stdcall GetKernelObjectSecurity(void*, DWORD, void*, DWORD, DWORD*);
__declspec(dllimport) int __stdcall ConvertSecurityDescriptorToStringSecurityDescriptorW(void*, DWORD, DWORD,
                                                                                         wchar_t**, DWORD*);
__declspec(dllimport) int __stdcall GetSecurityDescriptorDacl(void*, int*, void**, int*);
__declspec(dllimport) void* __stdcall LocalFree(void*);
}

namespace krelltest {

// The access a handle needs for DaclOf.
constexpr DWORD READ_CONTROL = 0x00020000;

inline std::string DaclOf(HANDLE hObject) {
    constexpr DWORD DACL_SECURITY_INFORMATION = 4, SDDL_REVISION_1 = 1;
    DWORD cbNeeded = 0;
    GetKernelObjectSecurity(hObject, DACL_SECURITY_INFORMATION, nullptr, 0, &cbNeeded);
    std::vector<BYTE> descriptor(cbNeeded);
    if (cbNeeded == 0 || GetKernelObjectSecurity(hObject, DACL_SECURITY_INFORMATION, descriptor.data(),
                                                 cbNeeded, &cbNeeded) == 0) {
        return "(unreadable)";
    }
    // Wine writes a null DACL as "D:", the string of an empty one.
    int bPresent = 0, bDefaulted = 0;
    void* pDacl = nullptr;
    if (GetSecurityDescriptorDacl(descriptor.data(), &bPresent, &pDacl, &bDefaulted) != 0 && bPresent != 0 &&
        pDacl == nullptr) {
        return "D:NO_ACCESS_CONTROL";
    }
    wchar_t* szText = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &szText, nullptr) == 0) {
        return "(unconvertible)";
    }
    const std::string sText = platform::ToUtf8(reinterpret_cast<const char16_t*>(szText));
    LocalFree(szText);
    return sText;
}

inline const std::regex NULL_DACL("^D:NO_ACCESS_CONTROL$");
// Administrators and LocalSystem; generic rights may come back mapped to the object's own.
inline const std::regex ADMIN_DACL(
    R"(^D:(\(A;;[^;]+;;;BA\)\(A;;[^;]+;;;SY\)|\(A;;[^;]+;;;SY\)\(A;;[^;]+;;;BA\))$)");

}  // namespace krelltest
