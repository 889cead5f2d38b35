// Threads of the platform. A thread handle is waitable (signalled when the thread has ended) and
// carries the exit code. Threads are detached: closing the handle of a running thread is fine and
// nobody has to join it.
#pragma once

#include <cstddef>

#include "platform/types.h"

namespace platform {

using THREAD_START_ROUTINE = DWORD (*)(void* pParameter);

constexpr DWORD CREATE_SUSPENDED = 0x00000004;
constexpr DWORD STILL_ACTIVE = 259;

// Offset from SIGRTMIN of the signal TerminateThread uses on POSIX; nothing else may claim it.
constexpr int TERMINATE_THREAD_SIGNAL_OFFSET = 6;

// Returns null on failure (last error set). With CREATE_SUSPENDED the routine does not begin until
// ResumeThread brings the suspend count to zero.
HANDLE CreateThread(std::size_t nStackSize, THREAD_START_ROUTINE pfnStart, void* pParameter,
                    DWORD dwCreationFlags, DWORD* pThreadId);
// Returns the previous suspend count, or 0xFFFFFFFF on failure. Only a thread created suspended and
// not yet started can be suspended on this platform.
DWORD ResumeThread(HANDLE hThread);
bool GetExitCodeThread(HANDLE hThread, DWORD* pExitCode);
// Ends the calling thread with the given exit code, unwinding its frames (pthread_exit on POSIX).
[[noreturn]] void ExitThread(DWORD dwExitCode);
// Forced end of a thread created by CreateThread (last resort: it ignored its stop request). Returns
// at once; wait on the handle to see the end. On POSIX a dedicated real-time signal
// (SIGRTMIN + TERMINATE_THREAD_SIGNAL_OFFSET) ends the thread by pthread_exit, which guarantees:
// - the thread runs no more code of its own after the next signal delivery point (a system call
//   returning, an interrupted computation); a thread blocked in an uninterruptible state ends when
//   it next returns to user space;
// - a thread in Sleep or a wait of this seam is ended there, outside the signal handler; inside
//   the seam's own bookkeeping (an event change, a handle lookup) the end is deferred to the
//   seam's next wait or Sleep, so the seam's locks are never left held;
// - unlike on the platform, the thread's frames are unwound: destructors run, and a catch (...)
//   that does not rethrow abi::__forced_unwind aborts the process, as does reaching a noexcept
//   frame (e.g. ending a thread while it runs a destructor);
// - its mutexes become abandoned, the exit code is dwExitCode and the handle is signalled;
// - as on the platform, a thread ended while holding a lock of its own or of the C library (e.g.
//   inside malloc) leaves that lock held;
// - under ThreadSanitizer signals are delivered only at intercepted calls, so a thread spinning in
//   pure computation may never end, and one ended inside the handler (not in Sleep or a wait) is
//   reported as making signal-unsafe calls while it unwinds.
bool TerminateThread(HANDLE hThread, DWORD dwExitCode);
DWORD GetThreadId(HANDLE hThread);
// A new handle to the calling thread (the platform's duplicate of its current-thread handle). Null
// with ERROR_INVALID_HANDLE on a thread that CreateThread did not start.
HANDLE OpenCurrentThread();

}  // namespace platform
