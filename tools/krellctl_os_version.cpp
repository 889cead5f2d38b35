// krellctl os-version: the operating-system version pair that the seam reports, kept in the root, so
// an operator can simulate an upgrade (the known-folder cache asks the shell again after one).
#include <cstdio>
#include <string>
#include <vector>

#include "arguments.h"
#include "platform/known_folders.h"
#include "service/registry_key.h"

int RunInitCommand(const std::vector<std::string>& args);

namespace {

// The version a fresh root starts with: the seam's default.
constexpr DWORD INITIAL_MAJOR = 5;
constexpr DWORD INITIAL_MINOR = 1;

int Usage() {
    std::fprintf(stderr,
                 "usage: krellctl [--root DIR] os-version show\n"
                 "       krellctl [--root DIR] os-version set MAJOR MINOR\n");
    return 2;
}

bool WriteVersion(DWORD dwMajor, DWORD dwMinor) {
    CRegistryKey reg;
    return reg.Create(HKEY_LOCAL_MACHINE, platform::OS_VERSION_KEY) && reg.SetDword(u"Major", dwMajor) &&
           reg.SetDword(u"Minor", dwMinor);
}

}  // namespace

int RunOsVersionCommand(const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "show") {
        DWORD dwMajor = 0;
        DWORD dwMinor = 0;
        if (!platform::GetVersionEx(&dwMajor, &dwMinor)) {
            std::fprintf(stderr, "krellctl: the root's version values are not DWORDs\n");
            return 1;
        }
        std::printf("%u.%u\n", static_cast<unsigned>(dwMajor), static_cast<unsigned>(dwMinor));
        return 0;
    }
    if (args.size() == 3 && args[0] == "set") {
        DWORD dwMajor = 0;
        DWORD dwMinor = 0;
        if (!toolargs::ParseDword(args[1], &dwMajor, toolargs::Radix::Decimal) ||
            !toolargs::ParseDword(args[2], &dwMinor, toolargs::Radix::Decimal)) {
            std::fprintf(stderr, "krellctl: MAJOR and MINOR are numbers from 0 to 4294967295\n");
            return 2;
        }
        if (!WriteVersion(dwMajor, dwMinor)) {
            std::fprintf(stderr, "krellctl: cannot write the version to the registry\n");
            return 1;
        }
        return 0;
    }
    return Usage();
}

// init, then the root's version pair, unless an earlier init or an operator set one.
int RunInitWithOsVersion(const std::vector<std::string>& args) {
    const int nResult = RunInitCommand(args);
    if (nResult != 0) {
        return nResult;
    }
    CRegistryKey reg;
    DWORD dwValue = 0;
    if (reg.Open(HKEY_LOCAL_MACHINE, platform::OS_VERSION_KEY) && reg.GetDword(u"Major", &dwValue)) {
        return 0;
    }
    reg.Close();
    if (!WriteVersion(INITIAL_MAJOR, INITIAL_MINOR)) {
        std::fprintf(stderr, "krellctl: cannot write the operating-system version to the registry\n");
        return 1;
    }
    return 0;
}
