#include "platform/variant.h"

#include <cstddef>

#include "platform/win32/win32_api.h"

// Arrays made here go to real components and come back from them, so the seam's records must be
// the platform's byte for byte.
static_assert(sizeof(VARIANT) == 16 && offsetof(VARIANT, vt) == 0 && offsetof(VARIANT, lVal) == 8 &&
              offsetof(VARIANT, llVal) == 8);
static_assert(sizeof(SAFEARRAYBOUND) == 8 && offsetof(SAFEARRAYBOUND, lLbound) == 4);
static_assert(sizeof(SAFEARRAY) == 24 && offsetof(SAFEARRAY, cbElements) == 4 &&
              offsetof(SAFEARRAY, cLocks) == 8 && offsetof(SAFEARRAY, pvData) == 12 &&
              offsetof(SAFEARRAY, rgsabound) == 16);

namespace platform {
namespace {

constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000B);

// The platform answers an index out of bounds with DISP_E_BADINDEX; the seam with E_INVALIDARG.
HRESULT SeamResult(HRESULT hr) {
    return hr == DISP_E_BADINDEX ? E_INVALIDARG : hr;
}

}  // namespace

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    if (vt != VT_VARIANT) {
        return nullptr;
    }
    return static_cast<SAFEARRAY*>(win32::SafeArrayCreateVector(vt, lLbound, cElements));
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* pIndex, const VARIANT* pValue) {
    if (psa == nullptr || pIndex == nullptr || pValue == nullptr) {
        return E_INVALIDARG;
    }
    // The element is copied with VariantCopy, which only reads the value.
    return SeamResult(win32::SafeArrayPutElement(psa, pIndex, const_cast<VARIANT*>(pValue)));
}

HRESULT SafeArrayGetElement(const SAFEARRAY* psa, const LONG* pIndex, VARIANT* pValue) {
    if (psa == nullptr || pIndex == nullptr || pValue == nullptr) {
        return E_INVALIDARG;
    }
    // VariantCopy clears the destination first: whatever the caller left there is not a variant
    // the platform owns.
    pValue->vt = VT_EMPTY;
    pValue->llVal = 0;
    // The platform locks the array for the copy and unlocks it again.
    return SeamResult(win32::SafeArrayGetElement(const_cast<SAFEARRAY*>(psa), pIndex, pValue));
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    // The platform accepts a null array.
    if (psa == nullptr) {
        return E_INVALIDARG;
    }
    return win32::SafeArrayDestroy(psa);
}

}  // namespace platform
