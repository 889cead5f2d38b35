#include "service/sync_objects.h"

#include <system_error>

#include "diagnostics/user_debug_output.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace {

// The name to hand to the platform: null for unnamed objects, else the name, prefixed when global.
bool ObjectName(const char16_t* szClass, const char16_t* szName, bool bGlobal, std::u16string* psName) {
    if (szName == nullptr || !bGlobal) {
        psName->assign(szName == nullptr ? u"" : szName);
        return true;
    }
    if (!CSyncObject::CreateGlobalName(szName, psName)) {
        TraceOut1(u"%s::Create() : CreateGlobalName() == FALSE\n", szClass);
        return false;
    }
    return true;
}

const char16_t* NameOrNull(const char16_t* szName, const std::u16string& sName) {
    return szName == nullptr ? nullptr : sName.c_str();
}

}  // namespace

bool CSyncObject::CreateGlobalName(const char16_t* szName, std::u16string* psGlobalName, DWORD dwCharCount) {
    static constexpr char16_t GLOBAL_PREFIX[] = u"Global\\";
    if (platform::WideLength(szName) + 7 + 1 > dwCharCount) {
        TraceOut1(u"CSyncObject::CreateGlobalName() : lstrlen(szName) + 7 + 1 > dwCharCount\n");
        return false;
    }
    psGlobalName->assign(GLOBAL_PREFIX);
    psGlobalName->append(szName);
    return true;
}

CObjectSecurity::~CObjectSecurity() {
    Release();
}

bool CObjectSecurity::Create(const char16_t* szSddl) {
    Release();
    return Adopt(platform::CreateSecurityAttributes(szSddl, &m_Attributes));
}

void CObjectSecurity::Release() {
    if (m_bCreated) {
        platform::FreeSecurityAttributes(&m_Attributes);
        m_bCreated = false;
    }
}

bool CNullDacl::Create() {
    Release();
    return Adopt(platform::CreateNullDaclSecurityAttributes(&m_Attributes));
}

CEvent::CEvent(bool bManualReset, bool bInitialState, const char16_t* szName, bool bGlobal) {
    if (!Create(nullptr, bManualReset, bInitialState, szName, bGlobal)) {
        TraceOut1(u"CEvent::CEvent() : Create() == FALSE\n");
    }
}

CEvent::~CEvent() {
    Close();
}

void CEvent::Close() {
    if (m_hEvent != nullptr) {
        platform::CloseHandle(m_hEvent);
        m_hEvent = nullptr;
    }
}

bool CEvent::Create(const SECURITY_ATTRIBUTES* pSecurity, bool bManualReset, bool bInitialState,
                    const char16_t* szName, bool bGlobal) {
    Close();
    std::u16string sName;
    if (!ObjectName(u"CEvent", szName, bGlobal, &sName)) {
        return false;
    }
    m_hEvent = platform::CreateEvent(pSecurity, bManualReset, bInitialState, NameOrNull(szName, sName));
    if (m_hEvent == nullptr) {
        TraceOut1(u"CEvent::Create() : CreateEvent() == NULL, 0x%08X\n", platform::GetLastError());
        return false;
    }
    return true;
}

bool CEvent::SetEvent() {
    if (m_hEvent == nullptr) {
        TraceOut1(u"CEvent::SetEvent() : m_hEvent == NULL\n");
        return false;
    }
    return platform::SetEvent(m_hEvent);
}

bool CEvent::ResetEvent() {
    if (m_hEvent == nullptr) {
        TraceOut1(u"CEvent::ResetEvent() : m_hEvent == NULL\n");
        return false;
    }
    return platform::ResetEvent(m_hEvent);
}

bool CEvent::Lock(DWORD dwTimeout, bool bPumpMessages) {
    if (m_hEvent == nullptr) {
        TraceOut1(u"CEvent::Lock() : m_hEvent == NULL\n");
        return false;
    }
    const DWORD dwResult = bPumpMessages ? CMessageLock().LockWithMessagePump(&m_hEvent, 1, false, dwTimeout)
                                         : platform::WaitForSingleObject(m_hEvent, dwTimeout);
    return dwResult == WAIT_OBJECT_0;
}

