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

#include "event_client.h"
#include "event_time.h"
#include "events/event_interfaces.h"
#include "json_text.h"
#include "krellctl_commands.h"
#include "platform/strings.h"
#include "platform/system.h"

namespace {

constexpr ULONG KNOWN_TYPES[] = {KT_EVENT_GATEWARDEN_ALERT, KT_EVENT_MANIFEST_CHANGE, KT_EVENT_CONFIG_CHANGE,
                                 KT_EVENT_SETTINGS_REFRESH, KT_EVENT_NOTIFY};

int EventsUsage() {
    std::fprintf(stderr,
                 "usage: krellctl [--root DIR] events watch [--type N ...] [--count N] [--timeout S]\n"
                 "       krellctl [--root DIR] events publish TYPE [--wait S] [--set NAME=VALUE ...]\n");
    return 2;
}

bool ParseNumber(const std::string& sText, unsigned long* pulValue) {
    char* pEnd = nullptr;
    *pulValue = std::strtoul(sText.c_str(), &pEnd, 0);
    return !sText.empty() && *pEnd == '\0' && *pulValue <= 0xFFFFFFFFul;
}

// Events carry local time; so does what the tools stamp.
SYSTEMTIME LocalNow() {
    SYSTEMTIME now{};
    platform::GetLocalTime(&now);
    return now;
}

const char* StateName(LONG nState) {
    switch (nState) {
        case KT_EVENT_STATE_COMMITTED:
            return "committed";
        case KT_EVENT_STATE_CANCELLED:
            return "cancelled";
        default:
            return "created";
    }
}

std::string Hex32(ULONG ulValue) {
    char szText[16];
    std::snprintf(szText, sizeof(szText), "\"0x%08X\"", ulValue);
    return szText;
}

// One event as a JSON object: type, id, state, when it was received, its properties by name and, for
// events that carry one, the error stack.
std::string EventJson(IKTEvent* pEvent, const SYSTEMTIME& received) {
    ULONG nType = 0;
    LONG nId = 0;
    LONG nState = 0;
    ULONG nCount = 0;
    pEvent->GetType(&nType);
    pEvent->GetId(&nId);
    pEvent->GetState(&nState);
    pEvent->GetPropertyCount(&nCount);
    std::string s = "{\"type\":" + std::to_string(nType) + ",\"id\":" + std::to_string(nId) +
                    ",\"state\":\"" + StateName(nState) + "\",\"time\":\"" + LocalTimeText(received) + "\"";
    for (ULONG i = 0; i < nCount; ++i) {
        KT_PROPERTY property{};
        if (FAILED(pEvent->GetProperty(i, &property)) || property.szName == nullptr) {
            continue;
        }
        s += "," + JsonString(std::u16string_view(property.szName)) + ":";
        switch (property.type) {
            case KT_PROPERTY_I4:
                s += std::to_string(property.lValue);
                break;
            case KT_PROPERTY_UI4:
                s += std::to_string(property.ulValue);
                break;
            case KT_PROPERTY_BOOL:
                s += property.lValue != 0 ? "true" : "false";
                break;
            case KT_PROPERTY_STRING:
                s += JsonString(std::u16string_view(property.szValue != nullptr ? property.szValue : u""));
                break;
            case KT_PROPERTY_FILETIME:
                s += "\"" + LocalFileTimeText(property.ullValue) + "\"";
                break;
            case KT_PROPERTY_HRESULT:
                s += Hex32(static_cast<ULONG>(property.lValue));
                break;
        }
    }
    CComPtr<IKTErrorStackContainer> pContainer;
    CComPtr<IKTErrorStack> pStack;
    if (SUCCEEDED(
            pEvent->QueryInterface(IID_IKTErrorStackContainer, reinterpret_cast<void**>(&pContainer))) &&
        pContainer && SUCCEEDED(pContainer->GetErrorStack(&pStack)) && pStack) {
        LONG nStatus = 0;
        ULONG nEntries = 0;
        pStack->GetStatus(&nStatus);
        pStack->GetCount(&nEntries);
        s += ",\"status\":" + std::to_string(nStatus) + ",\"errors\":[";
        for (ULONG i = 0; i < nEntries; ++i) {
            LONG nSeverity = 0;
            const char16_t* szText = nullptr;
            pStack->GetEntry(i, &nSeverity, &szText);
            s += (i == 0 ? "{\"severity\":" : ",{\"severity\":") + std::to_string(nSeverity) +
                 ",\"text\":" + JsonString(std::u16string_view(szText != nullptr ? szText : u"")) + "}";
        }
        s += "]";
    }
    return s + "}";
}

// The factories of the event library and a running event manager, or a message on stderr.
// Opens the client, saying why not on standard error.
bool OpenClient(sim::CEventClient& client, bool bProvider) {
    std::string sWhy;
    if (!client.Open(&sWhy) || (bProvider && !client.RegisterProvider(&sWhy))) {
        std::fprintf(stderr, "krellctl: %s\n", sWhy.c_str());
        return false;
    }
    return true;
}

// One subscription of the callback to events of a type in the given states; ended on destruction.
class CSubscription {
public:
    CSubscription(sim::CEventClient& client, IKTEventSubscriberCallback* pCallback, ULONG nType,
                  std::initializer_list<LONG> states)
        : m_client(client) {
        SAFEARRAY* psaStates =
            platform::SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(states.size()));
        LONG nIndex = 0;
        for (const LONG nState : states) {
            VARIANT value{};
            value.vt = VT_I4;
            value.lVal = nState;
            platform::SafeArrayPutElement(psaStates, &nIndex, &value);
            ++nIndex;
        }
        LONG nError = CError::eFailure;
        HRESULT hr = E_FAIL;
        if (client.ProxyFactory()->CreateSubscriberProxy(pCallback, &m_pProxy) == CError::eNoError) {
            hr = client.Manager()->RegisterSubscriber(m_pProxy.Get(), nType, 0, psaStates, 0, VARIANT_FALSE,
                                                      &m_nId, &nError);
        }
        platform::SafeArrayDestroy(psaStates);
        if (FAILED(hr) || nError != CError::eNoError) {
            std::fprintf(stderr, "krellctl: cannot subscribe to type %u (0x%08X, error %d)\n", nType,
                         static_cast<unsigned>(hr), nError);
            m_nId = 0;
        }
    }
    ~CSubscription() {
        if (m_nId != 0) {
            LONG nError = 0;
            m_client.Manager()->UnregisterSubscriber(m_nId, &nError);
        }
        if (m_pProxy) {
            m_client.ProxyFactory()->DeleteSubscriberProxy(m_pProxy.Detach());
        }
    }
    CSubscription(const CSubscription&) = delete;
    CSubscription& operator=(const CSubscription&) = delete;

