// What EnqueueEvent costs its caller while the event manager is slow: an in-process event manager
// whose CreateEvent takes 0, 10 or 100 ms. The stalled runs are printed as ratios against the
// unstalled one; the goal is that the cost does not grow with the stall (ratio <= 2).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "events/notify_event_sender.h"
#include "platform/system.h"
#include "run_times_reporter.h"

namespace {

// Events that only take what the sender sets.
class CBenchEvent final : public IKTEvent, public IKTNotifyEvent, private CRefCounted {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IKTNotifyEvent) {
            *ppv = static_cast<IKTNotifyEvent*>(this);
        } else if (riid == IID_IKTEvent || riid == IID_IUnknown) {
            *ppv = static_cast<IKTEvent*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
    HRESULT GetType(ULONG* pnType) override { return *pnType = KT_EVENT_NOTIFY, S_OK; }
    HRESULT GetId(LONG* pnId) override { return *pnId = 0, S_OK; }
    HRESULT SetId(LONG) override { return S_OK; }
    HRESULT GetState(LONG* pnState) override { return *pnState = 0, S_OK; }
    HRESULT SetState(LONG) override { return S_OK; }
    HRESULT GetPropertyCount(ULONG* pnCount) override { return *pnCount = 0, S_OK; }
    HRESULT GetProperty(ULONG, KT_PROPERTY*) override { return E_INVALIDARG; }
    HRESULT SetCode(ULONG) override { return S_OK; }
    HRESULT GetCode(ULONG* pnCode) override { return *pnCode = 0, S_OK; }
    HRESULT SetTime(const SYSTEMTIME*) override { return S_OK; }
    HRESULT GetTime(SYSTEMTIME*) override { return S_OK; }
    HRESULT SetData(const char16_t*) override { return S_OK; }
    HRESULT GetData(const char16_t** pszData) override { return *pszData = nullptr, S_OK; }
};

class CBenchEventFactory final : public IKTEventFactory, private CRefCounted {
public:
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
    LONG NewEvent(ULONG, IKTEvent** ppEvent) override {
        return *ppEvent = new CBenchEvent(), CError::eNoError;
    }
    LONG CopyEvent(IKTEvent*, IKTEvent** ppCopy) override { return NewEvent(0, ppCopy); }
    LONG FreeEvent(IKTEvent* pEvent) override { return pEvent->Release(), CError::eNoError; }
    LONG ToTransported(IKTEvent*, KT_TRANSPORTED_EVENT* pTransported) override {
        pTransported->pData = nullptr;
        pTransported->cbData = 0;
        return CError::eNoError;
    }
    LONG FromTransported(const KT_TRANSPORTED_EVENT*, IKTEvent** ppEvent) override {
        return NewEvent(0, ppEvent);
    }
    LONG FreeTransported(KT_TRANSPORTED_EVENT*) override { return CError::eNoError; }
};

class CBenchProxy final : public IKTProviderProxy, private CRefCounted {
public:
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
    LONG Deliver(LONG, const KT_TRANSPORTED_EVENT*) override { return CError::eNoError; }
};

class CBenchProxyFactory final : public IKTProxyFactory, private CRefCounted {
public:
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
    LONG CreateProviderProxy(IKTEventProviderCallback*, IKTProviderProxy** ppProxy) override {
        return *ppProxy = new CBenchProxy(), CError::eNoError;
    }
    LONG CreateSubscriberProxy(IKTEventSubscriberCallback*, IKTSubscriberProxy**) override {
        return CError::eFailure;
    }
    LONG DeleteProviderProxy(IKTProviderProxy* pProxy) override {
        return pProxy->Release(), CError::eNoError;
    }
    LONG DeleteSubscriberProxy(IKTSubscriberProxy*) override { return CError::eFailure; }
};

// Takes m_dwStallMs for every event it is given.
class CStalledEventManager final : public IKTEventManager, private CRefCounted {
public:
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
    HRESULT RegisterProvider(IKTProviderProxy*, LONG* pnProviderId, LONG* pnError) override {
        *pnProviderId = 1;
        *pnError = CError::eNoError;
        return S_OK;
    }
    HRESULT UnregisterProvider(LONG, LONG* pnError) override { return *pnError = CError::eNoError, S_OK; }
    HRESULT RegisterSubscriber(IKTSubscriberProxy*, ULONG, ULONG, const SAFEARRAY*, ULONG, VARIANT_BOOL,
                               LONG*, LONG* pnError) override {
        return *pnError = CError::eFailure, S_OK;
    }
    HRESULT UnregisterSubscriber(LONG, LONG* pnError) override { return *pnError = CError::eFailure, S_OK; }
    HRESULT CreateEvent(LONG, const KT_TRANSPORTED_EVENT*, VARIANT_BOOL, LONG* pnEventId,
                        LONG* pnError) override {
        if (m_dwStallMs != 0) {
            platform::Sleep(m_dwStallMs);
        }
        *pnEventId = ++m_nCreated;
        *pnError = CError::eNoError;
        return S_OK;
    }
    HRESULT CommitEvent(LONG, const KT_TRANSPORTED_EVENT*, LONG* pnError) override {
        return *pnError = CError::eFailure, S_OK;
    }
    HRESULT CancelEvent(LONG, const KT_TRANSPORTED_EVENT*, LONG* pnError) override {
        return *pnError = CError::eFailure, S_OK;
    }

