#include "platform/xpath_names.h"

namespace platform {
namespace {

bool IsNameStart(char ch) {
    const auto u = static_cast<unsigned char>(ch);
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || ch == '_' || u >= 0x80;
}

bool IsNameChar(char ch) {
    return IsNameStart(ch) || (ch >= '0' && ch <= '9') || ch == '-' || ch == '.';
}

}  // namespace

std::string QualifyNameTests(const std::string& sPath) {
    enum class Prev { None, Operand, Operator, At, Axis, Open };
    std::string sOut;
    Prev prev = Prev::None;
    bool bAttributeAxis = false;
    std::size_t i = 0;
    auto skipSpace = [&](std::size_t j) {
        while (j < sPath.size() &&
               (sPath[j] == ' ' || sPath[j] == '\t' || sPath[j] == '\n' || sPath[j] == '\r')) {
            ++j;
        }
        return j;
    };
    while (i < sPath.size()) {
        const char ch = sPath[i];
        if (ch == '\'' || ch == '"') {
            const std::size_t nEnd = sPath.find(ch, i + 1);
            const std::size_t nStop = nEnd == std::string::npos ? sPath.size() : nEnd + 1;
            sOut.append(sPath, i, nStop - i);
            i = nStop;
            prev = Prev::Operand;
            continue;
        }
        if (IsNameStart(ch)) {
            std::size_t j = i;
            while (j < sPath.size() && IsNameChar(sPath[j])) {
                ++j;
            }
            const std::string sName = sPath.substr(i, j - i);
            const bool bOperatorContext = prev == Prev::Operand;
            const std::size_t k = skipSpace(j);
            if (bOperatorContext) {
                // and, or, div, mod
                sOut += sName;
                prev = Prev::Operator;
            } else if (k < sPath.size() && sPath[k] == '(') {
                sOut += sName;  // function or node type
                prev = Prev::Operand;
            } else if (sPath.compare(k, 2, "::") == 0) {
                sOut += sName;
                bAttributeAxis = sName == "attribute" || sName == "namespace";
                sOut.append(sPath, j, k + 2 - j);
                j = k + 2;
                prev = Prev::Axis;
            } else if (j < sPath.size() && sPath[j] == ':' &&
                       (j + 1 < sPath.size() && (IsNameStart(sPath[j + 1]) || sPath[j + 1] == '*'))) {
                // Already prefixed: copy "prefix:local" or "prefix:*".
                std::size_t m = j + 1;
                if (sPath[m] == '*') {
                    ++m;
                } else {
                    while (m < sPath.size() && IsNameChar(sPath[m])) {
                        ++m;
                    }
                }
                sOut.append(sPath, i, m - i);
                j = m;
                prev = Prev::Operand;
            } else {
                if (prev != Prev::At && !(prev == Prev::Axis && bAttributeAxis)) {
                    sOut += XPATH_DEFAULT_PREFIX;
                    sOut += ':';
                }
                sOut += sName;
                prev = Prev::Operand;
            }
            if (prev != Prev::Axis) {
                bAttributeAxis = false;
            }
            i = j;
            continue;
        }
        if (ch == '$') {
            std::size_t j = i + 1;
            while (j < sPath.size() && (IsNameChar(sPath[j]) || sPath[j] == ':')) {
                ++j;
            }
            sOut.append(sPath, i, j - i);
            i = j;
            prev = Prev::Operand;
            continue;
        }
        if (ch >= '0' && ch <= '9') {
            std::size_t j = i;
            while (j < sPath.size() && ((sPath[j] >= '0' && sPath[j] <= '9') || sPath[j] == '.')) {
                ++j;
            }
            sOut.append(sPath, i, j - i);
            i = j;
            prev = Prev::Operand;
            continue;
        }
        sOut += ch;
        ++i;
        switch (ch) {
            case ' ':
            case '\t':
            case '\n':
            case '\r':
                break;
            case '@':
                prev = Prev::At;
                break;
            case '(':
            case '[':
            case ',':
                prev = Prev::Open;
                break;
            case ')':
            case ']':
            case '.':
                prev = Prev::Operand;
                break;
            case '*':
                prev = prev == Prev::Operand ? Prev::Operator : Prev::Operand;
                break;
            default:  // / | + - = ! < >
                prev = Prev::Operator;
                break;
        }
    }
    return sOut;
}

}  // namespace platform
