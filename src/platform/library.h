// Loading shared libraries by their Windows path (mapped into the root): the stand-ins of the outside
// components are shared objects carrying the platform's file names ("lcSet.dll", "KT.dll", ...).
#pragma once

#include "platform/types.h"

using HMODULE = void*;

namespace platform {

constexpr DWORD LOAD_WITH_ALTERED_SEARCH_PATH = 0x00000008;

// Null on failure, with the last error set (ERROR_MOD_NOT_FOUND for a missing or unloadable file).
HMODULE LoadLibraryEx(const char16_t* szPath, DWORD dwFlags);
// Null with ERROR_PROC_NOT_FOUND when the library lacks the export.
void* GetProcAddress(HMODULE hModule, const char* szName);
bool FreeLibrary(HMODULE hModule);

}  // namespace platform
