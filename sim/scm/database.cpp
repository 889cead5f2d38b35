// The service database: handles, service entries in the registry store, creation and deletion.
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/registry.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "scm_internal.h"

namespace scm::detail {
namespace {

constexpr DWORD SC_MANAGER_MODIFY_BOOT_CONFIG = 0x0020;
constexpr DWORD SC_MANAGER_LOCK = 0x0008;
constexpr DWORD SC_MANAGER_QUERY_LOCK_STATUS = 0x0010;
constexpr DWORD READ_CONTROL = 0x00020000;
constexpr std::size_t MAX_SERVICE_NAME = 256;

// Handle values are never reused, so a closed handle stays invalid.
struct HandleTable {
    std::mutex mutex;
    std::map<std::uintptr_t, ScObject> objects;
    std::uintptr_t nextValue = 0x5C000;
};

HandleTable& Handles() {
    static HandleTable* s_pTable = new HandleTable;  // outlives every static destructor
    return *s_pTable;
}

SC_HANDLE InsertScHandle(ScObject object) {
    HandleTable& table = Handles();
    std::lock_guard lock(table.mutex);
    table.nextValue += 4;
    table.objects.emplace(table.nextValue, std::move(object));
    return reinterpret_cast<SC_HANDLE>(table.nextValue);
}

DWORD MapManagerAccess(DWORD dwAccess) {
    if ((dwAccess & (GENERIC_ALL | MAXIMUM_ALLOWED)) != 0) {
        return SC_MANAGER_ALL_ACCESS;
    }
    DWORD dwMapped = dwAccess & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE);
    if ((dwAccess & GENERIC_READ) != 0) {
        dwMapped |= READ_CONTROL | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    }
    if ((dwAccess & GENERIC_WRITE) != 0) {
        dwMapped |= READ_CONTROL | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    }
    if ((dwAccess & GENERIC_EXECUTE) != 0) {
        dwMapped |= READ_CONTROL | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    }
    // Every manager handle may connect.
    return dwMapped | SC_MANAGER_CONNECT;
}

DWORD MapServiceAccess(DWORD dwAccess) {
    if ((dwAccess & (GENERIC_ALL | MAXIMUM_ALLOWED)) != 0) {
        return SERVICE_ALL_ACCESS;
    }
    DWORD dwMapped = dwAccess & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE);
    if ((dwAccess & GENERIC_READ) != 0) {
        dwMapped |= READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                    SERVICE_ENUMERATE_DEPENDENTS;
    }
    if ((dwAccess & GENERIC_WRITE) != 0) {
        dwMapped |= READ_CONTROL | SERVICE_CHANGE_CONFIG;
    }
    if ((dwAccess & GENERIC_EXECUTE) != 0) {
        dwMapped |= READ_CONTROL | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                    SERVICE_USER_DEFINED_CONTROL;
    }
    return dwMapped;
}

class CKey {
public:
    ~CKey() {
        if (m_hKey != nullptr) {
            platform::RegCloseKey(m_hKey);
        }
    }
    LONG Open(const std::u16string& sPath, REGSAM sam) {
        return platform::RegOpenKeyEx(HKEY_LOCAL_MACHINE, sPath.c_str(), 0, sam, &m_hKey);
    }
    LONG Create(const std::u16string& sPath, DWORD* pdwDisposition) {
        return platform::RegCreateKeyEx(HKEY_LOCAL_MACHINE, sPath.c_str(), 0, KEY_ALL_ACCESS, &m_hKey,
                                        pdwDisposition);
    }
    HKEY Handle() const { return m_hKey; }

