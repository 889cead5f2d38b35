// The protection answering back, measured on a root of its own with every stand-in running:
//  - alerts per second from the driver's send to a subscriber of the event manager (a
//    `krellctl alerts watch`), with sent = received checked and the notifications the queue bound
//    dropped printed;
//  - against, in the same run, the raw channel rate (one-way SOCK_SEQPACKET packets of a chunk between
//    two processes, what the platform carries) and the event manager's own rate (alerts published
//    directly by a provider to the same kind of subscriber);
//  - the install-query round trip for a 1 MiB package, p50 and p99, from the driver's control socket;
//  - the service's peak memory during storms of two lengths, where the driver is faster than the event
//    manager: the backlog must be bounded, so both peaks must be the same.
// Goals: at least 50,000 alerts a second with none lost, p99 under 10 ms, the same peak for both storms.
//
//   krell_violations_bench [--quick]    (--quick: small counts and 1 s / 3 s storms, for the suite)
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_programs.h"
#include "events/ktums_event_provider.h"
#include "platform/system.h"
#include "watch_process.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

int Run(const std::string& sCommand, std::string* psOutput = nullptr) {
    FILE* pPipe = popen((sCommand + " 2>&1").c_str(), "r");
    if (pPipe == nullptr) {
        return -1;
    }
    char szBuffer[4096];
    while (std::fgets(szBuffer, sizeof(szBuffer), pPipe) != nullptr) {
        if (psOutput != nullptr) {
            *psOutput += szBuffer;
        }
    }
    const int nStatus = pclose(pPipe);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

std::string Ctl(const std::string& sWords) {
    return "'" + ProgramPath("krellctl") + "' " + sWords;
}

// A root with the product installed and the protection booted; shut down and removed at the end.
class CBootedRoot {
public:
    // dwDebugMask: the service's debug log categories ("DebugOutput"); 0 as a production machine runs.
    explicit CBootedRoot(DWORD dwDebugMask) {
        const char* szTmp = std::getenv("TMPDIR");
        std::string sTemplate = std::string(szTmp != nullptr ? szTmp : "/tmp") + "/krell-violations-XXXXXX";
        std::vector<char> name(sTemplate.begin(), sTemplate.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr) {
            return;
        }
        m_sRoot = name.data();
        setenv("KRELL_ROOT", m_sRoot.c_str(), 1);
        std::string sOutput;
        m_bReady =
            Run(Ctl("init"), &sOutput) == 0 &&
            Run("'" + ProgramPath("krellsvc") + "' -Install", &sOutput) == 0 &&
            Run(Ctl("service start lcSetMgr"), &sOutput) == 0 &&
            Run(Ctl("settings set 'GATEWARDEN\\PRIVATE' CurrentState --dword 1"), &sOutput) == 0 &&
            Run(Ctl("settings set 'GATEWARDEN\\PRIVATE' DebugOutput --dword " + std::to_string(dwDebugMask)),
                &sOutput) == 0 &&
            Run(Ctl("boot"), &sOutput) == 0;
        if (!m_bReady) {
            std::fprintf(stderr, "the root could not be booted:\n%s", sOutput.c_str());
        }
    }
    ~CBootedRoot() {
        if (!m_sRoot.empty()) {
            Run(Ctl("shutdown"));
            std::filesystem::remove_all(m_sRoot);
        }
    }
    bool Ready() const { return m_bReady; }
    const std::string& Path() const { return m_sRoot; }

private:
    std::string m_sRoot;
    bool m_bReady = false;
};

std::vector<std::string> AlertWatch(long nCount) {
    return {"alerts", "watch", "--count", std::to_string(nCount), "--timeout", "600"};
}

constexpr const char* STORM_ACCESS =
    R"({"actor":"C:\\Temp\\storm.exe","pid":4242,"action":1,"target":"C:\\Program Files\\Quillon\\KRELL\\KT.dll","session":1})";

std::string AccessFile(const std::string& sRoot, long nCount) {
    const std::string sPath = sRoot + "/accesses.jsonl";
    std::ofstream out(sPath, std::ios::trunc);
    for (long i = 0; i < nCount; ++i) {
        out << STORM_ACCESS << '\n';
    }
    return sPath;
}

// A numeric field of the driver's status JSON.
long DriverCount(const char* szField) {
    std::string sStatus;
    Run(Ctl("driver status --json"), &sStatus);
    const std::string sKey = std::string("\"") + szField + "\":";
    const std::size_t nAt = sStatus.find(sKey);
    return nAt == std::string::npos ? -1 : std::atol(sStatus.c_str() + nAt + sKey.size());
}

// A line "name N" of `krellctl stats`.
long ServiceCount(const char* szName) {
    std::string sStats;
    Run(Ctl("stats"), &sStats);
    const std::size_t nAt = sStats.find(std::string(szName) + " ");
    return nAt == std::string::npos ? -1 : std::atol(sStats.c_str() + nAt + std::strlen(szName) + 1);
}

// Packets of a chunk, one way from a child process to this one, per second.
double RawChannelRate(long nPackets) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) {
        return 0;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::vector<char> packet(8096, 'x');
        for (long i = 0; i < nPackets; ++i) {
            if (send(fds[1], packet.data(), packet.size(), 0) < 0) {
                _exit(1);
            }
        }
        _exit(0);
    }
    close(fds[1]);
    std::vector<char> packet(8096);
    const auto start = Clock::now();
    long nReceived = 0;
    while (nReceived < nPackets && recv(fds[0], packet.data(), packet.size(), 0) > 0) {
        ++nReceived;
    }
    const double dSeconds = Seconds(Clock::now() - start);
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return nReceived / dSeconds;
}

