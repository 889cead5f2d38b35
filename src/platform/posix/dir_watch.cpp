#include "platform/dir_watch.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/posix/dir_watch_object.h"
#include "platform/posix/sync_core.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace platform::posix {

namespace {

struct CRecord {
    DWORD dwAction;
    std::u16string sName;
};

struct CPendingRead {
    BYTE* pBuffer = nullptr;
    DWORD cbBuffer = 0;
    OVERLAPPED* pOverlapped = nullptr;
};

void Complete(OVERLAPPED* pOverlapped, DWORD dwError, DWORD dwBytes) {
    std::atomic_ref<ULONG_PTR>(pOverlapped->InternalHigh).store(dwBytes, std::memory_order_relaxed);
    std::atomic_ref<ULONG_PTR>(pOverlapped->Internal).store(dwError, std::memory_order_release);
    if (pOverlapped->hEvent != nullptr) {
        SetEvent(pOverlapped->hEvent);
    }
}

}  // namespace

class CDirectoryObject final : public KernelObject {
public:
    explicit CDirectoryObject(std::string sRoot) : m_sRoot(std::move(sRoot)) {}
    ~CDirectoryObject() override {
        OnHandleClosed();
        if (m_nInotify >= 0) {
            close(m_nInotify);
        }
        if (m_nWake >= 0) {
            close(m_nWake);
        }
    }