    bool GetDword(const char16_t* szName, DWORD* pdw) const {
        DWORD dwType = 0;
        DWORD cb = sizeof(DWORD);
        return platform::RegQueryValueEx(m_hKey, szName, &dwType, reinterpret_cast<BYTE*>(pdw), &cb) ==
                   static_cast<LONG>(ERROR_SUCCESS) &&
               dwType == REG_DWORD && cb == sizeof(DWORD);
    }
    // The value's characters up to the first terminator; a REG_MULTI_SZ keeps its inner ones.
    bool GetChars(const char16_t* szName, std::u16string* ps) const {
        DWORD cb = 0;
        if (platform::RegQueryValueEx(m_hKey, szName, nullptr, nullptr, &cb) !=
            static_cast<LONG>(ERROR_SUCCESS)) {
            return false;
        }
        std::u16string s(cb / sizeof(char16_t), u'\0');
        if (platform::RegQueryValueEx(m_hKey, szName, nullptr, reinterpret_cast<BYTE*>(s.data()), &cb) !=
            static_cast<LONG>(ERROR_SUCCESS)) {
            return false;
        }
        s.resize(cb / sizeof(char16_t));
        *ps = std::move(s);
        return true;
    }
    LONG SetDword(const char16_t* szName, DWORD dw) {
        return platform::RegSetValueEx(m_hKey, szName, REG_DWORD, reinterpret_cast<const BYTE*>(&dw),
                                       sizeof(dw));
    }
    // s is stored with one terminator added.
    LONG SetChars(const char16_t* szName, DWORD dwType, const std::u16string& s) {
        return platform::RegSetValueEx(m_hKey, szName, dwType, reinterpret_cast<const BYTE*>(s.c_str()),
                                       static_cast<DWORD>((s.size() + 1) * sizeof(char16_t)));
    }

private:
    HKEY m_hKey = nullptr;
};

std::u16string ServiceKeyPath(const std::u16string& sName) {
    return std::u16string(SERVICES_KEY) + u"\\" + sName;
}

std::u16string TrimAtTerminator(std::u16string s) {
    s.erase(std::min(s.find(u'\0'), s.size()));
    return s;
}

bool IsValidServiceName(const char16_t* szName) {
    const std::size_t nLength = platform::WideLength(szName);
    if (nLength == 0 || nLength > MAX_SERVICE_NAME) {
        return false;
    }
    const std::u16string_view sName(szName, nLength);
    return sName.find_first_of(u"/\\") == std::u16string_view::npos && sName != u"." && sName != u"..";
}

bool IsValidServiceType(DWORD dwType, DWORD dwStartType) {
    const DWORD dwBase = dwType & ~SERVICE_INTERACTIVE_PROCESS;
    const bool bInteractive = (dwType & SERVICE_INTERACTIVE_PROCESS) != 0;
    if (dwBase == SERVICE_KERNEL_DRIVER || dwBase == SERVICE_FILE_SYSTEM_DRIVER) {
        return !bInteractive && dwStartType <= SERVICE_DISABLED;
    }
    if (dwBase == SERVICE_WIN32_OWN_PROCESS || dwBase == SERVICE_WIN32_SHARE_PROCESS) {
        return dwStartType >= SERVICE_AUTO_START && dwStartType <= SERVICE_DISABLED;
    }
    return false;
}

// A display name may not equal another service's name or display name.
bool DisplayNameTaken(const std::u16string& sNewName, const std::u16string& sDisplayName) {
    std::vector<std::u16string> names;
    ListServiceNames(&names);
    for (const auto& sOther : names) {
        if (platform::EqualNoCase(sOther, sNewName)) {
            continue;
        }
        ServiceConfig other;
        if (platform::EqualNoCase(sOther, sDisplayName) ||
            (ReadConfig(sOther, &other) && (platform::EqualNoCase(other.sDisplayName, sDisplayName) ||
                                            platform::EqualNoCase(other.sDisplayName, sNewName)))) {
            return true;
        }
    }
    return false;
}

// The dependency list of CreateService: services, and groups marked with SC_GROUP_IDENTIFIER.
struct Dependencies {
    std::u16string sServices;  // REG_MULTI_SZ data, with its final empty string
    std::u16string sGroups;
};

