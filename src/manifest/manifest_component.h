// What the protection module reaches the manifest subsystem through: its own manifest plug-in
// instance (separate from the compiler's), the folder watcher and the manifest event provider.
#pragma once

#include "manifest/manifest_event_provider.h"
#include "manifest/manifest_folder_watcher.h"
#include "manifest/manifest_plugin.h"

class CManifestComponent {
public:
    explicit CManifestComponent(IEventBridgeSource* pSource = ProductEventBridgeSource(),
                                SettingsManagerFactory createSettings = {});
    virtual ~CManifestComponent();
    CManifestComponent(const CManifestComponent&) = delete;
    CManifestComponent& operator=(const CManifestComponent&) = delete;

    virtual bool GetManifestFolderName(char16_t* szBuffer, DWORD* pdwLength);
    virtual void WriteDataKeysToFile(HANDLE hFile);
    virtual bool ReadManifestsIntoLCSettings();
    virtual bool SetDumpLCSettingsToFile(DWORD dwFlag, const char16_t* szFileName);
    virtual void DumpLCSettingsToFile();
    virtual void TrackManifestFolderDirectoryChanges();
    virtual HANDLE GetDirHandle();
    virtual DWORD GetFolderThreadID();
    virtual HANDLE GetTrackFolderEvent();
    virtual bool StopTrackingManifestFolder(DWORD dwTimeoutMs);
    virtual bool SendRefreshEvent();

private:
    CManifestConfigCompilerPlugin m_Plugin;
    CManifestFolderDirChangeHandler m_Watcher;
    CManifestLCEventProvider m_EventProvider;
};
