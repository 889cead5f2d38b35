// Virtual memory of the platform, for large buffers that are filled once and freed soon.
#pragma once

#include <cstddef>

#include "platform/types.h"

namespace platform {

constexpr DWORD MEM_COMMIT = 0x00001000;
constexpr DWORD MEM_RESERVE = 0x00002000;
constexpr DWORD MEM_RELEASE = 0x00008000;
constexpr DWORD PAGE_READWRITE = 0x04;

// Zeroed read-write memory; only a fresh region (no address, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
// is offered. Null on failure, with the last error set. On POSIX a region of 2 MiB or more is aligned
// to 2 MiB and asks for huge pages: where the first touch of a page is dear (in virtual machines it
// can take microseconds per 4 KiB page), that makes filling a fresh buffer many times cheaper.
void* VirtualAlloc(void* pAddress, std::size_t cb, DWORD flAllocationType, DWORD flProtect);
// Frees a whole region: the address VirtualAlloc returned, cb 0 and MEM_RELEASE.
bool VirtualFree(void* pAddress, std::size_t cb, DWORD dwFreeType);

}  // namespace platform
