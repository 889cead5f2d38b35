// Text built in a fixed buffer, without allocation or locks, for code that runs after a crash (a
// signal handler, a new-handler that found the heap exhausted). Output past the buffer is dropped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

class CFixedText {
public:
    static constexpr std::size_t CAPACITY = 1024;

    CFixedText& Add(const char16_t* psz) {
        for (; psz != nullptr && *psz != u'\0'; ++psz) {
            AddChar(*psz);
        }
        return *this;
    }
    // ASCII and UTF-8 text (paths), widened.
    CFixedText& AddUtf8(const char* psz);
    CFixedText& AddChar(char16_t ch) {
        if (m_cch + 1 < CAPACITY) {
            m_sz[m_cch++] = ch;
            m_sz[m_cch] = u'\0';
        }
        return *this;
    }
    // nWidth digits at least, zero-padded, as "%0*d" gives.
    CFixedText& AddDecimal(std::int64_t nValue, int nWidth = 0);
    // Upper-case hexadecimal, nWidth digits at least, zero-padded.
    CFixedText& AddHex(std::uint64_t qwValue, int nWidth = 0);

    const char16_t* Data() const { return m_sz; }
    std::size_t Length() const { return m_cch; }

private:
    char16_t m_sz[CAPACITY] = {};
    std::size_t m_cch = 0;
};

// The local time from the real-time clock and a UTC offset taken earlier (the time-zone database
// cannot be read safely after a crash).
void GetLocalTimeAt(long nUtcOffsetSeconds, SYSTEMTIME* pTime);
// The current UTC offset of local time, in seconds. Not for crash paths.
long CurrentUtcOffset();
