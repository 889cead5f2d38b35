#include "events/provider_helper.h"

#include <mutex>
#include <optional>
#include <utility>

#include "diagnostics/user_debug_output.h"
#include "platform/sync.h"

HRESULT STDMETHODCALLTYPE CProviderHelper::CCallback::QueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IUnknown || riid == IID_IKTEventProviderCallback) {
        *ppv = static_cast<IKTEventProviderCallback*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

CProviderHelper::CProviderHelper() = default;

CProviderHelper::~CProviderHelper() {
    Release();
}

void CProviderHelper::FreePendingEvent(CPendingEvent* pInfo) {
    if (pInfo->m_pEvent != nullptr) {
        m_pEventManagerHelper->DeleteEvent(pInfo->m_pEvent);
        pInfo->m_pEvent = nullptr;
    }
}

void CProviderHelper::Release() {
    {
        std::unique_lock lock(m_PendingLock);
        m_bShuttingDown = true;
        if (m_hOnShutdown.IsCreated()) {
            m_hOnShutdown.SetEvent();
            m_WaitersGone.wait(lock, [this] { return m_nWaiters == 0; });
        }
    }
    if (m_pEventManagerHelper && m_nProviderId != 0) {
        m_pEventManagerHelper->UnregisterProvider(m_nProviderId);
    }
    m_nProviderId = 0;
    {
        std::lock_guard lock(m_PendingLock);
        for (auto& [nId, pInfo] : m_PendingEvents) {
            FreePendingEvent(pInfo.get());
        }
        m_PendingEvents.clear();
    }
    m_hOnShutdown.Close();
    m_pEventManagerHelper.Release();
    std::lock_guard lock(m_PendingLock);
    m_bShuttingDown = false;
}

bool CProviderHelper::Create(CEventManagerHelper* pEventManagerHelper, bool bWaitForResults) {
    Release();
    if (!m_hOnShutdown.Create(nullptr, true, false)) {
        TraceOut1(u"CProviderHelper::Create() : m_hOnShutdown.Create() == FALSE\n");
        return false;
    }
    // The mode is fixed before the registration, since answers may come as soon as it stands.
    m_bWaitForResults = bWaitForResults;
    m_pEventManagerHelper = CComPtr<CEventManagerHelper>(pEventManagerHelper);
    LONG nProviderId = 0;
    if (pEventManagerHelper == nullptr ||
        pEventManagerHelper->RegisterProvider(&m_Callback, &nProviderId) != CError::eNoError) {
        TraceOut1(
            u"CProviderHelper::Create() : pEventManagerHelper->RegisterProvider() != CError::eNoError\n");
        m_pEventManagerHelper.Release();
        m_hOnShutdown.Close();
        return false;
    }
    m_nProviderId = nProviderId;
    return true;
}

LONG CProviderHelper::CreateEvent(IKTEvent* pEvent, bool bBroadcast, LONG* pnEventId) {
    if (!m_pEventManagerHelper || m_nProviderId == 0 || m_bWaitForResults) {
        TraceOut1(u"CProviderHelper::CreateEvent() : m_pEventManagerHelper == NULL\n");
        return CError::eFailure;
    }
    return m_pEventManagerHelper->CreateEvent(m_nProviderId, pEvent, bBroadcast, pnEventId);
}

LONG CProviderHelper::CreateEvent(IKTEvent* pEvent, bool bBroadcast, LONG* pnEventId, HANDLE hCancelEvent,
                                  DWORD dwTimeout, bool bPumpMessages, IKTEvent** ppReturned) {
    *ppReturned = nullptr;
    if (!m_pEventManagerHelper || m_nProviderId == 0 || !m_bWaitForResults || bBroadcast) {
        TraceOut1(u"CProviderHelper::CreateEvent() : m_pEventManagerHelper == NULL\n");
        return CError::eFailure;
    }
    const LONG nCreate = m_pEventManagerHelper->CreateEvent(m_nProviderId, pEvent, false, pnEventId);
    if (nCreate != CError::eNoError) {
        TraceOut1(
            u"CProviderHelper::CreateEvent() : m_pEventManagerHelper->CreateEvent() != CError::eNoError\n");
        return nCreate;
    }
    const LONG nEventId = *pnEventId;
    std::optional<CWaitGuard> guard;
    bool bAnswered = false;
    try {
        std::lock_guard lock(m_PendingLock);
        if (m_bShuttingDown) {
            // Released while the event was being created: the shutdown has passed already.
            return CError::eFailure;
        }
        std::shared_ptr<CPendingEvent> pInfo;
        const auto it = m_PendingEvents.find(nEventId);
        if (it != m_PendingEvents.end()) {
            // The answer overtook us.
            pInfo = it->second;
            bAnswered = true;
        } else {
            pInfo = std::make_shared<CPendingEvent>();
            if (!pInfo->m_hOnEvent.Create(nullptr, true, false)) {
                TraceOut1(u"CProviderHelper::CreateEvent() : pInfo->m_hOnEvent.Create() == FALSE\n");
                return CError::eFailure;
            }
            m_PendingEvents[nEventId] = pInfo;
        }
        // The waiter leaves through the guard on every way out, a forced end of this thread
        // included, so that Release never waits for a thread that is gone and the late answer
        // finds its record abandoned.
        guard.emplace(this, std::move(pInfo), nEventId);
    } catch (const std::bad_alloc&) {
        TraceOut1(u"LCCATCH : %s\n", u"std::bad_alloc");
        return CError::eException;
    }

    if (bAnswered) {
        return guard->Leave(WAIT_OBJECT_0 + 1, ppReturned);
    }
    const HANDLE handles[3] = {m_hOnShutdown.Handle(), guard->Record().m_hOnEvent.Handle(), hCancelEvent};
    const DWORD nCount = hCancelEvent != nullptr ? 3 : 2;
    const DWORD dwWait = bPumpMessages ? CMessageLock().LockWithMessagePump(handles, nCount, false, dwTimeout)
                                       : platform::WaitForMultipleObjects(nCount, handles, false, dwTimeout);
    return guard->Leave(dwWait, ppReturned);
}

CProviderHelper::CWaitGuard::CWaitGuard(CProviderHelper* pOwner, std::shared_ptr<CPendingEvent> pInfo,
                                        LONG nEventId)
    : m_pOwner(pOwner), m_pInfo(std::move(pInfo)), m_nEventId(nEventId) {
    ++m_pOwner->m_nWaiters;
}

CProviderHelper::CWaitGuard::~CWaitGuard() {
    if (m_pInfo) {
        std::lock_guard lock(m_pOwner->m_PendingLock);
        Finish(true, nullptr);
    }
}

LONG CProviderHelper::CWaitGuard::Leave(DWORD dwWait, IKTEvent** ppReturned) {
    std::lock_guard lock(m_pOwner->m_PendingLock);
    bool bAbandon = false;
    if (dwWait == WAIT_OBJECT_0 + 1) {
        // The answer is in the record.
    } else if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_OBJECT_0 + 2) {
        bAbandon = true;
    } else if (dwWait == WAIT_TIMEOUT) {
        // The answer may have come between the timeout and the lock.
        if (!m_pInfo->m_hOnEvent.Lock(0)) {
            TraceOut1(u"CProviderHelper::CreateEvent() : m_hOnEvent.Lock() == FALSE\n");
            bAbandon = true;
        }
    } else {
        TraceOut1(u"CProviderHelper::CreateEvent() : cml.Lock() default\n");
        bAbandon = true;
    }
    return Finish(bAbandon, ppReturned);
}

