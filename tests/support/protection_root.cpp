#include "support/protection_root.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/root.h"
#include "scm/scm_admin.h"
#include "service/registry_key.h"
#include "support/files.h"
#include "support/test_root.h"

namespace krelltest {

int RunCommand(const std::string& sCommand, std::string* psOutput) {
    FILE* pPipe = popen((sCommand + " 2>&1").c_str(), "r");
    std::string sOutput;
    std::array<char, 4096> buffer{};
    while (pPipe != nullptr && fgets(buffer.data(), buffer.size(), pPipe) != nullptr) {
        sOutput += buffer.data();
    }
    const int nStatus = pPipe != nullptr ? pclose(pPipe) : -1;
    if (psOutput != nullptr) {
        *psOutput = sOutput;
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

bool SetProtectionSetting(const char* szName, unsigned long ulValue) {
    return RunCommand(ProgramPath("krellctl") + " settings set 'GATEWARDEN\\PRIVATE' " + szName +
                      " --dword " + std::to_string(ulValue)) == 0;
}

bool SetDriverParameter(const char16_t* szName, DWORD dwValue) {
    CRegistryKey parameters;
    return parameters.Create(HKEY_LOCAL_MACHINE,
                             u"SYSTEM\\CurrentControlSet\\Services\\KRELLDrv\\Parameters") &&
           parameters.SetDword(szName, dwValue);
}

pid_t StartWatcher(const std::string& sName, const std::string& sWords) {
    const std::string sBase = platform::RootDirectory() + "/run/" + sName;
    std::filesystem::remove(sBase + ".out");
    std::filesystem::remove(sBase + ".err");
    const pid_t pid = StartChild({"/bin/sh", "-c",
                                  "exec '" + ProgramPath("krellctl") + "' " + sWords + " > '" + sBase +
                                      ".out' 2> '" + sBase + ".err'"});
    if (pid > 0 && !WaitForFileText(sBase + ".err", "watching", 20000)) {
        std::fprintf(stderr, "the watcher did not subscribe: %s\n", ReadText(sBase + ".err").c_str());
        KillChild(pid);
        return -1;
    }
    return pid;
}

bool PrepareProtectionRoot(bool bProtectionOn) {
    const std::string sCtl = ProgramPath("krellctl");
    for (const std::string& sCommand :
         {sCtl + " init", ProgramPath("krellsvc") + " -Install", sCtl + " service start lcSetMgr"}) {
        std::string sOutput;
        if (RunCommand(sCommand, &sOutput) != 0) {
            std::fprintf(stderr, "%s failed: %s\n", sCommand.c_str(), sOutput.c_str());
            return false;
        }
    }
    return !bProtectionOn || SetProtectionSetting("CurrentState", 1);
}

void ShutdownProtectionRoot() {
    std::vector<scm::Step> steps;
    scm::Shutdown(&steps);
}

std::string DriverStatus() {
    std::string sOutput;
    RunCommand(ProgramPath("krellctl") + " driver status", &sOutput);
    return sOutput;
}

bool WaitForOutput(const std::string& sCommand, const std::string& sText, int nTimeoutMs) {
    for (int nWaited = 0; nWaited < nTimeoutMs; nWaited += 50) {
        std::string sOutput;
        RunCommand(sCommand, &sOutput);
        if (sOutput.find(sText) != std::string::npos) {
            return true;
        }
        usleep(50000);
    }
    return false;
}

bool WaitForDriverStatus(const std::string& sText, int nTimeoutMs) {
    return WaitForOutput(ProgramPath("krellctl") + " driver status", sText, nTimeoutMs);
}

std::string ServiceLog() {
    std::string sOutput;
    RunCommand(ProgramPath("krellctl") + " log show", &sOutput);
    return sOutput;
}

bool WaitForServiceLog(const std::string& sText, int nTimeoutMs) {
    return WaitForOutput(ProgramPath("krellctl") + " log show", sText, nTimeoutMs);
}

bool WaitForServiceStatus(const char* szName, const std::string& sText, int nTimeoutMs) {
    return WaitForOutput(ProgramPath("krellctl") + " service status " + szName, sText, nTimeoutMs);
}

void ProtectionRootTest::SetUp() {
    m_sCtl = ProgramPath("krellctl");
    m_sRun = platform::RootDirectory() + "/run";
    ASSERT_TRUE(PrepareProtectionRoot());
}

void ProtectionRootTest::TearDown() {
    for (const pid_t pid : m_Watchers) {
        KillChild(pid);
    }
    RunCommand(ProgramPath("krellsvc") + " -t");
    ShutdownProtectionRoot();
}

void ProtectionRootTest::Boot(const std::string& sStatus) {
    std::string sOutput;
    ASSERT_EQ(RunCommand(m_sCtl + " boot", &sOutput), 0) << sOutput;
    ASSERT_TRUE(WaitForDriverStatus(sStatus)) << DriverStatus();
}

pid_t ProtectionRootTest::StartWatcher(const std::string& sName, const std::string& sWords) {
    const pid_t pid = krelltest::StartWatcher(sName, sWords);
    EXPECT_GT(pid, 0) << sWords;
    if (pid > 0) {
        m_Watchers.push_back(pid);
    }
    return pid;
}

int ProtectionRootTest::WaitWatcher(pid_t pid, int nTimeoutMs) {
    const int nExit = WaitChild(pid, nTimeoutMs);
    // One that is still running is left for tear-down to end.
    if (nExit >= 0) {
        std::erase(m_Watchers, pid);
    }
    return nExit;
}

}  // namespace krelltest
