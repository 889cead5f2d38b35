#include "platform/accounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <unordered_map>

#include "platform/posix/registry_store.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "platform/system.h"

namespace platform {
namespace {

constexpr DWORD POSIX_USER_AUTHORITY = 22;
constexpr DWORD POSIX_USER_RID = 1;
constexpr DWORD POSIX_GROUP_RID = 2;
constexpr DWORD FIRST_LOCAL_RID = 1000;
constexpr const char16_t* DOMAIN_SID_VALUE = u"DomainSid";

struct WellKnown {
    const char16_t* szName;
    const char16_t* szDomain;
    const char16_t* szSid;
    const char16_t* szAbbreviation;
    SID_NAME_USE eUse;
};

constexpr WellKnown WELL_KNOWN[] = {
    {u"SYSTEM", u"NT AUTHORITY", u"S-1-5-18", u"SY", SidTypeWellKnownGroup},
    {u"LOCAL SERVICE", u"NT AUTHORITY", u"S-1-5-19", u"LS", SidTypeWellKnownGroup},
    {u"NETWORK SERVICE", u"NT AUTHORITY", u"S-1-5-20", u"NS", SidTypeWellKnownGroup},
    {u"Administrators", u"BUILTIN", u"S-1-5-32-544", u"BA", SidTypeAlias},
    {u"Everyone", u"", u"S-1-1-0", u"WD", SidTypeWellKnownGroup},
};

// Samba's names for the domains of unmapped POSIX users and groups.
constexpr const char16_t* POSIX_USER_DOMAIN = u"Unix User";
constexpr const char16_t* POSIX_GROUP_DOMAIN = u"Unix Group";

struct Account {
    std::u16string sName;
    std::u16string sDomain;
    std::u16string sSid;
    SID_NAME_USE eUse = SidTypeUser;
};

bool Fail(DWORD dwError) {
    SetLastError(dwError);
    return false;
}

std::u16string Decimal(unsigned long long ull) {
    return FromUtf8(std::to_string(ull));
}

std::u16string ReadMachineName() {
    char szHost[256] = {};
    if (gethostname(szHost, sizeof(szHost) - 1) != 0 || szHost[0] == '\0') {
        return u"LOCALHOST";
    }
    // Windows computer names are NetBIOS names: the first label, upper case.
    std::string sHost(szHost);
    sHost = sHost.substr(0, sHost.find('.'));
    return ToUpper(FromUtf8(sHost));
}

const std::u16string& MachineName() {
    static const std::u16string sName = ReadMachineName();
    return sName;
}

bool PosixUser(const char* szName, uid_t uid, Account* pAccount) {
    passwd entry{};
    passwd* pResult = nullptr;
    std::vector<char> buffer(16384);
    const int nError = szName != nullptr ? getpwnam_r(szName, &entry, buffer.data(), buffer.size(), &pResult)
                                         : getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &pResult);
    if (pResult == nullptr) {
        return Fail(nError != 0 ? ErrorFromErrno(nError) : ERROR_NONE_MAPPED);
    }
    pAccount->sName = FromUtf8(entry.pw_name);
    pAccount->sDomain = entry.pw_uid == 0 ? u"NT AUTHORITY" : POSIX_USER_DOMAIN;
    pAccount->eUse = SidTypeUser;
    pAccount->sSid = entry.pw_uid == 0 ? u"S-1-5-18" : u"S-1-22-1-" + Decimal(entry.pw_uid);
    return true;
}

bool PosixGroup(const char* szName, gid_t gid, Account* pAccount) {
    group entry{};
    group* pResult = nullptr;
    std::vector<char> buffer(65536);
    const int nError = szName != nullptr ? getgrnam_r(szName, &entry, buffer.data(), buffer.size(), &pResult)
                                         : getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &pResult);
    if (pResult == nullptr) {
        return Fail(nError != 0 ? ErrorFromErrno(nError) : ERROR_NONE_MAPPED);
    }
    pAccount->sName = FromUtf8(entry.gr_name);
    pAccount->sDomain = POSIX_GROUP_DOMAIN;
    pAccount->eUse = SidTypeGroup;
    pAccount->sSid = u"S-1-22-2-" + Decimal(entry.gr_gid);
    return true;
}

