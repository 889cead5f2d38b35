// zuzazezi: the event manager's stand-in service. While it runs it holds "Global\zuZazEzi_Running",
// by which the protection module knows the event manager is there, and routes events between the
// providers and subscribers of its clients over <root>/run/zuZazEzi.sock (docs/events.md).
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "client_output.h"
#include "event_router.h"
#include "events/event_interfaces.h"
#include "platform/root.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "running_service.h"
#include "service/registry_key.h"
#include "spin_wait.h"

namespace {

struct COptions {
    zuzazezi::CRouterOptions router;
    DWORD dwStallMs = 0;
    sim::CSlowStart slowStart;
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
        parameters.GetDword(u"StartPendingMs", &options.slowStart.dwPendingMs);
        parameters.GetDword(u"StartWaitHint", &options.slowStart.dwWaitHint);
        parameters.GetDword(u"StartProgressMs", &options.slowStart.dwProgressMs);
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

// Bytes waiting for one client beyond which deliveries to it are dropped: a subscriber slower than
// its publishers costs the manager this much at most, and never a wait.
constexpr std::size_t CLIENT_QUEUE_LIMIT = 4 * 1024 * 1024;
// A client that does not read even its answers is let go past this.
constexpr std::size_t CLIENT_QUEUE_HARD_LIMIT = 4 * CLIENT_QUEUE_LIMIT;
// Messages taken from one client before the others get their turn.
constexpr int READS_PER_TURN = 32;
// Deliveries to a client are held back while the manager has more to do, up to this many or this
// long, so that a burst wakes each subscriber once per batch instead of once per event. Answers go
// out at the end of their turn.
constexpr std::size_t DELIVERY_BATCH = 64;
constexpr auto DELIVERY_DELAY = std::chrono::microseconds(1000);

// One socket of a client: its first connection, or the delivery socket it handed over, which is
// filed under the same client.
struct CConnection {
    explicit CConnection(int nOwnerClient) : nClient(nOwnerClient), output(CLIENT_QUEUE_LIMIT) {}
    // The client it belongs to, as the router knows it: the fd of its first connection.
    int nClient;
    // Of a first connection: where deliveries go, when the client handed over a socket for them.
    int nDelivery = -1;
    zuzazezi::CClientOutput output;
    // Drops since the client last caught up, for the line that says it did.
    std::uint64_t nDroppedReported = 0;
    bool bDropping = false;
    bool bGone = false;
    // Messages queued since the last write, whether one of them is an answer, and when the first came.
    std::size_t nUnwritten = 0;
    // The socket did not take everything at the last write: the rest goes when it can.
    bool bBlocked = false;
    bool bAnswerUnwritten = false;
    std::chrono::steady_clock::time_point firstUnwritten;
};

using zuzazezi::LookFor;

class CServer {
public:
    CServer(int nListen, const COptions& options)
        : m_nListen(nListen),
          m_options(options),
          m_router(options.router,
                   [this](int nClient, std::uint32_t nKind, std::uint32_t nSeq,
                          std::span<const std::int32_t> fields, std::span<const std::uint8_t> blob) {
                       return Queue(nClient, nKind, nSeq, fields, blob);
                   }),
          m_buffer(zuzazezi::MAX_MESSAGE_SIZE) {}
    ~CServer() {
        for (const auto& [nClient, connection] : m_connections) {
            close(nClient);
        }
    }

