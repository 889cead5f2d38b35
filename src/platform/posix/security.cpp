#include "platform/security.h"

namespace platform {

bool CreateSecurityAttributes(const char16_t*, SECURITY_ATTRIBUTES* pAttributes) {
    *pAttributes = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), nullptr, 0};
    return true;
}

bool CreateNullDaclSecurityAttributes(SECURITY_ATTRIBUTES* pAttributes) {
    return CreateSecurityAttributes(nullptr, pAttributes);
}

void FreeSecurityAttributes(SECURITY_ATTRIBUTES* pAttributes) {
    pAttributes->lpSecurityDescriptor = nullptr;
}

}  // namespace platform
