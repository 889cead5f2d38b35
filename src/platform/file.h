// Files by Windows-form path (mapped to the machine root), held by handles of the handle table.
// Share modes are accepted but not enforced: POSIX has no mandatory sharing, and no component of
// this system relies on being refused.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

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
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

// An asynchronous read or write. Internal holds the operation's error code (STATUS_PENDING while it
// runs) and InternalHigh the bytes transferred; callers read them through GetOverlappedResult.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
constexpr ULONG_PTR STATUS_PENDING = 0x00000103;

// INVALID_HANDLE_VALUE on failure, with the last error set. OPEN_ALWAYS and CREATE_ALWAYS on an
// existing file succeed with last error ERROR_ALREADY_EXISTS, as on the platform.
// A device name ("\\.\NAME") connects to the SOCK_SEQPACKET socket <root>/dev/NAME that the device's
// stand-in serves (one packet per transfer); without a server the answer is ERROR_FILE_NOT_FOUND.
// Closing a device handle completes its pending reads and writes with ERROR_OPERATION_ABORTED at once.
HANDLE CreateFile(const char16_t* szPath, DWORD dwDesiredAccess, DWORD dwShareMode,
                  DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes);
// One write system call per successful call when the bytes fit (short writes are completed).
bool WriteFile(HANDLE hFile, const void* pBuffer, DWORD dwBytesToWrite, DWORD* pdwBytesWritten);
bool ReadFile(HANDLE hFile, void* pBuffer, DWORD dwBytesToRead, DWORD* pdwBytesRead);
// Overlapped forms. The event of the OVERLAPPED is reset at the start and set at completion. True when
// the transfer completed at once; false with ERROR_IO_PENDING while it runs (the buffer and the
// OVERLAPPED must stay valid until it completes). On files the transfer is at Offset and always
// completes at once. A device read takes one packet: a shorter packet completes with its size, a
// longer one fails with ERROR_MORE_DATA, a device whose server went away with ERROR_BROKEN_PIPE.
bool WriteFile(HANDLE hFile, const void* pBuffer, DWORD dwBytesToWrite, DWORD* pdwBytesWritten,
               OVERLAPPED* pOverlapped);
bool ReadFile(HANDLE hFile, void* pBuffer, DWORD dwBytesToRead, DWORD* pdwBytesRead, OVERLAPPED* pOverlapped);
// The outcome of an overlapped transfer; without bWait a running one fails with ERROR_IO_INCOMPLETE.
// A thread ended by force while it waits here cancels the transfer, so the device never writes into
// its unwound buffer.
bool GetOverlappedResult(HANDLE hFile, OVERLAPPED* pOverlapped, DWORD* pdwBytesTransferred, bool bWait);
// Device control, synchronous only (no OVERLAPPED). On a device socket the request travels as one
// packet "kioc", code, output capacity, input bytes; the answer as one packet "kioc", error code (0 for
// success), output bytes. Files refuse it with ERROR_INVALID_FUNCTION.
bool DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, const void* pInBuffer, DWORD dwInBufferSize,
                     void* pOutBuffer, DWORD dwOutBufferSize, DWORD* pdwBytesReturned,
                     OVERLAPPED* pOverlapped);
bool SetFilePointerEx(HANDLE hFile, LONGLONG llDistance, LONGLONG* pllNewPosition, DWORD dwMoveMethod);
bool GetFileSizeEx(HANDLE hFile, LONGLONG* pllSize);
// Flushes data and metadata to stable storage.
bool FlushFileBuffers(HANDLE hFile);

bool DeleteFile(const char16_t* szPath);
bool CreateDirectory(const char16_t* szPath);
DWORD GetFileAttributes(const char16_t* szPath);
// The names of the entries of a directory that are not directories, as FindFirstFile and FindNextFile
// list them; false with the last error set when the directory cannot be read.
bool ListFiles(const char16_t* szDirectory, std::vector<std::u16string>* pNames);

// The temporary directory, with a trailing backslash: "C:\Windows\Temp\" of the root, created on
// first use.
bool GetTempPath(std::u16string* psPath);
// "<path>\<up to three characters of the prefix><four hex digits>.TMP". With uUnique 0 the digits are
// chosen so that the file is new, and the file is created empty; otherwise they are uUnique's low 16
// bits and nothing is created. Returns the number used, 0 on failure (last error set).
unsigned GetTempFileName(const char16_t* szPath, const char16_t* szPrefix, unsigned uUnique,
                         std::u16string* psFileName);

// The debugger-output channel: standard error when it is a terminal, the system log otherwise.
// KRELL_DEBUG_OUTPUT=stderr (or =none) chooses a sink explicitly, for tools and tests.
void OutputDebugString(const char16_t* szText);
// Whether OutputDebugString writes to standard error, for writers that cannot call it (a crash path).
bool DebugOutputIsStderr();

// The POSIX descriptor behind a file handle, -1 for any other handle. Only for code that must write
// without the handle table's lock (a signal handler); the handle keeps owning it.
int FileDescriptorOf(HANDLE hFile);
// Writes to such a descriptor, or to 2 for standard error, without locking or allocating: the write a
// crash path may still make. True when every byte was written.
bool WriteDescriptor(int nFd, const void* pBuffer, std::size_t cb);

}  // namespace platform
