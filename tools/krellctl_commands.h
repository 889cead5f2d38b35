// krellctl's command groups. Each takes the arguments after its group word and returns the exit
// code: 0 success, 1 failure, 2 bad arguments.
#pragma once

#include <string>
#include <vector>

#include "settings/settings_helpers.h"

int RunInitCommand(const std::vector<std::string>& args);
int RunRegistryCommand(const std::vector<std::string>& args);
int RunLogCommand(const std::vector<std::string>& args);
int RunServiceCommand(const std::vector<std::string>& args);
int RunBootCommand(const std::vector<std::string>& args);
int RunShutdownCommand(const std::vector<std::string>& args);
int RunSettingsCommand(const std::vector<std::string>& args);
int RunStatusCommand(const std::vector<std::string>& args);
int RunDriverCommand(const std::vector<std::string>& args);
int RunEventsCommand(const std::vector<std::string>& args);
int RunAlertsCommand(const std::vector<std::string>& args);
int RunProtectionCommand(const std::vector<std::string>& args);
int RunConfigCommand(const std::vector<std::string>& args);
int RunStatsCommand(const std::vector<std::string>& args);
int RunCrashHandlerCommand(const std::vector<std::string>& args);
int RunDumpsCommand(const std::vector<std::string>& args);
int RunAccountsCommand(const std::vector<std::string>& args);
int RunAuthorizeCommand(const std::vector<std::string>& args);
int RunLegacyCommand(const std::vector<std::string>& args);
int RunManifestsCommand(const std::vector<std::string>& args);

// Asks the settings store's service for a configuration change with a settings refresh request
// (6009) and waits up to ulWaitSeconds for the first configuration change (6008) created after it,
// whose answer is printed as krellctl events prints events; 0 when a subscriber committed it with a
// result that is no failure, 1 when it failed, came back cancelled or did not come.
int RequestConfigChange(unsigned long ulWaitSeconds);

enum class DriverAnswer { Answered, NotRunning, Silent };
// One line to the stand-in driver's control socket, and its answer.
DriverAnswer AskDriver(const std::string& sLine, std::string* psReply);

// Connects to the settings store through pHelper; 0, or the exit code after saying why not.
int ConnectStore(CSettingsManagerHelper* pHelper, CComPtr<ISettingsManager>& pManager);
