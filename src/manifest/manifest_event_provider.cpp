#include "manifest/manifest_event_provider.h"

#include <new>

#include "diagnostics/user_debug_output.h"

CManifestLCEventProvider::CManifestLCEventProvider(IEventBridgeSource* pSource) : m_pSource(pSource) {}

CManifestLCEventProvider::~CManifestLCEventProvider() {
    ReleaseAll();
}

void CManifestLCEventProvider::ReleaseAll() {
    // The registration goes before the helper it was made through.
    Release();
    m_EventManagerHelper.Release();
    m_pProxyFactory.Release();
    m_pEventFactory.Release();
}

bool CManifestLCEventProvider::Create() {
    ReleaseAll();
    try {
        if (!ZEL_SUCCEEDED(m_pSource->CreateEventFactory(&m_EventFactoryLoader, &m_pEventFactory)) ||
            !m_pEventFactory) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CManifestLCEventProvider::Create - m_EventFactoryLoader.CreateObject() failed \n");
            ReleaseAll();
            return false;
        }
        if (!ZEL_SUCCEEDED(m_pSource->CreateProxyFactory(&m_ProxyFactoryLoader, &m_pProxyFactory)) ||
            !m_pProxyFactory) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CManifestLCEventProvider::Create - m_ProxyFactoryLoader.CreateObject() failed \n");
            return false;
        }
        m_EventManagerHelper = CComPtr<CEventManagerHelper>::Attach(new CEventManagerHelper());
        if (!m_pSource->ConnectEventManager(m_EventManagerHelper.Get(), m_pEventFactory.Get(),
                                            m_pProxyFactory.Get())) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CManifestLCEventProvider::Create - m_EventManagerHelper.Create() failed \n");
            m_EventManagerHelper.Release();
            return false;
        }
        if (!CProviderHelper::Create(m_EventManagerHelper.Get(), true)) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CManifestLCEventProvider::Create - CProviderHelper::Create() failed \n");
            return false;
        }
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_MANIFEST, u"LCCATCH : %s\n", u"std::bad_alloc");
        ReleaseAll();
        return false;
    }
    return true;
}

LONG CManifestLCEventProvider::SendGatewardenEvent(ULONG nType) {
    Create();
    if (!m_pEventFactory) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestLCEventProvider::SendGatewardenEvent - m_pEventFactory = NULL \n");
        return CError::eFailure;
    }
    if (!m_EventManagerHelper || ProviderId() == 0) {
        ReleaseAll();
        return CError::eFailure;
    }
    IKTEvent* pEvent = nullptr;
    if (m_EventManagerHelper->NewEvent(nType, &pEvent) != CError::eNoError || pEvent == nullptr) {
        ReleaseAll();
        return CError::eFailure;
    }
    LONG nEventId = 0;
    IKTEvent* pReturned = nullptr;
    const LONG nResult = CreateEvent(pEvent, false, &nEventId, nullptr, ANSWER_TIMEOUT_MS, false, &pReturned);
    if (pReturned != nullptr) {
        m_EventManagerHelper->DeleteEvent(pReturned);
    }
    m_EventManagerHelper->DeleteEvent(pEvent);
    ReleaseAll();
    return nResult;
}

bool CManifestLCEventProvider::SendRefreshEvent() {
    return SendGatewardenEvent(KT_EVENT_MANIFEST_CHANGE) == CError::eNoError;
}