CMutex::~CMutex() {
    Close();
}

void CMutex::Close() {
    if (m_hMutex != nullptr) {
        platform::CloseHandle(m_hMutex);
        m_hMutex = nullptr;
    }
}

bool CMutex::Create(const SECURITY_ATTRIBUTES* pSecurity, bool bInitialOwner, const char16_t* szName,
                    bool bGlobal) {
    Close();
    std::u16string sName;
    if (!ObjectName(u"CMutex", szName, bGlobal, &sName)) {
        return false;
    }
    m_hMutex = platform::CreateMutex(pSecurity, bInitialOwner, NameOrNull(szName, sName));
    if (m_hMutex == nullptr) {
        TraceOut1(u"CMutex::Create() : CreateMutex() == NULL, 0x%08X\n", platform::GetLastError());
        return false;
    }
    return true;
}

bool CMutex::Open(DWORD dwAccess, bool bInherit, const char16_t* szName, bool bGlobal) {
    Close();
    std::u16string sName;
    if (!ObjectName(u"CMutex", szName, bGlobal, &sName)) {
        return false;
    }
    m_hMutex = platform::OpenMutex(dwAccess, bInherit, sName.c_str());
    if (m_hMutex == nullptr) {
        TraceOut2(u"CMutex::Open() : OpenMutex() == NULL, %s, 0x%08X\n", sName, platform::GetLastError());
        return false;
    }
    return true;
}

bool CMutex::Lock(DWORD dwTimeout) {
    if (m_hMutex == nullptr) {
        TraceOut1(u"CMutex::Lock() : m_hMutex == NULL\n");
        return false;
    }
    const DWORD dwResult = platform::WaitForSingleObject(m_hMutex, dwTimeout);
    return dwResult == WAIT_OBJECT_0 || dwResult == WAIT_ABANDONED_0;
}

bool CMutex::Unlock() {
    return m_hMutex != nullptr && platform::ReleaseMutex(m_hMutex);
}

CCriticalSection::CCriticalSection() {
    if (!Create()) {
        TraceOut1(u"CCriticalSection::CCriticalSection() : Create() == FALSE\n");
    }
}

bool CCriticalSection::Create() {
    // std::recursive_mutex is ready once constructed; nothing can fail here on POSIX.
    m_bCreated = true;
    return true;
}

bool CCriticalSection::Lock() {
    if (!m_bCreated) {
        TraceOut1(u"CCriticalSection::Lock() : m_bCreated == FALSE\n");
        return false;
    }
    try {
        m_Mutex.lock();
    } catch (const std::system_error& e) {
        TraceOut1(u"CCriticalSection::Lock() : __except(), 0x%08X\n", static_cast<DWORD>(e.code().value()));
        return false;
    }
    return true;
}

bool CCriticalSection::UnLock() {
    if (!m_bCreated) {
        TraceOut1(u"CCriticalSection::UnLock() : m_bCreated == FALSE\n");
        return false;
    }
    m_Mutex.unlock();
    return true;
}

DWORD CMessageLock::LockWithMessagePump(const HANDLE* phHandles, DWORD nCount, bool bWaitAll,
                                        DWORD dwTimeout) {
    if (nCount == 0) {
        TraceOut1(u"CMessageLock::LockWithMessagePump() : nCount == 0, 0x%08X\n",
                  static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        return WAIT_FAILED;
    }
    const DWORD dwResult = platform::WaitForMultipleObjects(nCount, phHandles, bWaitAll, dwTimeout);
    if (dwResult == WAIT_FAILED) {
        TraceOut1(
            u"CMessageLock::LockWithMessagePump() : MsgWaitForMultipleObjectsEx() == WAIT_FAILED, 0x%08X\n",
            platform::GetLastError());
    }
    return dwResult;
}
