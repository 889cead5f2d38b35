// The event log. A record goes to the system log and to the root's event log file
// (<root>/eventlog/<log>.log, one UTF-8 line per record), where tools and tests read it. The message
// text of a record is its first insertion string, as a message file whose messages are all "%1\r\n"
// renders it.
#pragma once

#include "platform/types.h"

namespace platform {

constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

// Null when the source is not registered under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application.
HANDLE RegisterEventSource(const char16_t* szServerName, const char16_t* szSourceName);
bool DeregisterEventSource(HANDLE hEventLog);
// szUserSid is the user's security identifier as a string, or null.
bool ReportEvent(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, const char16_t* szUserSid,
                 WORD wNumStrings, DWORD dwDataSize, const char16_t* const* pszStrings, const void* pRawData);

}  // namespace platform
