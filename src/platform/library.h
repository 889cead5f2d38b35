// Loading shared libraries by their Windows path (mapped into the root): the stand-ins of the outside
// components are shared objects carrying the platform's file names ("lcSet.dll", "KT.dll", ...).
#pragma once

#include "platform/types.h"

using HMODULE = void*;

constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;

namespace platform {

constexpr DWORD LOAD_WITH_ALTERED_SEARCH_PATH = 0x00000008;

// Null on failure, with the last error set (ERROR_MOD_NOT_FOUND for a missing or unloadable file,
// ERROR_BAD_PATHNAME for a path that does not map into the root). Loading a library twice yields the
// same module, which then needs two FreeLibrary calls. A bare file name ("KT.dll") is looked for
// beside the executable.
HMODULE LoadLibraryEx(const char16_t* szPath, DWORD dwFlags);
// Null with ERROR_PROC_NOT_FOUND when the library lacks the export.
void* GetProcAddress(HMODULE hModule, const char* szName);
// False with ERROR_INVALID_HANDLE for a module this process did not load (or freed already).
bool FreeLibrary(HMODULE hModule);

}  // namespace platform
