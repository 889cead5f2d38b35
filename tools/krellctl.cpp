// krellctl: the operator's tool for a machine root.
//   krellctl [--root DIR] init                      create the root with the debug options set
//   krellctl [--root DIR] registry get KEY [VALUE]  show a key's values (or one value)
//   krellctl [--root DIR] registry list KEY         show a key's sub-keys
//   krellctl [--root DIR] registry set KEY VALUE dword|sz DATA
//   krellctl [--root DIR] registry delete KEY       delete a key with its sub-keys
//   krellctl [--root DIR] log show                  print the service's debug log as text
//   krellctl [--root DIR] service list|status|start|stop|control ...   see krellctl_services.cpp
//   krellctl [--root DIR] status [--json]            protection state, driver marker, services
//   krellctl [--root DIR] boot | shutdown          start the automatic services, or stop them all
//   krellctl [--root DIR] settings get|set|list|delete|dump ...   see krellctl_settings.cpp
//   krellctl [--root DIR] protection ... | config apply   see krellctl_protection.cpp
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diagnostics/debug_options.h"
#include "diagnostics/user_debug_output.h"
#include "krellctl_commands.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "service/registry_key.h"

namespace {

constexpr const char16_t* SERVICE_NAME = u"KRELLSvc";

int Usage() {
    std::fprintf(
        stderr,
        "usage: krellctl [--root DIR] init\n"
        "       krellctl [--root DIR] registry get KEY [VALUE] | registry list KEY\n"
        "       krellctl [--root DIR] registry set KEY VALUE dword|sz DATA | registry delete KEY\n"
        "       krellctl [--root DIR] log show\n"
        "       krellctl [--root DIR] service list [--json] | service status NAME [--json]\n"
        "       krellctl [--root DIR] service start NAME | service stop NAME | service control NAME CODE\n"
        "       krellctl [--root DIR] boot | shutdown\n"
        "       krellctl [--root DIR] settings get|set|list|delete|dump ...   see krellctl_settings.cpp\n"
        "       krellctl [--root DIR] driver ...   see krellctl_driver.cpp\n"
        "       krellctl [--root DIR] status [--json]\n"
        "       krellctl [--root DIR] events watch|publish ...   see krellctl_events.cpp\n"
        "       krellctl [--root DIR] protection status|on|off|set ... | config apply   see "
        "krellctl_protection.cpp\n"
        "KEY is a path below HKEY_LOCAL_MACHINE, e.g. \"Software\\Quillon\\Loom "
        "Core\\Debug\\DebugOutput\".\n");
    return 2;
}

std::string Narrow(const std::u16string& s) {
    return platform::ToUtf8(s);
}

void PrintValue(const std::u16string& sName, DWORD dwType, const std::vector<BYTE>& data) {
    std::string sText;
    if (dwType == REG_DWORD && data.size() == sizeof(DWORD)) {
        DWORD dwValue;
        std::memcpy(&dwValue, data.data(), sizeof(dwValue));
        char szNumber[32];
        std::snprintf(szNumber, sizeof(szNumber), "REG_DWORD 0x%08X (%u)", dwValue, dwValue);
        sText = szNumber;
    } else if (dwType == REG_SZ || dwType == REG_EXPAND_SZ) {
        std::u16string sValue(reinterpret_cast<const char16_t*>(data.data()), data.size() / sizeof(char16_t));
        sValue.erase(std::min(sValue.find(u'\0'), sValue.size()));
        sText = (dwType == REG_SZ ? "REG_SZ \"" : "REG_EXPAND_SZ \"") + Narrow(sValue) + "\"";
    } else if (dwType == REG_MULTI_SZ) {
        std::u16string sValue(reinterpret_cast<const char16_t*>(data.data()), data.size() / sizeof(char16_t));
        sText = "REG_MULTI_SZ";
        for (std::size_t nPos = 0; nPos < sValue.size() && sValue[nPos] != u'\0';) {
            const std::size_t nEnd = std::min(sValue.find(u'\0', nPos), sValue.size());
            sText += " \"" + Narrow(sValue.substr(nPos, nEnd - nPos)) + "\"";
            nPos = nEnd + 1;
        }
    } else {
        sText = "type " + std::to_string(dwType) + ", " + std::to_string(data.size()) + " bytes";
    }
    std::printf("  %s = %s\n", sName.empty() ? "(default)" : Narrow(sName).c_str(), sText.c_str());
}

int RegList(const std::u16string& sKey) {
    CRegistryKey reg;
    if (!reg.Open(HKEY_LOCAL_MACHINE, sKey.c_str(), KEY_READ)) {
        std::fprintf(stderr, "krellctl: key not found: %s\n", Narrow(sKey).c_str());
        return 1;
    }
    std::vector<char16_t> name(256);
    for (DWORD dwIndex = 0;; ++dwIndex) {
        DWORD cchName = static_cast<DWORD>(name.size());
        if (platform::RegEnumKeyEx(reg.Handle(), dwIndex, name.data(), &cchName) !=
            static_cast<LONG>(ERROR_SUCCESS)) {
            break;
        }
        std::printf("%s\n", Narrow(std::u16string(name.data(), cchName)).c_str());
    }
    return 0;
}

int RegGet(const std::u16string& sKey, const std::u16string* psValue) {
    CRegistryKey reg;
    if (!reg.Open(HKEY_LOCAL_MACHINE, sKey.c_str(), KEY_READ)) {
        std::fprintf(stderr, "krellctl: key not found: %s\n", Narrow(sKey).c_str());
        return 1;
    }
    std::printf("HKEY_LOCAL_MACHINE\\%s\n", Narrow(sKey).c_str());
    std::vector<char16_t> name(16384);
    for (DWORD dwIndex = 0;; ++dwIndex) {
        DWORD cchName = static_cast<DWORD>(name.size());
        DWORD cbData = 0;
        DWORD dwType = REG_NONE;
        if (platform::RegEnumValue(reg.Handle(), dwIndex, name.data(), &cchName, &dwType, nullptr, &cbData) !=
            static_cast<LONG>(ERROR_SUCCESS)) {
            break;
        }
        const std::u16string sName(name.data(), cchName);
        if (psValue != nullptr && !platform::EqualNoCase(sName, *psValue)) {
            continue;
        }
        std::vector<BYTE> data(cbData);
        platform::RegQueryValueEx(reg.Handle(), sName.c_str(), &dwType, data.data(), &cbData);
        PrintValue(sName, dwType, data);
    }
    return 0;
}

int RegSet(const std::u16string& sKey, const std::u16string& sValue, const std::string& sType,
           const std::string& sData) {
    CRegistryKey reg;
    if (!reg.Create(HKEY_LOCAL_MACHINE, sKey.c_str())) {
        std::fprintf(stderr, "krellctl: cannot create key %s\n", Narrow(sKey).c_str());
        return 1;
    }
    bool bOk;
    if (sType == "dword") {
        char* pEnd = nullptr;
        const unsigned long ulValue = std::strtoul(sData.c_str(), &pEnd, 0);
        if (pEnd == sData.c_str() || *pEnd != '\0' || ulValue > 0xFFFFFFFFul) {
            std::fprintf(stderr, "krellctl: not a 32-bit number: %s\n", sData.c_str());
            return 2;
        }
        bOk = reg.SetDword(sValue.c_str(), static_cast<DWORD>(ulValue));
    } else if (sType == "sz") {
        bOk = reg.SetString(sValue.c_str(), platform::FromUtf8(sData));
    } else {
        return Usage();
    }
    if (!bOk) {
        std::fprintf(stderr, "krellctl: cannot write %s\n", Narrow(sValue).c_str());
        return 1;
    }
    return 0;
}

int RegDelete(const std::u16string& sKey) {
    const LONG lResult = platform::RegDeleteTree(HKEY_LOCAL_MACHINE, sKey.c_str());
    if (lResult != static_cast<LONG>(ERROR_SUCCESS)) {
        std::fprintf(stderr, "krellctl: cannot delete %s (error %d)\n", Narrow(sKey).c_str(), lResult);
        return 1;
    }
    return 0;
}

std::u16string LogFilePath() {
    CDebugOptions options;
    options.Load(CUserDebugOutput::OPTIONS_SUB_KEY);
    std::u16string sDirectory = options.GetString(u"Directory");
    while (!sDirectory.empty() && sDirectory.back() == u'\\') {
        sDirectory.pop_back();
    }
    return sDirectory + u"\\" + SERVICE_NAME + u".log";
}

int LogShow() {
    const std::u16string sPath = LogFilePath();
    HANDLE hFile = platform::CreateFile(sPath.c_str(), GENERIC_READ, platform::FILE_SHARE_READ,
                                        platform::OPEN_EXISTING, 0);
    if (hFile == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "krellctl: no log at %s (error %u)\n", Narrow(sPath).c_str(),
                     platform::GetLastError());
        return 1;
    }
    std::string sBytes;
    char buffer[65536];
    DWORD dwRead = 0;
    while (platform::ReadFile(hFile, buffer, sizeof(buffer), &dwRead) && dwRead > 0) {
        sBytes.append(buffer, dwRead);
    }
    platform::CloseHandle(hFile);
    const std::size_t nStart = sBytes.size() >= 2 && sBytes[0] == '\xFF' && sBytes[1] == '\xFE' ? 2 : 0;
    std::u16string sText((sBytes.size() - nStart) / 2, u'\0');
    std::memcpy(sText.data(), sBytes.data() + nStart, sText.size() * 2);
    std::string sOut = Narrow(sText);
    std::erase(sOut, '\r');
    std::fputs(sOut.c_str(), stdout);
    return 0;
}

}  // namespace

