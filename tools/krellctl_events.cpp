// krellctl events: the event manager from outside, through the same objects the service uses (the
// manager's class created by COM activation, the event library loaded from the product directory).
//   krellctl events watch [--type N ...] [--count N] [--timeout S]
//       one JSON object per event on stdout; exit 0 after --count events (or at --timeout when no
//       count was asked for), 1 when the timeout comes first
//   krellctl events publish TYPE [--wait S] [--set NAME=VALUE ...]
//       creates one event, broadcast unless --wait; with --wait prints the answer as JSON
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "arguments.h"
#include "event_client.h"
#include "event_time.h"
#include "events/event_interfaces.h"
#include "json_text.h"
#include "krellctl_commands.h"
#include "krellctl_watch.h"
#include "platform/strings.h"
#include "platform/system.h"

namespace {

using krellctl::EventJson;
using krellctl::LocalNow;
using krellctl::OpenClient;
using toolargs::ParseDword;

constexpr ULONG KNOWN_TYPES[] = {KT_EVENT_GATEWARDEN_ALERT, KT_EVENT_MANIFEST_CHANGE, KT_EVENT_CONFIG_CHANGE,
                                 KT_EVENT_SETTINGS_REFRESH, KT_EVENT_NOTIFY};

int EventsUsage() {
    std::fprintf(stderr,
                 "usage: krellctl [--root DIR] events watch [--type N ...] [--count N] [--timeout S]\n"
                 "       krellctl [--root DIR] events publish TYPE [--wait S] [--set NAME=VALUE ...]\n");
    return 2;
}

// The configuration changes that were finished (committed or cancelled), as krellctl events prints
// them; their ids grow with the order the event manager created them in.
class CConfigAnswers final : public sim::CSubscriberCallback {
public:
    struct CAnswer {
        LONG nState = KT_EVENT_STATE_CANCELLED;
        HRESULT hrResult = S_OK;
        std::string sJson;
    };

    LONG STDMETHODCALLTYPE OnEvent(LONG, IKTEvent* pEvent, LONG* pnAction) override {
        *pnAction = 1;
        LONG nId = 0;
        CAnswer answer;
        pEvent->GetId(&nId);
        pEvent->GetState(&answer.nState);
        CComPtr<IKTConfigEvent> pConfig;
        if (SUCCEEDED(pEvent->QueryInterface(IID_IKTConfigEvent, reinterpret_cast<void**>(&pConfig)))) {
            pConfig->GetResult(&answer.hrResult);
        }
        answer.sJson = EventJson(pEvent, LocalNow());
        std::lock_guard lock(m_mutex);
        m_answers.emplace(nId, std::move(answer));
        m_finished.notify_all();
        return CError::eNoError;
    }

    // The first change created after event nAfter: its compilation read the store after nAfter was
    // made. False when none is finished before the deadline.
    // Also gives up once fnStop says so, which it is asked every 100 ms.
    bool WaitForOneAfter(LONG nAfter, std::chrono::steady_clock::time_point deadline,
                         const std::function<bool()>& fnStop, CAnswer* pAnswer) {
        std::unique_lock lock(m_mutex);
        while (m_answers.upper_bound(nAfter) == m_answers.end()) {
            if (std::chrono::steady_clock::now() >= deadline || fnStop()) {
                return false;
            }
            m_finished.wait_until(
                lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)));
        }
        *pAnswer = m_answers.upper_bound(nAfter)->second;
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_finished;
    std::map<LONG, CAnswer> m_answers;
};

int Watch(const std::vector<std::string>& args) {
    krellctl::CWatchOptions options;
    // Every state, so the watcher also sees commits and cancellations.
    options.states = {KT_EVENT_STATE_CREATED, KT_EVENT_STATE_COMMITTED, KT_EVENT_STATE_CANCELLED};
    for (std::size_t i = 0; i < args.size(); ++i) {
        bool bBad = false;
        if (krellctl::ParseWatchLimit(args, &i, &options, &bBad)) {
            if (bBad) {
                return EventsUsage();
            }
            continue;
        }
        DWORD dwValue = 0;
        if (args[i] != "--type" || i + 1 >= args.size() || !ParseDword(args[i + 1], &dwValue)) {
            return EventsUsage();
        }
        options.types.push_back(dwValue);
        ++i;
    }
    if (options.types.empty()) {
        options.types.assign(std::begin(KNOWN_TYPES), std::end(KNOWN_TYPES));
    }
    return krellctl::RunWatch(options, &EventJson);
}

