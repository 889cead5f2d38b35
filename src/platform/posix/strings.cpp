#include "platform/strings.h"

#include <locale.h>
#include <wctype.h>

namespace platform {
namespace {

locale_t CaseLocale() {
    static const locale_t loc = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        return l != static_cast<locale_t>(0) ? l : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
    }();
    return loc;
}

}  // namespace

char16_t UpperChar(char16_t ch) {
    if (ch < 0x80) {
        return (ch >= u'a' && ch <= u'z') ? static_cast<char16_t>(ch - 0x20) : ch;
    }
    if (ch >= 0xD800 && ch <= 0xDFFF) {
        return ch;
    }
    const wint_t up = towupper_l(static_cast<wint_t>(ch), CaseLocale());
    return up <= 0xFFFF ? static_cast<char16_t>(up) : ch;
}

std::u16string ToUpper(std::u16string_view s) {
    std::u16string out(s);
    for (auto& ch : out) {
        ch = UpperChar(ch);
    }
    return out;
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t ca = UpperChar(a[i]);
        const char16_t cb = UpperChar(b[i]);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace platform