LONG CProviderHelper::CWaitGuard::Finish(bool bAbandon, IKTEvent** ppReturned) {
    const std::shared_ptr<CPendingEvent> pInfo = std::move(m_pInfo);
    if (bAbandon) {
        pInfo->m_nStatus = CError::eFailure;
        pInfo->m_bAbandoned = true;
    }
    const LONG nResult = pInfo->m_nStatus;
    if (nResult == CError::eNoError && ppReturned != nullptr) {
        *ppReturned = std::exchange(pInfo->m_pEvent, nullptr);
    }
    m_pOwner->FreePendingEvent(pInfo.get());
    // An abandoned record whose answer has not come stays, so that the late answer is recognised and
    // dropped; destruction frees whatever is left.
    if (!pInfo->m_bAbandoned || pInfo->m_hOnEvent.Lock(0)) {
        m_pOwner->m_PendingEvents.erase(m_nEventId);
    }
    --m_pOwner->m_nWaiters;
    m_pOwner->m_WaitersGone.notify_all();
    return nResult;
}

LONG CProviderHelper::OnEvent(LONG nProviderId, IKTEvent* pEvent) {
    if (nProviderId != m_nProviderId || !m_pEventManagerHelper) {
        TraceOut1(u"CProviderHelper::OnEvent() : m_pEventManagerHelper == NULL\n");
        return CError::eFailure;
    }
    if (!m_bWaitForResults) {
        return CError::eNoError;
    }
    LONG nEventId = 0;
    if (pEvent == nullptr || pEvent->GetId(&nEventId) < 0) {
        return CError::eFailure;
    }
    try {
        std::lock_guard lock(m_PendingLock);
        auto it = m_PendingEvents.find(nEventId);
        if (it == m_PendingEvents.end()) {
            auto pInfo = std::make_shared<CPendingEvent>();
            if (!pInfo->m_hOnEvent.Create(nullptr, true, false)) {
                TraceOut1(u"CProviderHelper::OnEvent() : pInfo->m_hOnEvent.Create() == FALSE\n");
                return CError::eFailure;
            }
            it = m_PendingEvents.emplace(nEventId, std::move(pInfo)).first;
        }
        CPendingEvent* pInfo = it->second.get();
        if (pInfo->m_bAbandoned) {
            m_PendingEvents.erase(it);
            return CError::eNoError;
        }
        FreePendingEvent(pInfo);
        pInfo->m_nStatus = m_pEventManagerHelper->CopyEvent(pEvent, &pInfo->m_pEvent);
        if (pInfo->m_nStatus != CError::eNoError) {
            TraceOut1(
                u"CProviderHelper::OnEvent() : m_pEventManagerHelper->CopyEvent() != CError::eNoError\n");
        }
        pInfo->m_hOnEvent.SetEvent();
    } catch (const std::bad_alloc&) {
        TraceOut1(u"LCCATCH : %s\n", u"std::bad_alloc");
        return CError::eException;
    }
    return CError::eNoError;
}

size_t CProviderHelper::PendingCount() {
    std::lock_guard lock(m_PendingLock);
    return m_PendingEvents.size();
}
