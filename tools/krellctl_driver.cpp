// krellctl driver ...: commands for the stand-in driver, passed to its control socket
// (<root>/run/krelldrv.ctl) as one line; the driver's answer is printed.
//   driver status [--json]                      connections, chunk size, counters, reply mode,
//                                               driver=activated|deactivated, configurations loaded,
//                                               rejected and offered, then the KC file in force: its path,
//                                               header digest and sections with their rule counts
//   driver send TYPE [ID:dw:N|ID:str:TEXT|ID:fill:N|ID:bin:HEX]... [order=reverse|I,J,...]
//   driver raw HEX [size=N]                     one raw packet, zero-filled to N (default a chunk)
//   driver replies pass|hold|drop, driver release
//   driver echo on|off                          send every received message back
//   driver negotiate version=N chunk=N short=0|1  how later negotiations are answered
//   driver received, driver clear               messages the driver received
//   driver close                                close the device's connections
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "krellctl_commands.h"
#include "platform/root.h"

DriverAnswer AskDriver(const std::string& sLine, std::string* psReply) {
    const std::string sPath = platform::RootSubdirectory("run") + "/krelldrv.ctl";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (sPath.size() >= sizeof(address.sun_path)) {
        return DriverAnswer::NotRunning;
    }
    std::memcpy(address.sun_path, sPath.c_str(), sPath.size() + 1);
    const int nSocket = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (nSocket < 0 || connect(nSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (nSocket >= 0) {
            close(nSocket);
        }
        return DriverAnswer::NotRunning;
    }
    std::vector<char> reply(1024 * 1024);
    ssize_t n = -1;
    if (send(nSocket, sLine.data(), sLine.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(sLine.size())) {
        n = recv(nSocket, reply.data(), reply.size(), 0);
    }
    close(nSocket);
    if (n <= 0) {
        return DriverAnswer::Silent;
    }
    psReply->assign(reply.data(), static_cast<size_t>(n));
    return DriverAnswer::Answered;
}

int RunDriverCommand(const std::vector<std::string>& args) {
    if (args.empty()) {
        std::fprintf(stderr,
                     "usage: krellctl driver "
                     "status|send|raw|replies|release|echo|negotiate|received|clear|close ...\n");
        return 2;
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
        std::fprintf(stderr, "krellctl: the driver is not running (no %s)\n",
                     (platform::RootSubdirectory("run") + "/krelldrv.ctl").c_str());
        return 1;
    }
    if (answer == DriverAnswer::Silent) {
        std::fprintf(stderr, "krellctl: no answer from the driver\n");
        return 1;
    }
    const bool bOk = sReply.starts_with("ok");
    std::printf("%s\n", bJson && sReply.starts_with("ok ") ? sReply.c_str() + 3 : sReply.c_str());
    return bOk ? 0 : 1;
}
