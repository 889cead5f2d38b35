#include "platform/accounts.h"

#include <cstring>

#include "platform/system.h"
#include "platform/win32/win32_api.h"

namespace platform {
namespace {

bool Fail(DWORD dwError) {
    SetLastError(dwError);
    return false;
}

// Only the local system is known, as on every platform the seam runs on: a remote lookup would wait
// on the network, which no caller expects.
bool IsLocal(const char16_t* szSystem) {
    return szSystem == nullptr || szSystem[0] == u'\0';
}

// The platform allocates converted SIDs and strings with LocalAlloc.
struct LocalMemory {
    void* p = nullptr;
    ~LocalMemory() {
        if (p != nullptr) {
            win32::LocalFree(p);
        }
    }
};

// LookupAccountSidW with buffers grown to the sizes it asks for.
bool LookupSid(const BYTE* pSid, std::u16string* psName, std::u16string* psDomain, SID_NAME_USE* peUse) {
    DWORD cchName = 64;
    DWORD cchDomain = 64;
    for (int nTry = 0; nTry < 3; ++nTry) {
        std::u16string sName(cchName, u'\0');
        std::u16string sDomain(cchDomain, u'\0');
        DWORD dwUse = 0;
        if (win32::LookupAccountSidW(nullptr, pSid, win32::W(sName.data()), &cchName,
                                     win32::W(sDomain.data()), &cchDomain, &dwUse)) {
            sName.resize(cchName);
            sDomain.resize(cchDomain);
            *psName = std::move(sName);
            *psDomain = std::move(sDomain);
            *peUse = static_cast<SID_NAME_USE>(dwUse);
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return false;
        }
    }
    return false;
}

}  // namespace

bool IsValidSid(const BYTE* pSid) {
    return pSid != nullptr && win32::IsValidSid(pSid) != 0;
}

// The platform's GetLengthSid does not check the SID it measures.
DWORD GetLengthSid(const BYTE* pSid) {
    return IsValidSid(pSid) ? win32::GetLengthSid(pSid) : 0;
}

bool ConvertSidToStringSid(const BYTE* pSid, std::u16string* psSid) {
    if (psSid == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!IsValidSid(pSid)) {
        return Fail(ERROR_INVALID_SID);
    }
    LocalMemory text;
    if (!win32::ConvertSidToStringSidW(pSid, reinterpret_cast<wchar_t**>(&text.p))) {
        return false;
    }
    *psSid = static_cast<const char16_t*>(text.p);
    return true;
}

bool ConvertStringSidToSid(const char16_t* szSid, std::vector<BYTE>* pSid) {
    if (szSid == nullptr || pSid == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    LocalMemory sid;
    if (!win32::ConvertStringSidToSidW(win32::W(szSid), &sid.p)) {
        return false;
    }
    const BYTE* pBytes = static_cast<const BYTE*>(sid.p);
    pSid->assign(pBytes, pBytes + win32::GetLengthSid(sid.p));
    return true;
}

bool GetUserName(std::u16string* psName) {
    char16_t szName[257] = {};
    DWORD cchName = 257;
    if (!win32::GetUserNameW(win32::W(szName), &cchName)) {
        return false;
    }
    *psName = szName;
    return true;
}

bool LookupAccountName(const char16_t* szSystem, const char16_t* szAccountName, BYTE* pSid, DWORD* pcbSid,
                       char16_t* szDomain, DWORD* pcchDomain, SID_NAME_USE* peUse) {
    if (!IsLocal(szSystem) || szAccountName == nullptr || pcbSid == nullptr || pcchDomain == nullptr ||
        peUse == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // The platform resolves an empty name to the machine's own domain; the seam knows no such account.
    if (szAccountName[0] == u'\0') {
        return Fail(ERROR_NONE_MAPPED);
    }
    DWORD dwUse = 0;
    if (!win32::LookupAccountNameW(nullptr, win32::W(szAccountName), pSid, pcbSid, win32::W(szDomain),
                                   pcchDomain, &dwUse)) {
        return false;
    }
    *peUse = static_cast<SID_NAME_USE>(dwUse);
    return true;
}

bool LookupAccountSid(const char16_t* szSystem, const BYTE* pSid, std::u16string* psName,
                      std::u16string* psDomain, SID_NAME_USE* peUse) {
    if (!IsLocal(szSystem) || psName == nullptr || psDomain == nullptr || peUse == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!IsValidSid(pSid)) {
        return Fail(ERROR_INVALID_SID);
    }
    return LookupSid(pSid, psName, psDomain, peUse);
}

// The machine's accounts are the system's own: they are made, given their SIDs and removed with its own
// tools, not by this program.
bool AddLocalAccount(const std::u16string& /*sName*/, const std::u16string& /*sSid*/) {
    return Fail(ERROR_NOT_SUPPORTED);
}

bool RemoveLocalAccount(const std::u16string& /*sName*/) {
    return Fail(ERROR_NOT_SUPPORTED);
}

bool NewLocalAccountSid(std::u16string* /*psSid*/) {
    return Fail(ERROR_NOT_SUPPORTED);
}

bool ListLocalAccounts(std::vector<LocalAccount>* pAccounts) {
    if (pAccounts == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    BYTE* pBuffer = nullptr;
    DWORD dwRead = 0;
    DWORD dwTotal = 0;
    DWORD dwResume = 0;
    // Level 0: one name pointer per user.
    const DWORD dwResult = win32::NetUserEnum(nullptr, 0, win32::FILTER_NORMAL_ACCOUNT, &pBuffer,
                                              win32::MAX_PREFERRED_LENGTH, &dwRead, &dwTotal, &dwResume);
    if (dwResult != ERROR_SUCCESS) {
        if (pBuffer != nullptr) {
            win32::NetApiBufferFree(pBuffer);
        }
        return Fail(dwResult);
    }
    std::vector<LocalAccount> accounts;
    const auto* pNames = reinterpret_cast<const char16_t* const*>(pBuffer);
    for (DWORD i = 0; i < dwRead; ++i) {
        LocalAccount account{pNames[i], {}};
        if (LookupAccountName(account.sName, &account.sSid)) {
            accounts.push_back(std::move(account));
        }
    }
    win32::NetApiBufferFree(pBuffer);
    *pAccounts = std::move(accounts);
    return true;
}

}  // namespace platform
