// Threads of the platform. A thread handle is waitable (signalled when the thread has ended) and
// carries the exit code.
#pragma once

#include <cstddef>

#include "platform/types.h"

namespace platform {

using THREAD_START_ROUTINE = DWORD (*)(void* pParameter);

constexpr DWORD CREATE_SUSPENDED = 0x00000004;
constexpr DWORD STILL_ACTIVE = 259;

// Returns null on failure (last error set). With CREATE_SUSPENDED the routine does not begin until
// ResumeThread brings the suspend count to zero.
HANDLE CreateThread(std::size_t nStackSize, THREAD_START_ROUTINE pfnStart, void* pParameter, DWORD dwCreationFlags,
                    DWORD* pThreadId);
// Returns the previous suspend count, or 0xFFFFFFFF on failure. Only a thread created suspended and
// not yet started can be suspended on this platform.
DWORD ResumeThread(HANDLE hThread);
bool GetExitCodeThread(HANDLE hThread, DWORD* pExitCode);
// Ends the calling thread with the given exit code.
[[noreturn]] void ExitThread(DWORD dwExitCode);
// Forced end of another thread; see the implementation notes for what it guarantees on POSIX.
bool TerminateThread(HANDLE hThread, DWORD dwExitCode);
DWORD GetThreadId(HANDLE hThread);

}  // namespace platform
