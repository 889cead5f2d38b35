// The stand-in of the kernel driver's channel device: serves <root>/dev/KTDRVCHANNEL as a
// SOCK_SEQPACKET socket (one packet is one chunk), answers the negotiation, and speaks the message
// layer through the channel library. Tests and krellctl steer it through a control socket.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "channel/message_channel.h"
#include "driver_access.h"
#include "driver_config.h"

namespace krelldrv {

struct CNegotiationAnswer {
    DWORD dwVersion = KTU_PROTOCOL_VERSION;
    DWORD dwChunkSize = 0;  // 0: the requested size
    bool bShort = false;    // answer 4 bytes instead of 8
};

enum class ReplyMode { Pass, Hold, Drop };

// What the driver judged and asked: the counts of its status.
struct CDriverCounts {
    DWORD dwJudged = 0;
    DWORD dwViolations = 0;  // sent to the service
    DWORD dwInstallQueries = 0;
    DWORD dwInstallAuthorized = 0;
    DWORD dwInstallRefused = 0;
    DWORD dwInstallUnanswered = 0;  // the deadline passed: the install went ahead
    DWORD dwInstallLate = 0;        // replies for no query waiting
};

// Test options of the Parameters key read for each access command and each install query.
struct CAccessOptions {
    bool bMonitorOnly = false;         // MonitorOnly: report violations as not blocked
    DWORD dwInstallQueryTimeout = 30;  // InstallQueryTimeout, seconds
};
CAccessOptions ReadAccessOptions();

class CDriverDevice {
public:
    struct CConnection {
        int nSocket = -1;
        bool bNegotiated = false;
        DWORD dwChunkSize = 0;
        std::unique_ptr<CKTUMessageCodec> pCodec;
    };
    // A message handler: the message is destroyed after it returns; replies go through Reply().
    using Handler = std::function<void(CDriverDevice&, CConnection&, CKTUMessage*)>;

    CDriverDevice(std::string sDevicePath, std::string sControlPath);
    ~CDriverDevice();

    bool Listen();
    // Serves until SIGTERM/SIGINT arrive on nSignalFd (a signalfd); removes the sockets on the way out.
    int Run(int nSignalFd);

    void SetHandler(DWORD dwType, Handler handler) { m_Handlers[dwType] = std::move(handler); }
    CNegotiationAnswer& Answer() { return m_Answer; }
    void SetEcho(bool bEcho) { m_bEcho = bEcho; }
    // Activation replies: none at all (silent), or each after a delay (slow).
    void SetActivationReplies(bool bSilent, DWORD dwDelayMs) {
        m_bSilentActivation = bSilent;
        m_dwActivationDelayMs = dwDelayMs;
    }
    // Every connection is dropped as soon as its negotiation was answered: a driver lost right after
    // the channel opened.
    void SetHangUpAfterNegotiation(bool bHangUp) { m_bHangUpAfterNegotiation = bHangUp; }
    bool IsActivated() const { return m_bActivated; }
    const CDriverConfiguration& Configuration() const { return m_Config; }
    const CDriverCounts& Counts() const { return m_Counts; }
    // A reply of a handler: sent, held or dropped as the reply mode says. Takes the message.
    void Reply(CConnection& connection, CKTUMessage* pMsg);
    // Sends a message to a connection, fragments in the given order (all, in index order, when empty).
    // Takes the message. Returns the number of chunks the message took, or -1.
    int Send(CConnection& connection, CKTUMessage* pMsg, const std::vector<DWORD>& order);

private:
    void Accept();
    void AcceptControl();
    // False when the connection is to be dropped.
    bool ServeConnection(CConnection& connection);
    bool Negotiate(CConnection& connection, const BYTE* pPacket, size_t nSize);
    void Dispatch(CConnection& connection, CKTUMessage* pMsg);
    void LoadSettings(CConnection& connection, CKTUSettingsMessage* pMsg);
    std::string StatusLine();
    std::string StatusJson();
    void ServeControl(int nControl);
    void AnswerControl(int nControl, const std::string& sReply);
    void DropControl(int nControl);
    // A service's answer to an install query.
    void InstallReply(CKTUMSIMessage* pMsg);
    // Answers the queries whose deadline has passed; the poll timeout until the next one (-1: none).
    int ExpireInstallQueries();
    // Judges one access and sends the violation it is; the answer line without "ok ".
    std::string JudgeAndReport(const CAccess& access, bool bMonitorOnly, bool* pbViolation);
    std::string CommandAccess(std::string_view sJson);
    std::string CommandReplay(std::string_view sLines);
    // An empty answer: the client's answer is held until the service replies or the deadline.
    std::string CommandInstall(int nControl, std::string_view sJson);
    std::string Command(const std::vector<std::string>& words);
    std::string CommandSend(const std::vector<std::string>& words);
    std::string CommandRaw(const std::vector<std::string>& words);
    void CloseConnections();
    bool SendPacket(int nSocket, const BYTE* pData, size_t nSize);

    std::string m_sDevicePath;
    std::string m_sControlPath;
    int m_nDeviceListener = -1;
    int m_nControlListener = -1;
    std::vector<std::unique_ptr<CConnection>> m_Connections;
    std::vector<int> m_ControlClients;
    std::map<DWORD, Handler> m_Handlers;
    CNegotiationAnswer m_Answer;
    bool m_bEcho = false;
    bool m_bActivated = false;
    bool m_bSilentActivation = false;
    bool m_bHangUpAfterNegotiation = false;
    DWORD m_dwActivationDelayMs = 0;
    ReplyMode m_ReplyMode = ReplyMode::Pass;
    std::deque<std::pair<int, CKTUMessage*>> m_HeldReplies;  // connection socket, message
    std::deque<std::string> m_Received;                      // one line per message, newest last
    DWORD m_dwMessagesReceived = 0;
    DWORD m_dwMessagesSent = 0;
    DWORD m_dwRefusedChunks = 0;
    CDriverConfiguration m_Config;  // the one in force
    DWORD m_dwConfigsLoaded = 0;
    DWORD m_dwConfigsRejected = 0;
    DWORD m_dwConfigsOffered = 0;  // configuration messages received, answered or not
    CDriverCounts m_Counts;
    struct CInstallQuery {
        DWORD dwId;
        std::chrono::steady_clock::time_point deadline;
        int nClient;  // -1 once the control client hung up
    };
    std::vector<CInstallQuery> m_InstallQueries;  // in the order they were asked
    DWORD m_dwLastQueryId = 0;
    std::vector<char> m_ControlRequest;
};

// One line describing a message: "type=4 1:str:C:\x.exe 2:dw:17 ...".
std::string DescribeMessage(CKTUMessage* pMsg);

}  // namespace krelldrv
