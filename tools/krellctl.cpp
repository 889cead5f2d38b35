// krellctl: the operator's tool for a machine root. Each command group has its own file and usage;
// this file dispatches to them, shows the debug log, and keeps every command but init away from a
// root that does not exist.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diagnostics/debug_options.h"
#include "diagnostics/user_debug_output.h"
#include "krellctl_commands.h"
#include "platform/error_text.h"
#include "platform/file.h"
#include "platform/posix/root_location.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"

int RunOsVersionCommand(const std::vector<std::string>& args);
int RunInitWithOsVersion(const std::vector<std::string>& args);

namespace {

constexpr const char16_t* SERVICE_NAME = u"KRELLSvc";

int Usage() {
    std::fprintf(
        stderr,
        "usage: krellctl [--root DIR] init\n"
        "       krellctl [--root DIR] registry get|list|set|delete KEY ...\n"
        "       krellctl [--root DIR] log show\n"
        "       krellctl [--root DIR] service list|status|start|stop|control ...\n"
        "       krellctl [--root DIR] boot | shutdown\n"
        "       krellctl [--root DIR] status [--json]\n"
        "       krellctl [--root DIR] settings get|set|list|delete|dump ...\n"
        "       krellctl [--root DIR] driver status|access|replay|install|send|...\n"
        "       krellctl [--root DIR] events watch|publish ...\n"
        "       krellctl [--root DIR] alerts watch [--json] [--timeout S] [--count N]\n"
        "       krellctl [--root DIR] protection status|on|off|set ... | config apply ...\n"
        "       krellctl [--root DIR] stats [--json]\n"
        "       krellctl [--root DIR] manifests list|dump\n"
        "       krellctl [--root DIR] os-version show | set MAJOR MINOR\n"
        "       krellctl [--root DIR] crash-handler show | set NAME=VALUE ...\n"
        "       krellctl [--root DIR] dumps list [--dir FOLDER]\n"
        "       krellctl [--root DIR] accounts add|list|remove|lookup ...\n"
        "       krellctl [--root DIR] authorize user|hash|location|device|list|remove ...\n"
        "       krellctl [--root DIR] legacy add|list ...\n"
        "A group's word alone (e.g. \"krellctl settings\") shows that group's usage. Without --root,\n"
        "the root is $KRELL_ROOT or a per-user default; only init creates it.\n");
    return 2;
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
        std::fprintf(stderr, "krellctl: no log at %s: error %s\n", platform::ToUtf8(sPath).c_str(),
                     platform::DescribeError(platform::GetLastError()).c_str());
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
    std::string sOut = platform::ToUtf8(sText);
    std::erase(sOut, '\r');
    std::fputs(sOut.c_str(), stdout);
    return 0;
}

// Every command but init uses an existing root: a mistyped --root, or a machine without a root yet,
// is not to be created empty on the way.
bool RootExists() {
    const std::string sRoot = platform::LocateRoot();
    struct stat st {};
    if (stat(sRoot.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return true;
    }
    std::fprintf(stderr, "krellctl: no machine root at %s (krellctl init creates one)\n", sRoot.c_str());
    return false;
}

}  // namespace

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
        {"init", RunInitWithOsVersion},
        {"registry", RunRegistryCommand},
        {"log", RunLogCommand},
        {"service", RunServiceCommand},
        {"boot", RunBootCommand},
        {"shutdown", RunShutdownCommand},
        {"settings", RunSettingsCommand},
        {"driver", RunDriverCommand},
        {"status", RunStatusCommand},
        {"events", RunEventsCommand},
        {"alerts", RunAlertsCommand},  // protection alerts as operators read them
        {"protection", RunProtectionCommand},
        {"config", RunConfigCommand},
        {"stats", RunStatsCommand},
        {"manifests", RunManifestsCommand},
        {"os-version", RunOsVersionCommand},
        {"crash-handler", RunCrashHandlerCommand},
        {"dumps", RunDumpsCommand},
        {"accounts", RunAccountsCommand},
        {"authorize", RunAuthorizeCommand},
        {"legacy", RunLegacyCommand},
    };
    for (const auto& group : GROUPS) {
        if (args[0] == group.szName) {
            if (group.pfnRun != RunInitWithOsVersion && !RootExists()) {
                return 1;
            }
            return group.pfnRun(std::vector<std::string>(args.begin() + 1, args.end()));
        }
    }
    return Usage();
}
