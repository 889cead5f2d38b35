// The maker's framework library (KT.dll): one object whose services the module loads after a
// successful start and unloads at the stop.
#pragma once

#include "platform/com.h"

struct IKTFramework : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetVersion(DWORD* pdwVersion) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetServiceCount(DWORD* pdwCount) = 0;
    virtual HRESULT STDMETHODCALLTYPE LoadServices() = 0;
    virtual HRESULT STDMETHODCALLTYPE UnloadServices() = 0;

protected:
    ~IKTFramework() = default;
};

inline constexpr CLSID CLSID_KTFramework = {
    0x06E414CE, 0xFBA9, 0x4CE1, {0xB0, 0x4B, 0x4C, 0x52, 0x84, 0x19, 0xA3, 0x52}};
inline constexpr IID IID_IKTFramework = {
    0xB7CB9000, 0x814F, 0x4AB7, {0xBC, 0x23, 0xB5, 0xE3, 0x0B, 0x7E, 0x29, 0x65}};
