#include "platform/dir_watch.h"

#include "platform/system.h"
#include "platform/win32/win32_api.h"

namespace platform {

// Only the overlapped form: a synchronous read of a folder opened for overlapped use returns before
// its records arrive, with nothing to wait on.
bool ReadDirectoryChanges(HANDLE hDirectory, void* pBuffer, DWORD cbBuffer, bool bWatchSubtree,
                          DWORD dwNotifyFilter, DWORD* pcbReturned, OVERLAPPED* pOverlapped) {
    if (pOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return win32::ReadDirectoryChangesW(hDirectory, pBuffer, cbBuffer, bWatchSubtree, dwNotifyFilter,
                                        pcbReturned, pOverlapped, nullptr) != 0;
}

}  // namespace platform
