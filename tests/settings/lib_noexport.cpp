// A library for the object loader's tests that has one of the two entry points only.
#include "platform/com.h"
#include "settings/zel_result.h"

extern "C" __attribute__((visibility("default"))) ZELRESULT GetFactory(const CLSID*,
                                                                       IClassFactory** ppFactory) {
    *ppFactory = nullptr;
    return ZEL_E_NOT_FOUND;
}
