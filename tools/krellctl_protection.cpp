// krellctl protection and config: the operator's switches of the protection, and the configuration
// change that makes the service compile them.
//   protection status                                   the switches as the store holds them
//   protection on|off [--disable-for MINUTES] [--wait S]
//   protection set file=0|1 registry=0|1 process=0|1 [--disable-for MINUTES] [--wait S]
//   config apply [--wait S]
// Every change is one commit of the switches with "RefreshNeeded" set, followed by a settings refresh
// request to the store's service, whose configuration change's answer (result and error stack) is
// printed; exit 1 when nobody took it.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "arguments.h"
#include "krellctl_commands.h"
#include "platform/strings.h"
#include "settings/settings_helpers.h"

namespace {

constexpr const char16_t* GW_STATES_KEY = u"GATEWARDEN\\PRIVATE\\GWStates";
constexpr unsigned long DEFAULT_WAIT_SECONDS = 30;

// The switches and their defaults when missing.
struct CSwitch {
    const char* szWord;  // the word of "protection set", or null
    const char16_t* szValue;
    DWORD dwDefault;
};
constexpr CSwitch SWITCHES[] = {
    {nullptr, u"GWGlobalState", 1},      {"file", u"FileProtectState", 1},
    {"registry", u"RegProtectState", 1}, {"process", u"ProcessProtectState", 1},
    {nullptr, u"RefreshNeeded", 0},
};
constexpr const char16_t* EXPIRE_VALUES[] = {u"GWTempExpireYear",   u"GWTempExpireMonth",
                                             u"GWTempExpireDay",    u"GWTempExpireHour",
                                             u"GWTempExpireMinute", u"GWTempExpireSecond"};

int Usage() {
    std::fprintf(stderr,
                 "usage: krellctl [--root DIR] protection status\n"
                 "       krellctl [--root DIR] protection on|off [--disable-for MINUTES] [--wait S]\n"
                 "       krellctl [--root DIR] protection set file=0|1 registry=0|1 process=0|1 "
                 "[--disable-for MINUTES] [--wait S]\n"
                 "       krellctl [--root DIR] config apply [--wait S]\n");
    return 2;
}

int Status() {
    CSettingsManagerHelper helper;
    CComPtr<ISettingsManager> pMgr;
    if (const int nExit = ConnectStore(&helper, pMgr); nExit != 0) {
        return nExit;
    }
    // A missing key shows the defaults, as the service would read it.
    CComPtr<ISettings> pKey;
    const ZELRESULT zrKey = pMgr->GetSettings(GW_STATES_KEY, &pKey);
    if (!ZEL_SUCCEEDED(zrKey) && zrKey != ZEL_E_NOT_FOUND) {
        std::fprintf(stderr, "krellctl: cannot read GATEWARDEN\\PRIVATE\\GWStates: 0x%08X\n",
                     static_cast<unsigned>(zrKey));
        return 1;
    }
    auto read = [&](const char16_t* szName, DWORD dwDefault) {
        DWORD dwValue = dwDefault;
        if (pKey && !ZEL_SUCCEEDED(pKey->GetDword(szName, &dwValue))) {
            dwValue = dwDefault;
        }
        return dwValue;
    };
    for (const auto& entry : SWITCHES) {
        std::printf("%s = %u\n", platform::ToUtf8(entry.szValue).c_str(),
                    read(entry.szValue, entry.dwDefault));
    }
    DWORD expire[6];
    bool bAny = false;
    for (int i = 0; i < 6; ++i) {
        expire[i] = read(EXPIRE_VALUES[i], 0);
        bAny = bAny || expire[i] != 0;
    }
    if (bAny) {
        std::printf("temporarily disabled until %04u-%02u-%02u %02u:%02u:%02u (local time)\n", expire[0],
                    expire[1], expire[2], expire[3], expire[4], expire[5]);
    } else {
        std::printf("not temporarily disabled\n");
    }
    return 0;
}

// Writes the values and "RefreshNeeded" in one commit, so the store counts one change.
int WriteSwitches(const std::map<std::u16string, DWORD>& values) {
    CSettingsManagerHelper helper;
    CComPtr<ISettingsManager> pMgr;
    if (const int nExit = ConnectStore(&helper, pMgr); nExit != 0) {
        return nExit;
    }
    CComPtr<ISettings> pKey;
    ZELRESULT zr = pMgr->CreateSettings(GW_STATES_KEY, &pKey);
    for (const auto& [sName, dwValue] : values) {
        if (ZEL_SUCCEEDED(zr)) {
            zr = pKey->PutDword(sName.c_str(), dwValue);
        }
    }
    if (ZEL_SUCCEEDED(zr)) {
        zr = pKey->PutDword(u"RefreshNeeded", 1);
    }
    if (ZEL_SUCCEEDED(zr)) {
        zr = pMgr->PutSettings(pKey.Get());
    }
    if (!ZEL_SUCCEEDED(zr)) {
        std::fprintf(stderr, "krellctl: cannot write GATEWARDEN\\PRIVATE\\GWStates: 0x%08X\n",
                     static_cast<unsigned>(zr));
        return 1;
    }
    return 0;
}

// The end of a temporary disabling MINUTES from now, as the six local date and time values.
void AddExpiry(unsigned long ulMinutes, std::map<std::u16string, DWORD>* pValues) {
    const time_t end = time(nullptr) + static_cast<time_t>(ulMinutes) * 60;
    tm parts{};
    localtime_r(&end, &parts);
    const DWORD fields[6] = {static_cast<DWORD>(parts.tm_year + 1900), static_cast<DWORD>(parts.tm_mon + 1),
                             static_cast<DWORD>(parts.tm_mday),        static_cast<DWORD>(parts.tm_hour),
                             static_cast<DWORD>(parts.tm_min),         static_cast<DWORD>(parts.tm_sec)};
    for (int i = 0; i < 6; ++i) {
        (*pValues)[EXPIRE_VALUES[i]] = ulMinutes == 0 ? 0 : fields[i];
    }
}

// Reads [--disable-for MINUTES] [--wait S] from args[nFirst...]; false for anything else.
bool ParseOptions(const std::vector<std::string>& args, std::size_t nFirst, long* plDisableFor,
                  unsigned long* pulWait) {
    for (std::size_t i = nFirst; i < args.size(); i += 2) {
        DWORD dwValue = 0;
        if (i + 1 >= args.size() || !toolargs::ParseDword(args[i + 1], &dwValue, toolargs::Radix::Decimal)) {
            return false;
        }
        if (args[i] == "--disable-for" && dwValue > 0 && dwValue <= 7 * 24 * 60) {
            *plDisableFor = static_cast<long>(dwValue);
        } else if (args[i] == "--wait" && dwValue > 0) {
            *pulWait = dwValue;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int RunProtectionCommand(const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "status") {
        return Status();
    }
    if (args.empty()) {
        return Usage();
    }
    std::map<std::u16string, DWORD> values;
    std::size_t nOptions = 1;
    if (args[0] == "on" || args[0] == "off") {
        values[u"GWGlobalState"] = args[0] == "on" ? 1 : 0;
    } else if (args[0] == "set") {
        for (; nOptions < args.size() && args[nOptions].rfind("--", 0) != 0; ++nOptions) {
            const std::string& sArg = args[nOptions];
            const std::size_t nEq = sArg.find('=');
            const CSwitch* pSwitch = nullptr;
            for (const auto& entry : SWITCHES) {
                if (entry.szWord != nullptr && nEq != std::string::npos &&
                    sArg.substr(0, nEq) == entry.szWord) {
                    pSwitch = &entry;
                }
            }
            const std::string sValue = nEq == std::string::npos ? "" : sArg.substr(nEq + 1);
            if (pSwitch == nullptr || (sValue != "0" && sValue != "1") || values.contains(pSwitch->szValue)) {
                return Usage();
            }
            values[pSwitch->szValue] = sValue == "1" ? 1 : 0;
        }
        if (values.empty()) {
            return Usage();
        }
    } else {
        return Usage();
    }
    long lDisableFor = -1;
    unsigned long ulWait = DEFAULT_WAIT_SECONDS;
    if (!ParseOptions(args, nOptions, &lDisableFor, &ulWait)) {
        return Usage();
    }
    // Switching on ends a temporary disabling unless a new one is asked for.
    if (lDisableFor > 0) {
        AddExpiry(static_cast<unsigned long>(lDisableFor), &values);
    } else if (args[0] == "on") {
        AddExpiry(0, &values);
    }
    if (const int nExit = WriteSwitches(values); nExit != 0) {
        return nExit;
    }
    return RequestConfigChange(ulWait);
}

int RunConfigCommand(const std::vector<std::string>& args) {
    long lDisableFor = -1;
    unsigned long ulWait = DEFAULT_WAIT_SECONDS;
    if (args.empty() || args[0] != "apply" || !ParseOptions(args, 1, &lDisableFor, &ulWait) ||
        lDisableFor >= 0) {
        return Usage();
    }
    return RequestConfigChange(ulWait);
}
