// Waitable objects of the platform: events, mutexes and threads, all named by HANDLE, and the waits
// on them. Named objects ("Global\Name", "Local\Name" or a plain name) are shared by every process of
// one machine root; this machine has a single session, so the three spellings name the same object.
// A named object lives while some process holds a handle to it. Names are case-sensitive, at most
// MAX_PATH characters (else ERROR_FILENAME_EXCED_RANGE) and may hold any character but '\' after
// the prefix (ERROR_PATH_NOT_FOUND); a bare prefix is ERROR_INVALID_NAME. Failures set the last
// error (platform::GetLastError) exactly as the platform does; successful creation sets
// ERROR_SUCCESS or ERROR_ALREADY_EXISTS.
#pragma once

#include "platform/security.h"
#include "platform/types.h"

namespace platform {

constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD EVENT_MODIFY_STATE = 0x0002;
constexpr DWORD EVENT_ALL_ACCESS = 0x1F0003;
constexpr DWORD MUTEX_ALL_ACCESS = 0x1F0001;

// Returns null on failure. An existing named event is opened instead (last error
// ERROR_ALREADY_EXISTS); a name held by an object of another kind fails with ERROR_INVALID_HANDLE.
HANDLE CreateEvent(bool bManualReset, bool bInitialState, const char16_t* szName);
// With the given security (null: the creator's default); an existing object keeps its own.
HANDLE CreateEvent(const SECURITY_ATTRIBUTES* pSecurity, bool bManualReset, bool bInitialState,
                   const char16_t* szName);
// Fails with ERROR_FILE_NOT_FOUND when no process holds an object of that name.
HANDLE OpenEvent(DWORD dwAccess, bool bInherit, const char16_t* szName);
bool SetEvent(HANDLE hEvent);
bool ResetEvent(HANDLE hEvent);

HANDLE CreateMutex(bool bInitialOwner, const char16_t* szName);
HANDLE CreateMutex(const SECURITY_ATTRIBUTES* pSecurity, bool bInitialOwner, const char16_t* szName);
HANDLE OpenMutex(DWORD dwAccess, bool bInherit, const char16_t* szName);
// Fails with ERROR_NOT_OWNER when the calling thread does not own the mutex.
bool ReleaseMutex(HANDLE hMutex);

// WAIT_OBJECT_0 + i, WAIT_ABANDONED_0 + i (a mutex whose owner ended without releasing it),
// WAIT_TIMEOUT or WAIT_FAILED (with the last error set, e.g. ERROR_INVALID_HANDLE).
DWORD WaitForSingleObject(HANDLE hObject, DWORD dwMilliseconds);
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, bool bWaitAll, DWORD dwMilliseconds);

// Closes any handle of the handle table (events, mutexes, threads, files, ...).
bool CloseHandle(HANDLE hObject);

}  // namespace platform
