// The service's event source: its registration keys in the registry and the records it writes.
#pragma once

#include <string>

#include "platform/types.h"

class CEventLog {
public:
    static constexpr const char16_t* APPLICATION_KEY =
        u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

    CEventLog() = default;
    ~CEventLog() { Close(); }
    CEventLog(const CEventLog&) = delete;
    CEventLog& operator=(const CEventLog&) = delete;

    // szMessageFile null: this executable is the message file.
    bool Register(const char16_t* szSourceName, const char16_t* szMessageFile, DWORD dwTypesSupported);
    bool Unregister(const char16_t* szSourceName);
    bool Open(const char16_t* szSourceName);
    void Close();
    // szUserSid null: the current user's security identifier, looked up once.
    bool Log(WORD wType, DWORD dwEventId, const char16_t* const* pszStrings, WORD wNumStrings,
             WORD wCategory = 0, const void* pRawData = nullptr, DWORD dwRawDataSize = 0,
             const char16_t* szUserSid = nullptr);

private:
    const char16_t* CurrentUserSid();

    HANDLE m_hSource = nullptr;
    DWORD m_dwLastError = 0;
    std::u16string m_sUserSid;
    bool m_bUserSidLookedUp = false;
};
