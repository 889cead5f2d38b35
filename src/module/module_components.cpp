#include "module/module_components.h"

#include "diagnostics/user_debug_output.h"
#include "events/notify_event_sender.h"

namespace {

void NotBuiltIn(const char16_t* szComponent) {
    DebugOut2(DBG_CAT_MODULE, u"CModuleComponents - %s not built in\n", szComponent);
}

}  // namespace

bool CModuleComponents::CreateEventProvider() {
    return m_EventProvider.Create();
}

bool CModuleComponents::InitializeNotificationSender() {
    return CNotifyEventSender::Initialize();
}

CModuleComponents::~CModuleComponents() {
    DestroyConfigurationCompiler();
}

void CModuleComponents::SetStopRequester(std::function<void()> pfnRequestStop) {
    m_pfnRequestStop = std::move(pfnRequestStop);
}

void CModuleComponents::SetStopStepReporter(std::function<void()> pfnReport) {
    m_DriverControl.SetStopStepReporter(std::move(pfnReport));
}

bool CModuleComponents::InitializeChannelSubscriber() {
    return m_DriverControl.InitializeChannelSubscriber();
}

bool CModuleComponents::OpenDriverChannel() {
    return m_DriverControl.openDriverChannel();
}

bool CModuleComponents::LoadDriver(DWORD* pdwDriverError) {
    return m_DriverControl.loadDriver(pdwDriverError);
}

bool CModuleComponents::CreatePolicyEventListener() {
    NotBuiltIn(u"violation listener");
    return true;
}

bool CModuleComponents::CreateMSIQueryListener(int /*nIndex*/) {
    NotBuiltIn(u"install-query listener");
    return true;
}

bool CModuleComponents::StartListeningForMessages() {
    return m_DriverControl.StartListeningForMessages();
}

bool CModuleComponents::ActivateDriver() {
    return m_DriverControl.ActivateDriver([] { NotBuiltIn(u"manifest folder watcher"); });
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

void CModuleComponents::StopTrackingManifestFolder(DWORD /*dwTimeout*/) {
    NotBuiltIn(u"manifest folder watcher");
}

void CModuleComponents::DestroyNotificationSender() {
    CNotifyEventSender::Destroy();
}

void CModuleComponents::DestroyEventProvider() {
    m_EventProvider.Destroy();
}
