// The manifest subsystem's announcement to the event manager that manifests changed (event 6005).
// Each event connects, waits for the manager's answer and disconnects: changes are rare, and the
// watcher's thread must not keep a registration alive between them.
#pragma once

#include "events/event_bridge_source.h"
#include "events/provider_helper.h"

class CManifestLCEventProvider : public CProviderHelper {
public:
    static constexpr DWORD ANSWER_TIMEOUT_MS = 30000;

    explicit CManifestLCEventProvider(IEventBridgeSource* pSource = ProductEventBridgeSource());
    ~CManifestLCEventProvider() override;

    bool Create();
    // The helper's result: 1 when the event was delivered, -1 when it could not be made or sent.
    LONG SendGatewardenEvent(ULONG nType);
    bool SendRefreshEvent();

private:
    void ReleaseAll();

    IEventBridgeSource* m_pSource;
    CComPtr<IKTEventFactory> m_pEventFactory;
    CComPtr<IKTProxyFactory> m_pProxyFactory;
    CObjectLoader m_EventFactoryLoader;
    CObjectLoader m_ProxyFactoryLoader;
    CComPtr<CEventManagerHelper> m_EventManagerHelper;
};
