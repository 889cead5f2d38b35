#include "refresh_publisher.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

#include "event_client.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "service/sync_objects.h"
#include "settings_db.h"

namespace lcset {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto POLL = std::chrono::milliseconds(100);
constexpr auto RETRY = std::chrono::seconds(2);
// Writers commit a change as several keys; one event follows the burst.
constexpr auto QUIET = std::chrono::milliseconds(300);
// A burst of manifest changes (a deployment copying many manifests) is one compilation: it follows
// once no announcement came for this long. An announcement after such a quiet time is published at
// once, so a single manifest does not wait.
constexpr auto MANIFEST_QUIET = std::chrono::milliseconds(300);
// A compilation that takes longer than this is not waited for.
constexpr auto ANSWER_TIMEOUT = std::chrono::seconds(60);

bool IsEventManagerRunning() {
    CMutex running;
    return running.Open(platform::SYNCHRONIZE, false, u"zuZazEzi_Running", true);
}

void Log(const std::string& sLine) {
    std::printf("lcSetMgr: %s\n", sLine.c_str());
    std::fflush(stdout);
}

void AddKey(CSettingsDatabase& database, std::vector<std::u16string>& path, std::string* pSnapshot) {
    // The manifest data and caches are the compilation's own output, not its input.
    if (path.size() == 3 && EqualNames(path[1], u"PRIVATE") && EqualNames(path[2], u"Manifest")) {
        return;
    }
    const bool bStateKey = path.size() == 2 && EqualNames(path[1], u"PRIVATE");
    std::vector<CValue> values;
    if (!bStateKey && ZEL_SUCCEEDED(database.ReadKey(path, &values))) {
        for (const auto& value : values) {
            if (EqualNames(value.sName, u"RefreshNeeded")) {
                continue;
            }
            std::u16string sKey;
            for (const auto& sPart : path) {
                sKey += FoldName(sPart) + u"\\";
            }
            *pSnapshot += platform::ToUtf8(sKey + FoldName(value.sName)) + "=" +
                          std::to_string(value.dwType) + ":" + std::to_string(value.dwValue) + ":" +
                          platform::ToUtf8(value.sText) + ":" +
                          std::string(value.binary.begin(), value.binary.end()) + "\n";
        }
    }
    std::vector<std::u16string> names;
    if (ZEL_SUCCEEDED(database.ReadSubKeys(path, &names))) {
        for (const auto& sName : names) {
            path.push_back(sName);
            AddKey(database, path, pSnapshot);
            path.pop_back();
        }
    }
}

// Notes each settings refresh request (or manifest change) and refuses it, so a request meant for someone
// else is not taken away.
class CRequests final : public sim::CSubscriberCallback {
public:
    // hWake: signalled at each event, or nullptr.
    explicit CRequests(HANDLE hWake = nullptr) : m_hWake(hWake) {}

    LONG STDMETHODCALLTYPE OnEvent(LONG, IKTEvent*, LONG* pnAction) override {
        *pnAction = 1;
        ++m_nRequests;
        if (m_hWake != nullptr) {
            platform::SetEvent(m_hWake);
        }
        return CError::eNoError;
    }

    bool Take() { return TakeCount() != 0; }
    int TakeCount() { return m_nRequests.exchange(0); }

private:
    const HANDLE m_hWake;
    std::atomic<int> m_nRequests{0};
};

// Tells the manifest plug-in of the next compilation to read the manifests again.
bool SetManifestRefreshNeeded(CSettingsDatabase& database) {
    CValue flag;
    flag.sName = u"RefreshNeeded";
    flag.dwType = SETTINGS_TYPE_DWORD;
    flag.dwValue = 1;
    flag.bDirty = true;
    CKeyChanges changes;
    changes.puts.push_back(&flag);
    return ZEL_SUCCEEDED(database.CommitKey({u"GATEWARDEN", u"PRIVATE", u"Manifest"}, changes));
}

// One connection to the event manager: a provider of 6008 and a subscriber of 6009 and 6005.
class CConnection {
public:
    // hManifestWake: signalled when a manifest change is announced.
    explicit CConnection(HANDLE hManifestWake) : m_hManifestWake(hManifestWake) {}
    ~CConnection() { Close(); }

