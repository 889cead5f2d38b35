// A `krellctl ... watch` started by a benchmark, whose lines it reads as they come; ended by its
// process id when the benchmark is done with it.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
        if (m_nOutput >= 0) {
            close(m_nOutput);
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
        m_nOutput = fds[0];
        return m_nPid > 0 && ReadLines(1) == 1;
    }

    // Lines read until nCount were seen, the watcher ended, or nothing came for nQuietMs (a watcher
    // that fell behind and lost events must not hold the benchmark until its own timeout).
    long ReadLines(long nCount, int nQuietMs = 10000) {
        char buffer[65536];
        long nRead = 0;
        while (nRead < nCount) {
            // Lines already read past the count stay counted for the next call.
            if (m_nPending > 0) {
                const long nTaken = std::min(m_nPending, nCount - nRead);
                m_nPending -= nTaken;
                nRead += nTaken;
                continue;
            }
            pollfd ready{m_nOutput, POLLIN, 0};
            if (poll(&ready, 1, nQuietMs) <= 0) {
                break;
            }
            const ssize_t cb = read(m_nOutput, buffer, sizeof(buffer));
            if (cb <= 0) {
                break;
            }
            for (ssize_t i = 0; i < cb; ++i) {
                m_nPending += buffer[i] == '\n' ? 1 : 0;
            }
        }
        return nRead;
    }

private:
    pid_t m_nPid = -1;
    int m_nOutput = -1;
    long m_nPending = 0;
};
