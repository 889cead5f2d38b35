#include "platform/com_activation_platform.h"

namespace platform {
namespace {

using PFN_GET_FACTORY = HRESULT (*)(const CLSID* pClsid, IClassFactory** ppFactory);

}  // namespace

// The stand-ins need no apartment.
void EnterApartment() {}

HRESULT ClassFactoryOf(HMODULE hModule, REFCLSID rclsid, IClassFactory** ppFactory) {
    auto pfnGetFactory = reinterpret_cast<PFN_GET_FACTORY>(GetProcAddress(hModule, "GetFactory"));
    return pfnGetFactory != nullptr ? pfnGetFactory(&rclsid, ppFactory) : CO_E_ERRORINDLL;
}

}  // namespace platform
