#include "platform/posix/handle_table.h"

#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/posix/sync_core.h"
#include "platform/sync.h"

namespace platform::posix {
namespace {

// Handle values step by 4 like the platform's, start clear of null and never wrap into
// INVALID_HANDLE_VALUE (2^62 insertions are out of reach).
constexpr std::uintptr_t HANDLE_STEP = 4;

struct HandleTable {
    std::mutex mtx;
    std::uintptr_t uNext = HANDLE_STEP;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> entries;
};

// Never destroyed: threads and exit handlers may still close handles while statics are torn down.
HandleTable& Table() {
    static HandleTable* pTable = new HandleTable;
    return *pTable;
}

}  // namespace

KernelObject::~KernelObject() = default;

HANDLE InsertHandle(std::shared_ptr<KernelObject> pObject) {
    if (pObject == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HandleTable& table = Table();
    CTerminateShield shield;
    try {
        std::lock_guard lock(table.mtx);
        const std::uintptr_t uHandle = table.uNext;
        table.entries.emplace(uHandle, std::move(pObject));
        table.uNext += HANDLE_STEP;
        return reinterpret_cast<HANDLE>(uHandle);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

std::shared_ptr<KernelObject> LookupObject(HANDLE hObject) {
    HandleTable& table = Table();
    {
        CTerminateShield shield;
        std::lock_guard lock(table.mtx);
        auto it = table.entries.find(reinterpret_cast<std::uintptr_t>(hObject));
        if (it != table.entries.end()) {
            return it->second;
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

bool RemoveHandle(HANDLE hObject) {
    HandleTable& table = Table();
    std::shared_ptr<KernelObject> pObject;
    {
        CTerminateShield shield;
        std::lock_guard lock(table.mtx);
        auto it = table.entries.find(reinterpret_cast<std::uintptr_t>(hObject));
        if (it == table.entries.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        pObject = std::move(it->second);
        table.entries.erase(it);
    }
    pObject->OnHandleClosed();
    // The last reference may tear down a named object, which takes locks of its own.
    pObject.reset();
    return true;
}

}  // namespace platform::posix

namespace platform {

bool CloseHandle(HANDLE hObject) {
    return posix::RemoveHandle(hObject);
}

}  // namespace platform
