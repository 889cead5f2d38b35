#include "platform/uuid.h"

#include "platform/win32/win32_api.h"

namespace platform {

RPC_STATUS UuidFromString(const char16_t* szStringUuid, UUID* pUuid) {
    return win32::UuidFromStringW(win32::W(szStringUuid), pUuid);
}

int UuidCompare(const UUID* pUuid1, const UUID* pUuid2, RPC_STATUS* pStatus) {
    RPC_STATUS status = RPC_S_OK;
    const int nOrder = win32::UuidCompare(pUuid1, pUuid2, &status);
    if (pStatus != nullptr) {
        *pStatus = status;
    }
    return nOrder;
}

}  // namespace platform
