#include "platform/security.h"

#include "platform/win32/win32_api.h"

namespace platform {

bool CreateSecurityAttributes(const char16_t* szSddl, SECURITY_ATTRIBUTES* pAttributes) {
    *pAttributes = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), nullptr, 0};
    return win32::ConvertStringSecurityDescriptorToSecurityDescriptorW(
               win32::W(szSddl), win32::SDDL_REVISION_1, &pAttributes->lpSecurityDescriptor, nullptr) != 0;
}

bool CreateNullDaclSecurityAttributes(SECURITY_ATTRIBUTES* pAttributes) {
    *pAttributes = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), nullptr, 0};
    void* pDescriptor = win32::LocalAlloc(win32::LPTR, win32::SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (pDescriptor == nullptr) {
        return false;
    }
    if (win32::InitializeSecurityDescriptor(pDescriptor, win32::SECURITY_DESCRIPTOR_REVISION) == 0 ||
        win32::SetSecurityDescriptorDacl(pDescriptor, 1, nullptr, 0) == 0) {
        const DWORD dwError = win32::GetLastError();
        win32::LocalFree(pDescriptor);
        win32::SetLastError(dwError);
        return false;
    }
    pAttributes->lpSecurityDescriptor = pDescriptor;
    return true;
}

void FreeSecurityAttributes(SECURITY_ATTRIBUTES* pAttributes) {
    if (pAttributes->lpSecurityDescriptor != nullptr) {
        win32::LocalFree(pAttributes->lpSecurityDescriptor);
        pAttributes->lpSecurityDescriptor = nullptr;
    }
}

}  // namespace platform
