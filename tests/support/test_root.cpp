#include "support/test_root.h"

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>

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

pid_t StartChild(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& s : args) {
        argv.push_back(const_cast<char*>(s.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    return pid;
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

}  // namespace krelltest
