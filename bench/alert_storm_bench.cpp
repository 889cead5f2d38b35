// A violation storm seen from the event manager: protection alerts (6000) published by the module's
// provider (CKTUMSEventProvider::SendGatewardenAlert, one broadcast create each, a synchronous round
// trip to the manager) until a subscriber of 6000 on a connection of its own has received them all.
// The floor it is measured against: a plain request/answer ping-pong between two processes over a
// Unix socket pair of the manager's kind (SOCK_SEQPACKET) and over SOCK_STREAM, the least any
// synchronous call to another process costs on this machine.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>

#include "bench_programs.h"
#include "events/ktums_event_provider.h"
#include "events/subscriber_helper.h"
#include "platform/system.h"
#include "run_times_reporter.h"

namespace {

constexpr int ROUND_TRIPS = 20000;
constexpr int ALERTS = 20000;
// About what an alert's create request weighs: header, fields and the event's transported form.
constexpr std::size_t MESSAGE_BYTES = 320;
// Alerts the publisher may be ahead of the subscriber. The manager drops deliveries to a subscriber
// that falls more than 4 MiB behind (on a busy machine it does), and a storm with drops is not the
// one measured; this many alerts stay well below that.
constexpr int IN_FLIGHT = 2000;

bool SendAll(int fd, const char* p, std::size_t cb) {
    while (cb != 0) {
        const ssize_t n = send(fd, p, cb, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        p += n;
        cb -= static_cast<std::size_t>(n);
    }
    return true;
}

// bLook: first looks for the message for up to 50 us without sleeping, as the event manager's
// handler and the manager itself do.
bool ReceiveAll(int fd, char* p, std::size_t cb, bool bPacket, bool bLook) {
    const auto lookEnd = std::chrono::steady_clock::now() + std::chrono::microseconds(bLook ? 50 : 0);
    while (bLook && cb != 0 && std::chrono::steady_clock::now() < lookEnd) {
        const ssize_t n = recv(fd, p, cb, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
            return false;
        }
        if (n > 0 && bPacket) {
            return n == static_cast<ssize_t>(cb);
        }
        p += std::max<ssize_t>(n, 0);
        cb -= static_cast<std::size_t>(std::max<ssize_t>(n, 0));
        sched_yield();
    }
    if (bPacket && cb != 0) {
        return recv(fd, p, cb, 0) == static_cast<ssize_t>(cb);
    }
    while (cb != 0) {
        const ssize_t n = recv(fd, p, cb, 0);
        if (n <= 0) {
            return false;
        }
        p += n;
        cb -= static_cast<std::size_t>(n);
    }
    return true;
}

// Pins the calling process to one processor; false when there is no such processor.
bool PinTo(int nCpu) {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(nCpu, &cpus);
    return sched_setaffinity(0, sizeof(cpus), &cpus) == 0;
}

// First arg 0: SOCK_SEQPACKET, 1: SOCK_STREAM. Second arg: where the two processes run: 0 wherever
// the scheduler puts them, 1 both on processor 0 (a wake-up is a switch on the same processor), 2 on
// processors 0 and 1 (every wake-up crosses processors), 3 on processors 0 and 1, each looking for
// the message briefly before it sleeps. A child echoes every message; the parent
// sends one and waits for it back, ROUND_TRIPS times.
void BM_RoundTripFloor(benchmark::State& state) {
    const bool bPacket = state.range(0) == 0;
    const auto nPlacement = state.range(1);
    const bool bLook = nPlacement == 3;
    for (auto _ : state) {
        int fds[2];
        if (socketpair(AF_UNIX, bPacket ? SOCK_SEQPACKET : SOCK_STREAM, 0, fds) != 0) {
            state.SkipWithError("socketpair");
            return;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            if (nPlacement != 0 && !PinTo(nPlacement == 1 ? 0 : 1)) {
                _exit(1);
            }
            close(fds[0]);
            char buffer[MESSAGE_BYTES];
            while (ReceiveAll(fds[1], buffer, sizeof(buffer), bPacket, bLook) &&
                   SendAll(fds[1], buffer, sizeof(buffer))) {
            }
            _exit(0);
        }
        close(fds[1]);
        cpu_set_t before;
        sched_getaffinity(0, sizeof(before), &before);
        char buffer[MESSAGE_BYTES] = {};
        bool bOk = pid > 0 && (nPlacement == 0 || PinTo(0));
        const auto start = std::chrono::steady_clock::now();
        for (int n = 0; bOk && n < ROUND_TRIPS; ++n) {
            bOk = SendAll(fds[0], buffer, sizeof(buffer)) &&
                  ReceiveAll(fds[0], buffer, sizeof(buffer), bPacket, bLook);
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        close(fds[0]);
        sched_setaffinity(0, sizeof(before), &before);
        if (pid > 0) {
            waitpid(pid, nullptr, 0);
        }
        if (!bOk) {
            state.SkipWithError("the echo failed");
            return;
        }
        state.SetIterationTime(elapsed.count());
    }
    state.SetItemsProcessed(state.iterations() * ROUND_TRIPS);
}
BENCHMARK(BM_RoundTripFloor)
    ->ArgsProduct({{0, 1}, {0, 1, 2, 3}})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// Counts the alerts that reach it and refuses them.
class CCountingSubscriber final : public CSubscriberHelper {
public:
    LONG STDMETHODCALLTYPE OnEvent(LONG, IKTEvent*, LONG* pnAction) override {
        *pnAction = 1;
        std::lock_guard lock(m_mutex);
        if (++m_nHeard >= m_nWanted || m_nHeard % IN_FLIGHT == 0) {
            m_heard.notify_all();
        }
        return CError::eNoError;
    }
    void Expect(int nWanted) {
        std::lock_guard lock(m_mutex);
        m_nHeard = 0;
        m_nWanted = nWanted;
    }
    // True when at least nHeard alerts arrived within the time.
    bool WaitFor(int nHeard, std::chrono::seconds timeout) {
        std::unique_lock lock(m_mutex);
        return m_heard.wait_for(lock, timeout, [&] { return m_nHeard >= nHeard; });
    }
    int Heard() {
        std::lock_guard lock(m_mutex);
        return m_nHeard;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_heard;
    int m_nHeard = 0;
    int m_nWanted = 0;
};

double g_dPublishSeconds = 0;

void MissedAlerts(benchmark::State& state, CCountingSubscriber& subscriber, int nWanted) {
    state.SkipWithError(("the subscriber heard " + std::to_string(subscriber.Heard()) + " of " +
                         std::to_string(nWanted) + " alerts in 60 s")
                            .c_str());
}

void BM_AlertStorm(benchmark::State& state) {
    IEventBridgeSource* pSource = ProductEventBridgeSource();
    CObjectLoader eventLoader;
    CObjectLoader proxyLoader;
    CComPtr<IKTEventFactory> pEventFactory;
    CComPtr<IKTProxyFactory> pProxyFactory;
    CComPtr<CEventManagerHelper> pHelper;
    if (ZEL_SUCCEEDED(pSource->CreateEventFactory(&eventLoader, &pEventFactory)) &&
        ZEL_SUCCEEDED(pSource->CreateProxyFactory(&proxyLoader, &pProxyFactory))) {
        pHelper = ConnectEventManager(pSource, pEventFactory.Get(), pProxyFactory.Get());
    }
    CCountingSubscriber subscriber;
    const LONG STATES[] = {KT_EVENT_STATE_CREATED};
    const KT_SUBSCRIPTION subscription{KT_EVENT_GATEWARDEN_ALERT, 0, STATES, 1, 0, 0};
    CKTUMSEventProvider provider;
    if (!pHelper || !subscriber.Create(pHelper.Get(), &subscription, 1) || !provider.Create()) {
        state.SkipWithError("no event manager");
        return;
    }
    SYSTEMTIME now{};
    platform::GetLocalTime(&now);
    double dPublish = 0;
    for (auto _ : state) {
        subscriber.Expect(ALERTS);
        const auto start = std::chrono::steady_clock::now();
        for (int n = 0; n < ALERTS; ++n) {
            if (n >= IN_FLIGHT && n % IN_FLIGHT == 0 &&
                !subscriber.WaitFor(n - IN_FLIGHT, std::chrono::seconds(60))) {
                return MissedAlerts(state, subscriber, n - IN_FLIGHT);
            }
            if (provider.SendGatewardenAlert(&now, u"C:\\Users\\x\\Downloads\\evil.exe", 4242, 1,
                                             u"C:\\Program Files\\Quillon\\KRELL\\KRELLSvc.exe", 0, 1,
                                             true) != CError::eNoError) {
                state.SkipWithError("an alert was refused");
                return;
            }
        }
        const std::chrono::duration<double> published = std::chrono::steady_clock::now() - start;
        if (!subscriber.WaitFor(ALERTS, std::chrono::seconds(60))) {
            return MissedAlerts(state, subscriber, ALERTS);
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count());
        dPublish += published.count();
    }
    g_dPublishSeconds = dPublish / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations() * ALERTS);
    provider.Destroy();
}
BENCHMARK(BM_AlertStorm)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    const std::string sRoot = (std::filesystem::temp_directory_path() / "krell-bench-alerts").string();
    std::filesystem::create_directories(sRoot);
    setenv("KRELL_ROOT", sRoot.c_str(), 1);
    setenv("KRELL_DEBUG_OUTPUT", "none", 1);
    const std::string sCtl = ProgramPath("krellctl");
    if (std::system(
            (sCtl + " init > /dev/null && " + sCtl + " service start zuZazEzi > /dev/null").c_str()) != 0) {
        std::fprintf(stderr, "could not prepare the root for the alert storm\n");
    }

    benchmark::Initialize(&argc, argv);
    CRunTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // Milliseconds per run.
    const double dStorm = reporter.m_Times["BM_AlertStorm/iterations:3/manual_time"];
    for (const auto& [nPlacement, szPlacement] : {std::pair{0, "placed by the scheduler"},
                                                  {1, "on one processor"},
                                                  {2, "on two processors"},
                                                  {3, "on two processors, looking before sleeping"}}) {
        const std::string sSuffix = "/" + std::to_string(nPlacement) + "/iterations:3/manual_time";
        const double dPacket = reporter.m_Times["BM_RoundTripFloor/0" + sSuffix];
        const double dStream = reporter.m_Times["BM_RoundTripFloor/1" + sSuffix];
        if (dPacket > 0 && dStream > 0) {
            std::printf("round-trip floor %s: %.0f/s SOCK_SEQPACKET, %.0f/s SOCK_STREAM\n", szPlacement,
                        ROUND_TRIPS * 1000.0 / dPacket, ROUND_TRIPS * 1000.0 / dStream);
        }
    }
    if (dStorm > 0) {
        std::printf("alerts to a subscriber: %.0f/s (provider's calls returned at %.0f/s); goal 50000/s %s\n",
                    ALERTS * 1000.0 / dStorm, g_dPublishSeconds > 0 ? ALERTS / g_dPublishSeconds : 0.0,
                    ALERTS * 1000.0 / dStorm >= 50000 ? "met" : "NOT met");
    }
    std::system((sCtl + " shutdown > /dev/null").c_str());
    std::error_code ec;
    std::filesystem::remove_all(sRoot, ec);
    return 0;
}
