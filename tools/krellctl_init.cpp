// krellctl init: a machine root with the product installed, as its installer would leave a machine.
// Running it again repairs what is missing and changes nothing else.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "diagnostics/debug_options.h"
#include "diagnostics/user_debug_output.h"
#include "events/event_interfaces.h"
#include "krellctl_commands.h"
#include "platform/error_text.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/root.h"
#include "platform/service_control.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "scm/scm_admin.h"
#include "service/installed_apps.h"
#include "service/registry_key.h"

namespace {

constexpr const char16_t* PRODUCT_DIRECTORY = u"C:\\Program Files\\Quillon\\KRELL";
constexpr const char16_t* LOOM_CORE_DIRECTORY = u"C:\\Program Files\\Quillon\\Loom Core";
constexpr const char16_t* COMMON_FILES_DIRECTORY = u"C:\\Program Files\\Common Files";
constexpr const char16_t* MANIFEST_DIRECTORY =
    u"C:\\Program Files\\Common Files\\Quillon Shared\\GWManifests";
constexpr const char16_t* LOG_DIRECTORY = u"C:\\ProgramData\\Quillon\\Logs";

// The shared client library's load-order groups: the event manager, then the settings store (a client
// of the event manager), both before every service without a group, such as the protection service.
constexpr const char16_t* EVENTS_GROUP = u"Loom Core Events";
constexpr const char16_t* SETTINGS_GROUP = u"Loom Core Settings";
// The head of the platform's own list, for a root that has none yet.
constexpr const char16_t* PLATFORM_GROUPS[] = {
    u"System Reserved", u"Boot Bus Extender",   u"System Bus Extender", u"SCSI miniport", u"Primary Disk",
    u"Filter",          u"FSFilter Anti-Virus", u"File System",         u"Event Log",     u"NetworkProvider"};

std::string Narrow(const std::u16string& s) {
    return platform::ToUtf8(s);
}

bool Fail(const char* szWhat, const std::u16string& sName) {
    std::fprintf(stderr, "krellctl: cannot %s %s: error %s\n", szWhat, Narrow(sName).c_str(),
                 platform::DescribeError(platform::GetLastError()).c_str());
    return false;
}

bool CreateDirectories(const std::u16string& sPath) {
    for (std::size_t nPos = sPath.find(u'\\', 3);; nPos = sPath.find(u'\\', nPos + 1)) {
        const std::u16string sPart = sPath.substr(0, nPos);
        if (!platform::CreateDirectory(sPart.c_str()) && platform::GetLastError() != ERROR_ALREADY_EXISTS) {
            return Fail("create", sPart);
        }
        if (nPos == std::u16string::npos) {
            return true;
        }
    }
}

bool SetString(const std::u16string& sKey, const char16_t* szName, const std::u16string& sValue) {
    CRegistryKey reg;
    return (reg.Create(HKEY_LOCAL_MACHINE, sKey.c_str()) && reg.SetString(szName, sValue)) ||
           Fail("write", sKey + u"\\" + szName);
}

bool SetDwordIfAbsent(const std::u16string& sKey, const char16_t* szName, DWORD dwValue) {
    CRegistryKey reg;
    DWORD dwExisting = 0;
    if (!reg.Create(HKEY_LOCAL_MACHINE, sKey.c_str())) {
        return Fail("write", sKey);
    }
    return reg.GetDword(szName, &dwExisting) || reg.SetDword(szName, dwValue) ||
           Fail("write", sKey + u"\\" + szName);
}

// The programs of the stand-ins are built beside krellctl.
std::string SiblingProgram(const char* szName) {
    std::error_code ec;
    return (std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / szName).string();
}

// Places a program or library of the build into the product directory as a link; one not built yet
// is left out with a note.
bool LinkIntoProduct(const std::u16string& sTargetPath, const char* szBuilt) {
    std::string sTarget;
    if (!platform::MapPath(sTargetPath, &sTarget)) {
        return Fail("place", sTargetPath);
    }
    const std::string sBuilt = SiblingProgram(szBuilt);
    if (access(sBuilt.c_str(), R_OK) != 0) {
        std::printf("note: %s not built yet; %s left out\n", sBuilt.c_str(), Narrow(sTargetPath).c_str());
        return true;
    }
    std::error_code ec;
    std::filesystem::remove(sTarget, ec);
    std::filesystem::create_symlink(sBuilt, sTarget, ec);
    return !ec || Fail("link", sTargetPath);
}

// The event manager's class: its in-process handler in the product directory talks to the service.
bool RegisterEventManagerClass(const std::u16string& sHandler) {
    const std::u16string sKey =
        u"CLSID\\" + platform::GuidToString(CLSID_KTEventManager) + u"\\InprocHandler32";
    CRegistryKey reg;
    return (reg.Create(HKEY_CLASSES_ROOT, sKey.c_str()) && reg.SetString(u"", sHandler)) ||
           Fail("register", sKey);
}

// Our groups join the platform's list after the groups it already has.
bool RegisterGroups() {
    CRegistryKey reg;
    if (!reg.Create(HKEY_LOCAL_MACHINE, scm::GROUP_ORDER_KEY)) {
        return Fail("write", scm::GROUP_ORDER_KEY);
    }
    std::vector<std::u16string> groups = scm::ReadGroupOrder();
    if (groups.empty()) {
        groups.assign(std::begin(PLATFORM_GROUPS), std::end(PLATFORM_GROUPS));
    }
    std::u16string sList;
    for (const char16_t* szOurs : {EVENTS_GROUP, SETTINGS_GROUP}) {
        if (std::none_of(groups.begin(), groups.end(),
                         [szOurs](const std::u16string& s) { return platform::EqualNoCase(s, szOurs); })) {
            groups.emplace_back(szOurs);
        }
    }
    for (const auto& sGroup : groups) {
        sList += sGroup + u'\0';
    }
    sList += u'\0';
    return platform::RegSetValueEx(
               reg.Handle(), u"List", REG_MULTI_SZ, reinterpret_cast<const BYTE*>(sList.data()),
               static_cast<DWORD>(sList.size() * sizeof(char16_t))) == static_cast<LONG>(ERROR_SUCCESS) ||
           Fail("write", std::u16string(scm::GROUP_ORDER_KEY) + u"\\List");
}

// szGroup (or none) is also given to an entry installed before it had one.
bool InstallService(SC_HANDLE hManager, const char16_t* szName, DWORD dwType, DWORD dwStartType,
                    const std::u16string& sImage, const char16_t* szGroup) {
    SC_HANDLE hService = platform::OpenService(hManager, szName, SERVICE_QUERY_STATUS);
    if (hService == nullptr) {
        hService = platform::CreateService(hManager, szName, szName, SERVICE_ALL_ACCESS, dwType, dwStartType,
                                           SERVICE_ERROR_NORMAL, sImage.c_str(), szGroup, nullptr, nullptr,
                                           nullptr, nullptr);
        if (hService == nullptr) {
            return Fail("install the service", szName);
        }
    }
    platform::CloseServiceHandle(hService);
    const std::u16string sKey = std::u16string(u"SYSTEM\\CurrentControlSet\\Services\\") + szName;
    CRegistryKey reg;
    std::u16string sGroup;
    return szGroup == nullptr ||
           (reg.Open(HKEY_LOCAL_MACHINE, sKey.c_str(), KEY_ALL_ACCESS) &&
            (reg.GetString(u"Group", &sGroup) || reg.SetString(u"Group", szGroup))) ||
           Fail("write", sKey + u"\\Group");
}

bool Init() {
    const std::u16string sDriverImage = std::u16string(PRODUCT_DIRECTORY) + u"\\KRELLDrv.sys";
    const std::u16string sDebugKey =
        std::u16string(CDebugOptions::BASE_KEY) + u"\\" + CUserDebugOutput::OPTIONS_SUB_KEY;
    if (!CreateDirectories(PRODUCT_DIRECTORY) || !CreateDirectories(LOOM_CORE_DIRECTORY) ||
        !CreateDirectories(MANIFEST_DIRECTORY) || !CreateDirectories(LOG_DIRECTORY) ||
        !SetString(CInstalledApps::INSTALLED_APPS_KEY, u"KRELL", PRODUCT_DIRECTORY) ||
        !SetString(CInstalledApps::INSTALLED_APPS_KEY, u"Loom Core", LOOM_CORE_DIRECTORY) ||
        !SetString(CInstalledApps::CURRENT_VERSION_KEY, u"CommonFilesDir", COMMON_FILES_DIRECTORY) ||
        !SetDwordIfAbsent(sDebugKey, u"DebugType", 1) || !SetString(sDebugKey, u"Directory", LOG_DIRECTORY) ||
        !LinkIntoProduct(sDriverImage, "krelldrv") ||
        !LinkIntoProduct(std::u16string(PRODUCT_DIRECTORY) + u"\\lcSet.dll", "lcSet.dll") ||
        !LinkIntoProduct(std::u16string(PRODUCT_DIRECTORY) + u"\\ktRGen.dll", "ktRGen.dll") ||
        !LinkIntoProduct(std::u16string(PRODUCT_DIRECTORY) + u"\\KRELLEvt.dll", "KRELLEvt.dll") ||
        !LinkIntoProduct(std::u16string(PRODUCT_DIRECTORY) + u"\\zuZazEziPS.dll", "zuZazEziPS.dll") ||
        !RegisterEventManagerClass(std::u16string(PRODUCT_DIRECTORY) + u"\\zuZazEziPS.dll")) {
        return false;
    }
    SC_HANDLE hManager = platform::OpenSCManager(nullptr, u"ServicesActive", SC_MANAGER_ALL_ACCESS);
    if (hManager == nullptr) {
        return Fail("open", u"the service control manager");
    }
    const std::u16string sEventManager = platform::WindowsPathOf(SiblingProgram("zuzazezi"));
    const std::u16string sSettingsManager = platform::WindowsPathOf(SiblingProgram("lcsetmgr"));
    const bool bServices = RegisterGroups() &&
                           InstallService(hManager, u"KRELLDrv", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                          sDriverImage, nullptr) &&
                           InstallService(hManager, u"zuZazEzi", SERVICE_WIN32_OWN_PROCESS,
                                          SERVICE_DEMAND_START, sEventManager, EVENTS_GROUP) &&
                           InstallService(hManager, u"lcSetMgr", SERVICE_WIN32_OWN_PROCESS,
                                          SERVICE_AUTO_START, sSettingsManager, SETTINGS_GROUP);
    platform::CloseServiceHandle(hManager);
    return bServices;
}

}  // namespace

int RunInitCommand(const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "usage: krellctl [--root DIR] init\n");
        return 2;
    }
    if (!Init()) {
        return 1;
    }
    std::printf("root %s ready: product in %s, manifests in %s, debug log in %s\n",
                platform::RootDirectory().c_str(), Narrow(PRODUCT_DIRECTORY).c_str(),
                Narrow(MANIFEST_DIRECTORY).c_str(), Narrow(LOG_DIRECTORY).c_str());
    return 0;
}