class CKey {
public:
    ~CKey() {
        if (m_hKey != nullptr) {
            RegCloseKey(m_hKey);
        }
    }
    HKEY* operator&() { return &m_hKey; }
    operator HKEY() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

std::u16string AccountKey(const std::u16string& sName) {
    return std::u16string(LOCAL_ACCOUNTS_KEY) + u"\\" + sName;
}

bool ReadString(HKEY hKey, const char16_t* szValue, std::u16string* psText) {
    char16_t szText[256] = {};
    DWORD cbText = sizeof(szText) - sizeof(char16_t);
    DWORD dwType = 0;
    if (RegQueryValueEx(hKey, szValue, &dwType, reinterpret_cast<BYTE*>(szText), &cbText) !=
            LONG{ERROR_SUCCESS} ||
        dwType != REG_SZ) {
        return false;
    }
    *psText = std::u16string(szText, WideLength(szText));
    return true;
}

// The local account table as one snapshot, read in one store transaction and kept while the store is
// unchanged: a compilation looks up thousands of names, each otherwise several store transactions.
// Other processes' commits change the store's data version; this process's own changes to the table
// go through AddLocalAccount and RemoveLocalAccount, which drop the snapshot.
class CAccountTable {
public:
    static CAccountTable& Instance() {
        static CAccountTable table;
        return table;
    }

    void Invalidate() {
        std::lock_guard lock(m_mutex);
        m_bValid = false;
    }

    // Runs fnUse on the current snapshot; false with the store's error code when it cannot be read.
    bool Use(const std::function<void(const std::vector<LocalAccount>&)>& fnUse) {
        std::lock_guard lock(m_mutex);
        const LONG lResult = registry::CRegistryStore::Instance().Read([this](sqlite3* pDb) -> LONG {
            registry::CStatement version(pDb, "PRAGMA data_version");
            const sqlite3_int64 llVersion = version.Step() ? version.Int64(0) : -1;
            if (m_bValid && llVersion == m_llVersion) {
                return ERROR_SUCCESS;
            }
            m_bValid = false;
            Load(pDb);
            m_llVersion = llVersion;
            m_bValid = true;
            return ERROR_SUCCESS;
        });
        if (lResult != LONG{ERROR_SUCCESS}) {
            return Fail(static_cast<DWORD>(lResult));
        }
        fnUse(m_Accounts);
        return true;
    }

    bool FindName(const std::u16string& sName, Account* pAccount) {
        bool bFound = false;
        Use([&](const std::vector<LocalAccount>&) {
            const auto it = m_ByName.find(ToUpper(sName));
            if (it != m_ByName.end()) {
                const LocalAccount& account = m_Accounts[it->second];
                *pAccount = {account.sName, MachineName(), account.sSid, SidTypeUser};
                bFound = true;
            }
        });
        return bFound;
    }

