// How the operator's tools read numbers and bytes from their command lines, one spelling for all of
// them: no sign, no spaces, nothing after the number, nothing beyond 32 bits.
#pragma once

#include <string_view>
#include <vector>

#include "platform/types.h"

namespace toolargs {

enum class Radix {
    Decimal,       // process ids, counts, seconds
    DecimalOrHex,  // codes and masks: decimal, or "0x" and hex digits
};

// A 32-bit number. Leading zeros are decimal, never octal.
bool ParseDword(std::string_view sText, DWORD* pdwValue, Radix radix = Radix::DecimalOrHex);

// An even run of hex digits, two a byte; empty text is no bytes.
bool ParseHex(std::string_view sHex, std::vector<BYTE>* pData);

}  // namespace toolargs
