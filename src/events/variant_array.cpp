#include "events/variant_array.h"

CVariantArray::~CVariantArray() {
    Destroy();
}

void CVariantArray::Destroy() {
    if (m_psa != nullptr) {
        platform::SafeArrayDestroy(m_psa);
        m_psa = nullptr;
    }
}

bool CVariantArray::Write(const LONG* pValues, LONG nCount) {
    Destroy();
    if (nCount < 0 || (nCount > 0 && pValues == nullptr)) {
        return false;
    }
    m_psa = platform::SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(nCount));
    if (m_psa == nullptr) {
        return false;
    }
    for (LONG nIndex = 0; nIndex < nCount; ++nIndex) {
        VARIANT value{};
        value.vt = VT_I4;
        value.lVal = pValues[nIndex];
        if (platform::SafeArrayPutElement(m_psa, &nIndex, &value) < 0) {
            Destroy();
            return false;
        }
    }
    return true;
}
