// Wide (UTF-16) strings as the platform's WCHAR strings, and the conversions the seam needs where it
// calls POSIX.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Malformed input (unpaired surrogates, invalid UTF-8) becomes U+FFFD; nothing is dropped silently.
std::string ToUtf8(std::u16string_view sWide);
std::u16string FromUtf8(std::string_view sUtf8);

// Upper-casing as the platform does it for names and paths: one code unit at a time, simple case
// mapping, independent of any locale.
char16_t UpperChar(char16_t ch);
std::u16string ToUpper(std::u16string_view s);

// Ordinal comparison after upper-casing each code unit (the platform's case-insensitive name rule).
int CompareNoCase(std::u16string_view a, std::u16string_view b);
inline bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    return CompareNoCase(a, b) == 0;
}

// Length of a terminated wide string; 0 for a null pointer.
std::size_t WideLength(const char16_t* sz);

}  // namespace platform
