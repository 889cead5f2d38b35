// Shared memory through file mappings, for state another process reads while this one runs (the
// service's counters, read by krellctl). Only named mappings of the paging file are offered
// (hFile INVALID_HANDLE_VALUE); a "Global\" or "Local\" prefix is dropped from the name.
// On POSIX a named mapping is the file <root>/run/<name>; it outlives the processes that map it,
// so a reader sees the last values after the writer ended.
#pragma once

#include <cstddef>

#include "platform/memory.h"
#include "platform/types.h"

namespace platform {

constexpr DWORD PAGE_READONLY = 0x02;
constexpr DWORD FILE_MAP_WRITE = 0x0002;
constexpr DWORD FILE_MAP_READ = 0x0004;

// A mapping of at least the given size (the file grows to it, never shrinks). An existing one is
// opened, with last error ERROR_ALREADY_EXISTS. Null on failure, with the last error set.
HANDLE CreateFileMapping(HANDLE hFile, const void* pAttributes, DWORD flProtect, DWORD dwMaximumSizeHigh,
                         DWORD dwMaximumSizeLow, const char16_t* szName);
// An existing mapping: FILE_MAP_READ, or FILE_MAP_WRITE (which reads too). Null with
// ERROR_FILE_NOT_FOUND when there is none.
HANDLE OpenFileMapping(DWORD dwDesiredAccess, bool bInheritHandle, const char16_t* szName);
// A view of cb bytes from the offset (cb 0: to the end). Stays valid after the mapping's handle is
// closed, until UnmapViewOfFile.
void* MapViewOfFile(HANDLE hMapping, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                    std::size_t cb);
bool UnmapViewOfFile(const void* pBaseAddress);

}  // namespace platform
