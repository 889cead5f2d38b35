#include "platform/com.h"

namespace platform {
namespace {

int HexDigit(char16_t ch) {
    if (ch >= u'0' && ch <= u'9') {
        return ch - u'0';
    }
    if (ch >= u'a' && ch <= u'f') {
        return ch - u'a' + 10;
    }
    if (ch >= u'A' && ch <= u'F') {
        return ch - u'A' + 10;
    }
    return -1;
}

// Reads nDigits hex digits at *pnPos into *pValue.
bool ReadHex(std::u16string_view s, std::size_t* pnPos, int nDigits, std::uint64_t* pValue) {
    if (s.size() - *pnPos < static_cast<std::size_t>(nDigits)) {
        return false;
    }
    std::uint64_t value = 0;
    for (int i = 0; i < nDigits; ++i) {
        const int nDigit = HexDigit(s[(*pnPos)++]);
        if (nDigit < 0) {
            return false;
        }
        value = (value << 4) | static_cast<std::uint64_t>(nDigit);
    }
    *pValue = value;
    return true;
}

bool ReadDash(std::u16string_view s, std::size_t* pnPos) {
    return *pnPos < s.size() && s[(*pnPos)++] == u'-';
}

}  // namespace

bool GuidFromString(std::u16string_view sText, GUID* pGuid) {
    if (pGuid == nullptr) {
        return false;
    }
    if (!sText.empty() && sText.front() == u'{') {
        if (sText.back() != u'}') {
            return false;
        }
        sText = sText.substr(1, sText.size() - 2);
    }
    if (sText.size() != 36) {
        return false;
    }
    std::size_t nPos = 0;
    std::uint64_t d1 = 0;
    std::uint64_t d2 = 0;
    std::uint64_t d3 = 0;
    std::uint64_t d4a = 0;
    std::uint64_t d4b = 0;
    if (!ReadHex(sText, &nPos, 8, &d1) || !ReadDash(sText, &nPos) || !ReadHex(sText, &nPos, 4, &d2) ||
        !ReadDash(sText, &nPos) || !ReadHex(sText, &nPos, 4, &d3) || !ReadDash(sText, &nPos) ||
        !ReadHex(sText, &nPos, 4, &d4a) || !ReadDash(sText, &nPos) || !ReadHex(sText, &nPos, 12, &d4b)) {
        return false;
    }
    GUID guid{};
    guid.Data1 = static_cast<std::uint32_t>(d1);
    guid.Data2 = static_cast<std::uint16_t>(d2);
    guid.Data3 = static_cast<std::uint16_t>(d3);
    guid.Data4[0] = static_cast<std::uint8_t>(d4a >> 8);
    guid.Data4[1] = static_cast<std::uint8_t>(d4a);
    for (int i = 0; i < 6; ++i) {
        guid.Data4[2 + i] = static_cast<std::uint8_t>(d4b >> (8 * (5 - i)));
    }
    *pGuid = guid;
    return true;
}

std::u16string GuidToString(const GUID& guid) {
    static constexpr char16_t DIGITS[] = u"0123456789ABCDEF";
    std::u16string s;
    s.reserve(38);
    const auto append = [&s](std::uint64_t value, int nDigits) {
        for (int i = nDigits - 1; i >= 0; --i) {
            s.push_back(DIGITS[(value >> (4 * i)) & 0xF]);
        }
    };
    s.push_back(u'{');
    append(guid.Data1, 8);
    s.push_back(u'-');
    append(guid.Data2, 4);
    s.push_back(u'-');
    append(guid.Data3, 4);
    s.push_back(u'-');
    append(guid.Data4[0], 2);
    append(guid.Data4[1], 2);
    s.push_back(u'-');
    for (int i = 2; i < 8; ++i) {
        append(guid.Data4[i], 2);
    }
    s.push_back(u'}');
    return s;
}

}  // namespace platform
