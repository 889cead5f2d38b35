// Who may open a named object. The platform keeps a security descriptor with each named object; the
// system builds the ones it needs from descriptor strings (SDDL). Names of the POSIX half live in the
// root, whose directory permissions guard them all alike: there no descriptor is built and an object
// made with one is made as without.
#pragma once

#include "platform/types.h"

// The platform's layout: the descriptor is opaque here.
struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    int bInheritHandle;
};

namespace platform {

// Fills *pAttributes (not inheritable) with the descriptor szSddl names; FreeSecurityAttributes gives
// it back. False with the last error set, e.g. ERROR_INVALID_PARAMETER for a malformed string.
bool CreateSecurityAttributes(const char16_t* szSddl, SECURITY_ATTRIBUTES* pAttributes);
// A descriptor whose DACL is null: every access is granted to everyone. Built rather than read from
// "D:NO_ACCESS_CONTROL", which Wine reads as an empty DACL, one that grants nothing.
bool CreateNullDaclSecurityAttributes(SECURITY_ATTRIBUTES* pAttributes);
void FreeSecurityAttributes(SECURITY_ATTRIBUTES* pAttributes);

}  // namespace platform