    // The reason on failure, for the log.
    bool Open(std::string* psWhy) {
        Close();
        if (!m_client.Open(psWhy) || !m_client.RegisterProvider(psWhy)) {
            Close();
            return false;
        }
        m_pRequests = CComPtr<CRequests>::Attach(new CRequests());
        LONG nError = CError::eFailure;
        HRESULT hr = E_FAIL;
        if (m_client.ProxyFactory()->CreateSubscriberProxy(m_pRequests.Get(), &m_pSubscriberProxy) ==
            CError::eNoError) {
            hr =
                m_client.Manager()->RegisterSubscriber(m_pSubscriberProxy.Get(), KT_EVENT_SETTINGS_REFRESH, 0,
                                                       nullptr, 0, VARIANT_FALSE, &m_nSubscriberId, &nError);
        }
        if (FAILED(hr) || nError != CError::eNoError) {
            m_nSubscriberId = 0;
            *psWhy = "cannot subscribe to settings refresh requests (" +
                     sim::HexCode(static_cast<ULONG>(hr)) + ", error " + std::to_string(nError) + ")";
            Close();
            return false;
        }
        m_pManifests = CComPtr<CRequests>::Attach(new CRequests(m_hManifestWake));
        nError = CError::eFailure;
        hr = E_FAIL;
        if (m_client.ProxyFactory()->CreateSubscriberProxy(m_pManifests.Get(), &m_pManifestProxy) ==
            CError::eNoError) {
            hr = m_client.Manager()->RegisterSubscriber(m_pManifestProxy.Get(), KT_EVENT_MANIFEST_CHANGE, 0,
                                                        nullptr, 0, VARIANT_FALSE, &m_nManifestSubscriberId,
                                                        &nError);
        }
        if (FAILED(hr) || nError != CError::eNoError) {
            m_nManifestSubscriberId = 0;
            *psWhy = "cannot subscribe to manifest changes (" + sim::HexCode(static_cast<ULONG>(hr)) +
                     ", error " + std::to_string(nError) + ")";
            Close();
            return false;
        }
        return true;
    }

    bool IsOpen() const { return m_nSubscriberId != 0; }
    bool TakeRequest() { return IsOpen() && m_pRequests->Take(); }
    // How many manifest changes were announced since the last call.
    int TakeManifestChanges() { return IsOpen() && m_pManifests ? m_pManifests->TakeCount() : 0; }

    // Publishes one configuration change and logs its answer; false when the manager is gone.
    bool Publish(const std::string& sWhy, HANDLE hStopEvent) {
        CComPtr<IKTEvent> pEvent;
        if (m_client.EventFactory()->NewEvent(KT_EVENT_CONFIG_CHANGE, &pEvent) != CError::eNoError) {
            Log("the event library made no configuration change event");
            return true;
        }
        LONG nEventId = 0;
        LONG nError = CError::eFailure;
        HRESULT hr = E_FAIL;
        if (!m_client.Publish(pEvent.Get(), false, &nEventId, &hr, &nError)) {
            Log("the configuration change event cannot be transported");
            return true;
        }
        if (FAILED(hr)) {
            Log("configuration change for " + sWhy + " not published: the event manager is gone (" +
                sim::HexCode(static_cast<ULONG>(hr)) + ")");
            return false;
        }
        if (nError != CError::eNoError) {
            Log("configuration change for " + sWhy + " refused by the event manager (error " +
                std::to_string(nError) + ")");
            return true;
        }
        Log("configuration change " + std::to_string(nEventId) + " published for " + sWhy);
        CComPtr<IKTEvent> pAnswer = m_client.WaitForAnswer(
            nEventId, Clock::now() + ANSWER_TIMEOUT, nullptr,
            [&] { return platform::WaitForSingleObject(hStopEvent, 0) == WAIT_OBJECT_0; });
        if (!pAnswer && !m_client.IsConnected()) {
            Log("configuration change " + std::to_string(nEventId) +
                " got no answer: the event manager went away");
            return false;
        }
        if (!pAnswer) {
            Log("configuration change " + std::to_string(nEventId) + " got no answer");
            return true;
        }
        LONG nState = 0;
        pAnswer->GetState(&nState);
        if (nState == KT_EVENT_STATE_CANCELLED) {
            Log("configuration change " + std::to_string(nEventId) + " cancelled: nobody took it");
            return true;
        }
        HRESULT hrResult = S_OK;
        CComPtr<IKTConfigEvent> pConfig;
        if (SUCCEEDED(pAnswer->QueryInterface(IID_IKTConfigEvent, reinterpret_cast<void**>(&pConfig)))) {
            pConfig->GetResult(&hrResult);
        }
        std::string sLine = "configuration change " + std::to_string(nEventId) + " committed, result " +
                            sim::HexCode(static_cast<ULONG>(hrResult));
        CComPtr<IKTErrorStackContainer> pContainer;
        CComPtr<IKTErrorStack> pStack;
        if (SUCCEEDED(
                pAnswer->QueryInterface(IID_IKTErrorStackContainer, reinterpret_cast<void**>(&pContainer))) &&
            SUCCEEDED(pContainer->GetErrorStack(&pStack)) && pStack) {
            ULONG nEntries = 0;
            pStack->GetCount(&nEntries);
            for (ULONG i = 0; i < nEntries; ++i) {
                LONG nSeverity = 0;
                const char16_t* szText = nullptr;
                pStack->GetEntry(i, &nSeverity, &szText);
                sLine += "; " +
                         std::string(nSeverity == 0   ? "error"
                                     : nSeverity == 1 ? "warning"
                                                      : "info") +
                         ": " + platform::ToUtf8(szText != nullptr ? szText : u"");
            }
        }
        Log(sLine);
        return true;
    }