    bool IsActive() const { return m_nId != 0; }

private:
    sim::CEventClient& m_client;
    CComPtr<IKTSubscriberProxy> m_pProxy;
    LONG m_nId = 0;
};

// Prints every event it is offered and refuses to keep it, so watching never takes an event away
// from the subscriber it is meant for.
class CWatcher final : public sim::CSubscriberCallback {
public:
    explicit CWatcher(unsigned long nLimit) : m_nLimit(nLimit) {}

    LONG OnEvent(LONG, IKTEvent* pEvent, LONG* pnAction) override {
        *pnAction = 1;
        const std::string sLine = EventJson(pEvent, LocalNow());
        std::lock_guard lock(m_mutex);
        // Events past the count asked for arrive while the watch ends; they are not shown.
        if (m_nSeen >= m_nLimit) {
            return CError::eNoError;
        }
        std::printf("%s\n", sLine.c_str());
        std::fflush(stdout);
        ++m_nSeen;
        m_seen.notify_all();
        return CError::eNoError;
    }

    // True when nCount events were seen before the deadline.
    bool WaitFor(unsigned long nCount, std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(m_mutex);
        return m_seen.wait_until(lock, deadline, [&] { return m_nSeen >= nCount; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_seen;
    const unsigned long m_nLimit;
    unsigned long m_nSeen = 0;
};

// The configuration changes that were finished (committed or cancelled), as krellctl events prints
// them; their ids grow with the order the event manager created them in.
class CConfigAnswers final : public sim::CSubscriberCallback {
public:
    struct CAnswer {
        LONG nState = KT_EVENT_STATE_CANCELLED;
        HRESULT hrResult = S_OK;
        std::string sJson;
    };

    LONG OnEvent(LONG, IKTEvent* pEvent, LONG* pnAction) override {
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
    std::vector<ULONG> types;
    unsigned long ulCount = 0;
    unsigned long ulTimeout = 0;
    bool bCount = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        unsigned long ulValue = 0;
        if (i + 1 >= args.size() || !ParseNumber(args[i + 1], &ulValue)) {
            return EventsUsage();
        }
        if (args[i] == "--type") {
            types.push_back(ulValue);
        } else if (args[i] == "--count") {
            ulCount = ulValue;
            bCount = true;
        } else if (args[i] == "--timeout") {
            ulTimeout = ulValue;
        } else {
            return EventsUsage();
        }
        ++i;
    }
    if (types.empty()) {
        types.assign(std::begin(KNOWN_TYPES), std::end(KNOWN_TYPES));
    }
    sim::CEventClient client;
    if (!OpenClient(client, false)) {
        return 1;
    }
    CComPtr<IKTEventSubscriberCallback> pWatcher =
        CComPtr<IKTEventSubscriberCallback>::Attach(new CWatcher(bCount ? ulCount : ~0ul));
    auto* pWatcherObject = static_cast<CWatcher*>(pWatcher.Get());
    // Every state, so the watcher also sees commits and cancellations.
    std::vector<std::unique_ptr<CSubscription>> subscriptions;
    std::string sTypes;
    for (const ULONG nType : types) {
        subscriptions.push_back(std::make_unique<CSubscription>(
            client, pWatcher.Get(), nType,
            std::initializer_list<LONG>{KT_EVENT_STATE_CREATED, KT_EVENT_STATE_COMMITTED,
                                        KT_EVENT_STATE_CANCELLED}));
        if (!subscriptions.back()->IsActive()) {
            return 1;
        }
        sTypes += " " + std::to_string(nType);
    }
    std::fprintf(stderr, "watching types%s\n", sTypes.c_str());
    std::fflush(stderr);
    const auto deadline = ulTimeout != 0 ? std::chrono::steady_clock::now() + std::chrono::seconds(ulTimeout)
                                         : std::chrono::steady_clock::time_point::max();
    const bool bSeen = pWatcherObject->WaitFor(bCount ? ulCount : ~0ul, deadline);
    return bSeen || !bCount ? 0 : 1;
}

// Applies NAME=VALUE settings through the event's typed interface; false (with a message) for a
// name its type does not have.
bool ApplySettings(IKTEvent* pEvent, ULONG nType,
                   const std::vector<std::pair<std::string, std::string>>& sets) {
    auto number = [](const std::string& sValue) {
        unsigned long ul = 0;
        ParseNumber(sValue, &ul);
        return static_cast<ULONG>(ul);
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
    unsigned long ulType = 0;
    if (args.empty() || !ParseNumber(args[0], &ulType)) {
        return EventsUsage();
    }
    bool bWait = false;
    unsigned long ulWait = 0;
    std::vector<std::pair<std::string, std::string>> sets;
    for (std::size_t i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) {
            return EventsUsage();
        }
        if (args[i] == "--wait" && ParseNumber(args[i + 1], &ulWait)) {
            bWait = true;
        } else if (args[i] == "--set" && args[i + 1].find('=') != std::string::npos) {
            const std::size_t nEq = args[i + 1].find('=');
            sets.emplace_back(args[i + 1].substr(0, nEq), args[i + 1].substr(nEq + 1));
        } else {
            return EventsUsage();
        }
    }
    return CreateAndWait(static_cast<ULONG>(ulType), sets, bWait, ulWait);
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
    const CSubscription answers(client, pAnswers.Get(), KT_EVENT_CONFIG_CHANGE,
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
