// Second process for the cross-process tests of named events and mutexes.
//   create-event NAME READY    create NAME (manual reset), set READY, sleep until killed
//   set-event NAME             open NAME and set it
//   wait-event NAME MS         open NAME and wait for it
//   hold-mutex NAME READY      take NAME, set READY, sleep until killed
//   take-mutex-exit NAME       take NAME and exit without releasing it
//   try-mutex NAME MS          open NAME and wait for it (prints the wait result)
// Exit code 0 on success, 1 on a timed-out wait, 4 for an abandoned mutex, 2 or 3 on failures.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace {

using namespace platform;

int Fail(const char* szWhat) {
    fprintf(stderr, "child_sync: %s failed, error %u\n", szWhat, GetLastError());
    return 2;
}

bool SetNamed(const std::u16string& sName) {
    HANDLE hEvent = OpenEvent(EVENT_MODIFY_STATE, false, sName.c_str());
    if (hEvent == nullptr) {
        return false;
    }
    const bool bOk = SetEvent(hEvent);
    CloseHandle(hEvent);
    return bOk;
}

int WaitResultCode(DWORD dwResult) {
    switch (dwResult) {
        case WAIT_OBJECT_0:
            return 0;
        case WAIT_TIMEOUT:
            return 1;
        case WAIT_ABANDONED_0:
            return 4;
        default:
            return 3;
    }
}

[[noreturn]] void SleepUntilKilled() {
    for (;;) {
        Sleep(1000);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: krell_child_sync COMMAND NAME [ARG]\n");
        return 2;
    }
    const std::string sCommand = argv[1];
    const std::u16string sName = FromUtf8(argv[2]);
    const std::u16string sArg = argc > 3 ? FromUtf8(argv[3]) : std::u16string();

    if (sCommand == "create-event") {
        if (CreateEvent(true, false, sName.c_str()) == nullptr) {
            return Fail("CreateEvent");
        }
        if (!SetNamed(sArg)) {
            return Fail("set ready");
        }
        SleepUntilKilled();
    }
    if (sCommand == "set-event") {
        return SetNamed(sName) ? 0 : Fail("set-event");
    }
    if (sCommand == "wait-event") {
        HANDLE hEvent = OpenEvent(SYNCHRONIZE, false, sName.c_str());
        if (hEvent == nullptr) {
            return Fail("OpenEvent");
        }
        return WaitResultCode(WaitForSingleObject(hEvent, static_cast<DWORD>(atoi(argv[3]))));
    }
    if (sCommand == "hold-mutex" || sCommand == "take-mutex-exit") {
        HANDLE hMutex = CreateMutex(false, sName.c_str());
        if (hMutex == nullptr) {
            return Fail("CreateMutex");
        }
        const DWORD dwResult = WaitForSingleObject(hMutex, INFINITE);
        if (dwResult != WAIT_OBJECT_0 && dwResult != WAIT_ABANDONED_0) {
            return Fail("WaitForSingleObject");
        }
        if (sCommand == "take-mutex-exit") {
            return 0;
        }
        if (!SetNamed(sArg)) {
            return Fail("set ready");
        }
        SleepUntilKilled();
    }
    if (sCommand == "try-mutex") {
        HANDLE hMutex = OpenMutex(SYNCHRONIZE, false, sName.c_str());
        if (hMutex == nullptr) {
            return Fail("OpenMutex");
        }
        return WaitResultCode(WaitForSingleObject(hMutex, static_cast<DWORD>(atoi(argv[3]))));
    }
    fprintf(stderr, "child_sync: unknown command %s\n", sCommand.c_str());
    return 2;
}
