#include "platform/event_log.h"

#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/win32/win32_api.h"

namespace platform {

HANDLE RegisterEventSource(const char16_t* szServerName, const char16_t* szSourceName) {
    if (szSourceName == nullptr || *szSourceName == u'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // The platform opens an unregistered source too, and its records then show "the description for
    // event ... cannot be found"; a source that was never installed is the caller's error to see.
    if (szServerName == nullptr || *szServerName == u'\0') {
        const std::u16string sKey =
            std::u16string(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + szSourceName;
        HKEY hKey = nullptr;
        const LONG lResult = RegOpenKeyEx(HKEY_LOCAL_MACHINE, sKey.c_str(), 0, KEY_READ, &hKey);
        if (lResult != LONG{ERROR_SUCCESS}) {
            SetLastError(static_cast<DWORD>(lResult));
            return nullptr;
        }
        RegCloseKey(hKey);
    }
    return win32::RegisterEventSourceW(win32::W(szServerName), win32::W(szSourceName));
}

bool DeregisterEventSource(HANDLE hEventLog) {
    return win32::DeregisterEventSource(hEventLog) != 0;
}

bool ReportEvent(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, const char16_t* szUserSid,
                 WORD wNumStrings, DWORD dwDataSize, const char16_t* const* pszStrings,
                 const void* pRawData) {
    std::vector<BYTE> sid;
    if (szUserSid != nullptr && !ConvertStringSidToSid(szUserSid, &sid)) {
        return false;
    }
    return win32::ReportEventW(
               hEventLog, wType, wCategory, dwEventID, sid.empty() ? nullptr : sid.data(), wNumStrings,
               dwDataSize, const_cast<const wchar_t**>(reinterpret_cast<const wchar_t* const*>(pszStrings)),
               pRawData) != 0;
}

}  // namespace platform
