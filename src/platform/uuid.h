// The platform's RPC UUID functions, as the install authorization uses them.
#pragma once

#include "platform/com.h"
#include "platform/types.h"

using UUID = GUID;
using RPC_STATUS = LONG;

constexpr RPC_STATUS RPC_S_OK = 0;
constexpr RPC_STATUS RPC_S_INVALID_STRING_UUID = 1705;

namespace platform {

// Exactly "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in either case: braces, other lengths and other
// characters answer RPC_S_INVALID_STRING_UUID and leave *pUuid alone. A null text is the nil UUID.
RPC_STATUS UuidFromString(const char16_t* szStringUuid, UUID* pUuid);
// -1, 0 or 1, ordering by Data1, Data2, Data3 and then the bytes of Data4, all unsigned. A null
// pointer stands for the nil UUID. *pStatus is RPC_S_OK.
int UuidCompare(const UUID* pUuid1, const UUID* pUuid2, RPC_STATUS* pStatus);

}  // namespace platform
