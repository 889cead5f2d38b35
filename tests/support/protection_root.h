// A machine root as the whole-system tests need it: the product installed by krellctl init, the
// service installed, the settings store's service running and the protection intended on. Tear-down
// ends every service the test started.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/types.h"

namespace krelltest {

// A file of the product that its configuration protects once the root is booted.
inline constexpr const char* PROTECTED_TARGET = "C:\\Program Files\\Quillon\\KRELL\\KT.dll";

// Runs a command line through the shell; its exit code, and what it printed (both streams).
int RunCommand(const std::string& sCommand, std::string* psOutput = nullptr);

// Sets a DWORD under GATEWARDEN\PRIVATE through krellctl.
bool SetProtectionSetting(const char* szName, unsigned long ulValue);

// Sets a test option of the stand-in driver (a DWORD of its service's Parameters key).
bool SetDriverParameter(const char16_t* szName, DWORD dwValue);

// `krellctl WORDS` (a watch) started as a child writing <root>/run/NAME.out and NAME.err, once it has
// subscribed (its "watching" line); -1 when it did not. Files an earlier watcher of the root left are
// removed first, so their "watching" is never taken for this one's. The caller ends it by its pid.
pid_t StartWatcher(const std::string& sName, const std::string& sWords);

// False (with the reason on standard error) when a step fails.
bool PrepareProtectionRoot(bool bProtectionOn = true);
// Shuts down every service of the root.
void ShutdownProtectionRoot();

// A wait until what a command prints contains a text.
bool WaitForOutput(const std::string& sCommand, const std::string& sText, int nTimeoutMs = 20000);

// What `krellctl driver status` prints, and a wait until it contains a text.
std::string DriverStatus();
bool WaitForDriverStatus(const std::string& sText, int nTimeoutMs = 20000);

// The root's debug log as `krellctl log show` prints it, and a wait until it contains a text.
std::string ServiceLog();
bool WaitForServiceLog(const std::string& sText, int nTimeoutMs = 20000);

// A wait until `krellctl service status NAME` contains a text (e.g. "STOPPED").
bool WaitForServiceStatus(const char* szName, const std::string& sText, int nTimeoutMs = 20000);

// The fixture of a whole-system test on such a root, with krellctl's path and the root's run folder at
// hand. Tear-down ends the watchers still running by their pids and terminates the service before the
// root's services are shut down.
class ProtectionRootTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // `krellctl boot`, then a wait until the driver status shows sStatus.
    void Boot(const std::string& sStatus = "loaded=1");
    // A watcher as StartWatcher above starts it, ended by tear-down unless WaitWatcher took it.
    pid_t StartWatcher(const std::string& sName, const std::string& sWords);
    // A watcher that was given a count ends by itself; its exit code as WaitChild gives it (-1 while it
    // still runs, and tear-down ends it).
    int WaitWatcher(pid_t pid, int nTimeoutMs = 30000);

    std::string m_sCtl;
    std::string m_sRun;

private:
    std::vector<pid_t> m_Watchers;
};

}  // namespace krelltest
