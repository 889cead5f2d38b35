// Events and mutexes, unnamed (state in the process) and named (state in a small shared file of the
// root's objects directory, one per name). A named object lives while some process holds a shared
// flock on its file; ownership of a named mutex is an OFD write lock on the same file, which the
// kernel drops when the owning process dies, so a waiter can tell a dead owner from a live one.
#include "platform/sync.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/posix/handle_table.h"
#include "platform/posix/sync_core.h"
#include "platform/strings.h"
#include "platform/system.h"

namespace platform::posix {
namespace {

constexpr std::uint32_t OBJECT_MAGIC = 0x4B4F4231;  // "KOB1"
constexpr std::uint32_t KIND_EVENT = 1;
constexpr std::uint32_t KIND_MUTEX = 2;
constexpr std::size_t OBJECT_MAP_SIZE = 4096;
// Encoded names longer than this are stored under a hash (the full name is kept in the file).
constexpr std::size_t MAX_ENCODED_NAME = 200;
// Recursion limit of the platform's mutexes.
constexpr std::uint32_t MAX_RECURSION = 0x7FFFFFFF;

// State of one named object as every process sees it. Changed only under the root-wide lock.
struct SharedObject {
    std::atomic<std::uint32_t> dwMagic;
    std::atomic<std::uint32_t> dwKind;
    std::atomic<std::uint32_t> dwManualReset;
    std::atomic<std::uint32_t> dwSignalled;
    std::atomic<std::uint32_t> dwOwnerPid;
    std::atomic<std::uint32_t> dwOwnerTid;
    std::atomic<std::uint32_t> dwRecursion;
    std::atomic<std::uint32_t> dwAbandoned;
    std::atomic<std::uint32_t> cchName;
    char16_t szName[MAX_PATH + 1];
};
static_assert(sizeof(SharedObject) <= OBJECT_MAP_SIZE);

class CEventBase : public KernelObject {
public:
    bool IsWaitable() const override { return true; }
    virtual void Set() = 0;
    virtual void Reset() = 0;
};

class CMutexBase : public KernelObject, public std::enable_shared_from_this<CMutexBase> {
public:
    bool IsWaitable() const override { return true; }
    // False (the caller's thread does not own the mutex) or true once released one level.
    virtual bool Release(const WaitContext& ctx) = 0;
    // Called by an ending thread for a mutex it may still own.
    virtual void AbandonIfOwnedBy(const WaitContext& ctx) = 0;
};

// Mutexes the calling thread owns, so that its end abandons them as the platform does.
struct OwnedMutexes {
    std::vector<std::weak_ptr<CMutexBase>> items;
    ~OwnedMutexes() { AbandonOwnedMutexes(); }
};
thread_local OwnedMutexes t_owned;

void NoteOwned(CMutexBase* pMutex) {
    t_owned.items.push_back(pMutex->weak_from_this());
}

// Compares without lock(): a temporary strong reference could end up destroying another mutex
// under the object lock.
void NoteReleased(CMutexBase* pMutex) {
    const std::weak_ptr<CMutexBase> self = pMutex->weak_from_this();
    std::erase_if(t_owned.items, [&self](const std::weak_ptr<CMutexBase>& w) {
        return w.expired() || (!w.owner_before(self) && !self.owner_before(w));
    });
}

// ---------------------------------------------------------------------------------------------
// Unnamed objects: state guarded by the process's object lock.

class CLocalEvent final : public CEventBase {
public:
    CLocalEvent(bool bManualReset, bool bInitialState)
        : m_bManualReset(bManualReset), m_bSignalled(bInitialState) {}
    bool IsReady(WaitContext&) override { return m_bSignalled; }
    bool Take(WaitContext&) override {
        if (!m_bManualReset) {
            m_bSignalled = false;
        }
        return false;
    }
    void Set() override {
        CObjectLock lock(false);
        m_bSignalled = true;
        NoteLocalChange();
    }
    void Reset() override {
        CObjectLock lock(false);
        m_bSignalled = false;
    }

private:
    const bool m_bManualReset;
    bool m_bSignalled;
};

class CLocalMutex final : public CMutexBase {
public:
    bool IsReady(WaitContext& ctx) override { return m_dwOwnerTid == 0 || m_dwOwnerTid == ctx.dwThreadId; }
    bool Take(WaitContext& ctx) override {
        if (m_dwOwnerTid == ctx.dwThreadId) {
            m_dwRecursion = std::min(m_dwRecursion + 1, MAX_RECURSION);
            return false;
        }
        m_dwOwnerTid = ctx.dwThreadId;
        m_dwRecursion = 1;
        NoteOwned(this);
        return std::exchange(m_bAbandoned, false);
    }
    bool Release(const WaitContext& ctx) override {
        CObjectLock lock(false);
        if (m_dwOwnerTid != ctx.dwThreadId) {
            return false;
        }
        if (--m_dwRecursion == 0) {
            m_dwOwnerTid = 0;
            NoteReleased(this);
            NoteLocalChange();
        }
        return true;
    }
    void AbandonIfOwnedBy(const WaitContext& ctx) override {
        CObjectLock lock(false);
        if (m_dwOwnerTid == ctx.dwThreadId) {
            m_dwOwnerTid = 0;
            m_dwRecursion = 0;
            m_bAbandoned = true;
            NoteLocalChange();
        }
    }

private:
    DWORD m_dwOwnerTid = 0;
    std::uint32_t m_dwRecursion = 0;
    bool m_bAbandoned = false;
};

// ---------------------------------------------------------------------------------------------
// Named objects.

// The file of one named object as this process holds it: one per name and process, shared by all
// handles of that name.
class CNamedFile {
public:
    CNamedFile(std::string sFile, int fd, SharedObject* pState)
        : m_sFile(std::move(sFile)), m_fd(fd), m_pState(pState) {}
    CNamedFile(const CNamedFile&) = delete;
    CNamedFile& operator=(const CNamedFile&) = delete;
    ~CNamedFile();

