#include "platform/root.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>

#include "platform/posix/root_location.h"

namespace platform {

const std::string& RootDirectory() {
    static const std::string sRoot = [] {
        const std::string s = LocateRoot();
        std::error_code ec;
        std::filesystem::create_directories(s, ec);
        return s;
    }();
    return sRoot;
}

void UseRoot(const std::string& sRoot) {
    setenv("KRELL_ROOT", sRoot.c_str(), 1);
}

std::string RootSubdirectory(const char* szName) {
    std::string s = RootDirectory() + "/" + szName;
    std::error_code ec;
    std::filesystem::create_directories(s, ec);
    return s;
}

}  // namespace platform
