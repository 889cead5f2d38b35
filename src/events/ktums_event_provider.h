// The protection module's own event provider: the settings-refresh request at start-up and one
// protection alert per violation the driver reports.
#pragma once

#include "events/event_bridge_source.h"
#include "events/event_manager_reconnector.h"
#include "events/provider_helper.h"

class CKTUMSEventProvider : public CProviderHelper {
public:
    explicit CKTUMSEventProvider(IEventBridgeSource* pSource = ProductEventBridgeSource());
    ~CKTUMSEventProvider() override;

    bool Create();
    // Unregisters and releases everything Create made; Create may follow again.
    void Destroy() { ReleaseAll(); }
    LONG ForceSettingsRefresh();
    LONG SendGatewardenAlert(const SYSTEMTIME* pTime, const char16_t* szActorPath, ULONG nActorProcessId,
                             ULONG nAction, const char16_t* szTargetPath, ULONG nTargetProcessId,
                             ULONG nSessionId, bool bBlocked);

private:
    void ReleaseAll();
    // Registers again when the event manager went away and is back; false while it is away. It has
    // no thread to watch the connection from, so each event looks first.
    bool CheckConnection();
    bool Reconnect();

    IEventBridgeSource* m_pSource;
    CEventManagerReconnector m_Reconnector;
    // The module's thread, the violation listener and the compiler's thread (its refresh requests)
    // publish through one registration, which any of them may renew.
    CCriticalSection m_ConnectionLock;
    CComPtr<IKTProxyFactory> m_ProxyFactory;
    CComPtr<IKTEventFactory> m_EventFactory;
    CObjectLoader m_EventFactoryLoader;
    CObjectLoader m_ProxyFactoryLoader;
    CComPtr<CEventManagerHelper> m_EventManagerHelper;
};