Dependencies SplitDependencies(const char16_t* szDependencies) {
    Dependencies result;
    for (const char16_t* p = szDependencies; p != nullptr && *p != u'\0'; p += platform::WideLength(p) + 1) {
        const std::u16string_view sItem(p, platform::WideLength(p));
        if (sItem.starts_with(u'+')) {
            result.sGroups.append(sItem.substr(1)).push_back(u'\0');
        } else {
            result.sServices.append(sItem).push_back(u'\0');
        }
    }
    for (std::u16string* ps : {&result.sServices, &result.sGroups}) {
        if (!ps->empty()) {
            ps->push_back(u'\0');
        }
    }
    return result;
}

}  // namespace

std::vector<std::u16string> SplitMultiString(const std::u16string& s) {
    std::vector<std::u16string> items;
    std::size_t nStart = 0;
    while (nStart < s.size()) {
        const std::size_t nEnd = std::min(s.find(u'\0', nStart), s.size());
        if (nEnd == nStart) {
            break;
        }
        items.push_back(s.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    return items;
}

bool LookupScHandle(SC_HANDLE hHandle, bool bManager, ScObject* pObject) {
    HandleTable& table = Handles();
    std::lock_guard lock(table.mutex);
    const auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(hHandle));
    if (it == table.objects.end() || it->second.bManager != bManager) {
        platform::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    *pObject = it->second;
    return true;
}

bool CheckAccess(const ScObject& object, DWORD dwNeeded) {
    if ((object.dwAccess & dwNeeded) != dwNeeded) {
        platform::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

bool ListServiceNames(std::vector<std::u16string>* pNames) {
    pNames->clear();
    CKey key;
    if (key.Open(SERVICES_KEY, KEY_READ) != static_cast<LONG>(ERROR_SUCCESS)) {
        return true;  // no database yet: no services
    }
    std::vector<char16_t> name(MAX_SERVICE_NAME + 1);
    for (DWORD dwIndex = 0;; ++dwIndex) {
        DWORD cchName = static_cast<DWORD>(name.size());
        const LONG lResult = platform::RegEnumKeyEx(key.Handle(), dwIndex, name.data(), &cchName);
        if (lResult == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) {
            return true;
        }
        if (lResult == static_cast<LONG>(ERROR_SUCCESS)) {
            pNames->emplace_back(name.data(), cchName);
        } else if (lResult != static_cast<LONG>(ERROR_MORE_DATA)) {
            platform::SetLastError(static_cast<DWORD>(lResult));
            return false;
        }
    }
}

bool FindServiceName(std::u16string_view sName, std::u16string* psStored) {
    std::vector<std::u16string> names;
    if (!ListServiceNames(&names)) {
        return false;
    }
    for (auto& sStored : names) {
        if (platform::EqualNoCase(sStored, sName)) {
            *psStored = std::move(sStored);
            return true;
        }
    }
    platform::SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return false;
}

bool ReadConfig(std::u16string_view sName, ServiceConfig* pConfig) {
    ServiceConfig config;
    if (!FindServiceName(sName, &config.sName)) {
        return false;
    }
    CKey key;
    if (key.Open(ServiceKeyPath(config.sName), KEY_READ) != static_cast<LONG>(ERROR_SUCCESS)) {
        platform::SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return false;
    }
    // Other keys live under Services too (the event log's sources): an entry without a type is not
    // a service.
    if (!key.GetDword(u"Type", &config.dwType)) {
        platform::SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return false;
    }
    key.GetDword(u"Start", &config.dwStartType);
    key.GetDword(u"ErrorControl", &config.dwErrorControl);
    DWORD dwDeleteFlag = 0;
    config.bDeleteFlag = key.GetDword(u"DeleteFlag", &dwDeleteFlag) && dwDeleteFlag != 0;
    std::u16string s;
    if (key.GetChars(u"ImagePath", &s)) {
        config.sImagePath = TrimAtTerminator(s);
    }
    config.sDisplayName = key.GetChars(u"DisplayName", &s) ? TrimAtTerminator(s) : config.sName;
    if (key.GetChars(u"Description", &s)) {
        config.sDescription = TrimAtTerminator(s);
    }
    if (key.GetChars(u"ObjectName", &s)) {
        config.sObjectName = TrimAtTerminator(s);
    }
    if (key.GetChars(u"Group", &s)) {
        config.sGroup = TrimAtTerminator(s);
    }
    if (key.GetChars(u"DependOnService", &s)) {
        config.dependencies = SplitMultiString(s);
    }
    if (key.GetChars(u"DependOnGroup", &s)) {
        config.groupDependencies = SplitMultiString(s);
    }
    *pConfig = std::move(config);
    return true;
}

void RemoveService(const std::u16string& sName) {
    platform::RegDeleteTree(HKEY_LOCAL_MACHINE, ServiceKeyPath(sName).c_str());
    for (const char* szSuffix : {".pid", ".status", ".ctl"}) {
        unlink(RunFile(sName, szSuffix).c_str());
    }
}

bool SetDeleteFlag(const std::u16string& sName) {
    CKey key;
    LONG lResult = key.Open(ServiceKeyPath(sName), KEY_SET_VALUE);
    if (lResult == static_cast<LONG>(ERROR_SUCCESS)) {
        lResult = key.SetDword(u"DeleteFlag", 1);
    }
    if (lResult != static_cast<LONG>(ERROR_SUCCESS)) {
        platform::SetLastError(static_cast<DWORD>(lResult));
        return false;
    }
    return true;
}

namespace {

DWORD ReadFault(const std::u16string& sName) {
    CKey faults;
    DWORD dwValue = 0;
    if (faults.Open(FAULTS_KEY, KEY_READ) != static_cast<LONG>(ERROR_SUCCESS) ||
        !faults.GetDword(sName.c_str(), &dwValue)) {
        return 0;
    }
    return dwValue;
}

}  // namespace

bool FaultInjected(std::u16string_view sOperation, std::u16string_view sSubject) {
    const std::u16string sName = std::u16string(sOperation) + u" " + std::u16string(sSubject);
    // A held call lets a test change the machine at a known point of the caller's work.
    if (const DWORD dwHoldMs = ReadFault(u"Hold " + sName); dwHoldMs != 0) {
        const DWORD dwStart = platform::GetTickCount();
        while (ReadFault(u"Hold " + sName) != 0 && platform::GetTickCount() - dwStart < dwHoldMs) {
            usleep(20000);
        }
    }
    const DWORD dwError = ReadFault(sName);
    if (dwError == 0) {
        return false;
    }
    // Counted per process, so the count picks one call out of a known sequence of one program.
    static std::mutex s_mutex;
    static std::map<std::u16string, DWORD> s_passed;
    if (const DWORD dwPass = ReadFault(sName + u" Pass"); dwPass != 0) {
        std::lock_guard lock(s_mutex);
        if (s_passed[sName] < dwPass) {
            ++s_passed[sName];
            return false;
        }
    }
    platform::SetLastError(dwError);
    return true;
}

}  // namespace scm::detail

namespace platform {

using namespace scm::detail;

SC_HANDLE OpenSCManager(const char16_t* szMachineName, const char16_t* szDatabaseName,
                        DWORD dwDesiredAccess) {
    // Only this machine's manager exists here.
    if (szMachineName != nullptr && *szMachineName != u'\0') {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (szDatabaseName != nullptr && !EqualNoCase(szDatabaseName, u"ServicesActive")) {
        SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (FaultInjected(u"OpenSCManager", FromUtf8(std::to_string(dwDesiredAccess)))) {
        return nullptr;
    }
    ScObject object;
    object.bManager = true;
    object.dwAccess = MapManagerAccess(dwDesiredAccess);
    SC_HANDLE hManager = InsertScHandle(std::move(object));
    SetLastError(ERROR_SUCCESS);
    return hManager;
}

SC_HANDLE OpenService(SC_HANDLE hSCManager, const char16_t* szServiceName, DWORD dwDesiredAccess) {
    ScObject manager;
    if (!LookupScHandle(hSCManager, true, &manager)) {
        return nullptr;
    }
    if (szServiceName == nullptr || !IsValidServiceName(szServiceName)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (FaultInjected(u"OpenService", szServiceName)) {
        return nullptr;
    }
    ScObject object;
    {
        RunLock lock;
        ServiceConfig config;
        if (!ReadConfig(szServiceName, &config)) {
            return nullptr;
        }
        // A marked service that has meanwhile stopped is gone.
        if (config.bDeleteFlag && Observe(config).bRemoved) {
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return nullptr;
        }
        object.sName = config.sName;
    }
    object.dwAccess = MapServiceAccess(dwDesiredAccess);
    SC_HANDLE hService = InsertScHandle(std::move(object));
    SetLastError(ERROR_SUCCESS);
    return hService;
}

SC_HANDLE CreateService(SC_HANDLE hSCManager, const char16_t* szServiceName, const char16_t* szDisplayName,
                        DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                        const char16_t* szBinaryPathName, const char16_t* szLoadOrderGroup, DWORD* pdwTagId,
                        const char16_t* szDependencies, const char16_t* szServiceStartName,
                        const char16_t* szPassword) {
    ScObject manager;
    if (!LookupScHandle(hSCManager, true, &manager) || !CheckAccess(manager, SC_MANAGER_CREATE_SERVICE)) {
        return nullptr;
    }
    if (szServiceName == nullptr || !IsValidServiceName(szServiceName)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    // Tags order boot drivers inside a load-order group; nothing here loads in groups.
    if (!IsValidServiceType(dwServiceType, dwStartType) || dwErrorControl > 3 ||
        szBinaryPathName == nullptr || *szBinaryPathName == u'\0' || pdwTagId != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::u16string sName(szServiceName);
    if (FaultInjected(u"CreateService", sName)) {
        return nullptr;
    }
    const std::u16string sDisplayName =
        (szDisplayName != nullptr && *szDisplayName != u'\0') ? szDisplayName : sName;

    RunLock lock;
    ServiceConfig existing;
    if (ReadConfig(sName, &existing)) {
        if (existing.bDeleteFlag && !Observe(existing).bRemoved) {
            SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
            return nullptr;
        }
        if (!existing.bDeleteFlag) {
            SetLastError(ERROR_SERVICE_EXISTS);
            return nullptr;
        }
    }
    if (DisplayNameTaken(sName, sDisplayName)) {
        SetLastError(ERROR_DUPLICATE_SERVICE_NAME);
        return nullptr;
    }

    CKey key;
    DWORD dwDisposition = 0;
    LONG lResult = key.Create(ServiceKeyPath(sName), &dwDisposition);
    const auto check = [&lResult](LONG lNext) {
        if (lResult == static_cast<LONG>(ERROR_SUCCESS)) {
            lResult = lNext;
        }
    };
    if (lResult == static_cast<LONG>(ERROR_SUCCESS)) {
        check(key.SetDword(u"Type", dwServiceType));
        check(key.SetDword(u"Start", dwStartType));
        check(key.SetDword(u"ErrorControl", dwErrorControl));
        check(key.SetChars(u"ImagePath", REG_EXPAND_SZ, szBinaryPathName));
        check(key.SetChars(u"DisplayName", REG_SZ, sDisplayName));
        if (szLoadOrderGroup != nullptr && *szLoadOrderGroup != u'\0') {
            check(key.SetChars(u"Group", REG_SZ, szLoadOrderGroup));
        }
        const Dependencies dependencies = SplitDependencies(szDependencies);
        for (const auto& [szValue, psData] : {std::pair{u"DependOnService", &dependencies.sServices},
                                              std::pair{u"DependOnGroup", &dependencies.sGroups}}) {
            if (!psData->empty()) {
                check(platform::RegSetValueEx(key.Handle(), szValue, REG_MULTI_SZ,
                                              reinterpret_cast<const BYTE*>(psData->data()),
                                              static_cast<DWORD>(psData->size() * sizeof(char16_t))));
            }
        }
        if (szServiceStartName != nullptr && *szServiceStartName != u'\0') {
            check(key.SetChars(u"ObjectName", REG_SZ, szServiceStartName));
        } else if (!IsDriverType(dwServiceType)) {
            check(key.SetChars(u"ObjectName", REG_SZ, u"LocalSystem"));
        }
    }
    if (lResult != static_cast<LONG>(ERROR_SUCCESS)) {
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, ServiceKeyPath(sName).c_str());
        SetLastError(static_cast<DWORD>(lResult));
        return nullptr;
    }
    // A fresh entry starts without the run files of an earlier service of that name.
    for (const char* szSuffix : {".pid", ".status", ".ctl"}) {
        unlink(RunFile(sName, szSuffix).c_str());
    }
    ScObject object;
    object.sName = sName;
    object.dwAccess = MapServiceAccess(dwDesiredAccess);
    SC_HANDLE hService = InsertScHandle(std::move(object));
    SetLastError(ERROR_SUCCESS);
    return hService;
}

bool DeleteService(SC_HANDLE hService) {
    ScObject object;
    if (!LookupScHandle(hService, false, &object) || !CheckAccess(object, SERVICE_DELETE) ||
        FaultInjected(u"DeleteService", object.sName)) {
        return false;
    }
    RunLock lock;
    ServiceConfig config;
    if (!ReadConfig(object.sName, &config) || config.bDeleteFlag) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return false;
    }
    const Observed observed = Observe(config);
    if (observed.record.status.dwCurrentState == SERVICE_STOPPED) {
        RemoveService(config.sName);
    } else if (!SetDeleteFlag(config.sName)) {
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool ChangeServiceConfig2(SC_HANDLE hService, DWORD dwInfoLevel, void* pInfo) {
    ScObject object;
    if (!LookupScHandle(hService, false, &object) || !CheckAccess(object, SERVICE_CHANGE_CONFIG)) {
        return false;
    }
    if (dwInfoLevel != SERVICE_CONFIG_DESCRIPTION) {
        SetLastError(ERROR_INVALID_LEVEL);
        return false;
    }
    if (pInfo == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const char16_t* szDescription = static_cast<const SERVICE_DESCRIPTION*>(pInfo)->lpDescription;
    if (szDescription == nullptr) {
        return true;  // no change
    }
    RunLock lock;
    ServiceConfig config;
    if (!ReadConfig(object.sName, &config) || config.bDeleteFlag) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return false;
    }
    CKey key;
    LONG lResult = key.Open(ServiceKeyPath(config.sName), KEY_SET_VALUE);
    if (lResult == static_cast<LONG>(ERROR_SUCCESS)) {
        if (*szDescription == u'\0') {
            lResult = platform::RegDeleteValue(key.Handle(), u"Description");
            if (lResult == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
                lResult = ERROR_SUCCESS;
            }
        } else {
            lResult = key.SetChars(u"Description", REG_SZ, szDescription);
        }
    }
    if (lResult != static_cast<LONG>(ERROR_SUCCESS)) {
        SetLastError(static_cast<DWORD>(lResult));
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool CloseServiceHandle(SC_HANDLE hSCObject) {
    HandleTable& table = Handles();
    std::lock_guard lock(table.mutex);
    if (table.objects.erase(reinterpret_cast<std::uintptr_t>(hSCObject)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

}  // namespace platform
