#include "driver_device.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <thread>

#include "json_reader.h"
#include "platform/strings.h"
#include "service/registry_key.h"

namespace krelldrv {
namespace {

constexpr DWORD CONTROL_MAGIC = 0x636F696B;  // "kioc", the seam's device-control packet
constexpr size_t MAX_PACKET = 16 * 1024 * 1024;
constexpr size_t MAX_RECEIVED_LINES = 256;
// A replay batch of a thousand accesses with long paths fits.
constexpr size_t MAX_CONTROL_REQUEST = 1024 * 1024;
constexpr DWORD MAX_INSTALL_TIMEOUT = 24 * 60 * 60;

int ListenOn(const std::string& sPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (sPath.size() >= sizeof(address.sun_path)) {
        std::fprintf(stderr, "krelldrv: socket path too long: %s\n", sPath.c_str());
        return -1;
    }
    std::memcpy(address.sun_path, sPath.c_str(), sPath.size() + 1);
    const int nSocket = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (nSocket < 0) {
        return -1;
    }
    // A socket file nobody serves is left over from a driver that was killed.
    if (connect(nSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        std::fprintf(stderr, "krelldrv: %s is already served\n", sPath.c_str());
        close(nSocket);
        return -1;
    }
    close(nSocket);
    unlink(sPath.c_str());
    const int nListener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (nListener < 0 || bind(nListener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(nListener, 16) != 0) {
        std::fprintf(stderr, "krelldrv: cannot serve %s: %s\n", sPath.c_str(), strerror(errno));
        if (nListener >= 0) {
            close(nListener);
        }
        return -1;
    }
    return nListener;
}

std::vector<std::string> SplitWords(const std::string& sLine) {
    std::vector<std::string> words;
    std::istringstream in(sLine);
    std::string sWord;
    while (in >> sWord) {
        words.push_back(sWord);
    }
    return words;
}

bool ParseNumber(const std::string& s, DWORD* pdwValue) {
    if (s.empty()) {
        return false;
    }
    char* pEnd = nullptr;
    errno = 0;
    const unsigned long long ull = std::strtoull(s.c_str(), &pEnd, 0);
    if (errno != 0 || *pEnd != '\0' || ull > 0xFFFFFFFFull) {
        return false;
    }
    *pdwValue = static_cast<DWORD>(ull);
    return true;
}

bool ParseHex(const std::string& s, std::vector<BYTE>* pBytes) {
    if (s.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < s.size(); i += 2) {
        DWORD dw;
        if (!ParseNumber("0x" + s.substr(i, 2), &dw)) {
            return false;
        }
        pBytes->push_back(static_cast<BYTE>(dw));
    }
    return true;
}

}  // namespace

std::string DescribeMessage(CKTUMessage* pMsg) {
    std::ostringstream out;
    out << "type=" << pMsg->GetType();
    const DWORD dwSize = pMsg->GetSerializedSize();
    std::vector<BYTE> block(dwSize);
    if (dwSize < KTU_PBAG_HEADER_SIZE || pMsg->Serialize(block.data(), dwSize) != MSG_SUCCESS) {
        return out.str();
    }
    size_t nOffset = KTU_PBAG_HEADER_SIZE;
    for (DWORD i = 0; i < ReadLE32(block.data() + 4) && nOffset + 12 <= block.size(); ++i) {
        const DWORD dwId = ReadLE32(&block[nOffset]);
        const DWORD dwType = ReadLE32(&block[nOffset + 4]);
        const DWORD dwValueSize = ReadLE32(&block[nOffset + 8]);
        const BYTE* pValue = &block[nOffset + 12];
        if (dwId != KTU_PROPERTY_MESSAGE_TYPE) {
            out << ' ' << dwId << ':';
            if (dwType == KTU_PROPERTY_DWORD && dwValueSize == 4) {
                out << "dw:" << ReadLE32(pValue);
            } else if (dwType == KTU_PROPERTY_STRING) {
                std::u16string sValue(dwValueSize / 2, u'\0');
                std::memcpy(sValue.data(), pValue, sValue.size() * 2);
                // Long values (a bench's megabyte) are shown by their size.
                out << "str:"
                    << (sValue.size() > 200 ? "<" + std::to_string(sValue.size()) + " chars>"
                                            : platform::ToUtf8(sValue));
            } else {
                out << "bin:" << dwValueSize;
            }
        }
        nOffset += 12 + dwValueSize;
    }
    return out.str();
}

CDriverDevice::CDriverDevice(std::string sDevicePath, std::string sControlPath)
    : m_sDevicePath(std::move(sDevicePath)), m_sControlPath(std::move(sControlPath)) {
    m_Handlers[TYPE_GW_SETTINGS] = [](CDriverDevice& device, CConnection& connection, CKTUMessage* pMsg) {
        device.LoadSettings(connection, static_cast<CKTUSettingsMessage*>(pMsg));
    };
    // Activation requests are acknowledged with success.
    const Handler acknowledge = [](CDriverDevice& device, CConnection& connection, CKTUMessage* pMsg) {
        auto* pReply =
            static_cast<CKTUReplyMessage*>(CKTUMessageChannel::MakeEmptyKTMessage(TYPE_GW_ACTIVATION));
        if (pReply != nullptr) {
            pReply->SetReplyType(pMsg->GetType());
            pReply->SetReplyCode(CKTUReplyMessage::REPLY_SUCCESS);
            device.Reply(connection, pReply);
        }
    };
    // Activation 1 makes the driver enforce, any other value stops it; every request is answered.
    m_Handlers[TYPE_GW_ACTIVATION_REQUEST] = [acknowledge](CDriverDevice& device, CConnection& connection,
                                                           CKTUMessage* pMsg) {
        DWORD dwActivation = 0;
        static_cast<CKTUActivationMessage*>(pMsg)->GetActivation(&dwActivation);
        device.m_bActivated = dwActivation == 1;
        // The log outlives the driver, so a test can see the deactivation after the stop.
        std::printf("krelldrv: activation %u\n", dwActivation);
        std::fflush(stdout);
        if (device.m_bSilentActivation) {
            return;
        }
        if (device.m_dwActivationDelayMs != 0) {
            usleep(device.m_dwActivationDelayMs * 1000);
        }
        acknowledge(device, connection, pMsg);
    };
    m_Handlers[TYPE_QUERY_MSI] = [](CDriverDevice& device, CConnection&, CKTUMessage* pMsg) {
        device.InstallReply(static_cast<CKTUMSIMessage*>(pMsg));
    };
}

CAccessOptions ReadAccessOptions() {
    CAccessOptions options;
    CRegistryKey parameters;
    if (!OpenDriverParameters(parameters)) {
        return options;
    }
    DWORD dwValue = 0;
    options.bMonitorOnly = parameters.GetDword(u"MonitorOnly", &dwValue) && dwValue == 1;
    dwValue = 0;
    if (parameters.GetDword(u"InstallQueryTimeout", &dwValue) && dwValue != 0) {
        options.dwInstallQueryTimeout = std::min(dwValue, MAX_INSTALL_TIMEOUT);
    }
    return options;
}

CDriverDevice::~CDriverDevice() {
    CloseConnections();
    for (auto& [nSocket, pMsg] : m_HeldReplies) {
        CKTUMessageChannel::DestroyKTMessage(pMsg);
    }
    for (int nClient : m_ControlClients) {
        close(nClient);
    }
    for (int nListener : {m_nDeviceListener, m_nControlListener}) {
        if (nListener >= 0) {
            close(nListener);
        }
    }
}

bool CDriverDevice::Listen() {
    m_nDeviceListener = ListenOn(m_sDevicePath);
    if (m_nDeviceListener < 0) {
        return false;
    }
    m_nControlListener = ListenOn(m_sControlPath);
    if (m_nControlListener < 0) {
        unlink(m_sDevicePath.c_str());
        return false;
    }
    return true;
}

int CDriverDevice::Run(int nSignalFd) {
    for (;;) {
        const int nTimeoutMs = ExpireInstallQueries();
        std::vector<pollfd> fds = {
            {nSignalFd, POLLIN, 0}, {m_nDeviceListener, POLLIN, 0}, {m_nControlListener, POLLIN, 0}};
        for (const auto& pConnection : m_Connections) {
            fds.push_back({pConnection->nSocket, POLLIN, 0});
        }
        // A client waiting for an install answer sends nothing more; only its hang-up is watched.
        for (int nClient : m_ControlClients) {
            const bool bWaiting =
                std::any_of(m_InstallQueries.begin(), m_InstallQueries.end(),
                            [nClient](const CInstallQuery& query) { return query.nClient == nClient; });
            fds.push_back({nClient, static_cast<short>(bWaiting ? 0 : POLLIN), 0});
        }
        if (poll(fds.data(), fds.size(), nTimeoutMs) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents != 0) {
            signalfd_siginfo info;
            const ssize_t n = read(nSignalFd, &info, sizeof(info));
            (void)n;
            break;
        }
        // Only the sockets polled above are looked at; new ones are accepted after them.
        const size_t nConnections = fds.size() - 3 - m_ControlClients.size();
        size_t nIndex = 3;
        std::vector<int> dropped;
        for (size_t i = 0; i < nConnections; ++i) {
            if (fds[nIndex++].revents != 0 && !ServeConnection(*m_Connections[i])) {
                dropped.push_back(m_Connections[i]->nSocket);
            }
        }
        for (int nSocket : dropped) {
            for (auto it = m_Connections.begin(); it != m_Connections.end(); ++it) {
                if ((*it)->nSocket == nSocket) {
                    close(nSocket);
                    m_Connections.erase(it);
                    break;
                }
            }
        }
        // Control commands run after the connections were served: "close" may empty the list.
        const std::vector<int> clients(m_ControlClients);
        for (int nClient : clients) {
            const pollfd& fd = fds[nIndex++];
            if (fd.revents == 0) {
                continue;
            }
            if (fd.events == 0) {
                DropControl(nClient);
            } else {
                ServeControl(nClient);
            }
        }
        if (fds[1].revents != 0) {
            Accept();
        }
        if (fds[2].revents != 0) {
            AcceptControl();
        }
    }
    unlink(m_sDevicePath.c_str());
    unlink(m_sControlPath.c_str());
    return 0;
}

void CDriverDevice::Accept() {
    const int nSocket = accept4(m_nDeviceListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (nSocket < 0) {
        return;
    }
    // A service that stops reading must not wedge the driver: its connection is dropped.
    timeval timeout{10, 0};
    setsockopt(nSocket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    auto pConnection = std::make_unique<CConnection>();
    pConnection->nSocket = nSocket;
    pConnection->pCodec = std::make_unique<CKTUMessageCodec>();
    m_Connections.push_back(std::move(pConnection));
}

void CDriverDevice::AcceptControl() {
    const int nClient = accept4(m_nControlListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (nClient >= 0) {
        m_ControlClients.push_back(nClient);
    }
}

bool CDriverDevice::SendPacket(int nSocket, const BYTE* pData, size_t nSize) {
    for (;;) {
        const ssize_t n = send(nSocket, pData, nSize, MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(nSize)) {
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return false;
    }
}

bool CDriverDevice::Negotiate(CConnection& connection, const BYTE* pPacket, size_t nSize) {
    // The seam's device control: "kioc", code, output capacity, input. The answer: "kioc", error, output.
    if (nSize != 20 || ReadLE32(pPacket) != CONTROL_MAGIC) {
        std::fprintf(stderr, "krelldrv: expected the negotiation, got a packet of %zu bytes\n", nSize);
        return false;
    }
    BYTE reply[16];
    WriteLE32(reply, CONTROL_MAGIC);
    if (ReadLE32(pPacket + 4) != IOCTL_KTDRV_NEGOTIATE) {
        WriteLE32(reply + 4, ERROR_INVALID_FUNCTION);
        return SendPacket(connection.nSocket, reply, 8);
    }
    const DWORD dwRequested = ReadLE32(pPacket + 16);
    const DWORD dwChunkSize = m_Answer.dwChunkSize != 0 ? m_Answer.dwChunkSize : dwRequested;
    WriteLE32(reply + 4, ERROR_SUCCESS);
    WriteLE32(reply + 8, m_Answer.dwVersion);
    WriteLE32(reply + 12, dwChunkSize);
    if (m_bHangUpAfterNegotiation) {
        // Refuse further input before the answer goes out: the service's first send then fails
        // however the two processes are scheduled, instead of landing before the close and being lost.
        shutdown(connection.nSocket, SHUT_RD);
    }
    if (!SendPacket(connection.nSocket, reply, m_Answer.bShort ? 12 : 16)) {
        return false;
    }
    connection.bNegotiated = true;
    connection.dwChunkSize = dwChunkSize;
    if (m_bHangUpAfterNegotiation) {
        std::fprintf(stderr, "krelldrv: hanging up after the negotiation (HangUpAfterNegotiation)\n");
        return false;
    }
    return true;
}

bool CDriverDevice::ServeConnection(CConnection& connection) {
    const size_t nBufferSize = connection.bNegotiated ? connection.dwChunkSize : 64;
    std::vector<BYTE> packet(nBufferSize);
    ssize_t n;
    do {
        n = recv(connection.nSocket, packet.data(), packet.size(), MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return false;  // the service closed the device
    }
    if (static_cast<size_t>(n) > packet.size()) {
        std::fprintf(stderr, "krelldrv: packet of %zd bytes is larger than a chunk\n", n);
        ++m_dwRefusedChunks;
        return true;
    }
    if (!connection.bNegotiated) {
        return Negotiate(connection, packet.data(), static_cast<size_t>(n));
    }
    if (static_cast<size_t>(n) != connection.dwChunkSize) {
        std::fprintf(stderr, "krelldrv: chunk of %zd bytes, expected %u\n", n, connection.dwChunkSize);
        ++m_dwRefusedChunks;
        return true;
    }
    CKTUMessage* pMsg = nullptr;
    if (!connection.pCodec->ProcessChunk(packet.data(), connection.dwChunkSize, &pMsg)) {
        ++m_dwRefusedChunks;
        return true;
    }
    if (pMsg != nullptr) {
        Dispatch(connection, pMsg);
    }
    return true;
}

void CDriverDevice::Dispatch(CConnection& connection, CKTUMessage* pMsg) {
    ++m_dwMessagesReceived;
    m_Received.push_back(DescribeMessage(pMsg));
    if (m_Received.size() > MAX_RECEIVED_LINES) {
        m_Received.pop_front();
    }
    if (m_bEcho) {
        Reply(connection, pMsg);
        return;
    }
    const auto it = m_Handlers.find(pMsg->GetType());
    if (it != m_Handlers.end()) {
        it->second(*this, connection, pMsg);
    }
    CKTUMessageChannel::DestroyKTMessage(pMsg);
}

void CDriverDevice::LoadSettings(CConnection& connection, CKTUSettingsMessage* pMsg) {
    ++m_dwConfigsOffered;
    const CConfigOptions options = ReadConfigOptions();
    if (options.bSilent) {
        return;
    }
    std::u16string sPath;
    DWORD cbPath = 0;
    if (pMsg->GetSettingsPath(nullptr, &cbPath) == BUFFER_TOO_SMALL && cbPath >= 2) {
        sPath.resize(cbPath / 2);
        if (pMsg->GetSettingsPath(sPath.data(), &cbPath) == MSG_SUCCESS) {
            sPath.resize(sPath.size() - 1);
        } else {
            sPath.clear();
        }
    }
    const std::u16string sPrevious = m_Config.sPath;
    std::string sError;
    DWORD dwCode;
    if (options.bReject) {
        dwCode = CONFIG_REJECTED;
        sError = "ConfigReject is set";
    } else {
        dwCode = LoadConfiguration(sPath, m_Config, sError);
    }
    // The log outlives the driver, so a test can see what it loaded.
    if (dwCode == CONFIG_ACCEPTED) {
        ++m_dwConfigsLoaded;
        std::printf("krelldrv: configuration %s loaded\n", platform::ToUtf8(sPath).c_str());
    } else {
        ++m_dwConfigsRejected;
        std::printf("krelldrv: configuration %s rejected (0x%08X): %s\n", platform::ToUtf8(sPath).c_str(),
                    dwCode, sError.c_str());
    }
    std::fflush(stdout);
    if (options.dwDelayMs != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.dwDelayMs));
    }
    const auto makeReply = [](DWORD dwType, DWORD dwReplyCode) {
        auto* pReply =
            static_cast<CKTUReplyMessage*>(CKTUMessageChannel::MakeEmptyKTMessage(TYPE_GW_ACTIVATION));
        if (pReply != nullptr) {
            pReply->SetReplyType(dwType);
            pReply->SetReplyCode(dwReplyCode);
        }
        return pReply;
    };
    if (options.bOtherReplyFirst) {
        if (CKTUReplyMessage* pOther = makeReply(TYPE_GW_ACTIVATION_REQUEST, CONFIG_ACCEPTED);
            pOther != nullptr) {
            Reply(connection, pOther);
        }
    }
    CKTUReplyMessage* pReply = makeReply(TYPE_GW_SETTINGS, dwCode);
    if (pReply == nullptr) {
        return;
    }
    // The service deletes the file a reply names: only a file given up for another one is named.
    if (dwCode == CONFIG_ACCEPTED && !sPrevious.empty() && !platform::EqualNoCase(sPrevious, sPath)) {
        pReply->SetOldKCFileName(sPrevious.c_str());
    }
    Reply(connection, pReply);
}

void CDriverDevice::Reply(CConnection& connection, CKTUMessage* pMsg) {
    switch (m_ReplyMode) {
        case ReplyMode::Pass:
            Send(connection, pMsg, {});
            break;
        case ReplyMode::Hold:
            m_HeldReplies.emplace_back(connection.nSocket, pMsg);
            break;
        case ReplyMode::Drop:
            CKTUMessageChannel::DestroyKTMessage(pMsg);
            break;
    }
}

int CDriverDevice::Send(CConnection& connection, CKTUMessage* pMsg, const std::vector<DWORD>& order) {
    CKTUChunk chunk;
    if (!connection.bNegotiated || !chunk.Initialize(connection.dwChunkSize)) {
        CKTUMessageChannel::DestroyKTMessage(pMsg);
        return -1;
    }
    std::memset(chunk.GetBuffer(), 0, chunk.GetSize());
    int nChunks = 0;
    DWORD dwStatus;
    if (order.empty()) {
        dwStatus = connection.pCodec->EncodeKTMessage(pMsg, &chunk, [&](CKTUChunk* pChunk) {
            ++nChunks;
            return SendPacket(connection.nSocket, pChunk->GetBuffer(), pChunk->GetSize()) ? KTU_CHUNK_SUCCESS
                                                                                          : KTU_CHUNK_FAILURE;
        });
    } else {
        std::vector<std::vector<BYTE>> chunks;
        dwStatus = connection.pCodec->EncodeKTMessage(pMsg, &chunk, [&](CKTUChunk* pChunk) {
            chunks.emplace_back(pChunk->GetBuffer(), pChunk->GetBuffer() + pChunk->GetSize());
            return KTU_CHUNK_SUCCESS;
        });
        for (DWORD dwIndex : order) {
            if (dwStatus == KTU_CHUNK_SUCCESS && dwIndex < chunks.size()) {
                ++nChunks;
                if (!SendPacket(connection.nSocket, chunks[dwIndex].data(), chunks[dwIndex].size())) {
                    dwStatus = KTU_CHUNK_FAILURE;
                }
            }
        }
    }
    CKTUMessageChannel::DestroyKTMessage(pMsg);
    if (dwStatus != KTU_CHUNK_SUCCESS) {
        return -1;
    }
    ++m_dwMessagesSent;
    return nChunks;
}

void CDriverDevice::CloseConnections() {
    for (const auto& pConnection : m_Connections) {
        close(pConnection->nSocket);
    }
    m_Connections.clear();
}

void CDriverDevice::ServeControl(int nControl) {
    m_ControlRequest.resize(MAX_CONTROL_REQUEST);
    const ssize_t n = recv(nControl, m_ControlRequest.data(), m_ControlRequest.size(), MSG_TRUNC);
    if (n <= 0) {
        DropControl(nControl);
        return;
    }
    if (static_cast<size_t>(n) > m_ControlRequest.size()) {
        AnswerControl(nControl, "error request of " + std::to_string(n) + " bytes, at most " +
                                    std::to_string(MAX_CONTROL_REQUEST));
        return;
    }
    // Accesses and install queries carry paths with spaces: they take their text whole, as JSON.
    const std::string_view sRequest(m_ControlRequest.data(), static_cast<size_t>(n));
    const size_t nVerbEnd = sRequest.find_first_of(" \t\r\n");
    const std::string_view sVerb = sRequest.substr(0, nVerbEnd);
    const std::string_view sRest = nVerbEnd == std::string_view::npos ? "" : sRequest.substr(nVerbEnd + 1);
    if (sVerb == "access") {
        AnswerControl(nControl, CommandAccess(sRest));
    } else if (sVerb == "replay") {
        AnswerControl(nControl, CommandReplay(sRest));
    } else if (sVerb == "install") {
        const std::string sReply = CommandInstall(nControl, sRest);
        if (!sReply.empty()) {
            AnswerControl(nControl, sReply);
        }
    } else {
        AnswerControl(nControl, Command(SplitWords(std::string(sRequest))));
    }
}

void CDriverDevice::AnswerControl(int nControl, const std::string& sReply) {
    send(nControl, sReply.data(), sReply.size(), MSG_NOSIGNAL);
}

void CDriverDevice::DropControl(int nControl) {
    close(nControl);
    std::erase(m_ControlClients, nControl);
    // Its queries stay asked; only their answers have nobody to go to.
    for (CInstallQuery& query : m_InstallQueries) {
        if (query.nClient == nControl) {
            query.nClient = -1;
        }
    }
}

std::string CDriverDevice::JudgeAndReport(const CAccess& access, bool bMonitorOnly, bool* pbViolation) {
    ++m_Counts.dwJudged;
    const CJudgment judgment = Judge(m_Config, access, FileTimeNow());
    *pbViolation = judgment.bViolation;
    if (!judgment.bViolation) {
        return "allowed: " + judgment.sReason;
    }
    const bool bBlocked = m_bActivated && !bMonitorOnly;
    const std::string sLine =
        std::string("violation ") + (bBlocked ? "blocked" : "not-blocked") + ": " + judgment.sReason;
    if (m_Connections.empty() || !m_Connections.back()->bNegotiated) {
        return sLine + " (not sent: no service connected)";
    }
    auto* pMsg =
        static_cast<CKTUViolationMessage*>(CKTUMessageChannel::MakeEmptyKTMessage(TYPE_GW_VIOLATION));
    if (pMsg == nullptr) {
        return sLine + " (not sent: out of memory)";
    }
    bool bSet = pMsg->SetActorPath(access.sActorPath.c_str()) == MSG_SUCCESS &&
                pMsg->SetActorPID(access.dwActorPid) == MSG_SUCCESS &&
                pMsg->SetAction(access.dwAction) == MSG_SUCCESS &&
                pMsg->SetTargetPath(access.sTargetPath.c_str()) == MSG_SUCCESS &&
                pMsg->SetSessionID(access.dwSession) == MSG_SUCCESS &&
                pMsg->SetBlockedStatus(bBlocked ? 1 : 0) == MSG_SUCCESS;
    if (bSet && access.targetPid.has_value()) {
        bSet = pMsg->SetTargetPID(*access.targetPid) == MSG_SUCCESS;
    }
    if (!bSet) {
        CKTUMessageChannel::DestroyKTMessage(pMsg);
        return sLine + " (not sent: the message could not be built)";
    }
    // A service that does not read holds the driver here, as a driver's queue would fill: the
    // back-pressure is the point. The device's send timeout ends the wait.
    if (Send(*m_Connections.back(), pMsg, {}) < 0) {
        return sLine + " (not sent: the send failed)";
    }
    ++m_Counts.dwViolations;
    return sLine;
}

std::string CDriverDevice::CommandAccess(std::string_view sJson) {
    CAccess access;
    std::string sError;
    if (!ParseAccess(sJson, access, sError)) {
        return "error " + sError;
    }
    bool bViolation = false;
    return "ok " + JudgeAndReport(access, ReadAccessOptions().bMonitorOnly, &bViolation);
}

std::string CDriverDevice::CommandReplay(std::string_view sLines) {
    // The whole batch is checked before anything is judged, so a bad line leaves no half-sent batch.
    std::vector<CAccess> accesses;
    size_t nLine = 0;
    while (!sLines.empty()) {
        const size_t nEnd = sLines.find('\n');
        std::string_view sLine = sLines.substr(0, nEnd);
        sLines = nEnd == std::string_view::npos ? std::string_view() : sLines.substr(nEnd + 1);
        ++nLine;
        if (!sLine.empty() && sLine.back() == '\r') {
            sLine.remove_suffix(1);
        }
        if (sLine.find_first_not_of(" \t") == std::string_view::npos) {
            continue;
        }
        std::string sError;
        if (!ParseAccess(sLine, accesses.emplace_back(), sError)) {
            return "error line " + std::to_string(nLine) + ": " + sError;
        }
    }
    if (accesses.empty()) {
        return "error replay takes accesses, one JSON object a line";
    }
    const bool bMonitorOnly = ReadAccessOptions().bMonitorOnly;
    const DWORD dwSentBefore = m_Counts.dwViolations;
    size_t nViolations = 0;
    for (const CAccess& access : accesses) {
        bool bViolation = false;
        JudgeAndReport(access, bMonitorOnly, &bViolation);
        nViolations += bViolation ? 1 : 0;
    }
    std::string sReply =
        "ok judged=" + std::to_string(accesses.size()) + " violations=" + std::to_string(nViolations);
    const size_t nUnsent = nViolations - (m_Counts.dwViolations - dwSentBefore);
    if (nUnsent != 0) {
        sReply += " unsent=" + std::to_string(nUnsent);
    }
    return sReply;
}

std::string CDriverDevice::CommandInstall(int nControl, std::string_view sJson) {
    CJsonObject object;
    std::string sError;
    if (!object.Parse(sJson, sError)) {
        return "error " + sError;
    }
    std::u16string sPath;
    std::optional<DWORD> timeout;
    for (const CJsonMember& member : object.Members()) {
        if (member.sName == "path" && member.bString) {
            sPath = platform::FromUtf8(member.sText);
        } else if (member.sName == "timeout" && !member.bString) {
            if (member.qwNumber == 0 || member.qwNumber > MAX_INSTALL_TIMEOUT) {
                return "error \"timeout\": 1 to " + std::to_string(MAX_INSTALL_TIMEOUT) + " seconds";
            }
            timeout = static_cast<DWORD>(member.qwNumber);
        } else if (member.sName == "path" || member.sName == "timeout") {
            return "error \"" + member.sName + "\": expected " +
                   (member.sName == "path" ? "a string" : "a number");
        } else {
            return "error unknown member \"" + member.sName + "\"";
        }
    }
    if (sPath.empty()) {
        return "error install takes {\"path\":PACKAGE[,\"timeout\":SECONDS]}";
    }
    if (m_Connections.empty() || !m_Connections.back()->bNegotiated) {
        return "error no service connected";
    }
    auto* pMsg = static_cast<CKTUMSIMessage*>(CKTUMessageChannel::MakeEmptyKTMessage(TYPE_QUERY_MSI));
    if (pMsg == nullptr) {
        return "error out of memory";
    }
    const DWORD dwId = ++m_dwLastQueryId;
    if (pMsg->SetMessageId(dwId) != MSG_SUCCESS || pMsg->SetMSIPath(sPath.c_str()) != MSG_SUCCESS) {
        CKTUMessageChannel::DestroyKTMessage(pMsg);
        return "error the query could not be built";
    }
    const DWORD dwTimeout = timeout.value_or(ReadAccessOptions().dwInstallQueryTimeout);
    if (Send(*m_Connections.back(), pMsg, {}) < 0) {
        return "error the send failed";
    }
    ++m_Counts.dwInstallQueries;
    m_InstallQueries.push_back(
        {dwId, std::chrono::steady_clock::now() + std::chrono::seconds(dwTimeout), nControl});
    return "";
}

void CDriverDevice::InstallReply(CKTUMSIMessage* pMsg) {
    DWORD dwId = 0;
    DWORD dwReply = 0;
    const bool bRead =
        pMsg->GetMessageId(&dwId) == MSG_SUCCESS && pMsg->GetAuthorizationReply(&dwReply) == MSG_SUCCESS;
    const auto it = std::find_if(m_InstallQueries.begin(), m_InstallQueries.end(),
                                 [dwId](const CInstallQuery& query) { return query.dwId == dwId; });
    if (!bRead || it == m_InstallQueries.end()) {
        ++m_Counts.dwInstallLate;
        std::printf("krelldrv: install reply dropped (%s): %s\n",
                    bRead ? "no query waits for it" : "incomplete", DescribeMessage(pMsg).c_str());
        std::fflush(stdout);
        return;
    }
    const bool bAuthorized = dwReply == 0;
    ++(bAuthorized ? m_Counts.dwInstallAuthorized : m_Counts.dwInstallRefused);
    std::printf("krelldrv: install query %u %s\n", dwId, bAuthorized ? "authorized" : "not authorized");
    std::fflush(stdout);
    if (it->nClient >= 0) {
        AnswerControl(it->nClient, bAuthorized ? "ok authorized" : "ok not-authorized");
    }
    m_InstallQueries.erase(it);
}

int CDriverDevice::ExpireInstallQueries() {
    const auto now = std::chrono::steady_clock::now();
    int nTimeoutMs = -1;
    for (auto it = m_InstallQueries.begin(); it != m_InstallQueries.end();) {
        if (it->deadline <= now) {
            // As the real driver does, an unanswered install goes ahead.
            ++m_Counts.dwInstallUnanswered;
            std::printf("krelldrv: install query %u unanswered, let go\n", it->dwId);
            std::fflush(stdout);
            if (it->nClient >= 0) {
                AnswerControl(it->nClient, "ok no-answer");
            }
            it = m_InstallQueries.erase(it);
            continue;
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(it->deadline - now).count() + 1;
        nTimeoutMs = nTimeoutMs < 0 ? static_cast<int>(ms) : std::min(nTimeoutMs, static_cast<int>(ms));
        ++it;
    }
    return nTimeoutMs;
}

std::string CDriverDevice::Command(const std::vector<std::string>& words) {
    if (words.empty()) {
        return "error empty command";
    }
    const std::string& sVerb = words[0];
    if (sVerb == "status" && words.size() == 2 && words[1] == "json") {
        return "ok " + StatusJson();
    }
    if (sVerb == "status") {
        return StatusLine() + "\n" + DescribeConfiguration(m_Config);
    }
    if (sVerb == "send") {
        return CommandSend(words);
    }
    if (sVerb == "raw") {
        return CommandRaw(words);
    }
    if (sVerb == "received") {
        std::string sOut = "ok " + std::to_string(m_Received.size());
        for (const std::string& sLine : m_Received) {
            sOut += "\n" + sLine;
        }
        return sOut;
    }
    if (sVerb == "clear") {
        m_Received.clear();
        return "ok";
    }
    if (sVerb == "echo" && words.size() == 2 && (words[1] == "on" || words[1] == "off")) {
        m_bEcho = words[1] == "on";
        return "ok";
    }
    if (sVerb == "replies" && words.size() == 2) {
        if (words[1] == "pass") {
            m_ReplyMode = ReplyMode::Pass;
        } else if (words[1] == "hold") {
            m_ReplyMode = ReplyMode::Hold;
        } else if (words[1] == "drop") {
            m_ReplyMode = ReplyMode::Drop;
        } else {
            return "error replies pass|hold|drop";
        }
        return "ok";
    }
    if (sVerb == "release") {
        size_t nSent = 0;
        while (!m_HeldReplies.empty()) {
            auto [nSocket, pMsg] = m_HeldReplies.front();
            m_HeldReplies.pop_front();
            CConnection* pTarget = nullptr;
            for (const auto& pConnection : m_Connections) {
                pTarget = pConnection->nSocket == nSocket ? pConnection.get() : pTarget;
            }
            if (pTarget != nullptr && Send(*pTarget, pMsg, {}) >= 0) {
                ++nSent;
            } else if (pTarget == nullptr) {
                CKTUMessageChannel::DestroyKTMessage(pMsg);
            }
        }
        return "ok released=" + std::to_string(nSent);
    }
    if (sVerb == "close") {
        const size_t nClosed = m_Connections.size();
        CloseConnections();
        return "ok closed=" + std::to_string(nClosed);
    }
    if (sVerb == "negotiate") {
        for (size_t i = 1; i < words.size(); ++i) {
            const size_t nEq = words[i].find('=');
            DWORD dwValue;
            if (nEq == std::string::npos || !ParseNumber(words[i].substr(nEq + 1), &dwValue)) {
                return "error negotiate version=N chunk=N short=0|1";
            }
            const std::string sKey = words[i].substr(0, nEq);
            if (sKey == "version") {
                m_Answer.dwVersion = dwValue;
            } else if (sKey == "chunk") {
                m_Answer.dwChunkSize = dwValue;
            } else if (sKey == "short") {
                m_Answer.bShort = dwValue != 0;
            } else {
                return "error unknown negotiation key " + sKey;
            }
        }
        return "ok";
    }
    return "error unknown command " + sVerb;
}

std::string CDriverDevice::StatusLine() {
    std::ostringstream out;
    DWORD dwChunkSize = 0;
    for (const auto& pConnection : m_Connections) {
        dwChunkSize = pConnection->bNegotiated ? pConnection->dwChunkSize : dwChunkSize;
    }
    const char* szMode =
        m_ReplyMode == ReplyMode::Pass ? "pass" : (m_ReplyMode == ReplyMode::Hold ? "hold" : "drop");
    out << "ok pid=" << getpid() << " connections=" << m_Connections.size() << " chunk=" << dwChunkSize
        << " received=" << m_dwMessagesReceived << " sent=" << m_dwMessagesSent
        << " refused=" << m_dwRefusedChunks << " held=" << m_HeldReplies.size()
        << " echo=" << (m_bEcho ? 1 : 0) << " replies=" << szMode
        << " driver=" << (m_bActivated ? "activated" : "deactivated") << " loaded=" << m_dwConfigsLoaded
        << " rejected=" << m_dwConfigsRejected << " offered=" << m_dwConfigsOffered
        << " judged=" << m_Counts.dwJudged << " violations=" << m_Counts.dwViolations
        << " installs=" << m_Counts.dwInstallQueries << " authorized=" << m_Counts.dwInstallAuthorized
        << " not-authorized=" << m_Counts.dwInstallRefused << " unanswered=" << m_Counts.dwInstallUnanswered
        << " late=" << m_Counts.dwInstallLate << " waiting=" << m_InstallQueries.size();
    return out.str();
}

std::string CDriverDevice::StatusJson() {
    DWORD dwChunkSize = 0;
    for (const auto& pConnection : m_Connections) {
        dwChunkSize = pConnection->bNegotiated ? pConnection->dwChunkSize : dwChunkSize;
    }
    std::ostringstream out;
    out << "{\"pid\":" << getpid() << ",\"connections\":" << m_Connections.size()
        << ",\"chunk\":" << dwChunkSize << ",\"received\":" << m_dwMessagesReceived
        << ",\"sent\":" << m_dwMessagesSent << ",\"activated\":" << (m_bActivated ? "true" : "false")
        << ",\"loaded\":" << m_dwConfigsLoaded << ",\"rejected\":" << m_dwConfigsRejected
        << ",\"offered\":" << m_dwConfigsOffered << ",\"judged\":" << m_Counts.dwJudged
        << ",\"violations\":" << m_Counts.dwViolations << ",\"installQueries\":" << m_Counts.dwInstallQueries
        << ",\"installAuthorized\":" << m_Counts.dwInstallAuthorized
        << ",\"installRefused\":" << m_Counts.dwInstallRefused
        << ",\"installUnanswered\":" << m_Counts.dwInstallUnanswered
        << ",\"installLate\":" << m_Counts.dwInstallLate << ",\"installWaiting\":" << m_InstallQueries.size()
        << ",\"configuration\":" << ConfigurationJson(m_Config) << "}";
    return out.str();
}

// send TYPE [ID:dw:N | ID:str:TEXT | ID:fill:N | ID:bin:HEX]... [order=reverse|I,J,...]
std::string CDriverDevice::CommandSend(const std::vector<std::string>& words) {
    DWORD dwType;
    if (words.size() < 2 || !ParseNumber(words[1], &dwType)) {
        return "error send TYPE [ID:dw:N|ID:str:TEXT|ID:fill:N|ID:bin:HEX]... [order=reverse|I,J,...]";
    }
    if (m_Connections.empty() || !m_Connections.back()->bNegotiated) {
        return "error no service connected";
    }
    // Any type may be sent: a type outside the catalogue travels as a bare bag with property 0 set.
    CKTUMessage* pMsg = CKTUMessageChannel::MakeEmptyKTMessage(dwType);
    if (pMsg == nullptr) {
        pMsg = CKTUMessageChannel::MakeEmptyKTMessage(TYPE_GW_SETTINGS);
        pMsg->GetPropertyBag()->SetDword(KTU_PROPERTY_MESSAGE_TYPE, dwType);
    }
    CKTUPropertyBag* pBag = pMsg->GetPropertyBag();
    std::vector<DWORD> order;
    bool bReverse = false;
    for (size_t i = 2; i < words.size(); ++i) {
        const std::string& sWord = words[i];
        if (sWord.starts_with("order=")) {
            std::string sList = sWord.substr(6);
            if (sList == "reverse") {
                bReverse = true;
                continue;
            }
            std::replace(sList.begin(), sList.end(), ',', ' ');
            for (const std::string& sIndex : SplitWords(sList)) {
                DWORD dwIndex;
                if (!ParseNumber(sIndex, &dwIndex)) {
                    CKTUMessageChannel::DestroyKTMessage(pMsg);
                    return "error bad order " + sWord;
                }
                order.push_back(dwIndex);
            }
            continue;
        }
        const size_t nFirst = sWord.find(':');
        const size_t nSecond = nFirst == std::string::npos ? std::string::npos : sWord.find(':', nFirst + 1);
        DWORD dwId;
        if (nSecond == std::string::npos || !ParseNumber(sWord.substr(0, nFirst), &dwId)) {
            CKTUMessageChannel::DestroyKTMessage(pMsg);
            return "error bad property " + sWord;
        }
        const std::string sKind = sWord.substr(nFirst + 1, nSecond - nFirst - 1);
        const std::string sValue = sWord.substr(nSecond + 1);
        DWORD dwValue = 0;
        std::vector<BYTE> bytes;
        bool bOk = true;
        if (sKind == "dw") {
            bOk = ParseNumber(sValue, &dwValue) && pBag->SetDword(dwId, dwValue) == KTU_BAG_SUCCESS;
        } else if (sKind == "str") {
            bOk = pBag->SetString(dwId, platform::FromUtf8(sValue).c_str()) == KTU_BAG_SUCCESS;
        } else if (sKind == "fill") {
            bOk = ParseNumber(sValue, &dwValue) && dwValue <= MAX_PACKET &&
                  pBag->SetString(dwId, std::u16string(dwValue, u'x').c_str()) == KTU_BAG_SUCCESS;
        } else if (sKind == "bin") {
            bOk = ParseHex(sValue, &bytes) &&
                  pBag->SetBinary(dwId, bytes.data(), static_cast<DWORD>(bytes.size())) == KTU_BAG_SUCCESS;
        } else {
            bOk = false;
        }
        if (!bOk) {
            CKTUMessageChannel::DestroyKTMessage(pMsg);
            return "error bad property " + sWord;
        }
    }
    CConnection& connection = *m_Connections.back();
    if (bReverse) {
        const DWORD dwPayload = connection.dwChunkSize - KTU_CMUX_HEADER_SIZE;
        const DWORD dwSize = pMsg->GetSerializedSize();
        const DWORD dwCount = dwSize <= connection.dwChunkSize ? 1 : (dwSize + dwPayload - 1) / dwPayload;
        for (DWORD i = dwCount; i > 0; --i) {
            order.push_back(i - 1);
        }
    }
    const int nChunks = Send(connection, pMsg, order);
    return nChunks < 0 ? "error send failed" : "ok chunks=" + std::to_string(nChunks);
}

// raw HEX [size=N]: one packet of these bytes, zero-filled to N (default: the chunk size).
std::string CDriverDevice::CommandRaw(const std::vector<std::string>& words) {
    std::vector<BYTE> bytes;
    if (words.size() < 2 || !ParseHex(words[1], &bytes)) {
        return "error raw HEX [size=N]";
    }
    if (m_Connections.empty() || !m_Connections.back()->bNegotiated) {
        return "error no service connected";
    }
    DWORD dwSize = m_Connections.back()->dwChunkSize;
    if (words.size() > 2 && (!words[2].starts_with("size=") || !ParseNumber(words[2].substr(5), &dwSize) ||
                             dwSize > MAX_PACKET)) {
        return "error raw HEX [size=N]";
    }
    bytes.resize(std::max<size_t>(dwSize, bytes.size()), 0);
    bytes.resize(dwSize);
    return SendPacket(m_Connections.back()->nSocket, bytes.data(), bytes.size()) ? "ok" : "error send failed";
}

}  // namespace krelldrv
