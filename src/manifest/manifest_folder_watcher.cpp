#include "manifest/manifest_folder_watcher.h"

#include <cstring>
#include <new>

#include "diagnostics/user_debug_output.h"
#include "platform/dir_watch.h"
#include "platform/file.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "service/installed_apps.h"

namespace {

constexpr const char16_t* MANIFEST_FOLDER = u"GWManifests";
constexpr const char16_t* MANIFEST_EXTENSION = u"gwm";
constexpr DWORD FOLDER_SHARE =
    platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE | platform::FILE_SHARE_DELETE;
constexpr DWORD FOLDER_FLAGS = platform::FILE_FLAG_BACKUP_SEMANTICS | platform::FILE_FLAG_OVERLAPPED;
constexpr DWORD CHANGE_FILTER = platform::FILE_NOTIFY_CHANGE_FILE_NAME |
                                platform::FILE_NOTIFY_CHANGE_DIR_NAME |
                                platform::FILE_NOTIFY_CHANGE_LAST_WRITE;
constexpr DWORD MAX_PATH_CHARS = 260;
}  // namespace

CManifestFolderDirChangeHandler::CManifestFolderDirChangeHandler(IEventBridgeSource* pSource)
    : m_hDir(INVALID_HANDLE_VALUE), m_EventProvider(pSource) {
    try {
        m_szManifestFolder = std::make_unique<char16_t[]>(FOLDER_NAME_LENGTH);
    } catch (const std::bad_alloc&) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestFolderDirChangeHandler::CManifestFolderDirChangeHandler - new WCHAR [ m_dwSizeTmp ] "
            u"threw an exception \n");
        return;
    }
    if (!GetManifestFolderName(m_szManifestFolder.get(), &m_dwManifestFolderLength)) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestFolderDirChangeHandler::CManifestFolderDirChangeHandler - "
                  u"CManifestFolderDirChangeHandler::GetManifestFolderName failed\n");
        return;
    }
    m_hTrackFolderEvent = platform::CreateEvent(true, false, u"");
    if (m_hTrackFolderEvent == nullptr) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestFolderDirChangeHandler::CManifestFolderDirChangeHandler - CreateEvent failed\n");
        return;
    }
    m_ManifestFolderStatus = FOLDER_STATUS_INITIALIZED;
}

CManifestFolderDirChangeHandler::~CManifestFolderDirChangeHandler() {
    if (GetDirHandle() != INVALID_HANDLE_VALUE) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestFolderDirChangeHandler::~CManifestFolderDirChangeHandler - GetDirHandle () != "
                  u"INVALID_HANDLE_VALUE  \n");
    }
    if (GetFolderThreadID() != 0) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestFolderDirChangeHandler::~CManifestFolderDirChangeHandler - GetFolderThreadID() != 0  "
            u"\n");
    }
    m_szManifestFolder.reset();
    if (m_hThread != nullptr) {
        platform::CloseHandle(m_hThread);
    }
    if (m_hTrackFolderEvent != nullptr) {
        platform::CloseHandle(m_hTrackFolderEvent);
    } else {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestFolderDirChangeHandler::~CManifestFolderDirChangeHandler - ! ( TrackFolderEvent "
                  u" > 0 ) "
                  u"\n");
    }
}

bool CManifestFolderDirChangeHandler::GetManifestFolderName(std::u16string* psFolder) {
    std::u16string sShared;
    if (!CInstalledApps::GetZelSharedDirectory(&sShared)) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestFolderDirChangeHandler::GetManifestFolderName - failed to get shared directory from "
            u"LC\n");
        return false;
    }
    try {
        std::u16string sFolder = sShared;
        if (!sFolder.empty() && sFolder.back() != u'\\') {
            sFolder.push_back(u'\\');
        }
        sFolder += MANIFEST_FOLDER;
        if (sFolder.size() >= FOLDER_NAME_LENGTH) {
            DebugOut1(DBG_CAT_MANIFEST,
                      u"CManifestFolderDirChangeHandler::GetManifestFolderName - failed to construct folder "
                      u"name\n");
            return false;
        }
        *psFolder = std::move(sFolder);
    } catch (const std::bad_alloc&) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestFolderDirChangeHandler::GetManifestFolderName - failed to construct folder name\n");
        return false;
    }
    return true;
}

bool CManifestFolderDirChangeHandler::GetManifestFolderName(char16_t* szBuffer, DWORD* pdwLength) {
    std::u16string sFolder;
    if (!GetManifestFolderName(&sFolder)) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestFolderDirChangeHandler::GetManifestFolderName - failed to get manifest folder name\n");
        return false;
    }
    const DWORD dwNeeded = static_cast<DWORD>(sFolder.size() + 1);
    bool bResult = false;
    if (*pdwLength < dwNeeded) {
        if (*pdwLength != 0) {
            DebugOut2(
                DBG_CAT_MANIFEST,
                u"CManifestFolderDirChangeHandler::GetManifestFolderName - did not receive sufficient buffer "
                u"length\n");
        }
    } else {
        std::memcpy(szBuffer, sFolder.c_str(), dwNeeded * sizeof(char16_t));
        bResult = true;
    }
    *pdwLength = dwNeeded;
    return bResult;
}

