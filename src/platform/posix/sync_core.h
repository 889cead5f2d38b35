// Machinery shared by the seam's waitable objects: the process's object lock, the root-wide lock
// and generation word of named objects, futex waits, and the guard that keeps a forced thread end
// out of the seam's critical sections.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <pthread.h>

#include "platform/posix/handle_table.h"
#include "platform/types.h"

namespace platform::posix {

// While a thread is inside a shield, a forced end (TerminateThread) is deferred to its next
// termination point instead of unwinding it in the middle of the seam's bookkeeping. Nests.
class CTerminateShield {
public:
    CTerminateShield();
    ~CTerminateShield();
    CTerminateShield(const CTerminateShield&) = delete;
    CTerminateShield& operator=(const CTerminateShield&) = delete;
};
bool InTerminateShield();

// Forced ends (thread.cpp). TerminationPoint ends the calling thread if a forced end of it is
// pending and it is outside every shield; the seam calls it where a thread may block.
// TerminationPending/ExitForTermination let a shielded wait leave its locks first.
void TerminationPoint();
bool TerminationPending();
[[noreturn]] void ExitForTermination();

// State of the root shared by every process: the lock that serialises changes of named objects
// (and their creation), and a generation word bumped on every change, on which waiters sleep.
struct SharedRoot {
    std::atomic<std::uint32_t> dwMagic;
    std::atomic<std::uint32_t> dwGeneration;
    pthread_mutex_t lock;  // robust and process-shared: a holder that dies does not wedge the root
};
// Mapped on first use; null with the last error set when the root cannot be mapped.
SharedRoot* GetSharedRoot();
// The POSIX directory holding the named objects of this root.
const std::string& ObjectsDirectory();

// The process's object lock guards every unnamed object; with bShared it also takes the root-wide
// lock (always in that order) for named objects. Holding it shields the thread from a forced end.
class CObjectLock {
public:
    explicit CObjectLock(bool bShared);
    ~CObjectLock();
    CObjectLock(const CObjectLock&) = delete;
    CObjectLock& operator=(const CObjectLock&) = delete;
    void Unlock();
    void Lock();

private:
    CTerminateShield m_shield;  // first member: outlives the locks it guards
    bool m_bShared;
    bool m_bLocked = false;
};

// Locks the root-wide lock alone (named object creation and teardown).
class CRootLock {
public:
    explicit CRootLock(SharedRoot* pRoot);
    ~CRootLock();
    CRootLock(const CRootLock&) = delete;
    CRootLock& operator=(const CRootLock&) = delete;

private:
    SharedRoot* m_pRoot;
    CTerminateShield m_shield;
};

// Wakes waiters after a state change. Local: called with the object lock held. Shared: called with
// the root lock held.
void NoteLocalChange();
void NoteSharedChange();

struct WaitContext {
    DWORD dwProcessId;
    DWORD dwThreadId;
    // Set by IsReady when the object is held by another process whose death only polling reveals.
    bool bPoll = false;
};

// Waits on already looked-up objects; the semantics of WaitForMultipleObjects.
DWORD WaitForObjects(const std::shared_ptr<KernelObject>* ppObjects, DWORD nCount, bool bWaitAll,
                     DWORD dwMilliseconds);

// Mutexes still owned by the calling thread become abandoned (the thread is ending).
void AbandonOwnedMutexes();

}  // namespace platform::posix
