#include "platform/event_log.h"

#include <errno.h>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/format.h"
#include "platform/posix/handle_table.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/strings.h"
#include "platform/system.h"

namespace platform {
namespace {

constexpr const char16_t* APPLICATION_LOG_KEY =
    u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

class CEventSource : public posix::KernelObject {
public:
    explicit CEventSource(std::u16string sName) : m_sName(std::move(sName)) {}
    const std::u16string m_sName;
};

const char16_t* TypeName(WORD wType) {
    switch (wType) {
        case EVENTLOG_ERROR_TYPE:
            return u"Error";
        case EVENTLOG_WARNING_TYPE:
            return u"Warning";
        case EVENTLOG_INFORMATION_TYPE:
            return u"Information";
        case EVENTLOG_AUDIT_SUCCESS:
            return u"AuditSuccess";
        case EVENTLOG_AUDIT_FAILURE:
            return u"AuditFailure";
        default:
            return u"Success";
    }
}

int SyslogPriority(WORD wType) {
    return wType == EVENTLOG_ERROR_TYPE ? LOG_ERR : (wType == EVENTLOG_WARNING_TYPE ? LOG_WARNING : LOG_INFO);
}

}  // namespace

HANDLE RegisterEventSource(const char16_t* szServerName, const char16_t* szSourceName) {
    if (szServerName != nullptr || szSourceName == nullptr || *szSourceName == u'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HKEY hKey = nullptr;
    const std::u16string sKey = std::u16string(APPLICATION_LOG_KEY) + szSourceName;
    const LONG lResult = RegOpenKeyEx(HKEY_LOCAL_MACHINE, sKey.c_str(), 0, KEY_READ, &hKey);
    if (lResult != static_cast<LONG>(ERROR_SUCCESS)) {
        SetLastError(static_cast<DWORD>(lResult));
        return nullptr;
    }
    RegCloseKey(hKey);
    return posix::InsertHandle(std::make_shared<CEventSource>(szSourceName));
}

bool DeregisterEventSource(HANDLE hEventLog) {
    return posix::LookupHandle<CEventSource>(hEventLog) != nullptr && posix::RemoveHandle(hEventLog);
}

bool ReportEvent(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, const char16_t* szUserSid,
                 WORD wNumStrings, DWORD /*dwDataSize*/, const char16_t* const* pszStrings,
                 const void* /*pRawData*/) {
    const auto pSource = posix::LookupHandle<CEventSource>(hEventLog);
    if (!pSource) {
        return false;
    }
    try {
        const std::u16string sMessage = wNumStrings > 0 && pszStrings[0] != nullptr ? pszStrings[0] : u"";
        SYSTEMTIME st{};
        GetLocalTime(&st);
        const std::string sLine = ToUtf8(Format(
            u"%04d-%02d-%02d %02d:%02d:%02d.%03d\t%s\t%s\t0x%08X\t%u\t%s\t%s\n", st.wYear, st.wMonth, st.wDay,
            st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, TypeName(wType), pSource->m_sName, dwEventID,
            static_cast<DWORD>(wCategory), szUserSid != nullptr ? szUserSid : u"-", sMessage));
        const std::string sPath = RootSubdirectory("eventlog") + "/Application.log";
        const int nFd = open(sPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (nFd < 0) {
            SetLastError(ErrorFromErrno(errno));
            return false;
        }
        const bool bWritten = write(nFd, sLine.data(), sLine.size()) == static_cast<ssize_t>(sLine.size());
        close(nFd);
        syslog(SyslogPriority(wType), "%s: event 0x%08X: %s", ToUtf8(pSource->m_sName).c_str(), dwEventID,
               ToUtf8(sMessage).c_str());
        if (!bWritten) {
            SetLastError(ERROR_CANTWRITE);
        }
        return bWritten;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

}  // namespace platform
