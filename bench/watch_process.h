// A `krellctl ... watch` started by a benchmark, whose lines it reads as they come; ended by its
// process id when the benchmark is done with it.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_programs.h"

class CWatchProcess {
public:
    CWatchProcess() = default;
    CWatchProcess(const CWatchProcess&) = delete;
    CWatchProcess& operator=(const CWatchProcess&) = delete;
    ~CWatchProcess() {
        if (m_pOutput != nullptr) {
            std::fclose(m_pOutput);
        }
        if (m_nPid > 0) {
            kill(m_nPid, SIGTERM);
            waitpid(m_nPid, nullptr, 0);
        }
    }

    // krellctl with these words, both its streams read here; true once its first line (it has
    // subscribed) came.
    bool Start(const std::vector<std::string>& words) {
        int fds[2];
        if (pipe(fds) != 0) {
            return false;
        }
        m_nPid = fork();
        if (m_nPid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            dup2(fds[1], STDERR_FILENO);
            close(fds[0]);
            close(fds[1]);
            const std::string sCtl = ProgramPath("krellctl");
            std::vector<char*> argv = {const_cast<char*>(sCtl.c_str())};
            for (const std::string& sWord : words) {
                argv.push_back(const_cast<char*>(sWord.c_str()));
            }
            argv.push_back(nullptr);
            execv(sCtl.c_str(), argv.data());
            _exit(127);
        }
        close(fds[1]);
        m_pOutput = fdopen(fds[0], "r");
        return m_nPid > 0 && m_pOutput != nullptr && ReadLines(1) == 1;
    }

    // Lines read until nCount were seen or the watcher ended.
    long ReadLines(long nCount) {
        char szLine[4096];
        long nRead = 0;
        while (nRead < nCount && std::fgets(szLine, sizeof(szLine), m_pOutput) != nullptr) {
            ++nRead;
        }
        return nRead;
    }

private:
    pid_t m_nPid = -1;
    FILE* m_pOutput = nullptr;
};
