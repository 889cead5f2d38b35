// Files by Windows-form path (mapped to the machine root), held by handles of the handle table.
// Share modes are accepted but not enforced: POSIX has no mandatory sharing, and no component of
// this system relies on being refused.
#pragma once

#include <string>

#include "platform/types.h"

namespace platform {

constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD FILE_SHARE_DELETE = 0x00000004;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

// INVALID_HANDLE_VALUE on failure, with the last error set. OPEN_ALWAYS and CREATE_ALWAYS on an
// existing file succeed with last error ERROR_ALREADY_EXISTS, as on the platform.
HANDLE CreateFile(const char16_t* szPath, DWORD dwDesiredAccess, DWORD dwShareMode,
                  DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes);
// One write system call per successful call when the bytes fit (short writes are completed).
bool WriteFile(HANDLE hFile, const void* pBuffer, DWORD dwBytesToWrite, DWORD* pdwBytesWritten);
bool ReadFile(HANDLE hFile, void* pBuffer, DWORD dwBytesToRead, DWORD* pdwBytesRead);
bool SetFilePointerEx(HANDLE hFile, LONGLONG llDistance, LONGLONG* pllNewPosition, DWORD dwMoveMethod);
bool GetFileSizeEx(HANDLE hFile, LONGLONG* pllSize);
// Flushes data and metadata to stable storage.
bool FlushFileBuffers(HANDLE hFile);

bool DeleteFile(const char16_t* szPath);
bool CreateDirectory(const char16_t* szPath);
DWORD GetFileAttributes(const char16_t* szPath);

// The debugger-output channel: standard error when it is a terminal, the system log otherwise.
// KRELL_DEBUG_OUTPUT=stderr (or =none) chooses a sink explicitly, for tools and tests.
void OutputDebugString(const char16_t* szText);

}  // namespace platform
