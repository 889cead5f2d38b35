// krelldrv: the stand-in kernel driver's channel device, in the foreground.
//   krelldrv [--root DIR] [--exit-with-parent] [--echo] [--answer-version N] [--answer-chunk N]
//   [--short-reply]
// Serves <root>/dev/KTDRVCHANNEL and the control socket <root>/run/krelldrv.ctl until SIGTERM.
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "driver_device.h"
#include "platform/root.h"
#include "service/registry_key.h"

int main(int argc, char** argv) {
    bool bEcho = false;
    krelldrv::CNegotiationAnswer answer;
    for (int i = 1; i < argc; ++i) {
        const std::string sArg = argv[i];
        if (sArg == "--root" && i + 1 < argc) {
            setenv("KRELL_ROOT", argv[++i], 1);
        } else if (sArg == "--exit-with-parent") {
            // Tests start the driver as a child: it must not outlive a test process that crashed.
            const pid_t parent = getppid();
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) {
                return 0;
            }
        } else if (sArg == "--echo") {
            bEcho = true;
        } else if (sArg == "--answer-version" && i + 1 < argc) {
            answer.dwVersion = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 0));
        } else if (sArg == "--answer-chunk" && i + 1 < argc) {
            answer.dwChunkSize = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 0));
        } else if (sArg == "--short-reply") {
            answer.bShort = true;
        } else {
            std::fprintf(stderr,
                         "usage: krelldrv [--root DIR] [--echo] [--answer-version N] [--answer-chunk N] "
                         "[--short-reply]\n");
            return 2;
        }
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int nSignalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (nSignalFd < 0) {
        std::perror("krelldrv: signalfd");
        return 1;
    }
    krelldrv::CDriverDevice device(platform::RootSubdirectory("dev") + "/KTDRVCHANNEL",
                                   platform::RootSubdirectory("run") + "/krelldrv.ctl");
    device.Answer() = answer;
    device.SetEcho(bEcho);
    // Started as a service, the driver takes its test options from its service key, as drivers read
    // their Parameters key: ActivationSilent (1: never answer an activation), ActivationDelay (ms),
    // NoDevice (1: fail before creating the device), HangUpAfterNegotiation (1: drop every connection
    // once its negotiation is answered). The Config* options are read at every settings
    // message (driver_config.cpp), MonitorOnly and InstallQueryTimeout at every access command and
    // install query (driver_device.cpp).
    CRegistryKey parameters;
    if (krelldrv::OpenDriverParameters(parameters)) {
        DWORD dwSilent = 0;
        DWORD dwDelay = 0;
        DWORD dwNoDevice = 0;
        DWORD dwHangUp = 0;
        parameters.GetDword(u"ActivationSilent", &dwSilent);
        parameters.GetDword(u"HangUpAfterNegotiation", &dwHangUp);
        parameters.GetDword(u"ActivationDelay", &dwDelay);
        parameters.GetDword(u"NoDevice", &dwNoDevice);
        if (dwNoDevice != 0) {
            return 1;
        }
        device.SetActivationReplies(dwSilent != 0, dwDelay);
        device.SetHangUpAfterNegotiation(dwHangUp != 0);
    }
    if (!device.Listen()) {
        return 1;
    }
    // Started as a driver service: the start returns once the device exists.
    if (const char* szReadyFd = std::getenv("KRELL_SCM_READY_FD"); szReadyFd != nullptr) {
        const int nReadyFd = std::atoi(szReadyFd);
        const char ch = 1;
        if (write(nReadyFd, &ch, 1) != 1) {
            std::perror("krelldrv: ready");
        }
        close(nReadyFd);
        unsetenv("KRELL_SCM_READY_FD");
    }
    return device.Run(nSignalFd);
}
