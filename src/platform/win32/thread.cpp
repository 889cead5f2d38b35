#include "platform/thread.h"

#include <new>

#include "platform/system.h"
#include "platform/win32/win32_api.h"

namespace platform {
namespace {

// The seam's start routine uses the C calling convention, the platform's is __stdcall.
struct StartBlock {
    THREAD_START_ROUTINE pfnStart;
    void* pParameter;
};

DWORD __stdcall Trampoline(void* pv) {
    const StartBlock start = *static_cast<StartBlock*>(pv);
    delete static_cast<StartBlock*>(pv);
    return start.pfnStart(start.pParameter);
}

}  // namespace

// A thread ended before it ever ran keeps its small start block: the platform gives no hook there.
HANDLE CreateThread(std::size_t nStackSize, THREAD_START_ROUTINE pfnStart, void* pParameter,
                    DWORD dwCreationFlags, DWORD* pThreadId) {
    if (pfnStart == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* pStart = new (std::nothrow) StartBlock{pfnStart, pParameter};
    if (pStart == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE hThread = win32::CreateThread(nullptr, nStackSize, Trampoline, pStart, dwCreationFlags, pThreadId);
    if (hThread == nullptr) {
        delete pStart;
    }
    return hThread;
}

DWORD ResumeThread(HANDLE hThread) {
    return win32::ResumeThread(hThread);
}

bool GetExitCodeThread(HANDLE hThread, DWORD* pExitCode) {
    return win32::GetExitCodeThread(hThread, pExitCode) != 0;
}

void ExitThread(DWORD dwExitCode) {
    win32::ExitThread(dwExitCode);
}

bool TerminateThread(HANDLE hThread, DWORD dwExitCode) {
    return win32::TerminateThread(hThread, dwExitCode) != 0;
}

DWORD GetThreadId(HANDLE hThread) {
    return win32::GetThreadId(hThread);
}

HANDLE OpenCurrentThread() {
    HANDLE hThread = nullptr;
    if (!win32::DuplicateHandle(win32::GetCurrentProcess(), win32::GetCurrentThread(),
                                win32::GetCurrentProcess(), &hThread, 0, 0, win32::DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return hThread;
}

}  // namespace platform
