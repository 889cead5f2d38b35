// What each half adds to the shared COM activation: joining the thread to COM, and finding a loaded
// library's class factory. Each half also has its own OleRun and OleIsRunning (com.h).
#pragma once

#include "platform/com.h"
#include "platform/library.h"

namespace platform {

// Before a component's library is loaded on the calling thread.
void EnterApartment();
// The library's factory for the class; CO_E_ERRORINDLL when it exports no way to ask.
HRESULT ClassFactoryOf(HMODULE hModule, REFCLSID rclsid, IClassFactory** ppFactory);

}  // namespace platform
