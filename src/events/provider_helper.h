// A registered event provider. In waiting mode a creator may wait for the answer (the event as its
// subscriber committed or cancelled it), which the event manager delivers on its own thread, before,
// during or after the wait.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>

#include "events/event_manager_helper.h"
#include "service/sync_objects.h"

class CProviderHelper {
public:
    CProviderHelper();
    virtual ~CProviderHelper();
    CProviderHelper(const CProviderHelper&) = delete;
    CProviderHelper& operator=(const CProviderHelper&) = delete;

    virtual void OnCreated() {}

    bool Create(CEventManagerHelper* pEventManagerHelper, bool bWaitForResults);
    // Waits for the answer; only in waiting mode and never broadcast. The caller frees *ppReturned.
    virtual LONG CreateEvent(IKTEvent* pEvent, bool bBroadcast, LONG* pnEventId, HANDLE hCancelEvent,
                             DWORD dwTimeout, bool bPumpMessages, IKTEvent** ppReturned);
    // Fire and forget: only without waiting mode.
    virtual LONG CreateEvent(IKTEvent* pEvent, bool bBroadcast, LONG* pnEventId);

    LONG OnEvent(LONG nProviderId, IKTEvent* pEvent);
    LONG ProviderId() const { return m_nProviderId; }
    // Records of answers not yet taken, including those of abandoned waits.
    size_t PendingCount();

    // Unregisters and lets every waiter go; the object can be created again.
    void Release();

private:
    struct CPendingEvent {
        CEvent m_hOnEvent;
        IKTEvent* m_pEvent = nullptr;
        LONG m_nStatus = CError::eNoError;
        bool m_bAbandoned = false;
    };

    // What the event manager calls; lives and dies with this object, which unregisters first.
    class CCallback final : public IKTEventProviderCallback {
    public:
        explicit CCallback(CProviderHelper* pOwner) : m_pOwner(pOwner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
        ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
        ULONG STDMETHODCALLTYPE Release() override { return 1; }
        LONG STDMETHODCALLTYPE OnEvent(LONG nProviderId, IKTEvent* pEvent) override {
            return m_pOwner->OnEvent(nProviderId, pEvent);
        }

    private:
        CProviderHelper* m_pOwner;
    };

    // One waiter of the waiting CreateEvent, from its record's filing to its leaving.
    class CWaitGuard {
    public:
        // Counts the waiter in; the caller holds m_PendingLock.
        CWaitGuard(CProviderHelper* pOwner, std::shared_ptr<CPendingEvent> pInfo, LONG nEventId);
        // Leaves abandoned unless Leave ran.
        ~CWaitGuard();
        CWaitGuard(const CWaitGuard&) = delete;
        CWaitGuard& operator=(const CWaitGuard&) = delete;
        // The wait's outcome; the record's status, and the answer in *ppReturned when there is one.
        LONG Leave(DWORD dwWait, IKTEvent** ppReturned);
        CPendingEvent& Record() { return *m_pInfo; }

    private:
        // Under m_PendingLock.
        LONG Finish(bool bAbandon, IKTEvent** ppReturned);

        CProviderHelper* m_pOwner;
        std::shared_ptr<CPendingEvent> m_pInfo;
        LONG m_nEventId;
    };

    void FreePendingEvent(CPendingEvent* pInfo);

    CCallback m_Callback{this};
    LONG m_nProviderId = 0;
    CComPtr<CEventManagerHelper> m_pEventManagerHelper;
    std::map<LONG, std::shared_ptr<CPendingEvent>> m_PendingEvents;
    CCriticalSection m_PendingLock;
    CEvent m_hOnShutdown;
    bool m_bWaitForResults = false;
    // Waiters still inside CreateEvent; Release waits for them to leave.
    int m_nWaiters = 0;
    bool m_bShuttingDown = false;
    std::condition_variable_any m_WaitersGone;
};