void CManifestFolderDirChangeHandler::TrackManifestFolderDirectoryChanges() {
    if (m_ManifestFolderStatus != FOLDER_STATUS_INITIALIZED) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestFolderDirChangeHandler::TrackManifestFolderDirectoryChanges - "
                  u"m_ManifestFolderStatus != "
                  u"FOLDER_STATUS_INITIALIZED \n");
        m_dwThreadID = 0;
        return;
    }
    m_hDir = platform::CreateFile(m_szManifestFolder.get(), platform::FILE_LIST_DIRECTORY, FOLDER_SHARE,
                                  platform::OPEN_EXISTING, FOLDER_FLAGS);
    if (m_hDir == INVALID_HANDLE_VALUE) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestFolderDirChangeHandler::TrackManifestFolderDirectoryChanges - hDir = "
                  u"INVALID_HANDLE_VALUE \n");
        m_dwThreadID = 0;
        return;
    }
    if (m_hTrackFolderEvent == nullptr) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestFolderDirChangeHandler::TrackManifestFolderDirectoryChanges - GetTrackFolderEvent() "
            u"returned NULL  \n");
        m_dwThreadID = 0;
        return;
    }
    platform::ResetEvent(m_hTrackFolderEvent);
    if (m_hThread != nullptr) {
        platform::CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    DWORD dwThreadID = 0;
    // The id is set before the thread runs, so that its clearing at the end is never overtaken.
    m_dwThreadID = 0xFFFFFFFF;
    m_hThread =
        platform::CreateThread(0, &TrackDirectoryChangeThread, this, platform::CREATE_SUSPENDED, &dwThreadID);
    if (m_hThread == nullptr) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestFolderDirChangeHandler::TrackManifestFolderDirectoryChanges - _beginthreadex "
                  u"failed \n");
        m_dwThreadID = 0;
        return;
    }
    m_dwThreadID = dwThreadID;
    platform::ResumeThread(m_hThread);
}

bool CManifestFolderDirChangeHandler::StopTrackingManifestFolder(DWORD dwTimeoutMs) {
    if (m_ManifestFolderStatus != FOLDER_STATUS_INITIALIZED) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestFolderDirChangeHandler::StopTrackingManifestFolder - m_ManifestFolderStatus != "
                  u"FOLDER_STATUS_INITIALIZED \n");
        return false;
    }
    if (m_dwThreadID == 0) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestFolderDirChangeHandler::StopTrackingManifestFolder - dwThreadID == 0 \n");
        return false;
    }
    if (m_hTrackFolderEvent == nullptr) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestFolderDirChangeHandler::StopTrackingManifestFolder - ! ( TrackFolderEvent  > 0 ) \n");
        return false;
    }
    if (m_hThread == nullptr) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestFolderDirChangeHandler::StopTrackingManifestFolder - OpenThread failed \n");
        return false;
    }
    platform::SetEvent(m_hTrackFolderEvent);
    const DWORD dwWaitStatus = platform::WaitForSingleObject(m_hThread, dwTimeoutMs);
    if (dwWaitStatus == WAIT_OBJECT_0) {
        platform::CloseHandle(m_hThread);
        m_hThread = nullptr;
        return true;
    }
    if (dwWaitStatus == WAIT_TIMEOUT) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestFolderDirChangeHandler::StopTrackingManifestFolder - WAIT_TIMEOUT = dwWaitStatus \n");
    }
    return false;
}

void CManifestFolderDirChangeHandler::HandleManifestCopiedEvent(CManifestFolderDirChangeHandler* pWatcher,
                                                                const char16_t* szFileName) {
    if (pWatcher == nullptr || szFileName == nullptr) {
        return;
    }
    std::u16string szwWorkBuffer;
    std::u16string szwCopiedFile;
    try {
        szwWorkBuffer.reserve(MAX_PATH_CHARS + 1);
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestFolderDirChangeHandler::HandleManifestCopiedEvent - bad_alloc on szwWorkBuffer "
                  u"buffer.\n");
        return;
    }
    try {
        szwCopiedFile.reserve(MAX_PATH_CHARS + 1);
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_MANIFEST,
                  u"CManifestFolderDirChangeHandler::HandleManifestCopiedEvent - bad_alloc on szwCopiedFile "
                  u"buffer.\n");
        return;
    }
    const std::u16string_view sName(szFileName);
    szwWorkBuffer = sName.substr(0, MAX_PATH_CHARS);
    std::u16string sPath;
    if (szwWorkBuffer.rfind(u'\\') == std::u16string::npos) {
        if (!GetManifestFolderName(&szwCopiedFile)) {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CManifestFolderDirChangeHandler::HandleManifestCopiedEvent - failed to get manifest folder "
                u"name\n");
            return;
        }
        if (szwCopiedFile.size() + 2 + szwWorkBuffer.size() >= MAX_PATH_CHARS + 1) {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CManifestFolderDirChangeHandler::HandleManifestCopiedEvent - path to changed file exceeds "
                u"max path\n");
            return;
        }
        sPath = szwCopiedFile + u"\\" + szwWorkBuffer;
    } else {
        // A name in a sub-folder is taken as a path by itself.
        sPath = szwWorkBuffer;
    }
    const std::size_t nDot = sPath.rfind(u'.');
    if (nDot == std::u16string::npos) {
        return;
    }
    sPath.replace(nDot + 1, std::u16string::npos, MANIFEST_EXTENSION);
    const HANDLE hFile = platform::CreateFile(sPath.c_str(), platform::FILE_LIST_DIRECTORY, FOLDER_SHARE,
                                              platform::OPEN_EXISTING, FOLDER_FLAGS);
    if (hFile == INVALID_HANDLE_VALUE) {
        return;
    }
    platform::CloseHandle(hFile);
    pWatcher->m_EventProvider.SendRefreshEvent();
}

