#include "platform/sync.h"

#include "platform/win32/win32_api.h"

namespace platform {

HANDLE CreateEvent(bool bManualReset, bool bInitialState, const char16_t* szName) {
    return CreateEvent(nullptr, bManualReset, bInitialState, szName);
}

HANDLE CreateEvent(const SECURITY_ATTRIBUTES* pSecurity, bool bManualReset, bool bInitialState,
                   const char16_t* szName) {
    return win32::CreateEventW(const_cast<SECURITY_ATTRIBUTES*>(pSecurity), bManualReset, bInitialState,
                               win32::W(szName));
}

HANDLE OpenEvent(DWORD dwAccess, bool bInherit, const char16_t* szName) {
    return win32::OpenEventW(dwAccess, bInherit, win32::W(szName));
}

bool SetEvent(HANDLE hEvent) {
    return win32::SetEvent(hEvent) != 0;
}

bool ResetEvent(HANDLE hEvent) {
    return win32::ResetEvent(hEvent) != 0;
}

HANDLE CreateMutex(bool bInitialOwner, const char16_t* szName) {
    return CreateMutex(nullptr, bInitialOwner, szName);
}

HANDLE CreateMutex(const SECURITY_ATTRIBUTES* pSecurity, bool bInitialOwner, const char16_t* szName) {
    return win32::CreateMutexW(const_cast<SECURITY_ATTRIBUTES*>(pSecurity), bInitialOwner, win32::W(szName));
}

HANDLE OpenMutex(DWORD dwAccess, bool bInherit, const char16_t* szName) {
    return win32::OpenMutexW(dwAccess, bInherit, win32::W(szName));
}

bool ReleaseMutex(HANDLE hMutex) {
    return win32::ReleaseMutex(hMutex) != 0;
}

DWORD WaitForSingleObject(HANDLE hObject, DWORD dwMilliseconds) {
    return win32::WaitForSingleObject(hObject, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, bool bWaitAll, DWORD dwMilliseconds) {
    return win32::WaitForMultipleObjects(nCount, pHandles, bWaitAll, dwMilliseconds);
}

bool CloseHandle(HANDLE hObject) {
    return win32::CloseHandle(hObject) != 0;
}

}  // namespace platform
