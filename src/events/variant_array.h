// A one-dimensional safe array of variants, owned and destroyed with the object: the form in which
// the event manager takes a subscriber's event states.
#pragma once

#include "platform/variant.h"

class CVariantArray {
public:
    CVariantArray() = default;
    ~CVariantArray();
    CVariantArray(const CVariantArray&) = delete;
    CVariantArray& operator=(const CVariantArray&) = delete;

    // Replaces the contents with one VT_I4 variant per value.
    bool Write(const LONG* pValues, LONG nCount);
    const SAFEARRAY* Get() const { return m_psa; }

private:
    void Destroy();

    SAFEARRAY* m_psa = nullptr;
};
