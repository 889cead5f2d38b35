// Accounts and security identifiers (SIDs). Names resolve, in this order, to the well-known accounts
// an administrator types (SYSTEM, Administrators, Everyone, LOCAL SERVICE, NETWORK SERVICE), to the
// root's local account table (registry, HKLM\SAM\Accounts, one key per account with its SID as the
// string value "Sid"), then to the POSIX user database: users S-1-22-1-<uid>, groups S-1-22-2-<gid>,
// and the superuser LocalSystem (S-1-5-18), the account services run as.
// Failures set the platform's error codes: ERROR_NONE_MAPPED, ERROR_INVALID_SID,
// ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_PARAMETER.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

constexpr DWORD ERROR_NONE_MAPPED = 1332;
constexpr DWORD ERROR_INVALID_SID = 1337;

enum SID_NAME_USE : DWORD {
    SidTypeUser = 1,
    SidTypeGroup = 2,
    SidTypeDomain = 3,
    SidTypeAlias = 4,
    SidTypeWellKnownGroup = 5,
};

// A binary SID: revision 1, sub-authority count, 6-byte big-endian identifier authority, then the
// sub-authorities as little-endian 32-bit words.
constexpr DWORD SID_MAX_SUB_AUTHORITIES = 15;
constexpr DWORD SECURITY_MAX_SID_SIZE = 8 + 4 * SID_MAX_SUB_AUTHORITIES;

namespace platform {

// The registry key, below HKEY_LOCAL_MACHINE, that holds the local account table.
inline constexpr const char16_t* LOCAL_ACCOUNTS_KEY = u"SAM\\Accounts";

// The name of the account the process runs as.
bool GetUserName(std::u16string* psName);

// szSystem must be null or empty (only the local system is known). The SID buffer and the domain
// buffer (in characters, terminator included) are sized by the caller; when either is too small the
// call fails with ERROR_INSUFFICIENT_BUFFER and reports both sizes needed. A name may carry a
// "DOMAIN\" prefix naming the account's own domain.
bool LookupAccountName(const char16_t* szSystem, const char16_t* szAccountName, BYTE* pSid, DWORD* pcbSid,
                       char16_t* szDomain, DWORD* pcchDomain, SID_NAME_USE* peUse);
// The SID of an account name in string form; ERROR_NONE_MAPPED when there is no such account.
bool LookupAccountName(const std::u16string& sName, std::u16string* psSid);
// The account a SID names: its name, domain and kind.
bool LookupAccountSid(const char16_t* szSystem, const BYTE* pSid, std::u16string* psName,
                      std::u16string* psDomain, SID_NAME_USE* peUse);

bool IsValidSid(const BYTE* pSid);
// 0 for a SID that is not valid.
DWORD GetLengthSid(const BYTE* pSid);
// "S-1-5-21-…"; authorities of 2^32 and above are written in hexadecimal ("0x…"), as the platform does.
bool ConvertSidToStringSid(const BYTE* pSid, std::u16string* psSid);
// Accepts the standard form (decimal or 0x-hexadecimal authority) and the abbreviations SY, BA, WD,
// LS and NS; anything else is ERROR_INVALID_SID.
bool ConvertStringSidToSid(const char16_t* szSid, std::vector<BYTE>* pSid);

// The local account table. Adding an existing name replaces its SID; a SID is valid standard form.
bool AddLocalAccount(const std::u16string& sName, const std::u16string& sSid);
bool RemoveLocalAccount(const std::u16string& sName);
struct LocalAccount {
    std::u16string sName;
    std::u16string sSid;
};
bool ListLocalAccounts(std::vector<LocalAccount>* pAccounts);
// A fresh SID for a new local account: the machine's domain SID (S-1-5-21-a-b-c, chosen once per
// root) with the next free relative id from 1000 on.
bool NewLocalAccountSid(std::u16string* psSid);

}  // namespace platform
