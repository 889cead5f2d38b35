// Directory change notification: a folder opened with CreateFile and FILE_FLAG_BACKUP_SEMANTICS
// reports its changes through overlapped ReadDirectoryChanges calls, as file-notify records.
// Changes are recorded from the first read on and kept until read; over inotify on this machine.
#pragma once

#include "platform/file.h"
#include "platform/types.h"

namespace platform {

constexpr DWORD FILE_LIST_DIRECTORY = 0x00000001;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;

constexpr DWORD FILE_NOTIFY_CHANGE_FILE_NAME = 0x00000001;
constexpr DWORD FILE_NOTIFY_CHANGE_DIR_NAME = 0x00000002;
constexpr DWORD FILE_NOTIFY_CHANGE_LAST_WRITE = 0x00000010;

constexpr DWORD FILE_ACTION_ADDED = 1;
constexpr DWORD FILE_ACTION_REMOVED = 2;
constexpr DWORD FILE_ACTION_MODIFIED = 3;
constexpr DWORD FILE_ACTION_RENAMED_OLD_NAME = 4;
constexpr DWORD FILE_ACTION_RENAMED_NEW_NAME = 5;

// One record; the name (UTF-16, relative to the folder, no NUL) follows the three words. Records
// start on 4-byte boundaries; NextEntryOffset is 0 in the last.
struct FILE_NOTIFY_INFORMATION {
    DWORD NextEntryOffset;
    DWORD Action;
    DWORD FileNameLength;  // in bytes
    char16_t FileName[1];
};

// Starts a read of the folder's changes into pBuffer. It completes through pOverlapped (its event is
// set; GetOverlappedResult gives the bytes): with the records that fit, or with 0 bytes when the
// next record does not fit or changes were lost. False when the read cannot be started; a folder
// that was removed completes its read with ERROR_ACCESS_DENIED and refuses every later one.
bool ReadDirectoryChanges(HANDLE hDirectory, void* pBuffer, DWORD cbBuffer, bool bWatchSubtree,
                          DWORD dwNotifyFilter, DWORD* pcbReturned, OVERLAPPED* pOverlapped);

}  // namespace platform
