// COM on the calling thread for a scope: joined in an apartment, and left again when the scope ends if
// the join succeeded (S_FALSE, already joined, counts too).
#pragma once

#include "platform/com.h"

class CCoInitialize {
public:
    CCoInitialize() = default;
    ~CCoInitialize() {
        if (m_bInitialized) {
            platform::CoUninitialize();
        }
    }
    CCoInitialize(const CCoInitialize&) = delete;
    CCoInitialize& operator=(const CCoInitialize&) = delete;

    HRESULT CoInitialize(DWORD dwCoInit) {
        const HRESULT hr = platform::CoInitializeEx(nullptr, dwCoInit);
        m_bInitialized = m_bInitialized || SUCCEEDED(hr);
        return hr;
    }

private:
    bool m_bInitialized = false;
};
