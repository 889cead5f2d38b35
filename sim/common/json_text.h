// JSON string literals for the machine-readable output of the tools and the stand-ins.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/strings.h"

// A quoted JSON string of UTF-8 text: quotes and backslashes escaped, control characters as \uXXXX.
inline std::string JsonString(std::string_view sUtf8) {
    std::string sOut = "\"";
    for (const char ch : sUtf8) {
        if (ch == '"' || ch == '\\') {
            sOut += '\\';
            sOut += ch;
        } else if (static_cast<unsigned char>(ch) < 0x20) {
            char szEscape[8];
            std::snprintf(szEscape, sizeof(szEscape), "\\u%04x", static_cast<unsigned char>(ch));
            sOut += szEscape;
        } else {
            sOut += ch;
        }
    }
    return sOut + "\"";
}

inline std::string JsonString(std::u16string_view sText) {
    return JsonString(platform::ToUtf8(sText));
}
