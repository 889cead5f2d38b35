// zuzazezi: the event manager's stand-in service. While it runs it holds "Global\zuZazEzi_Running",
// by which the protection module knows the event manager is there, and routes events between the
// providers and subscribers of its clients over <root>/run/zuZazEzi.sock (docs/events.md).
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "event_router.h"
#include "platform/root.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "running_service.h"
#include "service/registry_key.h"

namespace {

struct COptions {
    zuzazezi::CRouterOptions router;
    DWORD dwStallMs = 0;
};

// Test options, read once at start from the service key's Parameters, as a service reads its own.
COptions ReadOptions() {
    COptions options;
    CRegistryKey parameters;
    if (parameters.Open(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\zuZazEzi\\Parameters",
                        KEY_READ)) {
        DWORD dwRefuse = 0;
        parameters.GetDword(u"RefuseRegistrations", &dwRefuse);
        parameters.GetDword(u"StallMs", &options.dwStallMs);
        options.router.bRefuseRegistrations = dwRefuse != 0;
    }
    return options;
}

// Listens before the service reports anything, so a client that sees the service running finds the
// socket. A socket another living manager answers on is left alone.
int Listen(const std::string& sPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (sPath.size() >= sizeof(address.sun_path)) {
        std::fprintf(stderr, "zuzazezi: socket path too long: %s\n", sPath.c_str());
        return -1;
    }
    sPath.copy(address.sun_path, sPath.size());
    const int nProbe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (nProbe >= 0 && connect(nProbe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        close(nProbe);
        std::fprintf(stderr, "zuzazezi: another event manager serves %s\n", sPath.c_str());
        return -1;
    }
    if (nProbe >= 0) {
        close(nProbe);
    }
    unlink(sPath.c_str());
    const int nListen = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (nListen < 0 || bind(nListen, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(nListen, 64) != 0) {
        std::perror("zuzazezi: socket");
        if (nListen >= 0) {
            close(nListen);
        }
        return -1;
    }
    return nListen;
}

bool SendMessage(int nClient, const zuzazezi::CMessage& message) {
    const std::vector<std::uint8_t> bytes = zuzazezi::EncodeMessage(message);
    return send(nClient, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

void Serve(int nListen, const COptions& options, HANDLE hStopEvent) {
    zuzazezi::CEventRouter router(options.router, &SendMessage);
    std::vector<int> clients;
    std::vector<std::uint8_t> buffer(zuzazezi::MAX_MESSAGE_SIZE);
    while (platform::WaitForSingleObject(hStopEvent, 0) != WAIT_OBJECT_0) {
        std::vector<pollfd> fds{{nListen, POLLIN, 0}};
        for (const int nClient : clients) {
            fds.push_back({nClient, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 100) <= 0) {
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const int nClient = accept4(nListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (nClient >= 0) {
                // A client that stops reading must not stall the manager for long.
                const timeval timeout{2, 0};
                setsockopt(nClient, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
                clients.push_back(nClient);
            }
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const ssize_t cb = recv(fds[i].fd, buffer.data(), buffer.size(), MSG_TRUNC);
            zuzazezi::CMessage message;
            if (cb <= 0 || static_cast<std::size_t>(cb) > buffer.size() ||
                !zuzazezi::DecodeMessage(buffer.data(), static_cast<std::size_t>(cb), &message)) {
                if (cb < 0 && (errno == EINTR || errno == EAGAIN)) {
                    continue;
                }
                router.OnDisconnect(fds[i].fd);
                close(fds[i].fd);
                std::erase(clients, fds[i].fd);
                continue;
            }
            if (options.dwStallMs != 0) {
                platform::Sleep(options.dwStallMs);
            }
            router.OnMessage(fds[i].fd, message);
        }
    }
    for (const int nClient : clients) {
        close(nClient);
    }
}

}  // namespace

int main() {
    const COptions options = ReadOptions();
    const std::string sSocket = platform::RootSubdirectory("run") + "/zuZazEzi.sock";
    const int nListen = Listen(sSocket);
    if (nListen < 0) {
        return 1;
    }
    const int nExit =
        sim::RunRunningMutexService(u"zuZazEzi", u"Global\\zuZazEzi_Running",
                                    [&](HANDLE hStopEvent) { Serve(nListen, options, hStopEvent); });
    close(nListen);
    unlink(sSocket.c_str());
    return nExit;
}
