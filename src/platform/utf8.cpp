// UTF-8 conversions are the seam's own, the same on every platform, so text is identical everywhere:
// one U+FFFD for each malformed sequence.
#include "platform/strings.h"

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
    }
}

// Decodes one UTF-8 sequence at s[i], advancing i; rejects overlong forms, surrogates and values past
// U+10FFFF.
char32_t DecodeUtf8(std::string_view s, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(s[i++]);
    if (lead < 0x80) {
        return lead;
    }
    int nTrail;
    char32_t cp;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        nTrail = 1, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        nTrail = 2, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        nTrail = 3, cp = lead & 0x07, minimum = 0x10000;
    } else {
        return kReplacement;
    }
    for (int n = 0; n < nTrail; ++n) {
        if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            return kReplacement;
        }
        cp = (cp << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return kReplacement;
    }
    return cp;
}

}  // namespace

std::string ToUtf8(std::u16string_view sWide) {
    std::string out;
    out.reserve(sWide.size());
    for (std::size_t i = 0; i < sWide.size(); ++i) {
        char32_t cp = sWide[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < sWide.size() && sWide[i + 1] >= 0xDC00 &&
            sWide[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (sWide[++i] - 0xDC00);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

std::u16string FromUtf8(std::string_view sUtf8) {
    std::u16string out;
    out.reserve(sUtf8.size());
    for (std::size_t i = 0; i < sUtf8.size();) {
        AppendUtf16(out, DecodeUtf8(sUtf8, i));
    }
    return out;
}

std::size_t WideLength(const char16_t* sz) {
    return sz == nullptr ? 0 : std::char_traits<char16_t>::length(sz);
}

}  // namespace platform
