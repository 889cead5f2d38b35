#include "service/installed_apps.h"

#include "diagnostics/user_debug_output.h"
#include "platform/known_folders.h"
#include "platform/registry.h"
#include "service/registry_key.h"

namespace {

void TrimTrailingBackslashes(std::u16string* ps) {
    while (!ps->empty() && ps->back() == u'\\') {
        ps->pop_back();
    }
}

}  // namespace

bool CInstalledApps::GetInstAppsDirectory(const char16_t* szAppName, std::u16string* psDirectory) {
    try {
        CRegistryKey reg;
        if (!reg.Open(HKEY_LOCAL_MACHINE, INSTALLED_APPS_KEY, KEY_READ)) {
            TraceOut1(u"CInstalledApps::GetInstAppsDirectory() : reg.Open() == FALSE\n");
            return false;
        }
        std::u16string sDirectory;
        if (!reg.GetString(szAppName, &sDirectory)) {
            TraceOut1(u"CInstalledApps::GetInstAppsDirectory() : reg.GetString() == FALSE\n");
            return false;
        }
        TrimTrailingBackslashes(&sDirectory);
        if (sDirectory.empty()) {
            return false;
        }
        TraceOut3(u"CInstalledApps::GetInstAppsDirectory() : \"%s\", \"%s\"\n", szAppName, sDirectory);
        *psDirectory = std::move(sDirectory);
        return true;
    } catch (const std::bad_alloc&) {
        TraceOut1(u"LCCATCH : %s\n", u"std::bad_alloc");
        return false;
    }
}

bool CInstalledApps::GetKTDirectory(std::u16string* psDirectory) {
    return GetInstAppsDirectory(u"KRELL", psDirectory);
}

bool CInstalledApps::GetZelSharedDirectory(std::u16string* psDirectory) {
    try {
        std::u16string sDirectory;
        if (!platform::SHGetSpecialFolderPath(platform::CSIDL_PROGRAM_FILES_COMMON, &sDirectory, false)) {
            TraceOut1(u"CInstalledApps::GetZelSharedDirectory() : SHGetSpecialFolderPath() == FALSE\n");
            CRegistryKey reg;
            if (!reg.Open(HKEY_LOCAL_MACHINE, CURRENT_VERSION_KEY, KEY_READ) ||
                !reg.GetString(u"CommonFilesDir", &sDirectory)) {
                TraceOut1(u"CInstalledApps::GetZelSharedDirectory() : reg.Open() == FALSE\n");
                return false;
            }
        }
        if (sDirectory.empty()) {
            return false;
        }
        TrimTrailingBackslashes(&sDirectory);
        sDirectory += u"\\Quillon Shared";
        TraceOut3(u"CInstalledApps::GetZelSharedDirectory() : \"%s\"\n", sDirectory);
        *psDirectory = std::move(sDirectory);
        return true;
    } catch (const std::bad_alloc&) {
        TraceOut1(u"LCCATCH : %s\n", u"std::bad_alloc");
        return false;
    }
}

bool CInstalledApps::GetLCDirectory(std::u16string* psDirectory) {
    std::u16string sDirectory;
    if (!GetInstAppsDirectory(u"Loom Core", &sDirectory)) {
        TraceOut1(u"CInstalledApps::GetLCDirectory() : GetInstAppsDirectory() == false\n");
        if (!GetZelSharedDirectory(&sDirectory)) {
            TraceOut1(u"CInstalledApps::GetLCDirectory() : GetZelSharedDirectory() == false\n");
            return false;
        }
    }
    TraceOut3(u"CInstalledApps::GetLCDirectory() : \"%s\"\n", sDirectory);
    *psDirectory = std::move(sDirectory);
    return true;
}
