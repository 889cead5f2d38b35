// The process: its command line as the platform hands it over (one string, the program path first,
// arguments separated by spaces, arguments with spaces in double quotes), its error mode and its
// working set.
#pragma once

#include <cstddef>
#include <string>

#include "platform/types.h"

// Error-mode bits: failures the process handles itself rather than the system in a message box.
constexpr DWORD SEM_FAILCRITICALERRORS = 0x0001;
constexpr DWORD SEM_NOGPFAULTERRORBOX = 0x0002;
constexpr DWORD SEM_NOALIGNMENTFAULTEXCEPT = 0x0004;
constexpr DWORD SEM_NOOPENFILEERRORBOX = 0x8000;

namespace platform {

std::u16string GetCommandLine();

// Returns the previous mode. POSIX shows no such boxes: nothing is set there, and 0 comes back.
DWORD SetErrorMode(DWORD dwMode);

// Of the calling process; both sizes (SIZE_T)-1 give its pages back. POSIX keeps no working set per
// process to trim: true, nothing done.
bool SetProcessWorkingSetSize(std::size_t cbMinimum, std::size_t cbMaximum);

}  // namespace platform