    bool FindSid(const std::u16string& sSid, Account* pAccount) {
        bool bFound = false;
        Use([&](const std::vector<LocalAccount>&) {
            const auto it = m_BySid.find(ToUpper(sSid));
            if (it != m_BySid.end()) {
                const LocalAccount& account = m_Accounts[it->second];
                *pAccount = {account.sName, MachineName(), account.sSid, SidTypeUser};
                bFound = true;
            }
        });
        return bFound;
    }

private:
    // The key of each account under HKLM\SAM\Accounts and its "Sid" string.
    void Load(sqlite3* pDb) {
        m_Accounts.clear();
        m_ByName.clear();
        m_BySid.clear();
        sqlite3_int64 llTable = registry::HIVE_LOCAL_MACHINE;
        for (const char16_t* szPart : {u"SAM", u"Accounts"}) {
            const std::string sUpper = registry::UpperKey(szPart);
            registry::CStatement child(pDb, "SELECT id FROM keys WHERE parent = ? AND name_upper = ?");
            child.Bind(1, llTable).BindBlob(2, sUpper.data(), sUpper.size());
            if (!child.Step()) {
                return;
            }
            llTable = child.Int64(0);
        }
        const std::string sSidUpper = registry::UpperKey(u"Sid");
        registry::CStatement rows(
            pDb,
            "SELECT k.name, v.data FROM keys k JOIN vals v ON v.key = k.id "
            "WHERE k.parent = ? AND v.name_upper = ? AND v.type = 1 ORDER BY k.name_upper");
        rows.Bind(1, llTable).BindBlob(2, sSidUpper.data(), sSidUpper.size());
        while (rows.Step()) {
            LocalAccount account{rows.Name(0), {}};
            const BYTE* pData = rows.Blob(1);
            std::u16string sSid(rows.Bytes(1) / sizeof(char16_t), u'\0');
            if (!sSid.empty()) {
                std::memcpy(sSid.data(), pData, sSid.size() * sizeof(char16_t));
            }
            account.sSid = sSid.substr(0, sSid.find(u'\0'));
            std::vector<BYTE> sid;
            if (!ConvertStringSidToSid(account.sSid.c_str(), &sid)) {
                continue;
            }
            m_ByName.emplace(ToUpper(account.sName), m_Accounts.size());
            m_BySid.emplace(ToUpper(account.sSid), m_Accounts.size());
            m_Accounts.push_back(std::move(account));
        }
    }

    std::mutex m_mutex;
    bool m_bValid = false;
    sqlite3_int64 m_llVersion = -1;
    std::vector<LocalAccount> m_Accounts;
    std::unordered_map<std::u16string, size_t> m_ByName;
    std::unordered_map<std::u16string, size_t> m_BySid;
};

bool ResolveName(const std::u16string& sName, Account* pAccount) {
    for (const WellKnown& known : WELL_KNOWN) {
        if (EqualNoCase(sName, known.szName)) {
            *pAccount = {known.szName, known.szDomain, known.szSid, known.eUse};
            return true;
        }
    }
    if (sName.find(u'\\') == std::u16string::npos && CAccountTable::Instance().FindName(sName, pAccount)) {
        return true;
    }
    const std::string sUtf8 = ToUtf8(sName);
    if (PosixUser(sUtf8.c_str(), 0, pAccount) || PosixGroup(sUtf8.c_str(), 0, pAccount)) {
        return true;
    }
    return Fail(ERROR_NONE_MAPPED);
}

// Parses a decimal number of at most ullMax; the whole text must be digits.
bool ParseNumber(std::u16string_view sText, int nBase, unsigned long long ullMax, unsigned long long* pull) {
    if (sText.empty() || sText.size() > 20) {
        return false;
    }
    std::string sAscii;
    for (const char16_t ch : sText) {
        if (ch > 0x7F) {
            return false;
        }
        sAscii += static_cast<char>(ch);
    }
    const auto [pEnd, ec] = std::from_chars(sAscii.data(), sAscii.data() + sAscii.size(), *pull, nBase);
    return ec == std::errc() && pEnd == sAscii.data() + sAscii.size() && *pull <= ullMax;
}

}  // namespace

bool IsValidSid(const BYTE* pSid) {
    return pSid != nullptr && pSid[0] == 1 && pSid[1] <= SID_MAX_SUB_AUTHORITIES;
}

DWORD GetLengthSid(const BYTE* pSid) {
    return IsValidSid(pSid) ? 8 + 4 * DWORD{pSid[1]} : 0;
}