    bool Read(void* pBuffer, DWORD cbBuffer, bool bSubtree, DWORD dwFilter, OVERLAPPED* pOverlapped) {
        std::lock_guard lock(m_Mutex);
        if (m_bClosed || m_bGone || m_Pending.pOverlapped != nullptr) {
            SetLastError(m_bGone ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
            return false;
        }
        if (m_nInotify < 0 && !StartWatching(bSubtree, dwFilter)) {
            return false;
        }
        if (pOverlapped->hEvent != nullptr) {
            ResetEvent(pOverlapped->hEvent);
        }
        std::atomic_ref<ULONG_PTR>(pOverlapped->Internal).store(STATUS_PENDING, std::memory_order_release);
        m_Pending = {static_cast<BYTE*>(pBuffer), cbBuffer, pOverlapped};
        Deliver();
        return true;
    }

    void OnHandleClosed() override {
        std::thread worker;
        {
            std::lock_guard lock(m_Mutex);
            if (m_bClosed) {
                return;
            }
            m_bClosed = true;
            if (m_Pending.pOverlapped != nullptr) {
                Complete(m_Pending.pOverlapped, ERROR_OPERATION_ABORTED, 0);
                m_Pending = {};
            }
            worker = std::move(m_Worker);
        }
        if (m_nWake >= 0) {
            const uint64_t uOne = 1;
            const ssize_t n = write(m_nWake, &uOne, sizeof(uOne));
            (void)n;
        }
        if (worker.joinable()) {
            worker.join();
        }
    }

private:
    bool StartWatching(bool bSubtree, DWORD dwFilter) {
        m_bSubtree = bSubtree;
        m_dwFilter = dwFilter;
        m_nInotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        m_nWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m_nInotify < 0 || m_nWake < 0 || !AddWatch("", true)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        try {
            m_Worker = std::thread([this] { Run(); });
        } catch (const std::exception&) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        return true;
    }

    // sRelative: "" for the folder itself, else "sub" or "sub/deeper".
    bool AddWatch(const std::string& sRelative, bool bRoot) {
        const std::string sPath = sRelative.empty() ? m_sRoot : m_sRoot + "/" + sRelative;
        const uint32_t uMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO |
                               IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
        const int nWatch = inotify_add_watch(m_nInotify, sPath.c_str(), uMask);
        if (nWatch < 0) {
            return !bRoot;
        }
        m_Watches[nWatch] = sRelative;
        if (bRoot) {
            m_nRootWatch = nWatch;
        }
        if (m_bSubtree) {
            if (DIR* pDir = opendir(sPath.c_str())) {
                while (const dirent* pEntry = readdir(pDir)) {
                    if (std::strcmp(pEntry->d_name, ".") == 0 || std::strcmp(pEntry->d_name, "..") == 0) {
                        continue;
                    }
                    struct stat st {};
                    const std::string sChild =
                        sRelative.empty() ? pEntry->d_name : sRelative + "/" + pEntry->d_name;
                    if (stat((m_sRoot + "/" + sChild).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                        AddWatch(sChild, false);
                    }
                }
                closedir(pDir);
            }
        }
        return true;
    }

    void Run() {
        alignas(inotify_event) char buffer[16384];
        for (;;) {
            pollfd fds[2] = {{m_nWake, POLLIN, 0}, {m_nInotify, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR) {
                return;
            }
            std::lock_guard lock(m_Mutex);
            if (m_bClosed) {
                return;
            }
            for (;;) {
                const ssize_t n = read(m_nInotify, buffer, sizeof(buffer));
                if (n <= 0) {
                    break;
                }
                for (ssize_t nPos = 0; nPos < n;) {
                    const auto* pEvent = reinterpret_cast<const inotify_event*>(buffer + nPos);
                    Translate(*pEvent);
                    nPos += static_cast<ssize_t>(sizeof(inotify_event) + pEvent->len);
                }
            }
            Deliver();
        }
    }

    void Translate(const inotify_event& event) {
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            m_bLost = true;
            return;
        }
        const auto it = m_Watches.find(event.wd);
        if ((event.mask & IN_IGNORED) != 0) {
            if (event.wd == m_nRootWatch) {
                m_bGone = true;
            }
            if (it != m_Watches.end()) {
                m_Watches.erase(it);
            }
            return;
        }
        if (event.wd == m_nRootWatch && (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
            m_bGone = true;
            return;
        }
        if (it == m_Watches.end() || event.len == 0) {
            return;
        }
        const std::string sRelative = it->second.empty() ? event.name : it->second + "/" + event.name;
        const bool bDirectory = (event.mask & IN_ISDIR) != 0;
        DWORD dwAction = 0;
        DWORD dwNeeded = bDirectory ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
        if ((event.mask & IN_CREATE) != 0) {
            dwAction = FILE_ACTION_ADDED;
            if (bDirectory && m_bSubtree) {
                AddWatch(sRelative, false);
            }
        } else if ((event.mask & IN_DELETE) != 0) {
            dwAction = FILE_ACTION_REMOVED;
        } else if ((event.mask & IN_MODIFY) != 0) {
            dwAction = FILE_ACTION_MODIFIED;
            dwNeeded = FILE_NOTIFY_CHANGE_LAST_WRITE;
        } else if ((event.mask & IN_MOVED_FROM) != 0) {
            // Paired with the IN_MOVED_TO of the same cookie; unpaired, the file left the folder.
            m_Moves[event.cookie] = true;
            dwAction = FILE_ACTION_RENAMED_OLD_NAME;
        } else if ((event.mask & IN_MOVED_TO) != 0) {
            const bool bPaired = m_Moves.erase(event.cookie) != 0;
            dwAction = bPaired ? FILE_ACTION_RENAMED_NEW_NAME : FILE_ACTION_ADDED;
        }
        if (dwAction == 0 || (m_dwFilter & dwNeeded) == 0 || (!m_bSubtree && !it->second.empty())) {
            return;
        }
        std::u16string sName = FromUtf8(sRelative);
        for (char16_t& ch : sName) {
            if (ch == u'/') {
                ch = u'\\';
            }
        }
        m_Records.push_back({dwAction, std::move(sName)});
        if (m_Moves.size() > 1024) {
            m_Moves.clear();
        }
    }

    // Called with the lock held: completes the pending read with what is there.
    void Deliver() {
        if (m_Pending.pOverlapped == nullptr) {
            return;
        }
        if (m_bLost) {
            m_bLost = false;
            m_Records.clear();
            Finish(ERROR_SUCCESS, 0);
            return;
        }
        if (m_Records.empty()) {
            if (m_bGone) {
                Finish(ERROR_ACCESS_DENIED, 0);
            }
            return;
        }
        DWORD dwOffset = 0;
        DWORD dwLast = 0;
        bool bAny = false;
        while (!m_Records.empty()) {
            const CRecord& record = m_Records.front();
            const DWORD cbName = static_cast<DWORD>(record.sName.size() * sizeof(char16_t));
            const DWORD cbRecord = (3 * sizeof(DWORD) + cbName + 3) & ~DWORD{3};
            if (dwOffset + 3 * sizeof(DWORD) + cbName > m_Pending.cbBuffer) {
                if (!bAny) {
                    m_Records.pop_front();  // too long for any read of this size
                }
                break;
            }
            BYTE* pRecord = m_Pending.pBuffer + dwOffset;
            const DWORD words[3] = {0, record.dwAction, cbName};
            std::memcpy(pRecord, words, sizeof(words));
            std::memcpy(pRecord + sizeof(words), record.sName.data(), cbName);
            if (bAny) {
                const DWORD dwNext = dwOffset - dwLast;
                std::memcpy(m_Pending.pBuffer + dwLast, &dwNext, sizeof(dwNext));
            }
            dwLast = dwOffset;
            bAny = true;
            dwOffset += std::min(cbRecord, m_Pending.cbBuffer - dwOffset);
            m_Records.pop_front();
        }
        Finish(ERROR_SUCCESS, bAny ? std::min(dwOffset, m_Pending.cbBuffer) : 0);
    }

    void Finish(DWORD dwError, DWORD dwBytes) {
        OVERLAPPED* pOverlapped = m_Pending.pOverlapped;
        m_Pending = {};
        Complete(pOverlapped, dwError, dwBytes);
    }

    const std::string m_sRoot;
    std::mutex m_Mutex;
    int m_nInotify = -1;
    int m_nWake = -1;
    int m_nRootWatch = -1;
    bool m_bSubtree = false;
    DWORD m_dwFilter = 0;
    bool m_bClosed = false;
    bool m_bGone = false;
    bool m_bLost = false;
    std::map<int, std::string> m_Watches;
    std::map<uint32_t, bool> m_Moves;
    std::deque<CRecord> m_Records;
    CPendingRead m_Pending;
    std::thread m_Worker;
};

HANDLE OpenDirectoryObject(const std::string& sPosixPath) {
    struct stat st {};
    if (stat(sPosixPath.c_str(), &st) != 0) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<CDirectoryObject> pObject;
    try {
        pObject = std::make_shared<CDirectoryObject>(sPosixPath);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = InsertHandle(pObject);
    if (h == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

bool ReadDirectory(HANDLE hDirectory, void* pBuffer, DWORD cbBuffer, bool bSubtree, DWORD dwFilter,
                   OVERLAPPED* pOverlapped) {
    const auto pObject = LookupHandle<CDirectoryObject>(hDirectory);
    if (pObject == nullptr) {
        return false;
    }
    return pObject->Read(pBuffer, cbBuffer, bSubtree, dwFilter, pOverlapped);
}

}  // namespace platform::posix

namespace platform {

bool ReadDirectoryChanges(HANDLE hDirectory, void* pBuffer, DWORD cbBuffer, bool bWatchSubtree,
                          DWORD dwNotifyFilter, DWORD* pcbReturned, OVERLAPPED* pOverlapped) {
    if (pcbReturned != nullptr) {
        *pcbReturned = 0;
    }
    // Only the overlapped form is offered: the system's watcher never reads synchronously.
    if (pBuffer == nullptr || pOverlapped == nullptr || dwNotifyFilter == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return posix::ReadDirectory(hDirectory, pBuffer, cbBuffer, bWatchSubtree, dwNotifyFilter, pOverlapped);
}

}  // namespace platform
