// The key of the rule templates compiled into the service. The build enciphers the templates with it
// (templates/template_cipher.cpp) and the rule converter deciphers them; it is not the KC file key.
#pragma once

#include "platform/types.h"

inline constexpr BYTE RULE_TEMPLATE_KEY[8] = {0x6B, 0xD2, 0x37, 0x91, 0x0E, 0xA4, 0x5C, 0xF8};
