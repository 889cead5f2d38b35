#include "platform/root.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace platform {
namespace {

std::string DefaultRoot() {
    if (const char* szState = getenv("XDG_STATE_HOME"); szState != nullptr && *szState != '\0') {
        return std::string(szState) + "/krell/root";
    }
    if (const char* szHome = getenv("HOME"); szHome != nullptr && *szHome != '\0') {
        return std::string(szHome) + "/.local/state/krell/root";
    }
    return "/tmp/krell-" + std::to_string(getuid()) + "/root";
}

}  // namespace

const std::string& RootDirectory() {
    static const std::string sRoot = [] {
        const char* szRoot = getenv("KRELL_ROOT");
        std::string s = (szRoot != nullptr && *szRoot != '\0') ? std::string(szRoot) : DefaultRoot();
        while (s.size() > 1 && s.back() == '/') {
            s.pop_back();
        }
        std::error_code ec;
        std::filesystem::create_directories(s, ec);
        return s;
    }();
    return sRoot;
}

std::string RootSubdirectory(const char* szName) {
    std::string s = RootDirectory() + "/" + szName;
    std::error_code ec;
    std::filesystem::create_directories(s, ec);
    return s;
}

}  // namespace platform
