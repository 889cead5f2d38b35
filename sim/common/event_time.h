// Event times as the tools print them. Events carry local wall-clock time (a SYSTEMTIME, or a FILETIME
// made from one without any time-zone change), so the text says which offset from UTC that time had.
#pragma once

#include <string>

#include "platform/types.h"

// ISO 8601 with milliseconds and the offset that applied at that local time, in the process's time
// zone, e.g. "2026-12-07T15:47:56.123+01:00". In the hour a clock is set back, the local time is
// ambiguous and the C library picks one of the two offsets.
std::string LocalTimeText(const SYSTEMTIME& local);

// The same for a file time holding local time; times before 1970 (an unset time) show as the start
// of 1970, and one beyond the calendar as its number in hexadecimal.
std::string LocalFileTimeText(ULONGLONG ullTicks);