// Applies NAME=VALUE settings through the event's typed interface; false (with a message) for a
// name its type does not have.
bool ApplySettings(IKTEvent* pEvent, ULONG nType,
                   const std::vector<std::pair<std::string, std::string>>& sets) {
    auto number = [](const std::string& sValue) {
        DWORD dw = 0;
        ParseDword(sValue, &dw);
        return static_cast<ULONG>(dw);
    };
    const SYSTEMTIME now = LocalNow();
    if (nType == KT_EVENT_NOTIFY) {
        CComPtr<IKTNotifyEvent> pNotify;
        pEvent->QueryInterface(IID_IKTNotifyEvent, reinterpret_cast<void**>(&pNotify));
        pNotify->SetCode(0);
        pNotify->SetTime(&now);
        for (const auto& [sName, sValue] : sets) {
            if (sName == "Code") {
                pNotify->SetCode(number(sValue));
            } else if (sName == "Data") {
                pNotify->SetData(platform::FromUtf8(sValue).c_str());
            } else {
                std::fprintf(stderr, "krellctl: events of type %u have no property %s\n", nType,
                             sName.c_str());
                return false;
            }
        }
        return true;
    }
    if (nType == KT_EVENT_GATEWARDEN_ALERT) {
        std::map<std::string, std::string> values{
            {"ActorPath", ""},        {"ActorProcessId", "0"}, {"Action", "0"}, {"TargetPath", ""},
            {"TargetProcessId", "0"}, {"SessionId", "0"},      {"Blocked", "0"}};
        for (const auto& [sName, sValue] : sets) {
            if (!values.contains(sName)) {
                std::fprintf(stderr, "krellctl: events of type %u have no property %s\n", nType,
                             sName.c_str());
                return false;
            }
            values[sName] = sValue;
        }
        CComPtr<IKTGatewardenAlertEvent> pAlert;
        pEvent->QueryInterface(IID_IKTGatewardenAlertEvent, reinterpret_cast<void**>(&pAlert));
        pAlert->SetAlert(&now, platform::FromUtf8(values["ActorPath"]).c_str(),
                         number(values["ActorProcessId"]), number(values["Action"]),
                         platform::FromUtf8(values["TargetPath"]).c_str(), number(values["TargetProcessId"]),
                         number(values["SessionId"]), number(values["Blocked"]) != 0);
        return true;
    }
    for (const auto& [sName, sValue] : sets) {
        CComPtr<IKTConfigEvent> pConfig;
        if (sName == "Result" &&
            SUCCEEDED(pEvent->QueryInterface(IID_IKTConfigEvent, reinterpret_cast<void**>(&pConfig)))) {
            pConfig->SetResult(static_cast<HRESULT>(number(sValue)));
            continue;
        }
        std::fprintf(stderr, "krellctl: events of type %u have no property %s\n", nType, sName.c_str());
        return false;
    }
    return true;
}

// Creates one event of the type, broadcast unless bWait, and with bWait prints its answer. The exit
// code of krellctl events publish.
int CreateAndWait(ULONG nType, const std::vector<std::pair<std::string, std::string>>& sets, bool bWait,
                  unsigned long ulWait) {
    sim::CEventClient client;
    if (!OpenClient(client, true)) {
        return 1;
    }
    CComPtr<IKTEvent> pEvent;
    if (client.EventFactory()->NewEvent(nType, &pEvent) != CError::eNoError) {
        std::fprintf(stderr, "krellctl: the event library made no event of type %u\n", nType);
        return 1;
    }
    if (!ApplySettings(pEvent.Get(), nType, sets)) {
        return 2;
    }
    LONG nEventId = 0;
    HRESULT hr = E_FAIL;
    LONG nError = CError::eFailure;
    if (!client.Publish(pEvent.Get(), !bWait, &nEventId, &hr, &nError)) {
        std::fprintf(stderr, "krellctl: the event cannot be put in its transported form\n");
        return 1;
    }
    if (FAILED(hr) || nError != CError::eNoError) {
        std::fprintf(stderr, "krellctl: the event manager refused the event (0x%08X, error %d)\n",
                     static_cast<unsigned>(hr), nError);
        return 1;
    }
    if (!bWait) {
        std::printf("{\"type\":%u,\"id\":%d}\n", nType, nEventId);
        return 0;
    }
    SYSTEMTIME received{};
    CComPtr<IKTEvent> pAnswer = client.WaitForAnswer(
        nEventId, std::chrono::steady_clock::now() + std::chrono::seconds(ulWait), &received);
    if (!pAnswer && !client.IsConnected()) {
        std::fprintf(stderr, "krellctl: the event manager went away before event %d was answered\n",
                     nEventId);
        return 1;
    }
    if (!pAnswer) {
        std::fprintf(stderr, "krellctl: no answer to event %d within %lu s\n", nEventId, ulWait);
        return 1;
    }
    std::printf("%s\n", EventJson(pAnswer.Get(), received).c_str());
    return 0;
}

