// What the crash handler's shared part needs from its platform half (posix/ or win32/), besides the
// members of CCrashHandler that each half defines: the exception, pure-call and security handlers,
// CDebugHelp::Snap and TerminateProcess. Everything here is safe on a crash path.
#pragma once

#include "diagnostics/fixed_text.h"
#include "platform/types.h"

namespace crash_platform {

// The kernel's id of the calling thread, without a library call that could take a lock.
DWORD CurrentThreadId();
// The crash handler's lock waits in steps of this.
void PauseOneMillisecond();
// One line to the debug log from a fixed buffer (shared part).
void Log(DWORD dwLevel, const CFixedText& text);
void Log(DWORD dwLevel, const char16_t* szText);

}  // namespace crash_platform
