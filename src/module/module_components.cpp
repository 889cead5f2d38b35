#include "module/module_components.h"

#include "diagnostics/user_debug_output.h"

namespace {

void NotBuiltIn(const char16_t* szComponent) {
    DebugOut2(DBG_CAT_MODULE, u"CModuleComponents - %s not built in\n", szComponent);
}

}  // namespace

bool CModuleComponents::CreateEventProvider() {
    NotBuiltIn(u"event provider");
    return true;
}

bool CModuleComponents::InitializeNotificationSender() {
    NotBuiltIn(u"notification sender");
    return true;
}

bool CModuleComponents::InitializeChannelSubscriber() {
    NotBuiltIn(u"channel subscriber");
    return true;
}

bool CModuleComponents::OpenDriverChannel() {
    NotBuiltIn(u"driver channel");
    return true;
}

bool CModuleComponents::LoadDriver(DWORD* /*pdwDriverError*/) {
    NotBuiltIn(u"driver control");
    return true;
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
    NotBuiltIn(u"channel listener threads");
    return true;
}

bool CModuleComponents::ActivateDriver() {
    NotBuiltIn(u"activation handshake and manifest folder watcher");
    return true;
}

bool CModuleComponents::CreateConfigurationCompiler() {
    NotBuiltIn(u"configuration compiler");
    return true;
}

DWORD CModuleComponents::ForceSettingsRefresh() {
    NotBuiltIn(u"settings refresh request");
    return 1;
}

void CModuleComponents::EnqueueNotification(DWORD dwCode, const char16_t* szText) {
    DebugOut2(DBG_CAT_MODULE,
              u"CModuleComponents - notification sender not built in: notification %u \"%s\"\n", dwCode,
              szText != nullptr ? szText : u"");
}

void CModuleComponents::ShutdownDriver(bool /*bUnload*/) {
    NotBuiltIn(u"driver control");
}

void CModuleComponents::DestroyConfigurationCompiler() {
    NotBuiltIn(u"configuration compiler");
}

void CModuleComponents::StopTrackingManifestFolder(DWORD /*dwTimeout*/) {
    NotBuiltIn(u"manifest folder watcher");
}

void CModuleComponents::DestroyNotificationSender() {
    NotBuiltIn(u"notification sender");
}

void CModuleComponents::DestroyEventProvider() {
    NotBuiltIn(u"event provider");
}