    SharedObject* State() const { return m_pState; }
    const std::string& File() const { return m_sFile; }
    int Descriptor() const { return m_fd; }

private:
    std::string m_sFile;
    int m_fd;
    SharedObject* m_pState;
};

class CNamedEvent final : public CEventBase {
public:
    explicit CNamedEvent(std::unique_ptr<CNamedFile> pFile) : m_pFile(std::move(pFile)) {}
    bool IsShared() const override { return true; }
    bool IsReady(WaitContext&) override { return S()->dwSignalled.load(std::memory_order_acquire) != 0; }
    bool Take(WaitContext&) override {
        if (S()->dwManualReset.load(std::memory_order_relaxed) == 0) {
            S()->dwSignalled.store(0, std::memory_order_release);
        }
        return false;
    }
    void Set() override {
        CObjectLock lock(true);
        S()->dwSignalled.store(1, std::memory_order_release);
        NoteSharedChange();
    }
    void Reset() override {
        CObjectLock lock(true);
        S()->dwSignalled.store(0, std::memory_order_release);
    }

private:
    SharedObject* S() const { return m_pFile->State(); }
    std::unique_ptr<CNamedFile> m_pFile;
};

class CNamedMutex final : public CMutexBase {
public:
    explicit CNamedMutex(std::unique_ptr<CNamedFile> pFile) : m_pFile(std::move(pFile)) {}
    ~CNamedMutex() override {
        // Closing the last handle of this process ends any ownership of its threads, as the
        // process's own end would.
        SharedRoot* pRoot = GetSharedRoot();
        CRootLock lock(pRoot);
        if (S()->dwOwnerPid.load(std::memory_order_acquire) == GetCurrentProcessId()) {
            Abandon();
        }
    }
    bool IsShared() const override { return true; }
    bool IsReady(WaitContext& ctx) override {
        const DWORD dwPid = S()->dwOwnerPid.load(std::memory_order_acquire);
        if (dwPid == 0) {
            return true;
        }
        if (dwPid == ctx.dwProcessId) {
            // Another thread of this process: its end abandons the mutex through OwnedMutexes.
            return S()->dwOwnerTid.load(std::memory_order_relaxed) == ctx.dwThreadId;
        }
        if (LockOwner()) {
            // The owning process is gone: its kernel lock went with it.
            Abandon();
            return true;
        }
        ctx.bPoll = true;
        return false;
    }
    bool Take(WaitContext& ctx) override {
        SharedObject* s = S();
        if (s->dwOwnerPid.load(std::memory_order_relaxed) == ctx.dwProcessId &&
            s->dwOwnerTid.load(std::memory_order_relaxed) == ctx.dwThreadId) {
            s->dwRecursion.store(std::min(s->dwRecursion.load() + 1, MAX_RECURSION),
                                 std::memory_order_relaxed);
            return false;
        }
        LockOwner();
        s->dwOwnerTid.store(ctx.dwThreadId, std::memory_order_relaxed);
        s->dwRecursion.store(1, std::memory_order_relaxed);
        s->dwOwnerPid.store(ctx.dwProcessId, std::memory_order_release);
        NoteOwned(this);
        return s->dwAbandoned.exchange(0, std::memory_order_acq_rel) != 0;
    }
    bool Release(const WaitContext& ctx) override {
        CObjectLock lock(true);
        SharedObject* s = S();
        if (s->dwOwnerPid.load(std::memory_order_acquire) != ctx.dwProcessId ||
            s->dwOwnerTid.load(std::memory_order_relaxed) != ctx.dwThreadId) {
            return false;
        }
        const std::uint32_t dwLeft = s->dwRecursion.load(std::memory_order_relaxed) - 1;
        s->dwRecursion.store(dwLeft, std::memory_order_relaxed);
        if (dwLeft == 0) {
            s->dwOwnerTid.store(0, std::memory_order_relaxed);
            s->dwOwnerPid.store(0, std::memory_order_release);
            UnlockOwner();
            NoteReleased(this);
            NoteSharedChange();
        }
        return true;
    }
    void AbandonIfOwnedBy(const WaitContext& ctx) override {
        CObjectLock lock(true);
        if (S()->dwOwnerPid.load(std::memory_order_acquire) == ctx.dwProcessId &&
            S()->dwOwnerTid.load(std::memory_order_relaxed) == ctx.dwThreadId) {
            Abandon();
        }
    }

private:
    SharedObject* S() const { return m_pFile->State(); }
    // Root-wide lock held.
    void Abandon() {
        SharedObject* s = S();
        s->dwAbandoned.store(1, std::memory_order_relaxed);
        s->dwRecursion.store(0, std::memory_order_relaxed);
        s->dwOwnerTid.store(0, std::memory_order_relaxed);
        s->dwOwnerPid.store(0, std::memory_order_release);
        UnlockOwner();
        NoteSharedChange();
    }
    bool LockOwner() { return OwnerLock(F_WRLCK); }
    void UnlockOwner() { OwnerLock(F_UNLCK); }
    bool OwnerLock(short nType) {
        struct flock fl {};
        fl.l_type = nType;
        fl.l_whence = SEEK_SET;
        fl.l_start = 0;
        fl.l_len = 1;
        return fcntl(m_pFile->Descriptor(), F_OFD_SETLK, &fl) == 0;
    }
    std::unique_ptr<CNamedFile> m_pFile;
};

// Named objects this process has open, by file name, so that every handle of a name in this
// process shares one object. Guarded by its mutex, which is taken before the root-wide lock.
struct NamedRegistry {
    std::mutex mtx;
    std::map<std::string, std::weak_ptr<KernelObject>> objects;
};

NamedRegistry& Registry() {
    static NamedRegistry* pRegistry = new NamedRegistry;
    return *pRegistry;
}

CNamedFile::~CNamedFile() {
    NamedRegistry& registry = Registry();
    CTerminateShield shield;
    std::lock_guard registryLock(registry.mtx);
    {
        CRootLock rootLock(GetSharedRoot());
        // The last holder removes the file; anyone else still holds a shared lock.
        if (flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
            unlink((ObjectsDirectory() + "/" + m_sFile).c_str());
        }
        munmap(m_pState, OBJECT_MAP_SIZE);
        close(m_fd);
    }
    auto it = registry.objects.find(m_sFile);
    if (it != registry.objects.end() && it->second.expired()) {
        registry.objects.erase(it);
    }
}

// Stripped name (what the objects namespace keys on) and its file name.
struct ObjectName {
    std::u16string sName;
    std::string sFile;
};

std::string EncodeFileName(std::u16string_view sName) {
    static const char HEX[] = "0123456789ABCDEF";
    std::string s = "e-";
    for (const char16_t ch : sName) {
        if ((ch >= u'a' && ch <= u'z') || (ch >= u'A' && ch <= u'Z') || (ch >= u'0' && ch <= u'9') ||
            ch == u'_' || ch == u'-' || ch == u'.') {
            s += static_cast<char>(ch);
        } else if (ch < 0x100) {
            s += '%';
            s += HEX[ch >> 4];
            s += HEX[ch & 0xF];
        } else {
            s += '~';
            for (int nShift = 12; nShift >= 0; nShift -= 4) {
                s += HEX[(ch >> nShift) & 0xF];
            }
        }
    }
    if (s.size() <= MAX_ENCODED_NAME) {
        return s;
    }
    // Too long for a file name: two independent 64-bit hashes; the file keeps the full name to
    // catch the (practically impossible) collision.
    std::uint64_t h1 = 0xcbf29ce484222325ULL;
    std::uint64_t h2 = 0x9E3779B97F4A7C15ULL;
    for (const char16_t ch : sName) {
        h1 = (h1 ^ ch) * 0x100000001b3ULL;
        h2 = (h2 + ch) * 0xff51afd7ed558ccdULL;
        h2 ^= h2 >> 29;
    }
    std::string sHash = "h-";
    for (const std::uint64_t h : {h1, h2}) {
        for (int nShift = 60; nShift >= 0; nShift -= 4) {
            sHash += HEX[(h >> nShift) & 0xF];
        }
    }
    return sHash;
}

// False with the last error set for a name the platform refuses; an empty sFile means unnamed.
bool ParseName(const char16_t* szName, ObjectName* pName) {
    const std::size_t cch = WideLength(szName);
    if (cch == 0) {
        return true;
    }
    if (cch > MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::u16string_view sName(szName, cch);
    // One session: both namespaces are the same.
    for (const std::u16string_view sPrefix :
         {std::u16string_view(u"Global\\"), std::u16string_view(u"Local\\")}) {
        if (sName.starts_with(sPrefix)) {
            sName.remove_prefix(sPrefix.size());
            break;
        }
    }
    if (sName.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    if (sName.find(u'\\') != std::u16string_view::npos) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    pName->sName.assign(sName);
    pName->sFile = EncodeFileName(sName);
    return true;
}

bool IsKind(const std::shared_ptr<KernelObject>& pObject, std::uint32_t dwKind) {
    return dwKind == KIND_EVENT ? dynamic_cast<CNamedEvent*>(pObject.get()) != nullptr
                                : dynamic_cast<CNamedMutex*>(pObject.get()) != nullptr;
}

struct CreateParams {
    bool bCreate;
    bool bManualReset;
    bool bInitialState;
};

// Opens (and with bCreate creates) the named object; null with the last error set on failure.
std::shared_ptr<KernelObject> OpenNamed(const ObjectName& name, std::uint32_t dwKind,
                                        const CreateParams& params, bool* pbExisted) {
    SharedRoot* pRoot = GetSharedRoot();
    if (pRoot == nullptr) {
        return nullptr;
    }
    NamedRegistry& registry = Registry();
    // Declared before the lock: if it ends up the last reference, its teardown takes the lock.
    std::shared_ptr<KernelObject> pFound;
    CTerminateShield shield;
    std::lock_guard registryLock(registry.mtx);
    if (auto it = registry.objects.find(name.sFile); it != registry.objects.end()) {
        pFound = it->second.lock();
        if (pFound != nullptr) {
            if (!IsKind(pFound, dwKind)) {
                SetLastError(ERROR_INVALID_HANDLE);
                return nullptr;
            }
            *pbExisted = true;
            return pFound;
        }
    }

    const std::string sPath = ObjectsDirectory() + "/" + name.sFile;
    std::unique_ptr<CNamedFile> pFile;
    {
        // Creation, the stale-file check and teardown all run under the root-wide lock, so a file
        // nobody holds a shared lock on is certainly unused.
        CRootLock rootLock(pRoot);
        const int fd = open(sPath.c_str(), O_RDWR | O_CLOEXEC | (params.bCreate ? O_CREAT : 0), 0600);
        if (fd < 0) {
            SetLastError(ErrorFromErrno(errno));
            return nullptr;
        }
        const bool bLive = flock(fd, LOCK_EX | LOCK_NB) != 0;
        if (!bLive && !params.bCreate) {
            // Left behind by a process that was killed: nobody holds the object.
            unlink(sPath.c_str());
            close(fd);
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        struct stat st {};
        if (!bLive && (ftruncate(fd, 0) != 0 || ftruncate(fd, OBJECT_MAP_SIZE) != 0)) {
            SetLastError(ErrorFromErrno(errno));
            close(fd);
            return nullptr;
        }
        void* pMap = MAP_FAILED;
        if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(OBJECT_MAP_SIZE)) {
            pMap = mmap(nullptr, OBJECT_MAP_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        }
        if (pMap == MAP_FAILED) {
            SetLastError(ERROR_INVALID_HANDLE);
            close(fd);
            return nullptr;
        }
        auto* pState = static_cast<SharedObject*>(pMap);
        if (!bLive) {
            pState->dwKind.store(dwKind, std::memory_order_relaxed);
            pState->dwManualReset.store(params.bManualReset ? 1 : 0, std::memory_order_relaxed);
            pState->dwSignalled.store(params.bInitialState ? 1 : 0, std::memory_order_relaxed);
            std::copy(name.sName.begin(), name.sName.end(), pState->szName);
            pState->cchName.store(static_cast<std::uint32_t>(name.sName.size()), std::memory_order_relaxed);
            pState->dwMagic.store(OBJECT_MAGIC, std::memory_order_release);
        } else {
            const std::uint32_t cchName = pState->cchName.load(std::memory_order_acquire);
            const bool bSame = pState->dwMagic.load(std::memory_order_acquire) == OBJECT_MAGIC &&
                               pState->dwKind.load(std::memory_order_relaxed) == dwKind &&
                               cchName == name.sName.size() &&
                               std::u16string_view(pState->szName, cchName) == name.sName;
            if (!bSame) {
                // Another kind of object holds the name.
                munmap(pMap, OBJECT_MAP_SIZE);
                close(fd);
                SetLastError(ERROR_INVALID_HANDLE);
                return nullptr;
            }
        }
        // Converting the exclusive lock, or joining the other holders.
        while (flock(fd, LOCK_SH) != 0 && errno == EINTR) {
        }
        pFile = std::make_unique<CNamedFile>(name.sFile, fd, pState);
    }
    std::shared_ptr<KernelObject> pObject;
    if (dwKind == KIND_EVENT) {
        pObject = std::make_shared<CNamedEvent>(std::move(pFile));
    } else {
        pObject = std::make_shared<CNamedMutex>(std::move(pFile));
    }
    registry.objects[name.sFile] = pObject;
    *pbExisted = false;
    return pObject;
}

WaitContext CurrentContext() {
    return WaitContext{GetCurrentProcessId(), GetCurrentThreadId()};
}

HANDLE InsertNew(std::shared_ptr<KernelObject> pObject, bool bExisted) {
    HANDLE hObject = InsertHandle(std::move(pObject));
    if (hObject != nullptr) {
        SetLastError(bExisted ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    }
    return hObject;
}

std::shared_ptr<KernelObject> CreateOrOpen(const char16_t* szName, std::uint32_t dwKind,
                                           const CreateParams& params, bool* pbExisted) {
    ObjectName name;
    if (!ParseName(szName, &name)) {
        return nullptr;
    }
    *pbExisted = false;
    try {
        if (name.sFile.empty()) {
            if (!params.bCreate) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            if (dwKind == KIND_EVENT) {
                return std::make_shared<CLocalEvent>(params.bManualReset, params.bInitialState);
            }
            return std::make_shared<CLocalMutex>();
        }
        return OpenNamed(name, dwKind, params, pbExisted);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

}  // namespace

void AbandonOwnedMutexes() {
    std::vector<std::shared_ptr<CMutexBase>> held;
    for (const auto& w : t_owned.items) {
        if (std::shared_ptr<CMutexBase> p = w.lock()) {
            held.push_back(std::move(p));
        }
    }
    t_owned.items.clear();
    const WaitContext ctx = CurrentContext();
    for (const auto& p : held) {
        p->AbandonIfOwnedBy(ctx);
    }
}

}  // namespace platform::posix

namespace platform {

using posix::CreateParams;
using posix::KIND_EVENT;
using posix::KIND_MUTEX;

HANDLE CreateEvent(bool bManualReset, bool bInitialState, const char16_t* szName) {
    bool bExisted = false;
    auto pObject =
        posix::CreateOrOpen(szName, KIND_EVENT, CreateParams{true, bManualReset, bInitialState}, &bExisted);
    return pObject == nullptr ? nullptr : posix::InsertNew(std::move(pObject), bExisted);
}

HANDLE CreateEvent(const SECURITY_ATTRIBUTES*, bool bManualReset, bool bInitialState,
                   const char16_t* szName) {
    return CreateEvent(bManualReset, bInitialState, szName);
}

HANDLE OpenEvent(DWORD dwAccess, bool bInherit, const char16_t* szName) {
    bool bExisted = false;
    auto pObject = posix::CreateOrOpen(szName, KIND_EVENT, CreateParams{false, false, false}, &bExisted);
    return pObject == nullptr ? nullptr : posix::InsertNew(std::move(pObject), false);
}

bool SetEvent(HANDLE hEvent) {
    auto pEvent = posix::LookupHandle<posix::CEventBase>(hEvent);
    if (pEvent == nullptr) {
        return false;
    }
    pEvent->Set();
    return true;
}

bool ResetEvent(HANDLE hEvent) {
    auto pEvent = posix::LookupHandle<posix::CEventBase>(hEvent);
    if (pEvent == nullptr) {
        return false;
    }
    pEvent->Reset();
    return true;
}

HANDLE CreateMutex(bool bInitialOwner, const char16_t* szName) {
    bool bExisted = false;
    auto pObject = posix::CreateOrOpen(szName, KIND_MUTEX, CreateParams{true, false, false}, &bExisted);
    if (pObject == nullptr) {
        return nullptr;
    }
    if (bInitialOwner && !bExisted) {
        posix::WaitContext ctx = posix::CurrentContext();
        posix::CObjectLock lock(pObject->IsShared());
        pObject->Take(ctx);
    }
    return posix::InsertNew(std::move(pObject), bExisted);
}

HANDLE CreateMutex(const SECURITY_ATTRIBUTES*, bool bInitialOwner, const char16_t* szName) {
    return CreateMutex(bInitialOwner, szName);
}

HANDLE OpenMutex(DWORD dwAccess, bool bInherit, const char16_t* szName) {
    bool bExisted = false;
    auto pObject = posix::CreateOrOpen(szName, KIND_MUTEX, CreateParams{false, false, false}, &bExisted);
    return pObject == nullptr ? nullptr : posix::InsertNew(std::move(pObject), false);
}

bool ReleaseMutex(HANDLE hMutex) {
    auto pMutex = posix::LookupHandle<posix::CMutexBase>(hMutex);
    if (pMutex == nullptr) {
        return false;
    }
    if (!pMutex->Release(posix::CurrentContext())) {
        SetLastError(ERROR_NOT_OWNER);
        return false;
    }
    return true;
}

DWORD WaitForSingleObject(HANDLE hObject, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hObject, false, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, bool bWaitAll, DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || pHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::shared_ptr<posix::KernelObject> objects[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < nCount; ++i) {
        objects[i] = posix::LookupObject(pHandles[i]);
        if (objects[i] == nullptr) {
            return WAIT_FAILED;
        }
    }
    return posix::WaitForObjects(objects, nCount, bWaitAll, dwMilliseconds);
}

}  // namespace platform
