// COM variants and one-dimensional safe arrays, as far as the system passes them to outside
// components: arrays of 32-bit integer variants. The layouts are plain data, so a component that
// receives an array reads it without calling back into the platform.
#pragma once

#include <cstdint>

#include "platform/types.h"

using VARTYPE = std::uint16_t;

// COM booleans.
using VARIANT_BOOL = std::int16_t;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_VARIANT = 12;

struct VARIANT {
    VARTYPE vt;
    union {
        LONG lVal;
        LONGLONG llVal;
    };
};

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

struct SAFEARRAY {
    WORD cDims;
    WORD fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};

namespace platform {

// A vector of cElements elements of type vt (only VT_VARIANT is supported), all VT_EMPTY, indexed
// from lLbound. Null when out of memory or for another element type.
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
// Copies *pValue into the element at index *pIndex. E_INVALIDARG for a bad index or array.
HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* pIndex, const VARIANT* pValue);
HRESULT SafeArrayGetElement(const SAFEARRAY* psa, const LONG* pIndex, VARIANT* pValue);
HRESULT SafeArrayDestroy(SAFEARRAY* psa);

}  // namespace platform
