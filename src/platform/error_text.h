// The platform's message texts of system error codes, so that tools can show an operator what a
// number means instead of the bare number.
#pragma once

#include <string>

#include "platform/types.h"

namespace platform {

// The text FormatMessage gives for a system error code, without its final period and line break;
// null for a code outside the table (the codes this system and its stand-ins report).
const char* SystemErrorText(DWORD dwError);

// "N (text)", or "N" alone for a code without a text: how a tool shows an error number.
std::string DescribeError(DWORD dwError);

}  // namespace platform
