#include "platform/variant.h"

#include <new>

namespace platform {

namespace {

bool ElementIndex(const SAFEARRAY* psa, const LONG* pIndex, ULONG* pnOffset) {
    if (psa == nullptr || pIndex == nullptr || psa->cDims != 1) {
        return false;
    }
    const LONGLONG nOffset = static_cast<LONGLONG>(*pIndex) - psa->rgsabound[0].lLbound;
    if (nOffset < 0 || nOffset >= psa->rgsabound[0].cElements) {
        return false;
    }
    *pnOffset = static_cast<ULONG>(nOffset);
    return true;
}

}  // namespace

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    if (vt != VT_VARIANT) {
        return nullptr;
    }
    auto* psa = new (std::nothrow) SAFEARRAY{};
    if (psa == nullptr) {
        return nullptr;
    }
    auto* pData = new (std::nothrow) VARIANT[cElements == 0 ? 1 : cElements];
    if (pData == nullptr) {
        delete psa;
        return nullptr;
    }
    for (ULONG n = 0; n < cElements; ++n) {
        pData[n].vt = VT_EMPTY;
        pData[n].llVal = 0;
    }
    psa->cDims = 1;
    psa->cbElements = sizeof(VARIANT);
    psa->pvData = pData;
    psa->rgsabound[0] = {cElements, lLbound};
    return psa;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* pIndex, const VARIANT* pValue) {
    ULONG nOffset = 0;
    if (pValue == nullptr || !ElementIndex(psa, pIndex, &nOffset)) {
        return E_INVALIDARG;
    }
    static_cast<VARIANT*>(psa->pvData)[nOffset] = *pValue;
    return S_OK;
}

HRESULT SafeArrayGetElement(const SAFEARRAY* psa, const LONG* pIndex, VARIANT* pValue) {
    ULONG nOffset = 0;
    if (pValue == nullptr || !ElementIndex(psa, pIndex, &nOffset)) {
        return E_INVALIDARG;
    }
    *pValue = static_cast<const VARIANT*>(psa->pvData)[nOffset];
    return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (psa == nullptr) {
        return E_INVALIDARG;
    }
    delete[] static_cast<VARIANT*>(psa->pvData);
    delete psa;
    return S_OK;
}

}  // namespace platform