bool ConvertSidToStringSid(const BYTE* pSid, std::u16string* psSid) {
    if (psSid == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!IsValidSid(pSid)) {
        return Fail(ERROR_INVALID_SID);
    }
    unsigned long long ullAuthority = 0;
    for (int i = 2; i < 8; ++i) {
        ullAuthority = (ullAuthority << 8) | pSid[i];
    }
    std::u16string sSid = u"S-1-";
    if (ullAuthority >= 0x100000000ULL) {
        char szHex[24];
        std::snprintf(szHex, sizeof(szHex), "0x%012llX", ullAuthority);
        sSid += FromUtf8(szHex);
    } else {
        sSid += Decimal(ullAuthority);
    }
    for (DWORD i = 0; i < pSid[1]; ++i) {
        const BYTE* p = pSid + 8 + 4 * i;
        sSid += u"-" + Decimal(DWORD{p[0]} | DWORD{p[1]} << 8 | DWORD{p[2]} << 16 | DWORD{p[3]} << 24);
    }
    *psSid = std::move(sSid);
    return true;
}

bool ConvertStringSidToSid(const char16_t* szSid, std::vector<BYTE>* pSid) {
    if (szSid == nullptr || pSid == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::u16string_view sText(szSid);
    for (const WellKnown& known : WELL_KNOWN) {
        if (sText == known.szAbbreviation) {
            return ConvertStringSidToSid(known.szSid, pSid);
        }
    }
    if (sText.size() < 4 || (sText[0] != u'S' && sText[0] != u's') || sText[1] != u'-') {
        return Fail(ERROR_INVALID_SID);
    }
    std::vector<std::u16string_view> parts;
    for (size_t nStart = 2;;) {
        const size_t nDash = sText.find(u'-', nStart);
        parts.push_back(sText.substr(nStart, nDash == std::u16string_view::npos ? nDash : nDash - nStart));
        if (nDash == std::u16string_view::npos) {
            break;
        }
        nStart = nDash + 1;
    }
    // Revision, authority, then 0 to 15 sub-authorities.
    unsigned long long ullRevision = 0;
    unsigned long long ullAuthority = 0;
    if (parts.size() < 2 || parts.size() - 2 > SID_MAX_SUB_AUTHORITIES ||
        !ParseNumber(parts[0], 10, 255, &ullRevision) || ullRevision != 1) {
        return Fail(ERROR_INVALID_SID);
    }
    const std::u16string_view sAuthority = parts[1];
    const bool bHex =
        sAuthority.size() > 2 && sAuthority[0] == u'0' && (sAuthority[1] == u'x' || sAuthority[1] == u'X');
    if (!ParseNumber(bHex ? sAuthority.substr(2) : sAuthority, bHex ? 16 : 10, 0xFFFFFFFFFFFFULL,
                     &ullAuthority)) {
        return Fail(ERROR_INVALID_SID);
    }
    std::vector<BYTE> sid(8 + 4 * (parts.size() - 2));
    sid[0] = 1;
    sid[1] = static_cast<BYTE>(parts.size() - 2);
    for (int i = 0; i < 6; ++i) {
        sid[2 + i] = static_cast<BYTE>(ullAuthority >> (8 * (5 - i)));
    }
    for (size_t i = 2; i < parts.size(); ++i) {
        unsigned long long ullSub = 0;
        if (!ParseNumber(parts[i], 10, 0xFFFFFFFFULL, &ullSub)) {
            return Fail(ERROR_INVALID_SID);
        }
        for (int b = 0; b < 4; ++b) {
            sid[8 + 4 * (i - 2) + b] = static_cast<BYTE>(ullSub >> (8 * b));
        }
    }
    *pSid = std::move(sid);
    return true;
}

bool GetUserName(std::u16string* psName) {
    Account account;
    if (!PosixUser(nullptr, geteuid(), &account)) {
        return false;
    }
    *psName = account.sName;
    return true;
}

bool LookupAccountName(const char16_t* szSystem, const char16_t* szAccountName, BYTE* pSid, DWORD* pcbSid,
                       char16_t* szDomain, DWORD* pcchDomain, SID_NAME_USE* peUse) {
    if ((szSystem != nullptr && szSystem[0] != u'\0') || szAccountName == nullptr || pcbSid == nullptr ||
        pcchDomain == nullptr || peUse == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::u16string sName(szAccountName);
    std::u16string sDomainGiven;
    const size_t nSlash = sName.find(u'\\');
    if (nSlash != std::u16string::npos) {
        sDomainGiven = sName.substr(0, nSlash);
        sName.erase(0, nSlash + 1);
    }
    Account account;
    if (sName.empty() || !ResolveName(sName, &account)) {
        return Fail(ERROR_NONE_MAPPED);
    }
    if (nSlash != std::u16string::npos && !EqualNoCase(sDomainGiven, account.sDomain)) {
        return Fail(ERROR_NONE_MAPPED);
    }
    std::vector<BYTE> sid;
    if (!ConvertStringSidToSid(account.sSid.c_str(), &sid)) {
        return Fail(ERROR_NONE_MAPPED);
    }
    const DWORD cchDomainNeeded = static_cast<DWORD>(account.sDomain.size() + 1);
    if (*pcbSid < sid.size() || *pcchDomain < cchDomainNeeded || pSid == nullptr || szDomain == nullptr) {
        *pcbSid = static_cast<DWORD>(sid.size());
        *pcchDomain = cchDomainNeeded;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(pSid, sid.data(), sid.size());
    std::copy(account.sDomain.begin(), account.sDomain.end(), szDomain);
    szDomain[account.sDomain.size()] = u'\0';
    *pcbSid = static_cast<DWORD>(sid.size());
    *pcchDomain = cchDomainNeeded - 1;
    *peUse = account.eUse;
    return true;
}

bool LookupAccountSid(const char16_t* szSystem, const BYTE* pSid, std::u16string* psName,
                      std::u16string* psDomain, SID_NAME_USE* peUse) {
    if ((szSystem != nullptr && szSystem[0] != u'\0') || psName == nullptr || psDomain == nullptr ||
        peUse == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::u16string sSid;
    if (!ConvertSidToStringSid(pSid, &sSid)) {
        return false;
    }
    Account account;
    bool bFound = false;
    for (const WellKnown& known : WELL_KNOWN) {
        if (sSid == known.szSid) {
            account = {known.szName, known.szDomain, known.szSid, known.eUse};
            bFound = true;
        }
    }
    if (!bFound) {
        bFound = CAccountTable::Instance().FindSid(sSid, &account);
    }
    // S-1-22-1-<uid> and S-1-22-2-<gid>: authority 22, two sub-authorities.
    const BYTE* p = pSid + 8;
    if (!bFound && pSid[1] == 2 && std::all_of(pSid + 2, pSid + 7, [](BYTE b) { return b == 0; }) &&
        pSid[7] == POSIX_USER_AUTHORITY) {
        const DWORD dwKind = DWORD{p[0]} | DWORD{p[1]} << 8 | DWORD{p[2]} << 16 | DWORD{p[3]} << 24;
        const DWORD dwId = DWORD{p[4]} | DWORD{p[5]} << 8 | DWORD{p[6]} << 16 | DWORD{p[7]} << 24;
        if (dwKind == POSIX_USER_RID && dwId != 0) {
            bFound = PosixUser(nullptr, dwId, &account);
        } else if (dwKind == POSIX_GROUP_RID) {
            bFound = PosixGroup(nullptr, dwId, &account);
        }
    }
    if (!bFound) {
        return Fail(ERROR_NONE_MAPPED);
    }
    *psName = account.sName;
    *psDomain = account.sDomain;
    *peUse = account.eUse;
    return true;
}

bool AddLocalAccount(const std::u16string& sName, const std::u16string& sSid) {
    std::vector<BYTE> sid;
    if (sName.empty() || sName.find(u'\\') != std::u16string::npos) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!ConvertStringSidToSid(sSid.c_str(), &sid)) {
        return false;
    }
    std::u16string sCanonical;
    ConvertSidToStringSid(sid.data(), &sCanonical);
    CKey hKey;
    LONG lResult =
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, AccountKey(sName).c_str(), 0, KEY_WRITE, &hKey, nullptr);
    if (lResult == LONG{ERROR_SUCCESS}) {
        lResult = RegSetValueEx(hKey, u"Sid", REG_SZ, reinterpret_cast<const BYTE*>(sCanonical.c_str()),
                                static_cast<DWORD>((sCanonical.size() + 1) * sizeof(char16_t)));
    }
    CAccountTable::Instance().Invalidate();
    return lResult == LONG{ERROR_SUCCESS} || Fail(static_cast<DWORD>(lResult));
}

bool RemoveLocalAccount(const std::u16string& sName) {
    if (sName.empty() || sName.find(u'\\') != std::u16string::npos) {
        return Fail(ERROR_NONE_MAPPED);
    }
    const LONG lResult = RegDeleteTree(HKEY_LOCAL_MACHINE, AccountKey(sName).c_str());
    CAccountTable::Instance().Invalidate();
    if (lResult == LONG{ERROR_FILE_NOT_FOUND}) {
        return Fail(ERROR_NONE_MAPPED);
    }
    return lResult == LONG{ERROR_SUCCESS} || Fail(static_cast<DWORD>(lResult));
}

bool ListLocalAccounts(std::vector<LocalAccount>* pAccounts) {
    return CAccountTable::Instance().Use(
        [pAccounts](const std::vector<LocalAccount>& accounts) { *pAccounts = accounts; });
}

bool NewLocalAccountSid(std::u16string* psSid) {
    CKey hTable;
    LONG lResult =
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, LOCAL_ACCOUNTS_KEY, 0, KEY_ALL_ACCESS, &hTable, nullptr);
    if (lResult != LONG{ERROR_SUCCESS}) {
        return Fail(static_cast<DWORD>(lResult));
    }
    std::u16string sDomainSid;
    if (!ReadString(hTable, DOMAIN_SID_VALUE, &sDomainSid)) {
        std::random_device random;
        std::uniform_int_distribution<DWORD> sub(1, 0xFFFFFFFF);
        sDomainSid =
            u"S-1-5-21-" + Decimal(sub(random)) + u"-" + Decimal(sub(random)) + u"-" + Decimal(sub(random));
        lResult =
            RegSetValueEx(hTable, DOMAIN_SID_VALUE, REG_SZ, reinterpret_cast<const BYTE*>(sDomainSid.c_str()),
                          static_cast<DWORD>((sDomainSid.size() + 1) * sizeof(char16_t)));
        if (lResult != LONG{ERROR_SUCCESS}) {
            return Fail(static_cast<DWORD>(lResult));
        }
    }
    DWORD dwNext = FIRST_LOCAL_RID;
    std::vector<LocalAccount> accounts;
    if (!ListLocalAccounts(&accounts)) {
        return false;
    }
    const std::u16string sPrefix = sDomainSid + u"-";
    for (const LocalAccount& account : accounts) {
        unsigned long long ullRid = 0;
        if (account.sSid.starts_with(sPrefix) &&
            ParseNumber(std::u16string_view(account.sSid).substr(sPrefix.size()), 10, 0xFFFFFFFEULL,
                        &ullRid)) {
            dwNext = std::max<DWORD>(dwNext, static_cast<DWORD>(ullRid) + 1);
        }
    }
    *psSid = sPrefix + Decimal(dwNext);
    return true;
}

}  // namespace platform