    void Run(HANDLE hStopEvent) {
        std::vector<pollfd> fds;
        bool bBusy = false;
        while (platform::WaitForSingleObject(hStopEvent, 0) != WAIT_OBJECT_0) {
            fds.clear();
            fds.push_back({m_nListen, POLLIN, 0});
            for (const auto& [nClient, connection] : m_connections) {
                fds.push_back({nClient, static_cast<short>(POLLIN | (connection.bBlocked ? POLLOUT : 0)), 0});
            }
            // In a burst the next request comes within microseconds of the last answer; an idle
            // manager writes what it held back and sleeps.
            const bool bEarly = bBusy && LookForWork(fds);
            if (!bEarly && !m_touched.empty()) {
                FlushTouched(true);
                bBusy = false;
                continue;
            }
            bBusy = bEarly || poll(fds.data(), fds.size(), 100) > 0;
            if (!bBusy) {
                continue;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                Accept();
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if ((fds[i].revents & ~POLLOUT) != 0) {
                    ReadFrom(fds[i].fd);
                }
                if ((fds[i].revents & POLLOUT) != 0) {
                    Touch(fds[i].fd, true);
                }
            }
            // What the messages of this turn produced goes out together, each client's in one write
            // where its socket takes it.
            FlushTouched(false);
            for (std::size_t i = 1; i < fds.size(); ++i) {
                const auto it = m_connections.find(fds[i].fd);
                if (it != m_connections.end() && it->second.bGone) {
                    Disconnect(it);
                }
            }
        }
    }

private:
    void Accept() {
        const int nClient = accept4(m_nListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (nClient >= 0) {
            m_connections.try_emplace(nClient, nClient);
        }
    }

    void ReadFrom(int nSocket) {
        for (int n = 0; n < READS_PER_TURN; ++n) {
            const auto it = m_connections.find(nSocket);
            if (it == m_connections.end() || it->second.bGone) {
                return;
            }
            iovec vector{m_buffer.data(), m_buffer.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
            msghdr header{};
            header.msg_iov = &vector;
            header.msg_iovlen = 1;
            header.msg_control = control;
            header.msg_controllen = sizeof(control);
            const ssize_t cb = recvmsg(nSocket, &header, MSG_TRUNC | MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
            if (cb < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
                return;
            }
            const int nPassed = PassedSocket(header);
            if (cb <= 0 || static_cast<std::size_t>(cb) > m_buffer.size() ||
                (header.msg_flags & MSG_CTRUNC) != 0 ||
                !zuzazezi::DecodeMessage(m_buffer.data(), static_cast<std::size_t>(cb), &m_message)) {
                if (nPassed >= 0) {
                    close(nPassed);
                }
                SetGone(it->second);
                return;
            }
            if (m_options.dwStallMs != 0) {
                // At least the stall: the seam's Sleep counts whole milliseconds and may end a little early.
                std::this_thread::sleep_for(std::chrono::milliseconds(m_options.dwStallMs));
            }
            // An answer goes back on the socket its request came by.
            m_nAnswerSocket = nSocket;
            if (m_message.nKind == zuzazezi::MSG_ATTACH_DELIVERY) {
                Attach(nSocket, nPassed);
            } else {
                if (nPassed >= 0) {
                    close(nPassed);
                }
                m_router.OnMessage(it->second.nClient, m_message);
            }
            m_nAnswerSocket = -1;
        }
    }

    static int PassedSocket(msghdr& header) {
        for (cmsghdr* pControl = CMSG_FIRSTHDR(&header); pControl != nullptr;
             pControl = CMSG_NXTHDR(&header, pControl)) {
            if (pControl->cmsg_level == SOL_SOCKET && pControl->cmsg_type == SCM_RIGHTS &&
                pControl->cmsg_len == CMSG_LEN(sizeof(int))) {
                int nSocket = -1;
                std::memcpy(&nSocket, CMSG_DATA(pControl), sizeof(int));
                return nSocket;
            }
        }
        return -1;
    }

    // A client hands over the manager's end of a socket pair for its deliveries, so that its calls'
    // answers on its first connection are not queued behind them.
    void Attach(int nSocket, int nPassed) {
        auto& connection = m_connections.at(nSocket);
        int socketType = 0;
        socklen_t cbType = sizeof(socketType);
        const bool bFits = nPassed >= 0 && connection.nClient == nSocket && connection.nDelivery < 0 &&
                           getsockopt(nPassed, SOL_SOCKET, SO_TYPE, &socketType, &cbType) == 0 &&
                           socketType == SOCK_SEQPACKET && fcntl(nPassed, F_SETFL, O_NONBLOCK) == 0;
        if (bFits) {
            connection.nDelivery = nPassed;
            m_connections.try_emplace(nPassed, nSocket);
        } else if (nPassed >= 0) {
            close(nPassed);
        }
        const std::int32_t fields[] = {bFits ? CError::eNoError : CError::eFailure, 0};
        Queue(nSocket, zuzazezi::MSG_ANSWER, m_message.nSeq, fields, {});
    }

    void SetGone(CConnection& connection) {
        connection.bGone = true;
        // Either socket of a client going ends the client.
        const auto owner = m_connections.find(connection.nClient);
        if (owner != m_connections.end()) {
            owner->second.bGone = true;
            if (const auto delivery = m_connections.find(owner->second.nDelivery);
                delivery != m_connections.end()) {
                delivery->second.bGone = true;
            }
        }
    }

    // nClient is the client as the router knows it: answers go to the socket the request came by,
    // deliveries to the client's delivery socket when it has one.
    bool Queue(int nClient, std::uint32_t nKind, std::uint32_t nSeq, std::span<const std::int32_t> fields,
               std::span<const std::uint8_t> blob) {
        const auto client = m_connections.find(nClient);
        if (client == m_connections.end() || client->second.bGone) {
            return false;
        }
        int nSocket = nClient;
        if (nKind == zuzazezi::MSG_ANSWER && m_nAnswerSocket >= 0) {
            nSocket = m_nAnswerSocket;
        } else if (nKind != zuzazezi::MSG_ANSWER && client->second.nDelivery >= 0) {
            nSocket = client->second.nDelivery;
        }
        const auto it = m_connections.find(nSocket);
        if (it == m_connections.end() || it->second.bGone) {
            return false;
        }
        CConnection& connection = it->second;
        if (!connection.output.Queue(nKind, nSeq, fields, blob, nKind != zuzazezi::MSG_ANSWER)) {
            if (!connection.bDropping) {
                connection.bDropping = true;
                std::fprintf(
                    stderr,
                    "zuzazezi: client %d reads slower than events arrive for it; deliveries to it are "
                    "dropped while %zu bytes wait\n",
                    nClient, connection.output.WaitingBytes());
            }
            return false;
        }
        if (connection.output.WaitingBytes() > CLIENT_QUEUE_HARD_LIMIT) {
            std::fprintf(stderr, "zuzazezi: client %d does not read its answers; it is let go\n", nClient);
            SetGone(connection);
        }
        if (connection.nUnwritten++ == 0) {
            connection.firstUnwritten = std::chrono::steady_clock::now();
        }
        Touch(nSocket, nKind == zuzazezi::MSG_ANSWER);
        return true;
    }

    // bUrgent: what is queued for the client goes out at the end of this turn.
    void Touch(int nSocket, bool bUrgent) {
        if (const auto it = m_connections.find(nSocket); it != m_connections.end() && bUrgent) {
            it->second.bAnswerUnwritten = true;
        }
        if (std::find(m_touched.begin(), m_touched.end(), nSocket) == m_touched.end()) {
            m_touched.push_back(nSocket);
        }
    }

    // Looks for the next message briefly; on a single processor it lets the others run once first,
    // since nobody else can produce one while the manager runs.
    bool LookForWork(std::vector<pollfd>& fds) {
        const auto fnReady = [&] { return poll(fds.data(), fds.size(), 0) > 0; };
        if (zuzazezi::LookingBeforeSleepingPays()) {
            return LookFor(std::chrono::microseconds(200), fnReady);
        }
        sched_yield();
        return fnReady();
    }

    // bAll: also the deliveries held back for a batch.
    void FlushTouched(bool bAll) {
        const auto now = std::chrono::steady_clock::now();
        std::size_t nKept = 0;
        for (const int nClient : m_touched) {
            const auto it = m_connections.find(nClient);
            if (it == m_connections.end() || it->second.bGone) {
                continue;
            }
            CConnection& connection = it->second;
            if (!bAll && !connection.bAnswerUnwritten && connection.nUnwritten < DELIVERY_BATCH &&
                now - connection.firstUnwritten < DELIVERY_DELAY) {
                m_touched[nKept++] = nClient;
                continue;
            }
            connection.nUnwritten = 0;
            connection.bAnswerUnwritten = false;
            const auto result = connection.output.Flush(nClient);
            connection.bBlocked = result == zuzazezi::CClientOutput::FlushResult::Pending;
            if (result == zuzazezi::CClientOutput::FlushResult::Failed) {
                SetGone(connection);
            } else if (result == zuzazezi::CClientOutput::FlushResult::Done && connection.bDropping) {
                ReportDrops(connection.nClient, connection, "caught up");
            }
        }
        m_touched.resize(nKept);
    }

    void ReportDrops(int nClient, CConnection& connection, const char* szWhen) {
        std::fprintf(
            stderr, "zuzazezi: client %d %s; %llu deliveries to it dropped (%llu in all)\n", nClient, szWhen,
            static_cast<unsigned long long>(connection.output.Dropped() - connection.nDroppedReported),
            static_cast<unsigned long long>(connection.output.Dropped()));
        connection.nDroppedReported = connection.output.Dropped();
        connection.bDropping = false;
    }

    void Disconnect(std::map<int, CConnection>::iterator it) {
        const int nClient = it->second.nClient;
        const auto owner = m_connections.find(nClient);
        const int nDelivery = owner != m_connections.end() ? owner->second.nDelivery : -1;
        for (const int nSocket : {nClient, nDelivery}) {
            const auto connection = m_connections.find(nSocket);
            if (connection == m_connections.end()) {
                continue;
            }
            if (connection->second.output.Dropped() != connection->second.nDroppedReported) {
                ReportDrops(nClient, connection->second, "went");
            }
            m_connections.erase(connection);
            close(nSocket);
        }
        m_router.OnDisconnect(nClient);
        // Deliveries the disconnect caused (offers to the next candidate, answers) go out now.
        FlushTouched(true);
    }

    const int m_nListen;
    const COptions& m_options;
    zuzazezi::CEventRouter m_router;
    std::vector<std::uint8_t> m_buffer;
    zuzazezi::CMessage m_message;
    std::map<int, CConnection> m_connections;
    std::vector<int> m_touched;
    int m_nAnswerSocket = -1;
};

void Serve(int nListen, const COptions& options, HANDLE hStopEvent) {
    CServer server(nListen, options);
    server.Run(hStopEvent);
}

}  // namespace

int main() {
    const COptions options = ReadOptions();
    const std::string sSocket = platform::RootSubdirectory("run") + "/zuZazEzi.sock";
    const int nListen = Listen(sSocket);
    if (nListen < 0) {
        return 1;
    }
    const int nExit = sim::RunRunningMutexService(
        u"zuZazEzi", u"Global\\zuZazEzi_Running",
        [&](HANDLE hStopEvent) { Serve(nListen, options, hStopEvent); }, options.slowStart);
    close(nListen);
    unlink(sSocket.c_str());
    return nExit;
}
