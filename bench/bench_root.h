// A benchmark's own machine root with a product directory holding one of the build's libraries, as
// krellctl init leaves it, and that library loaded by the object loader from there, as the service
// loads it.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "bench_programs.h"
#include "events/object_loader.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "service/installed_apps.h"
#include "service/registry_key.h"

class CBenchRoot {
public:
    // szName names the root below the temporary directory; szLibrary is linked from the build's
    // program directory.
    CBenchRoot(const char* szName, const char* szLibrary)
        : m_sRoot((std::filesystem::temp_directory_path() / szName).string()) {
        std::filesystem::remove_all(m_sRoot);
        std::filesystem::create_directories(m_sRoot);
        setenv("KRELL_ROOT", m_sRoot.c_str(), 1);
        setenv("KRELL_DEBUG_OUTPUT", "none", 1);

        const std::u16string sProduct = u"C:\\Program Files\\Quillon\\KRELL";
        std::string sHostProduct;
        platform::MapPath(sProduct, &sHostProduct);
        std::filesystem::create_directories(sHostProduct);
        std::filesystem::create_symlink(ProgramPath(szLibrary), sHostProduct + "/" + szLibrary);
        CRegistryKey reg;
        reg.Create(HKEY_LOCAL_MACHINE, CInstalledApps::INSTALLED_APPS_KEY);
        reg.SetString(u"KRELL", sProduct);

        m_loader.emplace();
        if (m_loader->Load(platform::FromUtf8(szLibrary).c_str()) != ZEL_SUCCESS) {
            std::fprintf(stderr, "cannot load %s\n", szLibrary);
            m_loader.reset();
        }
    }
    // The library is unloaded before its root goes.
    ~CBenchRoot() {
        m_loader.reset();
        std::filesystem::remove_all(m_sRoot);
    }
    CBenchRoot(const CBenchRoot&) = delete;
    CBenchRoot& operator=(const CBenchRoot&) = delete;

    // Null when the library did not load.
    CObjectLoader* Loader() { return m_loader ? &*m_loader : nullptr; }

private:
    std::string m_sRoot;
    std::optional<CObjectLoader> m_loader;
};
