// A reader of flat JSON objects, for the one-line requests the stand-ins take: string and unsigned
// number members only, no nesting. Paths carry spaces and backslashes, which a word-split command line
// cannot; a JSON object carries them without a quoting scheme of our own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct CJsonMember {
    std::string sName;
    bool bString = false;
    std::string sText;  // UTF-8, escapes resolved
    std::uint64_t qwNumber = 0;
};

class CJsonObject {
public:
    // The whole text must be one object (whitespace around it allowed). On failure sError says what
    // was expected at which byte offset, and the object is empty.
    bool Parse(std::string_view sText, std::string& sError) {
        m_Members.clear();
        m_sText = sText;
        m_nPos = 0;
        if (!ParseObject(sError)) {
            m_Members.clear();
            return false;
        }
        return true;
    }

    const CJsonMember* Find(std::string_view sName) const {
        for (const CJsonMember& member : m_Members) {
            if (member.sName == sName) {
                return &member;
            }
        }
        return nullptr;
    }
    const std::vector<CJsonMember>& Members() const { return m_Members; }

private:
    bool Fail(std::string& sError, const std::string& sWhat) {
        sError = "JSON offset " + std::to_string(m_nPos) + ": " + sWhat;
        return false;
    }
    void SkipSpace() {
        while (m_nPos < m_sText.size() && (m_sText[m_nPos] == ' ' || m_sText[m_nPos] == '\t' ||
                                           m_sText[m_nPos] == '\n' || m_sText[m_nPos] == '\r')) {
            ++m_nPos;
        }
    }
    bool Next(char ch) {
        SkipSpace();
        if (m_nPos < m_sText.size() && m_sText[m_nPos] == ch) {
            ++m_nPos;
            return true;
        }
        return false;
    }

    bool ParseObject(std::string& sError) {
        if (!Next('{')) {
            return Fail(sError, "expected '{'");
        }
        if (!Next('}')) {
            do {
                CJsonMember member;
                SkipSpace();
                const size_t nNameAt = m_nPos;
                if (!ParseString(member.sName, sError)) {
                    return false;
                }
                if (Find(member.sName) != nullptr) {
                    m_nPos = nNameAt;
                    return Fail(sError, "member \"" + member.sName + "\" given twice");
                }
                if (!Next(':')) {
                    return Fail(sError, "expected ':'");
                }
                if (!ParseValue(member, sError)) {
                    return false;
                }
                m_Members.push_back(std::move(member));
            } while (Next(','));
            if (!Next('}')) {
                return Fail(sError, "expected ',' or '}'");
            }
        }
        SkipSpace();
        if (m_nPos != m_sText.size()) {
            return Fail(sError, "text after the object");
        }
        return true;
    }

    bool ParseValue(CJsonMember& member, std::string& sError) {
        SkipSpace();
        if (m_nPos < m_sText.size() && m_sText[m_nPos] == '"') {
            member.bString = true;
            return ParseString(member.sText, sError);
        }
        if (m_nPos >= m_sText.size() || m_sText[m_nPos] < '0' || m_sText[m_nPos] > '9') {
            return Fail(sError, "expected a string or an unsigned number");
        }
        const size_t nStart = m_nPos;
        std::uint64_t qwValue = 0;
        while (m_nPos < m_sText.size() && m_sText[m_nPos] >= '0' && m_sText[m_nPos] <= '9') {
            const unsigned nDigit = static_cast<unsigned>(m_sText[m_nPos] - '0');
            if (qwValue > (UINT64_MAX - nDigit) / 10) {
                m_nPos = nStart;
                return Fail(sError, "number too large");
            }
            qwValue = qwValue * 10 + nDigit;
            ++m_nPos;
        }
        if (m_sText[nStart] == '0' && m_nPos - nStart > 1) {
            m_nPos = nStart;
            return Fail(sError, "number with a leading zero");
        }
        if (m_nPos < m_sText.size() &&
            (m_sText[m_nPos] == '.' || m_sText[m_nPos] == 'e' || m_sText[m_nPos] == 'E')) {
            return Fail(sError, "expected an unsigned integer");
        }
        member.qwNumber = qwValue;
        return true;
    }

