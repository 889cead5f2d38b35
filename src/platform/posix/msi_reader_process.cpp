#include "platform/posix/msi_reader_process.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "platform/strings.h"

extern char** environ;

namespace platform::posix {
namespace {

std::string ReaderPath() {
    if (const char* szReader = getenv("KRELL_MSI_READER"); szReader != nullptr && *szReader != '\0') {
        return szReader;
    }
    char szExe[PATH_MAX];
    const ssize_t cch = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    if (cch <= 0) {
        return {};
    }
    const std::string sExe(szExe, static_cast<std::size_t>(cch));
    return sExe.substr(0, sExe.rfind('/') + 1) + "krellmsiread";
}

// Reads the child's output until it closes it; false when it took too long or wrote too much.
bool ReadAll(int fd, std::string* psOut) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(MSI_READER_TIMEOUT_MS);
    char buffer[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd pfd{fd, POLLIN, 0};
        const int nReady = poll(&pfd, 1, static_cast<int>(left.count()));
        if (nReady < 0 && errno == EINTR) {
            continue;
        }
        if (nReady <= 0) {
            return false;
        }
        const ssize_t cb = read(fd, buffer, sizeof(buffer));
        if (cb < 0 && errno == EINTR) {
            continue;
        }
        if (cb <= 0) {
            return cb == 0;
        }
        if (psOut->size() + static_cast<std::size_t>(cb) > MSI_READER_MAX_OUTPUT) {
            return false;
        }
        psOut->append(buffer, static_cast<std::size_t>(cb));
    }
}

int WaitForExit(pid_t pid) {
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

}  // namespace

bool ParseMsiProperties(std::string_view sBytes, CMsiProperties* pProperties) {
    std::u16string sFields[2];
    int iField = 0;
    while (!sBytes.empty()) {
        std::uint32_t cb = 0;
        if (sBytes.size() < sizeof(cb)) {
            return false;
        }
        std::memcpy(&cb, sBytes.data(), sizeof(cb));
        sBytes.remove_prefix(sizeof(cb));
        if (cb > sBytes.size()) {
            return false;
        }
        sFields[iField] = FromUtf8(sBytes.substr(0, cb));
        sBytes.remove_prefix(cb);
        if (iField == 1) {
            (*pProperties)[sFields[0]] = sFields[1];
        }
        iField ^= 1;
    }
    return iField == 0;
}

MsiReadOutcome ReadMsiProperties(const std::string& sPosixPath, CMsiProperties* pProperties) {
    const std::string sReader = ReaderPath();
    int fds[2];
    if (sReader.empty() || pipe2(fds, O_CLOEXEC) != 0) {
        return MsiReadOutcome::NO_READER;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    // libmsi tells standard error about every damaged package.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(sReader.c_str()), const_cast<char*>(sPosixPath.c_str()), nullptr};
    pid_t pid = 0;
    const int nSpawn = posix_spawn(&pid, sReader.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (nSpawn != 0) {
        close(fds[0]);
        return MsiReadOutcome::NO_READER;
    }
    std::string sOutput;
    const bool bRead = ReadAll(fds[0], &sOutput);
    if (!bRead) {
        kill(pid, SIGKILL);
    }
    close(fds[0]);
    const int nExit = WaitForExit(pid);
    if (!bRead) {
        return MsiReadOutcome::NOT_A_DATABASE;
    }
    if (nExit == MSI_READER_NO_PROPERTY_TABLE) {
        return MsiReadOutcome::NO_PROPERTY_TABLE;
    }
    if (nExit != 0 || !ParseMsiProperties(sOutput, pProperties)) {
        return MsiReadOutcome::NOT_A_DATABASE;
    }
    return MsiReadOutcome::PROPERTIES;
}

}  // namespace platform::posix