    std::atomic<DWORD> m_dwStallMs{0};
    std::atomic<LONG> m_nCreated{0};
};

class CBenchSource final : public IEventBridgeSource {
public:
    ZELRESULT CreateEventFactory(CObjectLoader*, IKTEventFactory** ppFactory) override {
        *ppFactory = new CBenchEventFactory();
        return ZEL_SUCCESS;
    }
    ZELRESULT CreateProxyFactory(CObjectLoader*, IKTProxyFactory** ppFactory) override {
        *ppFactory = new CBenchProxyFactory();
        return ZEL_SUCCESS;
    }
    bool ConnectEventManager(CEventManagerHelper* pHelper, IKTEventFactory* pEventFactory,
                             IKTProxyFactory* pProxyFactory) override {
        return pHelper->Create(m_pManager.Get(), pEventFactory, pProxyFactory);
    }
    CComPtr<CStalledEventManager> m_pManager =
        CComPtr<CStalledEventManager>::Attach(new CStalledEventManager());
};

// Records per timed batch: few enough that the queue never fills, so every call is an accepted one.
constexpr int BATCH = 16;

void BM_EnqueueWhileStalled(benchmark::State& state) {
    CBenchSource source;
    source.m_pManager->m_dwStallMs = static_cast<DWORD>(state.range(0));
    CNotifyEventSender sender(&source);
    if (!sender.InitializeInternal()) {
        state.SkipWithError("sender did not start");
        return;
    }
    SYSTEMTIME now{};
    platform::GetLocalTime(&now);
    LONG nQueued = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int nIndex = 0; nIndex < BATCH; ++nIndex) {
            benchmark::DoNotOptimize(sender.EnqueueEventInternal(5, u"hr=0x00000000", now));
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count() / BATCH);
        nQueued += BATCH;
        // Untimed: let the sender catch up before the next batch.
        while (source.m_pManager->m_nCreated < nQueued) {
            platform::Sleep(1);
        }
    }
    sender.DestroyInternal();
}

BENCHMARK(BM_EnqueueWhileStalled)->Arg(0)->Arg(10)->Arg(100)->UseManualTime()->Iterations(6);

// Notifications per second to a "krellctl events watch" subscriber through the real event manager
// and event library stand-ins: BM_NotificationThroughput goes here once those are part of the build.

}  // namespace

int main(int argc, char** argv) {
    const std::string sRoot = (std::filesystem::temp_directory_path() / "krell-bench-events").string();
    std::filesystem::create_directories(sRoot);
    setenv("KRELL_ROOT", sRoot.c_str(), 1);

    benchmark::Initialize(&argc, argv);
    CRunTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double dBase = reporter.m_Times["BM_EnqueueWhileStalled/0/iterations:6/manual_time"];
    bool bMet = dBase > 0;
    for (const char* szName : {"BM_EnqueueWhileStalled/10/iterations:6/manual_time",
                               "BM_EnqueueWhileStalled/100/iterations:6/manual_time"}) {
        if (dBase > 0 && reporter.m_Times.count(szName) != 0) {
            const double dRatio = reporter.m_Times[szName] / dBase;
            std::printf("ratio %s / stall 0 = %.2f (goal <= 2.00)\n", szName, dRatio);
            bMet = bMet && dRatio <= 2.0;
        }
    }
    std::printf("enqueue cost under a stalled event manager: goal %s\n", bMet ? "met" : "NOT met");
    std::error_code ec;
    std::filesystem::remove_all(sRoot, ec);
    return 0;
}
