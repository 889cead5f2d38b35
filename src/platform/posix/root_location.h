// Where the machine root is: KRELL_ROOT, else a per-user default, without trailing slashes.
// Header-only, so that stand-in libraries that link nothing of the system find the same root.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace platform {

inline std::string LocateRoot() {
    std::string s;
    if (const char* szRoot = std::getenv("KRELL_ROOT"); szRoot != nullptr && *szRoot != '\0') {
        s = szRoot;
    } else if (const char* szState = std::getenv("XDG_STATE_HOME"); szState != nullptr && *szState != '\0') {
        s = std::string(szState) + "/krell/root";
    } else if (const char* szHome = std::getenv("HOME"); szHome != nullptr && *szHome != '\0') {
        s = std::string(szHome) + "/.local/state/krell/root";
    } else {
        s = "/tmp/krell-" + std::to_string(getuid()) + "/root";
    }
    while (s.size() > 1 && s.back() == '/') {
        s.pop_back();
    }
    return s;
}

}  // namespace platform
