// Where the product and the maker's shared components are installed, read from the registry, so that
// no path is compiled into the service. Every answer carries no trailing backslash.
#pragma once

#include <string>

class CInstalledApps {
public:
    static constexpr const char16_t* INSTALLED_APPS_KEY = u"Software\\Quillon\\InstalledApps";
    static constexpr const char16_t* CURRENT_VERSION_KEY = u"Software\\Microsoft\\Windows\\CurrentVersion";

    static bool GetInstAppsDirectory(const char16_t* szAppName, std::u16string* psDirectory);
    // The product directory ("KRELL").
    static bool GetKTDirectory(std::u16string* psDirectory);
    // The common program-files folder followed by "\Quillon Shared".
    static bool GetZelSharedDirectory(std::u16string* psDirectory);
    // "Loom Core", else the shared directory.
    static bool GetLCDirectory(std::u16string* psDirectory);
};
