#include "platform/resource.h"

#include "platform/system.h"

// The executable's resources (krell_image_resources).
extern "C" const platform::RESOURCE_TABLE KrellResources;

namespace platform {
namespace {

bool IsIntResource(const char16_t* sz) {
    return (reinterpret_cast<std::uintptr_t>(sz) >> 16) == 0;
}

WORD IdOf(const char16_t* sz) {
    return static_cast<WORD>(reinterpret_cast<std::uintptr_t>(sz));
}

}  // namespace

HRSRC FindResource(HMODULE hModule, const char16_t* szName, const char16_t* szType) {
    const RESOURCE_TABLE* pTable = &KrellResources;
    if (hModule != nullptr) {
        pTable = static_cast<const RESOURCE_TABLE*>(GetProcAddress(hModule, "KrellResources"));
        if (pTable == nullptr) {
            SetLastError(GetLastError() == ERROR_INVALID_HANDLE ? ERROR_INVALID_HANDLE
                                                                : ERROR_RESOURCE_DATA_NOT_FOUND);
            return nullptr;
        }
    }
    if (!IsIntResource(szName) || !IsIntResource(szType) || pTable->cEntries == 0) {
        SetLastError(pTable->cEntries == 0 ? ERROR_RESOURCE_DATA_NOT_FOUND : ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    bool bTypeFound = false;
    for (DWORD i = 0; i < pTable->cEntries; ++i) {
        const RESOURCE_ENTRY& entry = pTable->pEntries[i];
        if (entry.wType != IdOf(szType)) {
            continue;
        }
        bTypeFound = true;
        if (entry.wId == IdOf(szName)) {
            return &entry;
        }
    }
    SetLastError(bTypeFound ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

HGLOBAL LoadResource(HMODULE /*hModule*/, HRSRC hResInfo) {
    if (hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<const RESOURCE_ENTRY*>(hResInfo)->pData;
}

DWORD SizeofResource(HMODULE /*hModule*/, HRSRC hResInfo) {
    if (hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<const RESOURCE_ENTRY*>(hResInfo)->cbData;
}

const void* LockResource(HGLOBAL hResData) {
    return hResData;
}

}  // namespace platform
