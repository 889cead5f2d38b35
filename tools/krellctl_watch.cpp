#include "krellctl_watch.h"
#include "arguments.h"

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "event_time.h"
#include "json_text.h"
#include "platform/system.h"

namespace krellctl {

SYSTEMTIME LocalNow() {
    SYSTEMTIME now{};
    platform::GetLocalTime(&now);
    return now;
}

bool OpenClient(sim::CEventClient& client, bool bProvider) {
    std::string sWhy;
    if (!client.Open(&sWhy) || (bProvider && !client.RegisterProvider(&sWhy))) {
        std::fprintf(stderr, "krellctl: %s\n", sWhy.c_str());
        return false;
    }
    return true;
}

CSubscription::CSubscription(sim::CEventClient& client, IKTEventSubscriberCallback* pCallback, ULONG nType,
                             const std::vector<LONG>& states)
    : m_client(client) {
    SAFEARRAY* psaStates = platform::SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(states.size()));
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

CSubscription::~CSubscription() {
    if (m_nId != 0) {
        LONG nError = 0;
        m_client.Manager()->UnregisterSubscriber(m_nId, &nError);
    }
    if (m_pProxy) {
        m_client.ProxyFactory()->DeleteSubscriberProxy(m_pProxy.Detach());
    }
}

namespace {

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

}  // namespace

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

bool ParseWatchLimit(const std::vector<std::string>& args, std::size_t* pnIndex, CWatchOptions* pOptions,
                     bool* pbBad) {
    const std::string& sOption = args[*pnIndex];
    if (sOption != "--count" && sOption != "--timeout") {
        return false;
    }
    DWORD dwValue = 0;
    if (*pnIndex + 1 >= args.size() || !toolargs::ParseDword(args[*pnIndex + 1], &dwValue)) {
        *pbBad = true;
        return true;
    }
    if (sOption == "--count") {
        pOptions->ulCount = dwValue;
        pOptions->bCount = true;
    } else {
        pOptions->ulTimeout = dwValue;
    }
    ++*pnIndex;
    return true;
}

namespace {

// Prints every event it is offered and refuses to keep it, so watching never takes an event away
// from the subscriber it is meant for.
class CWatcher final : public sim::CSubscriberCallback {
public:
    CWatcher(unsigned long nLimit, EventFormatter fnFormat)
        : m_nLimit(nLimit), m_fnFormat(std::move(fnFormat)) {}

    LONG STDMETHODCALLTYPE OnEvent(LONG, IKTEvent* pEvent, LONG* pnAction) override {
        *pnAction = 1;
        const std::string sLine = m_fnFormat(pEvent, LocalNow());
        if (sLine.empty()) {
            return CError::eNoError;
        }
        std::lock_guard lock(m_mutex);
        // Events past the count asked for arrive while the watch ends; they are not shown.
        if (m_nSeen >= m_nLimit) {
            return CError::eNoError;
        }
        std::printf("%s\n", sLine.c_str());
        std::fflush(stdout);
        ++m_nSeen;
        return CError::eNoError;
    }

    bool Reached() {
        std::lock_guard lock(m_mutex);
        return m_nSeen >= m_nLimit;
    }

private:
    std::mutex m_mutex;
    const unsigned long m_nLimit;
    const EventFormatter m_fnFormat;
    unsigned long m_nSeen = 0;
};

// How often the watch looks whether its count is reached while it waits for a signal.
constexpr long CHECK_NS = 20'000'000;

}  // namespace

int RunWatch(const CWatchOptions& options, const EventFormatter& fnFormat) {
    // Blocked before the client starts its threads, which inherit the mask, so the signals stay for
    // this thread to take: the subscriptions are then ended and the output is whole.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    sim::CEventClient client;
    if (!OpenClient(client, false)) {
        return 1;
    }
    const unsigned long ulLimit = options.bCount ? options.ulCount : ~0ul;
    CComPtr<IKTEventSubscriberCallback> pWatcher =
        CComPtr<IKTEventSubscriberCallback>::Attach(new CWatcher(ulLimit, fnFormat));
    auto* pWatcherObject = static_cast<CWatcher*>(pWatcher.Get());
    std::vector<std::unique_ptr<CSubscription>> subscriptions;
    std::string sTypes;
    for (const ULONG nType : options.types) {
        subscriptions.push_back(
            std::make_unique<CSubscription>(client, pWatcher.Get(), nType, options.states));
        if (!subscriptions.back()->IsActive()) {
            return 1;
        }
        sTypes += " " + std::to_string(nType);
    }
    std::fprintf(stderr, "watching types%s\n", sTypes.c_str());
    std::fflush(stderr);
    const auto deadline = options.ulTimeout != 0
                              ? std::chrono::steady_clock::now() + std::chrono::seconds(options.ulTimeout)
                              : std::chrono::steady_clock::time_point::max();
    bool bReached = pWatcherObject->Reached();
    while (!bReached && std::chrono::steady_clock::now() < deadline) {
        const timespec slice{0, CHECK_NS};
        if (sigtimedwait(&stopSignals, nullptr, &slice) > 0) {
            break;
        }
        bReached = pWatcherObject->Reached();
    }
    return bReached || !options.bCount ? 0 : 1;
}

}  // namespace krellctl