// Alerts published by a provider of this process straight to a watcher, per second.
// Alerts published by a provider of this process straight to a watcher, per second; *pnSeen: how
// many the watcher printed (the manager drops what a subscriber that falls behind cannot take).
double EventManagerRate(long nAlerts, long* pnSeen) {
    CKTUMSEventProvider provider;
    CWatchProcess watcher;
    *pnSeen = 0;
    if (!provider.Create() || !watcher.Start(AlertWatch(nAlerts))) {
        std::fprintf(stderr, "the event manager could not be reached\n");
        return 0;
    }
    SYSTEMTIME now{};
    platform::GetLocalTime(&now);
    const auto start = Clock::now();
    // Published on a thread of its own while this one reads, so the watcher's output never backs up.
    std::thread publisher([&] {
        for (long i = 0; i < nAlerts; ++i) {
            provider.SendGatewardenAlert(&now, u"C:\\Temp\\storm.exe", 4242, 1,
                                         u"C:\\Program Files\\Quillon\\KRELL\\KT.dll", 0, 1, true);
        }
    });
    *pnSeen = watcher.ReadLines(nAlerts);
    const double dSeconds = Seconds(Clock::now() - start);
    publisher.join();
    provider.Destroy();
    return *pnSeen / dSeconds;
}

struct CAlertRun {
    double dRate = 0;
    long nSent = 0;
    long nReceived = 0;
};

// nAccesses protected writes replayed as fast as the driver goes, timed until the watcher saw them all.
CAlertRun AlertsThroughTheService(const std::string& sRoot, long nAccesses) {
    CAlertRun run;
    const std::string sFile = AccessFile(sRoot, nAccesses);
    const long nSentBefore = DriverCount("violations");
    CWatchProcess watcher;
    if (!watcher.Start(AlertWatch(nAccesses))) {
        return run;
    }
    const auto start = Clock::now();
    std::string sReplay;
    std::thread replay([&] { Run(Ctl("driver replay '" + sFile + "'"), &sReplay); });
    run.nReceived = watcher.ReadLines(nAccesses);
    const double dSeconds = Seconds(Clock::now() - start);
    replay.join();
    run.nSent = DriverCount("violations") - nSentBefore;
    run.dRate = run.nReceived / dSeconds;
    return run;
}

// A package of about 1 MiB (a random, so incompressible, payload), built with wixl.
std::string MiBPackage(const std::string& sRoot) {
    const std::string sDir = sRoot + "/package";
    std::filesystem::create_directories(sDir);
    std::vector<char> payload(1024 * 1024);
    std::mt19937 rng(7);
    for (char& ch : payload) {
        ch = static_cast<char>(rng());
    }
    std::ofstream(sDir + "/payload.bin", std::ios::binary)
        .write(payload.data(), static_cast<long>(payload.size()));
    std::ofstream(sDir + "/bench.wxs") << R"(<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="11111111-2222-3333-4444-555555555555" Name="Bench" Language="1033" Version="1.0.0"
           Manufacturer="Krell Bench" UpgradeCode="66666666-7777-8888-9999-AAAAAAAAAAAA">
    <Package InstallerVersion="200" Compressed="yes" />
    <Media Id="1" Cabinet="bench.cab" EmbedCab="yes" />
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="INSTALLDIR" Name="Bench">
          <Component Id="Payload" Guid="A1B2C3D4-0000-4000-8000-000000000002">
            <File Id="PayloadFile" Name="payload.bin" Source="payload.bin" />
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="Payload" /></Feature>
  </Product>
</Wix>
)";
    const std::string sPackage = sRoot + "/drive_c/Installs/bench.msi";
    std::filesystem::create_directories(sRoot + "/drive_c/Installs");
    std::string sOutput;
    if (Run("cd '" + sDir + "' && wixl -o '" + sPackage + "' bench.wxs", &sOutput) != 0) {
        std::fprintf(stderr, "wixl failed:\n%s", sOutput.c_str());
        return {};
    }
    return sPackage;
}

