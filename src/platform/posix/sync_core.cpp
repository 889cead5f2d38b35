#include "platform/posix/sync_core.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <new>

#include "platform/root.h"
#include "platform/system.h"

namespace platform::posix {
namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "futex words must be plain 32-bit words");

constexpr std::uint32_t ROOT_MAGIC = 0x4B524F31;  // "KRO1"
constexpr std::size_t ROOT_MAP_SIZE = 4096;
// How often a waiter looks whether the process holding a named mutex it waits for is still alive.
constexpr DWORD OWNER_POLL_MS = 25;

thread_local int t_nShield = 0;

// The object lock and the generation word of unnamed objects. The counters (guarded by the lock)
// let state changes skip wake-ups nobody waits for.
struct LocalState {
    std::mutex mtx;
    std::atomic<std::uint32_t> dwGeneration{0};
    int nLocalWaiters = 0;
    int nSharedWaiters = 0;
};

LocalState& Local() {
    static LocalState* pState = new LocalState;  // never destroyed: used by exiting threads
    return *pState;
}

long Futex(std::atomic<std::uint32_t>* pWord, int nOp, std::uint32_t dwValue, const timespec* pTimeout) {
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(pWord), nOp, dwValue, pTimeout, nullptr, 0);
}

void WakeAll(std::atomic<std::uint32_t>* pWord, bool bShared) {
    Futex(pWord, bShared ? FUTEX_WAKE : FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

void LockRobust(pthread_mutex_t* pMutex) {
    if (pthread_mutex_lock(pMutex) == EOWNERDEAD) {
        // A process died holding the lock; every change under it is a single-word store or a
        // sequence that a reader tolerates half-done, so the state is usable as it is.
        pthread_mutex_consistent(pMutex);
    }
}

struct RootMapping {
    SharedRoot* pRoot = nullptr;
    DWORD dwError = ERROR_SUCCESS;
    std::string sObjects;
};

RootMapping MapRoot() {
    RootMapping mapping;
    mapping.sObjects = RootSubdirectory("objects");
    const std::string sPath = mapping.sObjects + "/.root";
    const int fd = open(sPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        mapping.dwError = ErrorFromErrno(errno);
        return mapping;
    }
    // Whoever creates or repairs the root does so under an exclusive lock of the file, so a
    // process killed half-way leaves a root without the magic, which the next one initialises.
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat st {};
    void* pMap = MAP_FAILED;
    if (fstat(fd, &st) == 0 && (st.st_size >= static_cast<off_t>(ROOT_MAP_SIZE) ||
                                ftruncate(fd, static_cast<off_t>(ROOT_MAP_SIZE)) == 0)) {
        pMap = mmap(nullptr, ROOT_MAP_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (pMap == MAP_FAILED) {
        mapping.dwError = ErrorFromErrno(errno);
    } else {
        auto* pRoot = static_cast<SharedRoot*>(pMap);
        if (pRoot->dwMagic.load(std::memory_order_acquire) != ROOT_MAGIC) {
            new (&pRoot->dwGeneration) std::atomic<std::uint32_t>(0);
            pthread_mutexattr_t attr;
            pthread_mutexattr_init(&attr);
            pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
            pthread_mutex_init(&pRoot->lock, &attr);
            pthread_mutexattr_destroy(&attr);
            pRoot->dwMagic.store(ROOT_MAGIC, std::memory_order_release);
        }
        mapping.pRoot = pRoot;
    }
    flock(fd, LOCK_UN);
    close(fd);
    return mapping;
}

const RootMapping& Root() {
    static const RootMapping* pMapping = new RootMapping(MapRoot());
    return *pMapping;
}

}  // namespace

CTerminateShield::CTerminateShield() {
    ++t_nShield;
}
CTerminateShield::~CTerminateShield() {
    --t_nShield;
}
bool InTerminateShield() {
    return t_nShield > 0;
}

SharedRoot* GetSharedRoot() {
    const RootMapping& mapping = Root();
    if (mapping.pRoot == nullptr) {
        SetLastError(mapping.dwError);
    }
    return mapping.pRoot;
}

const std::string& ObjectsDirectory() {
    return Root().sObjects;
}

CObjectLock::CObjectLock(bool bShared) : m_bShared(bShared) {
    Lock();
}

CObjectLock::~CObjectLock() {
    Unlock();
}

void CObjectLock::Lock() {
    if (m_bLocked) {
        return;
    }
    Local().mtx.lock();
    if (m_bShared) {
        LockRobust(&Root().pRoot->lock);
    }
    m_bLocked = true;
}

void CObjectLock::Unlock() {
    if (!m_bLocked) {
        return;
    }
    if (m_bShared) {
        pthread_mutex_unlock(&Root().pRoot->lock);
    }
    Local().mtx.unlock();
    m_bLocked = false;
}

CRootLock::CRootLock(SharedRoot* pRoot) : m_pRoot(pRoot) {
    LockRobust(&m_pRoot->lock);
}
CRootLock::~CRootLock() {
    pthread_mutex_unlock(&m_pRoot->lock);
}

void NoteLocalChange() {
    LocalState& local = Local();
    local.dwGeneration.fetch_add(1, std::memory_order_release);
    if (local.nLocalWaiters > 0) {
        WakeAll(&local.dwGeneration, false);
    }
    // Threads waiting on a mix of named and unnamed objects sleep on the root's word.
    if (local.nSharedWaiters > 0) {
        SharedRoot* pRoot = Root().pRoot;
        pRoot->dwGeneration.fetch_add(1, std::memory_order_release);
        WakeAll(&pRoot->dwGeneration, true);
    }
}

void NoteSharedChange() {
    SharedRoot* pRoot = Root().pRoot;
    pRoot->dwGeneration.fetch_add(1, std::memory_order_release);
    WakeAll(&pRoot->dwGeneration, true);
}

DWORD WaitForObjects(const std::shared_ptr<KernelObject>* ppObjects, DWORD nCount, bool bWaitAll,
                     DWORD dwMilliseconds) {
    bool bShared = false;
    for (DWORD i = 0; i < nCount; ++i) {
        if (!ppObjects[i]->IsWaitable()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        bShared = bShared || ppObjects[i]->IsShared();
        // Wait-all on one object twice could never be satisfied atomically; the platform refuses it.
        for (DWORD j = 0; bWaitAll && j < i; ++j) {
            if (ppObjects[j] == ppObjects[i]) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return WAIT_FAILED;
            }
        }
    }
    SharedRoot* pRoot = bShared ? Root().pRoot : nullptr;
    LocalState& local = Local();
    const DWORD dwStart = GetTickCount();
    WaitContext ctx{GetCurrentProcessId(), GetCurrentThreadId()};

    // Shielded throughout: a forced end waits for the futex to return and leaves the bookkeeping
    // straight.
    TerminationPoint();
    CTerminateShield shield;
    CObjectLock lock(bShared);
    if (bShared) {
        ++local.nSharedWaiters;
    }
    DWORD dwResult = WAIT_TIMEOUT;
    for (;;) {
        ctx.bPoll = false;
        if (bWaitAll) {
            bool bAllReady = true;
            for (DWORD i = 0; i < nCount && bAllReady; ++i) {
                bAllReady = ppObjects[i]->IsReady(ctx);
            }
            if (bAllReady) {
                dwResult = WAIT_OBJECT_0;
                for (DWORD i = 0; i < nCount; ++i) {
                    if (ppObjects[i]->Take(ctx) && dwResult == WAIT_OBJECT_0) {
                        dwResult = WAIT_ABANDONED_0 + i;
                    }
                }
                break;
            }
        } else {
            bool bTaken = false;
            for (DWORD i = 0; i < nCount; ++i) {
                if (ppObjects[i]->IsReady(ctx)) {
                    dwResult = ppObjects[i]->Take(ctx) ? WAIT_ABANDONED_0 + i : WAIT_OBJECT_0 + i;
                    bTaken = true;
                    break;
                }
            }
            if (bTaken) {
                break;
            }
        }

        DWORD dwSleep = INFINITE;
        if (dwMilliseconds != INFINITE) {
            const DWORD dwElapsed = GetTickCount() - dwStart;
            if (dwElapsed >= dwMilliseconds) {
                dwResult = WAIT_TIMEOUT;
                break;
            }
            dwSleep = dwMilliseconds - dwElapsed;
        }
        if (ctx.bPoll && dwSleep > OWNER_POLL_MS) {
            dwSleep = OWNER_POLL_MS;
        }
        std::atomic<std::uint32_t>* pWord = bShared ? &pRoot->dwGeneration : &local.dwGeneration;
        if (!bShared) {
            ++local.nLocalWaiters;
        }
        const std::uint32_t dwSeen = pWord->load(std::memory_order_acquire);
        lock.Unlock();
        // A forced end that landed while the lock was given back (ThreadSanitizer delivers signals at
        // its interceptors, the unlock's among them) would interrupt no sleep: look before sleeping.
        if (!TerminationPending()) {
            timespec ts{static_cast<time_t>(dwSleep / 1000), static_cast<long>(dwSleep % 1000) * 1000000};
            Futex(pWord, bShared ? FUTEX_WAIT : FUTEX_WAIT_PRIVATE, dwSeen,
                  dwSleep == INFINITE ? nullptr : &ts);
        }
        lock.Lock();
        if (!bShared) {
            --local.nLocalWaiters;
        }
        if (TerminationPending()) {
            if (bShared) {
                --local.nSharedWaiters;
            }
            lock.Unlock();
            ExitForTermination();
        }
    }
    if (bShared) {
        --local.nSharedWaiters;
    }
    return dwResult;
}

}  // namespace platform::posix
