// krellctl alerts: the protection alerts (6000) the service publishes for the driver's violation
// reports, as an operator reads them.
//   krellctl alerts watch [--json] [--timeout S] [--count N]
//       one line per alert on stdout, flushed; ends after N alerts, after S seconds or at
//       SIGINT/SIGTERM (exit 1 when a count was asked for and not reached, else 0)
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "event_time.h"
#include "events/event_interfaces.h"
#include "json_text.h"
#include "krellctl_commands.h"
#include "krellctl_watch.h"
#include "platform/strings.h"

namespace {

int AlertsUsage() {
    std::fprintf(stderr, "usage: krellctl [--root DIR] alerts watch [--json] [--timeout S] [--count N]\n");
    return 2;
}

// What the driver's action codes mean; null for a code it does not name.
const char* ActionName(ULONG nAction) {
    static const char* const NAMES[] = {"file read",
                                        "file write data",
                                        "file append",
                                        "file delete",
                                        "file write attributes",
                                        "file change permissions",
                                        "registry set value",
                                        "registry create sub-key",
                                        "registry delete key",
                                        "registry change permissions",
                                        "process terminate",
                                        "process memory write"};
    return nAction < std::size(NAMES) ? NAMES[nAction] : nullptr;
}

// An alert's values, read by property name; what is missing stays empty or 0.
struct CAlert {
    ULONGLONG ullTime = 0;
    std::u16string sActorPath;
    ULONG nActorProcessId = 0;
    ULONG nAction = 0;
    std::u16string sTargetPath;
    ULONG nTargetProcessId = 0;
    ULONG nSessionId = 0;
    bool bBlocked = false;
};

CAlert ReadAlert(IKTEvent* pEvent) {
    CAlert alert;
    ULONG nCount = 0;
    pEvent->GetPropertyCount(&nCount);
    for (ULONG i = 0; i < nCount; ++i) {
        KT_PROPERTY property{};
        if (FAILED(pEvent->GetProperty(i, &property)) || property.szName == nullptr) {
            continue;
        }
        const std::u16string_view sName(property.szName);
        const char16_t* szText = property.szValue != nullptr ? property.szValue : u"";
        if (sName == u"Time") {
            alert.ullTime = property.ullValue;
        } else if (sName == u"ActorPath") {
            alert.sActorPath = szText;
        } else if (sName == u"ActorProcessId") {
            alert.nActorProcessId = property.ulValue;
        } else if (sName == u"Action") {
            alert.nAction = property.ulValue;
        } else if (sName == u"TargetPath") {
            alert.sTargetPath = szText;
        } else if (sName == u"TargetProcessId") {
            alert.nTargetProcessId = property.ulValue;
        } else if (sName == u"SessionId") {
            alert.nSessionId = property.ulValue;
        } else if (sName == u"Blocked") {
            alert.bBlocked = property.lValue != 0;
        }
    }
    return alert;
}

// 2026-12-07T19:01:02.123+00:00 blocked      "C:\x\evil.exe"(4242) action 1 (file write data) on
// "C:\Program Files\x"(0) session 1: paths quoted as they are, so a space in one stays readable.
std::string AlertText(IKTEvent* pEvent, const SYSTEMTIME&) {
    const CAlert alert = ReadAlert(pEvent);
    const char* szName = ActionName(alert.nAction);
    return LocalFileTimeText(alert.ullTime) + (alert.bBlocked ? " blocked     \"" : " not blocked \"") +
           platform::ToUtf8(alert.sActorPath) + "\"(" + std::to_string(alert.nActorProcessId) + ") action " +
           std::to_string(alert.nAction) + (szName != nullptr ? std::string(" (") + szName + ")" : "") +
           " on \"" + platform::ToUtf8(alert.sTargetPath) + "\"(" + std::to_string(alert.nTargetProcessId) +
           ") session " + std::to_string(alert.nSessionId);
}

// The event as events watch shows it, with the action's name added when it has one.
std::string AlertJson(IKTEvent* pEvent, const SYSTEMTIME& received) {
    std::string s = krellctl::EventJson(pEvent, received);
    if (const char* szName = ActionName(ReadAlert(pEvent).nAction); szName != nullptr) {
        s.insert(s.size() - 1, ",\"ActionName\":" + JsonString(std::string_view(szName)));
    }
    return s;
}

int Watch(const std::vector<std::string>& args) {
    krellctl::CWatchOptions options;
    options.types = {KT_EVENT_GATEWARDEN_ALERT};
    // Alerts are broadcast when created; their later states are nobody's business here.
    options.states = {KT_EVENT_STATE_CREATED};
    bool bJson = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        bool bBad = false;
        if (krellctl::ParseWatchLimit(args, &i, &options, &bBad)) {
            if (bBad) {
                return AlertsUsage();
            }
        } else if (args[i] == "--json") {
            bJson = true;
        } else {
            return AlertsUsage();
        }
    }
    return krellctl::RunWatch(options, bJson ? &AlertJson : &AlertText);
}

}  // namespace

int RunAlertsCommand(const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "watch") {
        return Watch(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    return AlertsUsage();
}
