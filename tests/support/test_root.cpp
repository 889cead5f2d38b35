#include "support/test_root.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

extern char** environ;

namespace krelltest {

std::string MakeTempDirectory(const char* szPrefix) {
    std::string sTemplate =
        (std::filesystem::temp_directory_path() / (std::string(szPrefix) + "-XXXXXX")).string();
    if (mkdtemp(sTemplate.data()) == nullptr) {
        abort();
    }
    return sTemplate;
}

std::string TestBinary(const char* szName) {
    return std::string(KRELL_TEST_BIN_DIR) + "/" + szName;
}

std::string ProgramPath(const char* szName) {
    return std::string(KRELL_PROGRAM_DIR) + "/" + szName;
}

namespace {

// psOutputFile, when given, takes the child's stdout and stderr.
pid_t Spawn(const std::vector<std::string>& args, const std::string* psOutputFile) {
    std::vector<char*> argv;
    for (const auto& s : args) {
        argv.push_back(const_cast<char*>(s.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (psOutputFile != nullptr) {
        posix_spawn_file_actions_addopen(&actions, 1, psOutputFile->c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t pid = -1;
    const int nSpawn = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return nSpawn == 0 ? pid : -1;
}

}  // namespace

pid_t StartChild(const std::vector<std::string>& args) {
    return Spawn(args, nullptr);
}

int WaitChild(pid_t pid, int nTimeoutMs) {
    for (int nWaited = 0;; nWaited += 5) {
        int nStatus = 0;
        const pid_t r = waitpid(pid, &nStatus, WNOHANG);
        if (r == pid) {
            return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
        }
        if (r < 0 || nWaited >= nTimeoutMs) {
            return -1;
        }
        timespec ts{0, 5 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
}

void KillChild(pid_t pid) {
    if (pid > 0) {
        kill(pid, SIGKILL);
        int nStatus = 0;
        waitpid(pid, &nStatus, 0);
    }
}

ToolResult RunTool(const std::vector<std::string>& args) {
    const std::string sDir = MakeTempDirectory("krell-tool");
    const std::string sOutput = sDir + "/output.txt";
    ToolResult result{-1, ""};
    const pid_t pid = Spawn(args, &sOutput);
    if (pid > 0) {
        result.nExitCode = WaitChild(pid, 60000);
        if (result.nExitCode < 0) {
            KillChild(pid);
        }
        std::ifstream in(sOutput);
        result.sOutput.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::error_code ec;
    std::filesystem::remove_all(sDir, ec);
    return result;
}

}  // namespace krelltest
