#include "module/module_components.h"

#include "diagnostics/user_debug_output.h"
#include "events/notify_event_sender.h"
#include "module/ktums_module.h"
#include "platform/system.h"

namespace {

// How long a listener may take to leave once its subscription is aborted, before it is ended by force.
constexpr DWORD LISTENER_END_TIMEOUT_MS = 5000;
constexpr int MSI_QUERY_LISTENERS = 2;

}  // namespace

bool CModuleComponents::CreateEventProvider() {
    // The first step of a service start: its counts begin here, before any thread counts.
    if (!m_Counters.Publish()) {
        DebugOut2(DBG_CAT_MODULE, u"CModuleComponents - counters not published (%#08X)\n",
                  platform::GetLastError());
    }
    return m_EventProvider.Create();
}

bool CModuleComponents::InitializeNotificationSender() {
    return CNotifyEventSender::Initialize();
}

struct CModuleComponents::CListeners {
    explicit CListeners(IListenerContext* pContext)
        : policy(pContext),
          msi{CKTUMSModule::CMSIQueryListener(pContext), CKTUMSModule::CMSIQueryListener(pContext)} {}
    CKTUMSModule::CPolicyEventListener policy;
    CKTUMSModule::CMSIQueryListener msi[MSI_QUERY_LISTENERS];
};

CModuleComponents::CModuleComponents()
    : m_pListeners(std::make_unique<CListeners>(static_cast<IListenerContext*>(this))) {}

CModuleComponents::~CModuleComponents() {
    DestroyConfigurationCompiler();
    // The listeners' waits end when the subscriber aborts their subscriptions; they unsubscribe on the
    // way out and may be sending an install reply, so the subscriber and the channel stay until they
    // have ended.
    m_DriverControl.StopSubscriber();
    EndListeners();
    m_DriverControl.DestroySubscriber();
    m_pListeners.reset();
}

void CModuleComponents::EndListeners() {
    m_pListeners->policy.Terminate(LISTENER_END_TIMEOUT_MS);
    for (auto& listener : m_pListeners->msi) {
        listener.Terminate(LISTENER_END_TIMEOUT_MS);
    }
}

void CModuleComponents::SetSettingsManager(ISettingsManager* pManager) {
    m_SettingsMgr = CComPtr<ISettingsManager>(pManager);
}

void CModuleComponents::SetStopRequester(std::function<void()> pfnRequestStop) {
    m_pfnRequestStop = std::move(pfnRequestStop);
}

void CModuleComponents::SetStopStepReporter(std::function<void()> pfnReport) {
    m_DriverControl.SetStopStepReporter(std::move(pfnReport));
}

bool CModuleComponents::InitializeChannelSubscriber() {
    m_DriverControl.Subscriber().SetBacklogStallCounter(m_Counters.Counter(COUNTER_BACKLOG_STALLS));
    m_DriverControl.Subscriber().SetChannelLostCounter(m_Counters.Counter(COUNTER_CHANNEL_LOST));
    return m_DriverControl.InitializeChannelSubscriber();
}

bool CModuleComponents::OpenDriverChannel() {
    return m_DriverControl.openDriverChannel();
}

bool CModuleComponents::LoadDriver(DWORD* pdwDriverError) {
    return m_DriverControl.loadDriver(pdwDriverError);
}

bool CModuleComponents::CreatePolicyEventListener() {
    return m_pListeners->policy.Create(nullptr, 0, 0);
}

bool CModuleComponents::CreateMSIQueryListener(int nIndex) {
    return nIndex >= 0 && nIndex < MSI_QUERY_LISTENERS && m_pListeners->msi[nIndex].Create(nullptr, 0, 0);
}

bool CModuleComponents::StartListeningForMessages() {
    return m_DriverControl.StartListeningForMessages();
}

bool CModuleComponents::ActivateDriver() {
    return m_DriverControl.ActivateDriver([this] { m_Manifest.TrackManifestFolderDirectoryChanges(); });
}

bool CModuleComponents::CreateConfigurationCompiler() {
    m_pCompiler = std::make_unique<CKTConfigurationCompiler>(static_cast<IConfigCompilerCallback*>(this));
    return m_pCompiler->Create();
}

DWORD CModuleComponents::ForceSettingsRefresh() {
    return static_cast<DWORD>(m_EventProvider.ForceSettingsRefresh());
}

void CModuleComponents::EnqueueNotification(DWORD dwCode, const char16_t* szText) {
    // A refused notification is logged by the sender; the module goes on without it.
    CNotifyEventSender::EnqueueEvent(dwCode, szText);
}

void CModuleComponents::ShutdownDriver(bool bUnload) {
    m_DriverControl.ShutdownDriver(bUnload);
}

void CModuleComponents::DestroyConfigurationCompiler() {
    if (m_pCompiler) {
        m_pCompiler->Destroy();
        m_pCompiler.reset();
    }
}

void CModuleComponents::RequestStop() {
    if (m_pfnRequestStop) {
        m_pfnRequestStop();
    }
}

HRESULT CModuleComponents::SendConfigNotification(const std::u16string& sPath, CErrorStack& errorStack) {
    return m_DriverControl.SendConfigNotification(sPath, errorStack);
}

void CModuleComponents::RequestSettingsRefresh() {
    if (m_EventProvider.ForceSettingsRefresh() != CError::eNoError) {
        DebugOut2(DBG_CAT_MODULE,
                  u"CModuleComponents::RequestSettingsRefresh(): failed to force settings refresh\n");
    }
}

void CModuleComponents::StopTrackingManifestFolder(DWORD dwTimeout) {
    m_Manifest.StopTrackingManifestFolder(dwTimeout);
}

void CModuleComponents::DestroyNotificationSender() {
    CNotifyEventSender::Destroy();
}

void CModuleComponents::DestroyEventProvider() {
    m_EventProvider.Destroy();
}

CKTKChannelSubscriber& CModuleComponents::Subscriber() {
    return m_DriverControl.Subscriber();
}

CKTUMessageChannel& CModuleComponents::Channel() {
    return m_DriverControl.Channel();
}

LONG CModuleComponents::SendGatewardenAlert(const SYSTEMTIME* pTime, const char16_t* szActorPath,
                                            ULONG nActorProcessId, ULONG nAction,
                                            const char16_t* szTargetPath, ULONG nTargetProcessId,
                                            ULONG nSessionId, bool bBlocked) {
    return m_EventProvider.SendGatewardenAlert(pTime, szActorPath, nActorProcessId, nAction, szTargetPath,
                                               nTargetProcessId, nSessionId, bBlocked);
}

bool CModuleComponents::EnqueueNotification(DWORD dwCode, const char16_t* szText, const SYSTEMTIME& time) {
    return CNotifyEventSender::EnqueueEvent(dwCode, szText, time);
}

ISettingsManager* CModuleComponents::SettingsManager() {
    return m_SettingsMgr.Get();
}

CInstallIdentifier& CModuleComponents::InstallIdentifier() {
    return m_InstallIdentifier;
}

CServiceCounters& CModuleComponents::Counters() {
    return m_Counters;
}
