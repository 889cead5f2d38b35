#include "arguments.h"

namespace toolargs {
namespace {

int DigitValue(char ch) {
    if (ch >= '0' && ch <= '9') {
        return ch - '0';
    }
    if (ch >= 'a' && ch <= 'f') {
        return ch - 'a' + 10;
    }
    if (ch >= 'A' && ch <= 'F') {
        return ch - 'A' + 10;
    }
    return -1;
}

}  // namespace

bool ParseDword(std::string_view sText, DWORD* pdwValue, Radix radix) {
    unsigned nBase = 10;
    if (radix == Radix::DecimalOrHex && sText.size() > 2 && sText[0] == '0' &&
        (sText[1] == 'x' || sText[1] == 'X')) {
        nBase = 16;
        sText.remove_prefix(2);
    }
    if (sText.empty()) {
        return false;
    }
    unsigned long long ullValue = 0;
    for (char ch : sText) {
        const int nDigit = DigitValue(ch);
        if (nDigit < 0 || static_cast<unsigned>(nDigit) >= nBase) {
            return false;
        }
        ullValue = ullValue * nBase + static_cast<unsigned>(nDigit);
        if (ullValue > 0xFFFFFFFFull) {
            return false;
        }
    }
    *pdwValue = static_cast<DWORD>(ullValue);
    return true;
}

bool ParseHex(std::string_view sHex, std::vector<BYTE>* pData) {
    if (sHex.size() % 2 != 0) {
        return false;
    }
    std::vector<BYTE> data;
    data.reserve(sHex.size() / 2);
    for (std::size_t i = 0; i < sHex.size(); i += 2) {
        const int nHigh = DigitValue(sHex[i]);
        const int nLow = DigitValue(sHex[i + 1]);
        if (nHigh < 0 || nLow < 0) {
            return false;
        }
        data.push_back(static_cast<BYTE>(nHigh * 16 + nLow));
    }
    *pData = std::move(data);
    return true;
}

}  // namespace toolargs