DWORD CManifestFolderDirChangeHandler::TrackDirectoryChangeThread(void* pParameter) {
    auto* pWatcher = static_cast<CManifestFolderDirChangeHandler*>(pParameter);
    if (pWatcher == nullptr) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestFolderDirChangeHandler::TrackDirectoryChangeThread - pDirChangeHandler = NULL \n");
        return 0xFFFFFFFF;
    }
    DWORD dwExit = 0xFFFFFFFF;
    std::unique_ptr<BYTE[]> pBuffer;
    HANDLE hReadEvent = nullptr;
    // A read still pending at the stop completes when the folder's handle is closed below: its
    // OVERLAPPED and buffer live until then.
    platform::OVERLAPPED overlapped{};
    if (pWatcher->m_hDir == INVALID_HANDLE_VALUE) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestFolderDirChangeHandler::TrackDirectoryChangeThread - hDir = INVALID_HANDLE_VALUE \n");
    } else if (pWatcher->m_hTrackFolderEvent == nullptr) {
        DebugOut1(
            DBG_CAT_MANIFEST,
            u"CManifestFolderDirChangeHandler::TrackDirectoryChangeThread - ! ( TrackFolderEvent  > 0 ) \n");
    } else if (platform::WaitForSingleObject(pWatcher->m_hTrackFolderEvent, 0) == WAIT_OBJECT_0) {
        dwExit = 0;
    } else {
        try {
            pBuffer = std::make_unique<BYTE[]>(CHANGE_BUFFER_BYTES);
            hReadEvent = platform::CreateEvent(false, false, u"");
        } catch (const std::bad_alloc&) {
            DebugOut1(
                DBG_CAT_MANIFEST,
                u"CManifestFolderDirChangeHandler::TrackDirectoryChangeThread - bad_alloc on dir change "
                u"buffer.\n");
        }
        while (pBuffer && hReadEvent != nullptr) {
            std::memset(pBuffer.get(), 0, CHANGE_READ_BYTES);
            overlapped = platform::OVERLAPPED{};
            overlapped.hEvent = hReadEvent;
            if (!platform::ReadDirectoryChanges(pWatcher->m_hDir, pBuffer.get(), CHANGE_READ_BYTES, true,
                                                CHANGE_FILTER, nullptr, &overlapped)) {
                DebugOut1(
                    DBG_CAT_MANIFEST,
                    u"CManifestFolderDirChangeHandler::TrackDirectoryChangeThread - ReadDirectoryChangesW "
                    u"failed \n");
                break;
            }
            const HANDLE handles[2] = {pWatcher->m_hTrackFolderEvent, hReadEvent};
            const DWORD dwWait = platform::WaitForMultipleObjects(2, handles, false, INFINITE);
            if (dwWait == WAIT_OBJECT_0) {
                dwExit = 0;
                break;
            }
            if (dwWait != WAIT_OBJECT_0 + 1) {
                continue;
            }
            const auto* pRecord = reinterpret_cast<const platform::FILE_NOTIFY_INFORMATION*>(pBuffer.get());
            if (pRecord->Action == platform::FILE_ACTION_ADDED ||
                pRecord->Action == platform::FILE_ACTION_MODIFIED) {
                const std::u16string sName(pRecord->FileName, pRecord->FileNameLength / sizeof(char16_t));
                HandleManifestCopiedEvent(pWatcher, sName.c_str());
            } else if (pRecord->Action == platform::FILE_ACTION_REMOVED) {
                pWatcher->m_EventProvider.SendRefreshEvent();
            }
        }
    }
    if (pWatcher->m_hDir != INVALID_HANDLE_VALUE) {
        platform::CloseHandle(pWatcher->m_hDir);
        pWatcher->m_hDir = INVALID_HANDLE_VALUE;
    }
    if (hReadEvent != nullptr) {
        platform::CloseHandle(hReadEvent);
    }
    pBuffer.reset();
    pWatcher->m_dwThreadID = 0;
    return dwExit;
}