int Publish(const std::vector<std::string>& args) {
    DWORD dwType = 0;
    if (args.empty() || !ParseDword(args[0], &dwType)) {
        return EventsUsage();
    }
    bool bWait = false;
    DWORD dwWait = 0;
    std::vector<std::pair<std::string, std::string>> sets;
    for (std::size_t i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) {
            return EventsUsage();
        }
        if (args[i] == "--wait" && ParseDword(args[i + 1], &dwWait)) {
            bWait = true;
        } else if (args[i] == "--set" && args[i + 1].find('=') != std::string::npos) {
            const std::size_t nEq = args[i + 1].find('=');
            sets.emplace_back(args[i + 1].substr(0, nEq), args[i + 1].substr(nEq + 1));
        } else {
            return EventsUsage();
        }
    }
    return CreateAndWait(static_cast<ULONG>(dwType), sets, bWait, dwWait);
}

}  // namespace

int RunEventsCommand(const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "watch") {
        return Watch(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    if (!args.empty() && args[0] == "publish") {
        return Publish(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    return EventsUsage();
}

int RequestConfigChange(unsigned long ulWaitSeconds) {
    sim::CEventClient client;
    if (!OpenClient(client, true)) {
        return 1;
    }
    // Listening before asking, so that no answer can pass unheard.
    CComPtr<CConfigAnswers> pAnswers = CComPtr<CConfigAnswers>::Attach(new CConfigAnswers());
    const krellctl::CSubscription answers(client, pAnswers.Get(), KT_EVENT_CONFIG_CHANGE,
                                          {KT_EVENT_STATE_COMMITTED, KT_EVENT_STATE_CANCELLED});
    if (!answers.IsActive()) {
        return 1;
    }
    CComPtr<IKTEvent> pRequest;
    if (client.EventFactory()->NewEvent(KT_EVENT_SETTINGS_REFRESH, &pRequest) != CError::eNoError) {
        std::fprintf(stderr, "krellctl: the event library made no event of type %u\n",
                     KT_EVENT_SETTINGS_REFRESH);
        return 1;
    }
    LONG nRequestId = 0;
    HRESULT hr = E_FAIL;
    LONG nError = CError::eFailure;
    if (!client.Publish(pRequest.Get(), true, &nRequestId, &hr, &nError) || FAILED(hr) ||
        nError != CError::eNoError) {
        std::fprintf(stderr,
                     "krellctl: the event manager refused the settings refresh request (0x%08X, error %d)\n",
                     static_cast<unsigned>(hr), nError);
        return 1;
    }
    CConfigAnswers::CAnswer answer;
    if (!pAnswers->WaitForOneAfter(
            nRequestId, std::chrono::steady_clock::now() + std::chrono::seconds(ulWaitSeconds),
            [&] { return !client.IsConnected(); }, &answer)) {
        if (!client.IsConnected()) {
            std::fprintf(
                stderr,
                "krellctl: the event manager went away before event %d, the settings refresh request, "
                "was answered\n",
                nRequestId);
            return 1;
        }
        std::fprintf(stderr,
                     "krellctl: no configuration change answered the settings refresh request within %lu s\n",
                     ulWaitSeconds);
        return 1;
    }
    std::printf("%s\n", answer.sJson.c_str());
    if (answer.nState == KT_EVENT_STATE_CANCELLED) {
        std::fprintf(stderr,
                     "krellctl: nobody took the configuration change; the event manager cancelled it\n");
        return 1;
    }
    // The compiler's own verdict: the answer above says why.
    return FAILED(answer.hrResult) ? 1 : 0;
}
