// Resources of an image, as the platform's resource functions find them.
//
// On this machine an image's resources are a table of entries that a generated source defines (see
// templates/CMakeLists.txt): the executable's own table is the symbol KrellResources of the library
// krell_image_resources, which every program of the system links; a loaded library may carry one
// under the same exported name. The module handle selects the table: null for the executable, a
// handle from LoadLibraryEx for a library.
#pragma once

#include <cstdint>

#include "platform/library.h"
#include "platform/types.h"

using HRSRC = const void*;
using HGLOBAL = const void*;

constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;

// A numeric resource id or type, in the pointer form the platform's functions take.
inline const char16_t* MAKEINTRESOURCE(WORD wId) {
    return reinterpret_cast<const char16_t*>(static_cast<std::uintptr_t>(wId));
}
inline const char16_t* const RT_RCDATA = MAKEINTRESOURCE(10);

namespace platform {

struct RESOURCE_ENTRY {
    WORD wType;
    WORD wId;
    const BYTE* pData;
    DWORD cbData;
};

struct RESOURCE_TABLE {
    const RESOURCE_ENTRY* pEntries;
    DWORD cEntries;
};

// Only numeric names and types exist here. Null with ERROR_RESOURCE_DATA_NOT_FOUND for a module
// without resources, ERROR_RESOURCE_TYPE_NOT_FOUND when it has none of the type,
// ERROR_RESOURCE_NAME_NOT_FOUND when the id is missing, ERROR_INVALID_HANDLE for an unknown module.
HRSRC FindResource(HMODULE hModule, const char16_t* szName, const char16_t* szType);
// Null with ERROR_INVALID_HANDLE for a null resource.
HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo);
// 0 with ERROR_INVALID_HANDLE for a null resource.
DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo);
// The resource's bytes, read-only, valid while the module is loaded.
const void* LockResource(HGLOBAL hResData);

}  // namespace platform