    bool ParseHex4(unsigned& nUnit) {
        if (m_sText.size() - m_nPos < 4) {
            return false;
        }
        nUnit = 0;
        for (int i = 0; i < 4; ++i) {
            const char ch = m_sText[m_nPos++];
            nUnit <<= 4;
            if (ch >= '0' && ch <= '9') {
                nUnit |= static_cast<unsigned>(ch - '0');
            } else if (ch >= 'a' && ch <= 'f') {
                nUnit |= static_cast<unsigned>(ch - 'a' + 10);
            } else if (ch >= 'A' && ch <= 'F') {
                nUnit |= static_cast<unsigned>(ch - 'A' + 10);
            } else {
                return false;
            }
        }
        return true;
    }

    static void AppendUtf8(unsigned nCode, std::string& sOut) {
        if (nCode < 0x80) {
            sOut += static_cast<char>(nCode);
        } else if (nCode < 0x800) {
            sOut += static_cast<char>(0xC0 | (nCode >> 6));
            sOut += static_cast<char>(0x80 | (nCode & 0x3F));
        } else if (nCode < 0x10000) {
            sOut += static_cast<char>(0xE0 | (nCode >> 12));
            sOut += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
            sOut += static_cast<char>(0x80 | (nCode & 0x3F));
        } else {
            sOut += static_cast<char>(0xF0 | (nCode >> 18));
            sOut += static_cast<char>(0x80 | ((nCode >> 12) & 0x3F));
            sOut += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
            sOut += static_cast<char>(0x80 | (nCode & 0x3F));
        }
    }

    bool ParseString(std::string& sOut, std::string& sError) {
        if (m_nPos >= m_sText.size() || m_sText[m_nPos] != '"') {
            return Fail(sError, "expected a string");
        }
        ++m_nPos;
        for (;;) {
            if (m_nPos >= m_sText.size()) {
                return Fail(sError, "unterminated string");
            }
            const char ch = m_sText[m_nPos];
            if (ch == '"') {
                ++m_nPos;
                return true;
            }
            if (static_cast<unsigned char>(ch) < 0x20) {
                return Fail(sError, "control character in a string (escape it)");
            }
            if (ch != '\\') {
                sOut += ch;
                ++m_nPos;
                continue;
            }
            const size_t nEscapeAt = m_nPos++;
            const char chEscape = m_nPos < m_sText.size() ? m_sText[m_nPos++] : '\0';
            switch (chEscape) {
                case '"':
                case '\\':
                case '/':
                    sOut += chEscape;
                    break;
                case 'b':
                    sOut += '\b';
                    break;
                case 'f':
                    sOut += '\f';
                    break;
                case 'n':
                    sOut += '\n';
                    break;
                case 'r':
                    sOut += '\r';
                    break;
                case 't':
                    sOut += '\t';
                    break;
                case 'u': {
                    unsigned nUnit = 0;
                    if (!ParseHex4(nUnit)) {
                        m_nPos = nEscapeAt;
                        return Fail(sError, "\\u needs four hexadecimal digits");
                    }
                    if (nUnit >= 0xDC00 && nUnit <= 0xDFFF) {
                        m_nPos = nEscapeAt;
                        return Fail(sError, "low surrogate without a high one");
                    }
                    if (nUnit >= 0xD800 && nUnit <= 0xDBFF) {
                        unsigned nLow = 0;
                        const bool bEscape = m_sText.substr(m_nPos, 2) == "\\u";
                        m_nPos += bEscape ? 2 : 0;
                        if (!bEscape || !ParseHex4(nLow) || nLow < 0xDC00 || nLow > 0xDFFF) {
                            m_nPos = nEscapeAt;
                            return Fail(sError, "high surrogate without a low one");
                        }
                        nUnit = 0x10000 + ((nUnit - 0xD800) << 10) + (nLow - 0xDC00);
                    }
                    AppendUtf8(nUnit, sOut);
                    break;
                }
                default:
                    m_nPos = nEscapeAt;
                    return Fail(sError, "unknown escape in a string");
            }
        }
    }

    std::string_view m_sText;
    size_t m_nPos = 0;
    std::vector<CJsonMember> m_Members;
};
