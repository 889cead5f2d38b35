// krellctl driver ...: commands for the stand-in driver, passed to its control socket
// (<root>/run/krelldrv.ctl) as one line; the driver's answer is printed.
//   driver status [--json]                      connections, chunk size, counters, reply mode,
//                                               driver=activated|deactivated, configurations loaded,
//                                               rejected and offered, accesses judged, violations sent,
//                                               install queries and their outcomes, then the KC file in
//                                               force: its path, header digest and sections with their
//                                               rule counts
//   driver access --actor PATH --pid N --action N --target PATH [--target-pid N] [--session N] [--sid SID]
//                 [--device KIND]
//                                               the driver judges one access against its rules and sends
//                                               the violation it is; prints the decision and the rule
//   driver replay FILE [--rate N] [--duration S]             judges the file's accesses (one JSON object a
//   line, as
//                                               docs/channel.md shows), N a second or as fast as it goes;
//                                               a bad line refuses the file before anything is sent
//   driver install PATH [--timeout S]           the driver asks the service whether the package may
//                                               install and prints the answer
//   driver send TYPE [ID:dw:N|ID:str:TEXT|ID:fill:N|ID:bin:HEX]... [order=reverse|I,J,...]
//   driver raw HEX [size=N]                     one raw packet, zero-filled to N (default a chunk)
//   driver replies pass|hold|drop, driver release
//   driver echo on|off                          send every received message back
//   driver negotiate version=N chunk=N short=0|1  how later negotiations are answered
//   driver received, driver clear               messages the driver received
//   driver close                                close the device's connections
#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "arguments.h"
#include "driver_access.h"
#include "json_text.h"
#include "krellctl_commands.h"
#include "platform/paths.h"
#include "platform/root.h"
#include "platform/strings.h"
#include "service/registry_key.h"

