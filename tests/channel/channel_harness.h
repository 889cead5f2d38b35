// What the channel tests share: the stand-in driver as a child process steered through its control
// socket, and the debug log of the test process.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "channel/message_channel.h"
#include "diagnostics/debug_options.h"
#include "diagnostics/user_debug_output.h"
#include "platform/file.h"
#include "platform/root.h"
#include "platform/system.h"
#include "service/registry_key.h"
#include "support/debug_log.h"
#include "support/files.h"
#include "support/test_root.h"

namespace krelltest {

// krelldrv in this process's root, started and ended by its process id.
class CDriverProcess {
public:
    explicit CDriverProcess(std::vector<std::string> options = {}) {
        std::vector<std::string> args = {KRELLDRV_PATH, "--exit-with-parent"};
        args.insert(args.end(), options.begin(), options.end());
        m_Pid = StartChild(args);
        for (int i = 0; i < 500 && m_Pid > 0; ++i) {
            if (Command("status").starts_with("ok")) {
                return;
            }
            platform::Sleep(10);
        }
        ADD_FAILURE() << "krelldrv did not come up";
    }
    ~CDriverProcess() { Stop(); }
    CDriverProcess(const CDriverProcess&) = delete;
    CDriverProcess& operator=(const CDriverProcess&) = delete;

    // SIGTERM, then the exit code (0 for a clean end); a driver that does not end is killed.
    int Stop() {
        if (m_Pid <= 0) {
            return -1;
        }
        kill(m_Pid, SIGTERM);
        int nCode = WaitChild(m_Pid, 5000);
        if (nCode == -1) {
            KillChild(m_Pid);
        }
        m_Pid = -1;
        return nCode;
    }

    std::string Command(const std::string& sLine) {
        const std::string sPath = platform::RootSubdirectory("run") + "/krelldrv.ctl";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, sPath.c_str(), sPath.size() + 1);
        const int nSocket = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        std::string sReply;
        if (connect(nSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            send(nSocket, sLine.data(), sLine.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(sLine.size())) {
            std::vector<char> buffer(1024 * 1024);
            const ssize_t n = recv(nSocket, buffer.data(), buffer.size(), 0);
            if (n > 0) {
                sReply.assign(buffer.data(), static_cast<size_t>(n));
            }
        }
        close(nSocket);
        return sReply;
    }

    // The value of a "key=value" field of the driver's status line.
    DWORD Status(const std::string& sKey) {
        const std::string sStatus = " " + Command("status") + " ";
        const size_t nPos = sStatus.find(" " + sKey + "=");
        return nPos == std::string::npos
                   ? 0xFFFFFFFF
                   : static_cast<DWORD>(std::stoul(sStatus.substr(nPos + sKey.size() + 2)));
    }
    // Waits until a status field reaches a value (the driver serves one request at a time).
    bool WaitForStatus(const std::string& sKey, DWORD dwValue, DWORD dwTimeoutMs = 5000) {
        for (DWORD dwWaited = 0; dwWaited < dwTimeoutMs; dwWaited += 5) {
            if (Status(sKey) == dwValue) {
                return true;
            }
            platform::Sleep(5);
        }
        return false;
    }

    pid_t Pid() const { return m_Pid; }

private:
    pid_t m_Pid = -1;
};

}  // namespace krelltest
