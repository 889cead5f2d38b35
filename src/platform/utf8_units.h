// UTF-8 decoding for code that runs after a crash (a signal handler, a new-handler that found the heap
// exhausted): no allocation, no locks.
#pragma once

#include <cstdint>

namespace platform {

// The next character of UTF-8 text as one or two UTF-16 units at pUnits, *pp moved past it; the number
// of units. Unlike FromUtf8 it checks nothing: a malformed sequence yields whatever its bits give.
inline int NextUtf16Units(const unsigned char** pp, char16_t* pUnits) {
    const unsigned char*& p = *pp;
    std::uint32_t cp = *p++;
    int nMore = cp >= 0xF0 ? 3 : cp >= 0xE0 ? 2 : cp >= 0xC0 ? 1 : 0;
    cp &= nMore == 3 ? 0x07 : nMore == 2 ? 0x0F : nMore == 1 ? 0x1F : 0x7F;
    for (; nMore > 0 && (*p & 0xC0) == 0x80; --nMore) {
        cp = (cp << 6) | (*p++ & 0x3F);
    }
    if (cp >= 0x10000) {
        cp -= 0x10000;
        pUnits[0] = static_cast<char16_t>(0xD800 + (cp >> 10));
        pUnits[1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        return 2;
    }
    pUnits[0] = static_cast<char16_t>(cp);
    return 1;
}

}  // namespace platform
