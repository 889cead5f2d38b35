// The process's handle table: every HANDLE the seam hands out names one entry here. Handle values
// are never reused and never dereferenced, so a closed or made-up handle is recognised, not trusted.
#pragma once

#include <memory>

#include "platform/system.h"
#include "platform/types.h"

namespace platform::posix {

struct WaitContext;

// Base of everything a handle can name (events, mutexes, threads, files, ...). Objects that cannot
// be waited on keep the defaults; a wait on them fails with ERROR_INVALID_HANDLE.
class KernelObject {
public:
    KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;
    virtual ~KernelObject();

    // The wait functions below are called with the process's object lock held, and with the
    // root-wide lock as well when IsShared() is true for any object of the wait.
    virtual bool IsWaitable() const { return false; }
    // True for named objects whose state lives in the machine root (shared by processes).
    virtual bool IsShared() const { return false; }
    // Whether the calling thread could take the object now.
    virtual bool IsReady(WaitContext& ctx) { return false; }
    // Takes a ready object (consumes an auto-reset event, owns a mutex). Returns true when the
    // object was a mutex abandoned by its previous owner.
    virtual bool Take(WaitContext& ctx) { return false; }
    // Called when the handle naming the object is closed (users may still hold the object): a device
    // cancels its pending transfers here, as the platform does at the last close.
    virtual void OnHandleClosed() {}
};

// Returns the new handle, or null (last error ERROR_NOT_ENOUGH_MEMORY) when the table is full.
HANDLE InsertHandle(std::shared_ptr<KernelObject> pObject);
// The object a handle names, or null with last error ERROR_INVALID_HANDLE.
std::shared_ptr<KernelObject> LookupObject(HANDLE hObject);
// Removes the handle; the object lives on while other handles or users hold it. False (last error
// ERROR_INVALID_HANDLE) for an unknown handle.
bool RemoveHandle(HANDLE hObject);

// The object a handle names when it is of type T; otherwise null with ERROR_INVALID_HANDLE.
template <class T>
std::shared_ptr<T> LookupHandle(HANDLE hObject) {
    std::shared_ptr<T> pTyped = std::dynamic_pointer_cast<T>(LookupObject(hObject));
    if (pTyped == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return pTyped;
}

}  // namespace platform::posix
