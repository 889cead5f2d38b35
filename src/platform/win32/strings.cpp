#include "platform/strings.h"

#include "platform/win32/win32_api.h"

namespace platform {

// The invariant locale's simple upper-casing, one code unit to one, as the file system's name
// comparison uses it.
char16_t UpperChar(char16_t ch) {
    wchar_t in = static_cast<wchar_t>(ch);
    wchar_t out = in;
    if (win32::LCMapStringEx(L"", win32::LCMAP_UPPERCASE, &in, 1, &out, 1, nullptr, nullptr, 0) != 1) {
        return ch;
    }
    return static_cast<char16_t>(out);
}

std::u16string ToUpper(std::u16string_view s) {
    std::u16string out(s);
    for (char16_t& ch : out) {
        ch = UpperChar(ch);
    }
    return out;
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
    const int n = win32::CompareStringOrdinal(
        reinterpret_cast<const wchar_t*>(a.data()), static_cast<int>(a.size()),
        reinterpret_cast<const wchar_t*>(b.data()), static_cast<int>(b.size()), 1);
    // CSTR_LESS_THAN, CSTR_EQUAL, CSTR_GREATER_THAN are 1, 2, 3.
    return n - 2;
}

}  // namespace platform
