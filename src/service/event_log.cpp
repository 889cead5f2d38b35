#include "service/event_log.h"

#include "diagnostics/user_debug_output.h"
#include "platform/accounts.h"
#include "platform/event_log.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "service/registry_key.h"

bool CEventLog::Register(const char16_t* szSourceName, const char16_t* szMessageFile,
                         DWORD dwTypesSupported) {
    try {
        const std::u16string sKey = std::u16string(APPLICATION_KEY) + szSourceName;
        std::u16string sMessageFile;
        if (szMessageFile != nullptr) {
            sMessageFile = szMessageFile;
        } else if (!platform::GetModuleFileName(&sMessageFile)) {
            TraceOut1(u"CEventLog::Register() : path.SplitPath() == false\n");
            return false;
        }
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, sKey.c_str());
        CRegistryKey reg;
        if (!reg.Create(HKEY_LOCAL_MACHINE, sKey.c_str(), KEY_WRITE)) {
            TraceOut1(u"CEventLog::Register() : reg.Open() == FALSE\n");
            return false;
        }
        const auto cbFile = static_cast<DWORD>((sMessageFile.size() + 1) * sizeof(char16_t));
        const bool bWritten = platform::RegSetValueEx(reg.Handle(), u"EventMessageFile", REG_EXPAND_SZ,
                                                      reinterpret_cast<const BYTE*>(sMessageFile.c_str()),
                                                      cbFile) == static_cast<LONG>(ERROR_SUCCESS) &&
                              reg.SetDword(u"TypesSupported", dwTypesSupported);
        if (!bWritten) {
            reg.Close();
            platform::RegDeleteTree(HKEY_LOCAL_MACHINE, sKey.c_str());  // nothing half-registered
            TraceOut1(u"CEventLog::Register() : reg.Open() == FALSE\n");
        }
        return bWritten;
    } catch (const std::bad_alloc&) {
        TraceOut1(u"LCCATCH : %s\n", u"std::bad_alloc");
        return false;
    }
}

bool CEventLog::Unregister(const char16_t* szSourceName) {
    const std::u16string sKey = std::u16string(APPLICATION_KEY) + szSourceName;
    const LONG lResult = platform::RegDeleteTree(HKEY_LOCAL_MACHINE, sKey.c_str());
    if (lResult != static_cast<LONG>(ERROR_SUCCESS) && lResult != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
        TraceOut1(u"CEventLog::Unregister() : reg.DeleteKey() == FALSE\n");
        return false;
    }
    return true;
}

bool CEventLog::Open(const char16_t* szSourceName) {
    Close();
    if (szSourceName == nullptr) {
        TraceOut1(u"CEventLog::Open() : szName == NULL\n");
        return false;
    }
    m_hSource = platform::RegisterEventSource(nullptr, szSourceName);
    if (m_hSource == nullptr) {
        m_dwLastError = platform::GetLastError();
        TraceOut1(u"CEventLog::Open() : RegisterEventSource() == NULL, 0x%08X\n", m_dwLastError);
        return false;
    }
    return true;
}

void CEventLog::Close() {
    if (m_hSource != nullptr) {
        platform::DeregisterEventSource(m_hSource);
        m_hSource = nullptr;
    }
}

const char16_t* CEventLog::CurrentUserSid() {
    if (!m_bUserSidLookedUp) {
        m_bUserSidLookedUp = true;
        std::u16string sUser;
        if (!platform::GetUserName(&sUser)) {
            TraceOut1(u"CEventLog::Log() : GetUserName() == FALSE\n");
        } else if (!platform::LookupAccountName(sUser, &m_sUserSid)) {
            m_sUserSid.clear();
            TraceOut1(u"CEventLog::Log() : LookupAccountName() == FALSE\n");
        }
    }
    return m_sUserSid.empty() ? nullptr : m_sUserSid.c_str();
}

bool CEventLog::Log(WORD wType, DWORD dwEventId, const char16_t* const* pszStrings, WORD wNumStrings,
                    WORD wCategory, const void* pRawData, DWORD dwRawDataSize, const char16_t* szUserSid) {
    if (m_hSource == nullptr) {
        TraceOut1(u"CEventLog::Log() : m_hSource == NULL\n");
        return false;
    }
    const char16_t* szSid = szUserSid != nullptr ? szUserSid : CurrentUserSid();
    if (!platform::ReportEvent(m_hSource, wType, wCategory, dwEventId, szSid, wNumStrings, dwRawDataSize,
                               pszStrings, pRawData)) {
        m_dwLastError = platform::GetLastError();
        TraceOut1(u"CEventLog::Log() : ReportEvent() == 0, 0x%08X\n", m_dwLastError);
        return false;
    }
    return true;
}
