#include "platform/uuid.h"

#include <algorithm>
#include <string_view>

namespace platform {
namespace {

template <class T>
int Order(T a, T b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

RPC_STATUS UuidFromString(const char16_t* szStringUuid, UUID* pUuid) {
    if (szStringUuid == nullptr) {
        *pUuid = UUID{};
        return RPC_S_OK;
    }
    const std::u16string_view sText(szStringUuid);
    // GuidFromString also takes braces, which this function refuses.
    UUID uuid{};
    if (sText.starts_with(u'{') || !GuidFromString(sText, &uuid)) {
        return RPC_S_INVALID_STRING_UUID;
    }
    *pUuid = uuid;
    return RPC_S_OK;
}

int UuidCompare(const UUID* pUuid1, const UUID* pUuid2, RPC_STATUS* pStatus) {
    static constexpr UUID NIL{};
    const UUID& a = pUuid1 != nullptr ? *pUuid1 : NIL;
    const UUID& b = pUuid2 != nullptr ? *pUuid2 : NIL;
    if (pStatus != nullptr) {
        *pStatus = RPC_S_OK;
    }
    if (int n = Order(a.Data1, b.Data1); n != 0) {
        return n;
    }
    if (int n = Order(a.Data2, b.Data2); n != 0) {
        return n;
    }
    if (int n = Order(a.Data3, b.Data3); n != 0) {
        return n;
    }
    const auto [pA, pB] = std::mismatch(std::begin(a.Data4), std::end(a.Data4), std::begin(b.Data4));
    return pA == std::end(a.Data4) ? 0 : Order(*pA, *pB);
}

}  // namespace platform
