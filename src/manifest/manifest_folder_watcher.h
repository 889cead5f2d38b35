// The manifest folder: its name, and a thread that announces (event 6005) every manifest added,
// changed or removed there while the protection module runs.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "manifest/manifest_event_provider.h"
#include "platform/types.h"

constexpr DWORD FOLDER_STATUS_INITIALIZED = 1;

class CManifestFolderDirChangeHandler {
public:
    static constexpr DWORD FOLDER_NAME_LENGTH = 261;
    // What the thread reads per notification, and what it allocates for it.
    static constexpr DWORD CHANGE_READ_BYTES = 276;
    static constexpr DWORD CHANGE_BUFFER_BYTES = 552;

    explicit CManifestFolderDirChangeHandler(IEventBridgeSource* pSource = ProductEventBridgeSource());
    ~CManifestFolderDirChangeHandler();
    CManifestFolderDirChangeHandler(const CManifestFolderDirChangeHandler&) = delete;
    CManifestFolderDirChangeHandler& operator=(const CManifestFolderDirChangeHandler&) = delete;

    static bool GetManifestFolderName(std::u16string* psFolder);
    // *pdwLength: in, the buffer's length in characters; out, the length needed with the NUL.
    static bool GetManifestFolderName(char16_t* szBuffer, DWORD* pdwLength);

    void TrackManifestFolderDirectoryChanges();
    bool StopTrackingManifestFolder(DWORD dwTimeoutMs);

    static void HandleManifestCopiedEvent(CManifestFolderDirChangeHandler* pWatcher,
                                          const char16_t* szFileName);
    static DWORD TrackDirectoryChangeThread(void* pWatcher);

    HANDLE GetDirHandle() const { return m_hDir; }
    DWORD GetFolderThreadID() const { return m_dwThreadID; }
    HANDLE GetTrackFolderEvent() const { return m_hTrackFolderEvent; }
    DWORD Status() const { return m_ManifestFolderStatus; }
    CManifestLCEventProvider& EventProvider() { return m_EventProvider; }

private:
    std::unique_ptr<char16_t[]> m_szManifestFolder;
    DWORD m_dwManifestFolderLength = FOLDER_NAME_LENGTH;
    HANDLE m_hDir;
    std::atomic<DWORD> m_dwThreadID{0};  // cleared by the watcher thread as it ends
    HANDLE m_hTrackFolderEvent = nullptr;
    // The thread's own handle: this platform has no OpenThread, so the stopper waits on it.
    HANDLE m_hThread = nullptr;
    DWORD m_ManifestFolderStatus = 0;
    CManifestLCEventProvider m_EventProvider;
};
