#include "manifest/manifest_component.h"

CManifestComponent::CManifestComponent(IEventBridgeSource* pSource, SettingsManagerFactory createSettings)
    : m_Plugin(std::move(createSettings)), m_Watcher(pSource), m_EventProvider(pSource) {}

CManifestComponent::~CManifestComponent() {
    m_Plugin.Uninitialize();
}

bool CManifestComponent::GetManifestFolderName(char16_t* szBuffer, DWORD* pdwLength) {
    return CManifestFolderDirChangeHandler::GetManifestFolderName(szBuffer, pdwLength);
}

void CManifestComponent::WriteDataKeysToFile(HANDLE hFile) {
    if (m_Plugin.EnsureInitialized()) {
        m_Plugin.ReadAllKeysToFile(hFile);
    }
}

bool CManifestComponent::ReadManifestsIntoLCSettings() {
    return m_Plugin.EnsureInitialized() && m_Plugin.ReadManifestsIntoLCSettings();
}

bool CManifestComponent::SetDumpLCSettingsToFile(DWORD dwFlag, const char16_t* szFileName) {
    return m_Plugin.EnsureInitialized() && m_Plugin.SetDumpLCSettingsToFile(dwFlag, szFileName);
}

void CManifestComponent::DumpLCSettingsToFile() {
    if (m_Plugin.EnsureInitialized()) {
        m_Plugin.DumpLCSettingsToFile();
    }
}

void CManifestComponent::TrackManifestFolderDirectoryChanges() {
    m_Watcher.TrackManifestFolderDirectoryChanges();
}

HANDLE CManifestComponent::GetDirHandle() {
    return m_Watcher.GetDirHandle();
}

DWORD CManifestComponent::GetFolderThreadID() {
    return m_Watcher.GetFolderThreadID();
}

HANDLE CManifestComponent::GetTrackFolderEvent() {
    return m_Watcher.GetTrackFolderEvent();
}

bool CManifestComponent::StopTrackingManifestFolder(DWORD dwTimeoutMs) {
    return m_Watcher.StopTrackingManifestFolder(dwTimeoutMs);
}

bool CManifestComponent::SendRefreshEvent() {
    return m_EventProvider.SendRefreshEvent();
}
