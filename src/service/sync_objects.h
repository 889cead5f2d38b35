// The framework's locks and signals: thin owners of platform handles with the framework's traces.
#pragma once

#include <mutex>
#include <string>

#include "platform/security.h"
#include "platform/types.h"

// Named objects live in the platform's global namespace; this builds "Global\<name>".
class CSyncObject {
public:
    static bool CreateGlobalName(const char16_t* szName, std::u16string* psGlobalName,
                                 DWORD dwCharCount = MAX_PATH);
};

// A named object's security, built from its descriptor string and given back with its owner.
class CObjectSecurity {
public:
    CObjectSecurity() = default;
    ~CObjectSecurity();
    CObjectSecurity(const CObjectSecurity&) = delete;
    CObjectSecurity& operator=(const CObjectSecurity&) = delete;

    // Null until Create has succeeded: the creator's default.
    const SECURITY_ATTRIBUTES* Get() const { return m_bCreated ? &m_Attributes : nullptr; }

protected:
    bool Create(const char16_t* szSddl);
    void Release();
    bool Adopt(bool bCreated) { return m_bCreated = bCreated; }

    SECURITY_ATTRIBUTES m_Attributes{};

private:
    bool m_bCreated = false;
};

// Everyone may open the object: its DACL is null.
class CNullDacl : public CObjectSecurity {
public:
    bool Create();
};

// Only the built-in Administrators and LocalSystem may open the object, with every right.
class CAdminDacl : public CObjectSecurity {
public:
    bool Create() { return CObjectSecurity::Create(u"D:(A;;GA;;;BA)(A;;GA;;;SY)"); }
};

class CEvent {
public:
    CEvent() = default;
    // Creates the event at once.
    CEvent(bool bManualReset, bool bInitialState, const char16_t* szName = nullptr, bool bGlobal = false);
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    bool Create(const SECURITY_ATTRIBUTES* pSecurity, bool bManualReset, bool bInitialState,
                const char16_t* szName = nullptr, bool bGlobal = false);
    bool SetEvent();
    bool ResetEvent();
    // True when the event was signalled within the timeout.
    bool Lock(DWORD dwTimeout = INFINITE, bool bPumpMessages = false);
    void Close();

    bool IsCreated() const { return m_hEvent != nullptr; }
    HANDLE Handle() const { return m_hEvent; }

private:
    HANDLE m_hEvent = nullptr;
};

class CMutex {
public:
    CMutex() = default;
    ~CMutex();
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    bool Create(const SECURITY_ATTRIBUTES* pSecurity, bool bInitialOwner, const char16_t* szName = nullptr,
                bool bGlobal = false);
    // Opens a named mutex that some process holds open.
    bool Open(DWORD dwAccess, bool bInherit, const char16_t* szName, bool bGlobal = false);
    // True when the mutex was acquired (also when its previous owner ended without releasing it).
    bool Lock(DWORD dwTimeout = INFINITE);
    bool Unlock();
    void Close();

    bool IsCreated() const { return m_hMutex != nullptr; }
    HANDLE Handle() const { return m_hMutex; }

private:
    HANDLE m_hMutex = nullptr;
};

// A re-entrant lock for threads of one process.
class CCriticalSection {
public:
    CCriticalSection();
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    bool Create();
    bool Lock();
    bool UnLock();

    // For std::lock_guard and friends.
    void lock() { Lock(); }
    void unlock() { UnLock(); }

private:
    std::recursive_mutex m_Mutex;
    bool m_bCreated = false;
};

// Waits on several handles. On the platform this pumps the thread's window messages while waiting;
// POSIX has no window messages, so the pumping wait is a plain wait and WM_QUIT never arrives.
class CMessageLock {
public:
    // WAIT_OBJECT_0 + index, WAIT_ABANDONED_0 + index, WAIT_TIMEOUT or WAIT_FAILED.
    DWORD LockWithMessagePump(const HANDLE* phHandles, DWORD nCount, bool bWaitAll, DWORD dwTimeout);
};