int RunRegistryCommand(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        return Usage();
    }
    const std::u16string sKey = platform::FromUtf8(args[1]);
    if (args[0] == "get" && args.size() <= 3) {
        const std::u16string sValue = args.size() == 3 ? platform::FromUtf8(args[2]) : u"";
        return RegGet(sKey, args.size() == 3 ? &sValue : nullptr);
    }
    if (args[0] == "set" && args.size() == 5) {
        return RegSet(sKey, platform::FromUtf8(args[2]), args[3], args[4]);
    }
    if (args[0] == "list" && args.size() == 2) {
        return RegList(sKey);
    }
    if (args[0] == "delete" && args.size() == 2) {
        return RegDelete(sKey);
    }
    return Usage();
}

int RunLogCommand(const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "show") {
        return LogShow();
    }
    return Usage();
}

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "--root") {
        setenv("KRELL_ROOT", args[1].c_str(), 1);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        return Usage();
    }
    // Command groups: the first word picks the group, the rest is the group's own.
    struct CGroup {
        const char* szName;
        int (*pfnRun)(const std::vector<std::string>&);
    };
    static constexpr CGroup GROUPS[] = {
        {"init", RunInitCommand},
        {"registry", RunRegistryCommand},
        {"log", RunLogCommand},
        {"service", RunServiceCommand},
        {"boot", RunBootCommand},
        {"shutdown", RunShutdownCommand},
        {"settings", RunSettingsCommand},
        {"driver", RunDriverCommand},
        {"status", RunStatusCommand},
        {"events", RunEventsCommand},
        {"protection", RunProtectionCommand},
        {"config", RunConfigCommand},
    };
    for (const auto& group : GROUPS) {
        if (args[0] == group.szName) {
            return group.pfnRun(std::vector<std::string>(args.begin() + 1, args.end()));
        }
    }
    return Usage();
}