// One request on the driver's control socket, its answer.
std::string AskDriver(const std::string& sRoot, const std::string& sLine) {
    const std::string sPath = sRoot + "/run/krelldrv.ctl";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, sPath.c_str(), sPath.size() + 1);
    const int nSocket = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    std::string sReply;
    if (connect(nSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        send(nSocket, sLine.data(), sLine.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(sLine.size())) {
        std::vector<char> buffer(64 * 1024);
        const ssize_t n = recv(nSocket, buffer.data(), buffer.size(), 0);
        if (n > 0) {
            sReply.assign(buffer.data(), static_cast<size_t>(n));
        }
    }
    close(nSocket);
    return sReply;
}

// Install-query round trips in ms, sorted.
std::vector<double> InstallRoundTrips(const std::string& sRoot, int nQueries) {
    std::vector<double> times;
    if (MiBPackage(sRoot).empty()) {
        return times;
    }
    Run(Ctl("settings set 'GATEWARDEN\\MSIAuthorization' SecurityLevel --dword 3"));
    Run(
        Ctl("settings set 'GATEWARDEN\\UserSettings\\AuthorizedMSIs' 66666666-7777-8888-9999-AAAAAAAAAAAA "
            "--dword 0"));
    for (int i = 0; i < nQueries; ++i) {
        const auto start = Clock::now();
        const std::string sAnswer =
            AskDriver(sRoot, R"(install {"path":"C:\\Installs\\bench.msi","timeout":30})");
        const double dMs = Seconds(Clock::now() - start) * 1000;
        if (sAnswer != "ok authorized") {
            std::fprintf(stderr, "install query answered \"%s\"\n", sAnswer.c_str());
            return {};
        }
        times.push_back(dMs);
    }
    std::sort(times.begin(), times.end());
    return times;
}

long PeakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string sLine;
    while (std::getline(status, sLine)) {
        if (sLine.starts_with("VmHWM:")) {
            return std::atol(sLine.c_str() + 6);
        }
    }
    return -1;
}

pid_t ServicePid() {
    std::string sStatus;
    Run(Ctl("service status KRELLSvc"), &sStatus);
    const std::size_t nAt = sStatus.find("pid ");
    return nAt == std::string::npos ? -1 : static_cast<pid_t>(std::atol(sStatus.c_str() + nAt + 4));
}

// The service's peak memory (KiB) during a storm of the given length, the peak reset first.
long StormPeak(const std::string& sRoot, int nSeconds, long* pnSent) {
    const pid_t service = ServicePid();
    std::ofstream(("/proc/" + std::to_string(service) + "/clear_refs").c_str()) << "5";
    const std::string sFile = AccessFile(sRoot, 1000);
    const long nBefore = DriverCount("violations");
    Run(Ctl("driver replay '" + sFile + "' --duration " + std::to_string(nSeconds)));
    *pnSent = DriverCount("violations") - nBefore;
    return PeakKiB(service);
}

}  // namespace

int main(int argc, char** argv) {
    const bool bQuick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const long nAlerts = bQuick ? 2000 : 200000;
    const int nQueries = bQuick ? 10 : 200;
    const int nShortStorm = bQuick ? 1 : 10;
    const int nLongStorm = bQuick ? 3 : 60;

    const double dRaw = RawChannelRate(nAlerts);
    std::printf("raw channel packets (one way, 8096 bytes)   %10.0f /s\n", dRaw);

    CBootedRoot root(0);
    if (!root.Ready()) {
        return 1;
    }
    long nManagerSeen = 0;
    const double dManager = EventManagerRate(nAlerts, &nManagerSeen);
    std::printf("alerts published directly to a subscriber   %10.0f /s  (%.2f of raw; %ld of %ld received)\n",
                dManager, dManager / dRaw, nManagerSeen, nAlerts);

    const CAlertRun run = AlertsThroughTheService(root.Path(), nAlerts);
    std::printf(
        "alerts from the driver to a subscriber       %10.0f /s  (%.2f of raw, %.2f of the manager)\n",
        run.dRate, run.dRate / dRaw, dManager > 0 ? run.dRate / dManager : 0.0);
    std::printf(
        "  violations sent %ld, alerts received %ld, alerts the service sent %ld, notifications dropped "
        "%ld\n",
        run.nSent, run.nReceived, ServiceCount("alerts sent"), ServiceCount("notifications dropped"));

    const std::vector<double> times = InstallRoundTrips(root.Path(), nQueries);
    if (times.empty()) {
        return 1;
    }
    std::printf("install query round trip, 1 MiB package      p50 %.2f ms  p99 %.2f ms  (%zu queries)\n",
                times[times.size() / 2], times[std::min(times.size() - 1, times.size() * 99 / 100)],
                times.size());

    long nShortSent = 0;
    long nLongSent = 0;
    const long nShortPeak = StormPeak(root.Path(), nShortStorm, &nShortSent);
    const long nLongPeak = StormPeak(root.Path(), nLongStorm, &nLongSent);
    std::printf("service peak memory, storm of %2d s           %10ld KiB  (%ld violations)\n", nShortStorm,
                nShortPeak, nShortSent);
    std::printf(
        "service peak memory, storm of %2d s           %10ld KiB  (%ld violations, %.2f of the short storm's "
        "peak)\n",
        nLongStorm, nLongPeak, nLongSent, nShortPeak > 0 ? static_cast<double>(nLongPeak) / nShortPeak : 0.0);
    std::printf("  backlog stalls %ld, notifications dropped %ld\n", ServiceCount("backlog stalls"),
                ServiceCount("notifications dropped"));
    const bool bLost = run.nReceived != nAlerts || run.nSent != nAlerts;
    return bLost ? 1 : 0;
}