namespace {

// The driver takes requests of up to 1 MiB; a replay batch stays below that and below what the socket
// can carry in one packet.
constexpr size_t MAX_REQUEST = 1024 * 1024;
constexpr size_t MAX_BATCH_ACCESSES = 1000;
constexpr DWORD DEFAULT_INSTALL_TIMEOUT = 30;
constexpr DWORD MAX_INSTALL_TIMEOUT = 24 * 60 * 60;

std::string ControlPath() {
    return platform::RootSubdirectory("run") + "/krelldrv.ctl";
}

// -1 when the driver does not serve its control socket.
int ConnectControl() {
    const std::string sPath = ControlPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (sPath.size() >= sizeof(address.sun_path)) {
        return -1;
    }
    std::memcpy(address.sun_path, sPath.c_str(), sPath.size() + 1);
    const int nSocket = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (nSocket < 0 || connect(nSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (nSocket >= 0) {
            close(nSocket);
        }
        return -1;
    }
    return nSocket;
}

// One request and its answer on a connected control socket; false when the driver did not answer
// (in nTimeoutSeconds when that is not 0).
bool Exchange(int nSocket, const std::string& sLine, std::string* psReply, DWORD dwTimeoutSeconds = 0) {
    if (dwTimeoutSeconds != 0) {
        timeval timeout{static_cast<time_t>(dwTimeoutSeconds), 0};
        setsockopt(nSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    }
    if (send(nSocket, sLine.data(), sLine.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(sLine.size())) {
        return false;
    }
    std::vector<char> reply(1024 * 1024);
    ssize_t n;
    do {
        n = recv(nSocket, reply.data(), reply.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return false;
    }
    psReply->assign(reply.data(), static_cast<size_t>(n));
    return true;
}

int NotRunning() {
    std::fprintf(stderr, "krellctl: the driver is not running (no %s)\n", ControlPath().c_str());
    return 1;
}

// The answer of a command that judged or asked: "ok ..." on standard output without its "ok ".
int PrintAnswer(const std::string& sReply) {
    if (sReply.starts_with("ok ")) {
        std::printf("%s\n", sReply.c_str() + 3);
        return 0;
    }
    std::fprintf(stderr, "krellctl: driver: %s\n", sReply.c_str());
    return 1;
}

// AskDriver, saying on standard error why there is no answer.
bool AskDriverChecked(const std::string& sLine, std::string* psReply) {
    const DriverAnswer answer = AskDriver(sLine, psReply);
    if (answer == DriverAnswer::NotRunning) {
        NotRunning();
        return false;
    }
    if (answer == DriverAnswer::Silent) {
        std::fprintf(stderr, "krellctl: no answer from the driver\n");
        return false;
    }
    return true;
}

int AccessUsage() {
    std::fprintf(
        stderr,
        "usage: krellctl driver access --actor PATH --pid N --action N --target PATH [--target-pid N]\n"
        "                              [--session N] [--sid SID] [--device KIND]\n");
    return 2;
}

int DriverAccess(const std::vector<std::string>& args) {
    krelldrv::CAccess access;
    bool bActor = false, bPid = false, bAction = false, bTarget = false;
    for (size_t i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) {
            return AccessUsage();
        }
        const std::string& sName = args[i];
        const std::string& sValue = args[i + 1];
        bool bOk = true;
        if (sName == "--actor") {
            access.sActorPath = platform::FromUtf8(sValue);
            bActor = true;
        } else if (sName == "--pid") {
            bOk = bPid = toolargs::ParseDword(sValue, &access.dwActorPid, toolargs::Radix::Decimal);
        } else if (sName == "--action") {
            bOk = bAction = toolargs::ParseDword(sValue, &access.dwAction, toolargs::Radix::Decimal);
        } else if (sName == "--target") {
            access.sTargetPath = platform::FromUtf8(sValue);
            bTarget = true;
        } else if (sName == "--target-pid") {
            DWORD dwPid = 0;
            bOk = toolargs::ParseDword(sValue, &dwPid, toolargs::Radix::Decimal);
            access.targetPid = dwPid;
        } else if (sName == "--session") {
            bOk = toolargs::ParseDword(sValue, &access.dwSession, toolargs::Radix::Decimal);
        } else if (sName == "--sid") {
            access.sActorSid = platform::FromUtf8(sValue);
        } else if (sName == "--device") {
            access.sActorDevice = platform::FromUtf8(sValue);
        } else {
            bOk = false;
        }
        if (!bOk) {
            std::fprintf(stderr, "krellctl: %s \"%s\": not understood\n", sName.c_str(), sValue.c_str());
            return AccessUsage();
        }
    }
    if (!bActor || !bPid || !bAction || !bTarget) {
        return AccessUsage();
    }
    // The driver checks the rest (the action's number, a process action's target pid) and says why.
    std::string sReply;
    if (!AskDriverChecked("access " + krelldrv::AccessJson(access), &sReply)) {
        return 1;
    }
    return PrintAnswer(sReply);
}

int ReplayUsage() {
    std::fprintf(stderr,
                 "usage: krellctl driver replay FILE [--rate N] [--duration S]   (one JSON access a line;\n"
                 "       --duration: the file again and again until S seconds have passed)\n");
    return 2;
}

// The numbers of a "key=N" field of an answer line; 0 when absent.
size_t AnswerField(const std::string& sReply, const std::string& sKey) {
    const size_t nPos = (" " + sReply).find(" " + sKey + "=");
    return nPos == std::string::npos ? 0 : std::stoul(sReply.substr(nPos + sKey.size() + 1));
}

int DriverReplay(const std::vector<std::string>& args) {
    if (args.size() < 2 || args.size() % 2 != 0) {
        return ReplayUsage();
    }
    DWORD dwRate = 0;
    DWORD dwDuration = 0;
    for (size_t i = 2; i < args.size(); i += 2) {
        DWORD* pdwValue = args[i] == "--rate" ? &dwRate : (args[i] == "--duration" ? &dwDuration : nullptr);
        if (pdwValue == nullptr) {
            return ReplayUsage();
        }
        if (!toolargs::ParseDword(args[i + 1], pdwValue, toolargs::Radix::Decimal) || *pdwValue == 0) {
            std::fprintf(stderr, "krellctl: %s \"%s\": a whole number, at least 1\n", args[i].c_str(),
                         args[i + 1].c_str());
            return 2;
        }
    }
    std::ifstream file(args[1], std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "krellctl: cannot read %s\n", args[1].c_str());
        return 1;
    }
    const int nSocket = ConnectControl();
    if (nSocket < 0) {
        return NotRunning();
    }
    // A batch travels as one packet, which the socket's send buffer must hold whole.
    int nSendBuffer = static_cast<int>(2 * MAX_REQUEST);
    setsockopt(nSocket, SOL_SOCKET, SO_SNDBUF, &nSendBuffer, sizeof(nSendBuffer));
    socklen_t nLength = sizeof(nSendBuffer);
    getsockopt(nSocket, SOL_SOCKET, SO_SNDBUF, &nSendBuffer, &nLength);
    const size_t nMaxBatchBytes = std::min(MAX_REQUEST, static_cast<size_t>(nSendBuffer)) - 1024;

    // Every line is checked before the first is sent: a file is replayed whole or not at all.
    std::vector<std::string> lines;
    std::string sLine;
    for (size_t nLine = 1; std::getline(file, sLine); ++nLine) {
        if (!sLine.empty() && sLine.back() == '\r') {
            sLine.pop_back();
        }
        if (sLine.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        krelldrv::CAccess access;
        std::string sError;
        if (!krelldrv::ParseAccess(sLine, access, sError)) {
            std::fprintf(stderr, "krellctl: %s line %zu: %s (nothing sent)\n", args[1].c_str(), nLine,
                         sError.c_str());
            close(nSocket);
            return 1;
        }
        if (sLine.size() + 16 > nMaxBatchBytes) {
            std::fprintf(stderr, "krellctl: %s line %zu: longer than a request may be (nothing sent)\n",
                         args[1].c_str(), nLine);
            close(nSocket);
            return 1;
        }
        lines.push_back(std::move(sLine));
    }
    // Paced, a batch is a tenth of a second's worth, so the rate holds over short runs too.
    const size_t nBatchAccesses =
        dwRate == 0 ? MAX_BATCH_ACCESSES : std::clamp<size_t>(dwRate / 10, 1, MAX_BATCH_ACCESSES);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(dwDuration);
    // Without a duration the file is sent once; with one, over and over until the time is up.
    const auto fnMore = [&](size_t nSent) {
        return dwDuration == 0 ? nSent < lines.size()
                               : !lines.empty() && std::chrono::steady_clock::now() < end;
    };
    size_t nJudged = 0;
    size_t nViolations = 0;
    size_t nUnsent = 0;
    for (size_t nSent = 0; fnMore(nSent);) {
        if (dwRate != 0) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(nSent * 1000000ull / dwRate));
        }
        std::string sBatch = "replay";
        size_t nCount = 0;
        while ((dwDuration != 0 || nSent < lines.size()) && nCount < nBatchAccesses &&
               sBatch.size() + 1 + lines[nSent % lines.size()].size() <= nMaxBatchBytes) {
            sBatch += "\n" + lines[nSent++ % lines.size()];
            ++nCount;
        }
        std::string sReply;
        if (!Exchange(nSocket, sBatch, &sReply)) {
            std::fprintf(stderr, "krellctl: no answer from the driver after %zu accesses\n", nJudged);
            close(nSocket);
            return 1;
        }
        if (!sReply.starts_with("ok ")) {
            std::fprintf(stderr, "krellctl: driver: %s (after %zu accesses)\n", sReply.c_str(), nJudged);
            close(nSocket);
            return 1;
        }
        nJudged += AnswerField(sReply, "judged");
        nViolations += AnswerField(sReply, "violations");
        nUnsent += AnswerField(sReply, "unsent");
    }
    close(nSocket);
    const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("accesses=%zu violations=%zu", nJudged, nViolations);
    if (nUnsent != 0) {
        std::printf(" unsent=%zu", nUnsent);
    }
    std::printf(" elapsed=%.3fs rate=%.1f/s\n", dSeconds,
                dSeconds > 0 ? static_cast<double>(nJudged) / dSeconds : 0.0);
    return 0;
}

int InstallUsage() {
    std::fprintf(stderr, "usage: krellctl driver install PATH [--timeout S]   (C:\\... or a POSIX path)\n");
    return 2;
}

// The deadline the driver applies when none is given.
DWORD InstallTimeoutOption() {
    CRegistryKey parameters;
    DWORD dwValue = 0;
    if (!parameters.Open(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\KRELLDrv\\Parameters",
                         KEY_READ) ||
        !parameters.GetDword(u"InstallQueryTimeout", &dwValue) || dwValue == 0) {
        return DEFAULT_INSTALL_TIMEOUT;
    }
    return std::min(dwValue, MAX_INSTALL_TIMEOUT);
}

int DriverInstall(const std::vector<std::string>& args) {
    if (args.size() != 2 && !(args.size() == 4 && args[2] == "--timeout")) {
        return InstallUsage();
    }
    DWORD dwTimeout = 0;
    if (args.size() == 4 && (!toolargs::ParseDword(args[3], &dwTimeout, toolargs::Radix::Decimal) ||
                             dwTimeout == 0 || dwTimeout > MAX_INSTALL_TIMEOUT)) {
        std::fprintf(stderr, "krellctl: --timeout \"%s\": 1 to %u seconds\n", args[3].c_str(),
                     MAX_INSTALL_TIMEOUT);
        return 2;
    }
    const std::string& sPackage = args[1];
    std::u16string sPath;
    if (sPackage.size() >= 3 && std::isalpha(static_cast<unsigned char>(sPackage[0])) && sPackage[1] == ':' &&
        sPackage[2] == '\\') {
        sPath = platform::FromUtf8(sPackage);
    } else if (!sPackage.empty()) {
        sPath = platform::WindowsPathOf(std::filesystem::absolute(sPackage).lexically_normal().string());
    } else {
        return InstallUsage();
    }
    // Sent with its deadline always, so the wait below knows it.
    if (dwTimeout == 0) {
        dwTimeout = InstallTimeoutOption();
    }
    const int nSocket = ConnectControl();
    if (nSocket < 0) {
        return NotRunning();
    }
    std::string sReply;
    const bool bAnswered = Exchange(
        nSocket, "install {\"path\":" + JsonString(sPath) + ",\"timeout\":" + std::to_string(dwTimeout) + "}",
        &sReply, dwTimeout + 10);
    close(nSocket);
    if (!bAnswered) {
        std::fprintf(stderr, "krellctl: no answer from the driver\n");
        return 1;
    }
    if (sReply == "ok authorized") {
        std::printf("authorized\n");
        return 0;
    }
    if (sReply == "ok not-authorized") {
        std::printf("not authorized\n");
        return 0;
    }
    if (sReply == "ok no-answer") {
        std::printf("no answer (the driver let the install go after %u s)\n", dwTimeout);
        return 1;
    }
    std::fprintf(stderr, "krellctl: driver: %s\n", sReply.c_str());
    return 1;
}

}  // namespace

DriverAnswer AskDriver(const std::string& sLine, std::string* psReply) {
    const int nSocket = ConnectControl();
    if (nSocket < 0) {
        return DriverAnswer::NotRunning;
    }
    const bool bAnswered = Exchange(nSocket, sLine, psReply);
    close(nSocket);
    return bAnswered ? DriverAnswer::Answered : DriverAnswer::Silent;
}

int RunDriverCommand(const std::vector<std::string>& args) {
    if (args.empty()) {
        std::fprintf(stderr,
                     "usage: krellctl driver "
                     "status|access|replay|install|send|raw|replies|release|echo|negotiate|received|clear|"
                     "close ...\n");
        return 2;
    }
    if (args[0] == "access") {
        return DriverAccess(args);
    }
    if (args[0] == "replay") {
        return DriverReplay(args);
    }
    if (args[0] == "install") {
        return DriverInstall(args);
    }
    // The driver answers "status json" with one JSON document after its "ok".
    const bool bJson = args[0] == "status" && args.size() == 2 && args[1] == "--json";
    std::string sLine = bJson ? "status json" : "";
    for (size_t i = 0; i < args.size() && !bJson; ++i) {
        sLine += (sLine.empty() ? "" : " ") + args[i];
    }
    std::string sReply;
    const DriverAnswer answer = AskDriver(sLine, &sReply);
    if (answer == DriverAnswer::NotRunning) {
        return NotRunning();
    }
    if (answer == DriverAnswer::Silent) {
        std::fprintf(stderr, "krellctl: no answer from the driver\n");
        return 1;
    }
    const bool bOk = sReply.starts_with("ok");
    std::printf("%s\n", bJson && sReply.starts_with("ok ") ? sReply.c_str() + 3 : sReply.c_str());
    return bOk ? 0 : 1;
}
