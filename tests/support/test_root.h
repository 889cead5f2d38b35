#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace krelltest {

// A new empty directory under the system's temporary directory.
std::string MakeTempDirectory(const char* szPrefix);

// The test programs' build directory, where the child programs live.
std::string TestBinary(const char* szName);
// A program of the project (krellsvc, krellctl, ...), from the build's program directory.
std::string ProgramPath(const char* szName);

// Starts a child process (argv[0] is the program path) with this process's environment, so it
// shares the machine root. Returns its process id, or -1.
pid_t StartChild(const std::vector<std::string>& args);
// Waits for a child started here; returns its exit code, 128 + signal when killed, or -1 on timeout.
int WaitChild(pid_t pid, int nTimeoutMs);
// Ends a child started here, by its process id, and reaps it.
void KillChild(pid_t pid);

struct ToolResult {
    int nExitCode;        // as WaitChild gives it
    std::string sOutput;  // stdout and stderr together
};
// Runs a program to its end (killed after a minute) and collects what it printed.
ToolResult RunTool(const std::vector<std::string>& args);

}  // namespace krelltest