    void Close() {
        if (m_client.Manager() != nullptr && m_nSubscriberId != 0) {
            LONG nError = 0;
            m_client.Manager()->UnregisterSubscriber(m_nSubscriberId, &nError);
        }
        if (m_client.Manager() != nullptr && m_nManifestSubscriberId != 0) {
            LONG nError = 0;
            m_client.Manager()->UnregisterSubscriber(m_nManifestSubscriberId, &nError);
        }
        if (m_pSubscriberProxy) {
            m_client.ProxyFactory()->DeleteSubscriberProxy(m_pSubscriberProxy.Detach());
        }
        if (m_pManifestProxy) {
            m_client.ProxyFactory()->DeleteSubscriberProxy(m_pManifestProxy.Detach());
        }
        m_nSubscriberId = 0;
        m_nManifestSubscriberId = 0;
        m_pRequests.Release();
        m_pManifests.Release();
        m_client.Close();
    }

private:
    sim::CEventClient m_client;
    CComPtr<CRequests> m_pRequests;
    CComPtr<IKTSubscriberProxy> m_pSubscriberProxy;
    LONG m_nSubscriberId = 0;
    const HANDLE m_hManifestWake;
    CComPtr<CRequests> m_pManifests;
    CComPtr<IKTSubscriberProxy> m_pManifestProxy;
    LONG m_nManifestSubscriberId = 0;
};

}  // namespace

std::string ConfigurationSnapshot() {
    CSettingsDatabase database;
    std::vector<std::u16string> path{u"GATEWARDEN"};
    std::string sSnapshot;
    AddKey(database, path, &sSnapshot);
    return sSnapshot;
}

void CRefreshPublisher::Start(HANDLE hStopEvent) {
    m_thread = std::thread([this, hStopEvent] { Run(hStopEvent); });
}

