// The stand-in of the kernel driver's channel device: serves <root>/dev/KTDRVCHANNEL as a
// SOCK_SEQPACKET socket (one packet is one chunk), answers the negotiation, and speaks the message
// layer through the channel library. Tests and krellctl steer it through a control socket.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "channel/message_channel.h"
#include "driver_config.h"

namespace krelldrv {

struct CNegotiationAnswer {
    DWORD dwVersion = KTU_PROTOCOL_VERSION;
    DWORD dwChunkSize = 0;  // 0: the requested size
    bool bShort = false;    // answer 4 bytes instead of 8
};

enum class ReplyMode { Pass, Hold, Drop };

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
    bool IsActivated() const { return m_bActivated; }
    const CDriverConfiguration& Configuration() const { return m_Config; }
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
};

// One line describing a message: "type=4 1:str:C:\x.exe 2:dw:17 ...".
std::string DescribeMessage(CKTUMessage* pMsg);

}  // namespace krelldrv