void CRefreshPublisher::Stop() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CRefreshPublisher::Run(HANDLE hStopEvent) {
    CSettingsDatabase database;
    ULONGLONG ullCount = 0;
    database.ReadChangeCount(&ullCount);
    std::string sSnapshot = ConfigurationSnapshot();
    bool bCounted = false;          // the count moved; look once it is quiet
    bool bChangePending = false;    // the configuration changed; publish when connected
    bool bCatchUp = false;          // just connected; requests may have gone unheard
    bool bManifestPending = false;  // manifests changed; publish once the announcements stop
    int nManifestChanges = 0;       // announcements the pending publication answers
    auto lastManifest = Clock::now() - MANIFEST_QUIET;  // the last announcement
    auto manifestDue = lastManifest;                    // when the pending announcements are published
    auto lastCount = Clock::now();
    auto nextTry = Clock::now();
    std::string sLastWhy;
    // Outlives the connection, whose subscriber signals it.
    struct CEvent {
        const HANDLE h = platform::CreateEvent(false, false, nullptr);
        ~CEvent() {
            if (h != nullptr) {
                platform::CloseHandle(h);
            }
        }
    } manifestWake;
    const HANDLE hManifestWake = manifestWake.h;
    CConnection connection(hManifestWake);
    const HANDLE handles[] = {hStopEvent, hManifestWake};
    auto wait = POLL;
    while (platform::WaitForMultipleObjects(hManifestWake != nullptr ? 2 : 1, handles, false,
                                            static_cast<DWORD>(wait.count())) != WAIT_OBJECT_0) {
        const auto now = Clock::now();
        wait = POLL;
        if (connection.IsOpen() && now >= nextTry) {
            // An idle connection does not notice that the manager went; its running mutex does.
            if (!IsEventManagerRunning()) {
                Log("the event manager went away");
                connection.Close();
            }
            nextTry = now + RETRY;
        }
        if (!connection.IsOpen() && now >= nextTry) {
            std::string sWhy;
            if (connection.Open(&sWhy)) {
                Log("connected to the event manager; answering settings refresh requests");
                sLastWhy.clear();
                // A refresh request sent before this connection was lost with it: answer it now.
                bCatchUp = true;
            } else {
                // Said once per reason, not every retry.
                if (sWhy != sLastWhy) {
                    Log(sWhy + "; retrying every 2 s");
                    sLastWhy = sWhy;
                }
                nextTry = now + RETRY;
            }
        }
        ULONGLONG ullNow = ullCount;
        if (ZEL_SUCCEEDED(database.ReadChangeCount(&ullNow)) && ullNow != ullCount) {
            ullCount = ullNow;
            bCounted = true;
            lastCount = now;
        }
        if (bCounted && now - lastCount >= QUIET) {
            bCounted = false;
            database.Checkpoint();
            std::string sNow = ConfigurationSnapshot();
            if (sNow != sSnapshot) {
                sSnapshot = std::move(sNow);
                bChangePending = true;
            }
        }
        if (!connection.IsOpen()) {
            continue;
        }
        if (const int nChanges = connection.TakeManifestChanges(); nChanges != 0) {
            // Set at once, so that a compilation that starts for another reason reads them too.
            if (!SetManifestRefreshNeeded(database)) {
                Log("the manifest refresh flag cannot be set");
            }
            const bool bAfterQuiet = !bManifestPending && now - lastManifest >= MANIFEST_QUIET;
            bManifestPending = true;
            nManifestChanges += nChanges;
            lastManifest = now;
            manifestDue = bAfterQuiet ? now : now + MANIFEST_QUIET;
        }
        const bool bManifestDue = bManifestPending && now >= manifestDue;
        if (bManifestPending && !bManifestDue) {
            wait = std::min<std::chrono::milliseconds>(
                POLL, std::chrono::ceil<std::chrono::milliseconds>(manifestDue - now));
        }
        const bool bRequested = connection.TakeRequest();
        if (bRequested || bChangePending || bCatchUp || bManifestDue) {
            // The compilation reads the store after this, so every change up to now is answered: a
            // change seen only later (krellctl's, which asks with a request) needs no 6008 of its own.
            sSnapshot = ConfigurationSnapshot();
            bCounted = false;
            const std::string sManifests =
                std::to_string(nManifestChanges) + " manifest change" + (nManifestChanges == 1 ? "" : "s");
            // The publication answers the manifest changes seen so far, whatever its reason.
            bManifestPending = false;
            nManifestChanges = 0;
            const bool bAlive = connection.Publish(bRequested       ? "a settings refresh request"
                                                   : bChangePending ? "a settings change"
                                                   : bCatchUp       ? "a new connection to the event manager"
                                                                    : sManifests,
                                                   hStopEvent);
            if (!bAlive) {
                connection.Close();
                nextTry = Clock::now() + RETRY;
                continue;
            }
            // A request is answered with the current settings, so a change seen before is covered.
            bChangePending = false;
            bCatchUp = false;
        }
    }
}

}  // namespace lcset
