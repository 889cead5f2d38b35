#include "platform/service_control.h"

#include <array>
#include <atomic>
#include <new>
#include <utility>

#include "platform/system.h"
#include "platform/win32/win32_api.h"

namespace platform {
namespace {

// The platform calls ServiceMain and the control handler with __stdcall, the seam's callbacks use the
// C convention. ServiceMain has no context argument, so each table slot gets a trampoline of its own.
constexpr std::size_t MAX_SERVICES = 8;
SERVICE_MAIN_FUNCTION g_pfnServiceMain[MAX_SERVICES];
std::atomic<bool> g_bDispatching{false};

template <std::size_t N>
void __stdcall ServiceMainAt(DWORD dwArgc, wchar_t** pArgv) {
    g_pfnServiceMain[N](dwArgc, reinterpret_cast<char16_t**>(pArgv));
}

template <std::size_t... N>
constexpr std::array<win32::SERVICE_MAIN_FUNCTIONW, sizeof...(N)> Trampolines(std::index_sequence<N...>) {
    return {&ServiceMainAt<N>...};
}
constexpr auto SERVICE_MAIN_TRAMPOLINES = Trampolines(std::make_index_sequence<MAX_SERVICES>());

// The handler's context: the platform may call the handler until the process ends, so a block is
// never freed.
struct HandlerBlock {
    HANDLER_FUNCTION_EX pfnHandlerEx;
    HANDLER_FUNCTION pfnHandler;
    void* pContext;
};

DWORD __stdcall HandlerBridge(DWORD dwControl, DWORD dwEventType, void* pEventData, void* pBlock) {
    const auto* pHandler = static_cast<const HandlerBlock*>(pBlock);
    if (pHandler->pfnHandlerEx != nullptr) {
        return pHandler->pfnHandlerEx(dwControl, dwEventType, pEventData, pHandler->pContext);
    }
    pHandler->pfnHandler(dwControl);
    return ERROR_SUCCESS;
}

SERVICE_STATUS_HANDLE RegisterHandler(const char16_t* szServiceName, const HandlerBlock& handler) {
    if (handler.pfnHandlerEx == nullptr && handler.pfnHandler == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* pBlock = new (std::nothrow) HandlerBlock(handler);
    if (pBlock == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* hStatus = win32::RegisterServiceCtrlHandlerExW(win32::W(szServiceName), HandlerBridge, pBlock);
    if (hStatus == nullptr) {
        const DWORD dwError = GetLastError();
        delete pBlock;
        SetLastError(dwError);
    }
    return static_cast<SERVICE_STATUS_HANDLE>(hStatus);
}

}  // namespace

SC_HANDLE OpenSCManager(const char16_t* szMachineName, const char16_t* szDatabaseName,
                        DWORD dwDesiredAccess) {
    return static_cast<SC_HANDLE>(
        win32::OpenSCManagerW(win32::W(szMachineName), win32::W(szDatabaseName), dwDesiredAccess));
}

SC_HANDLE OpenService(SC_HANDLE hSCManager, const char16_t* szServiceName, DWORD dwDesiredAccess) {
    return static_cast<SC_HANDLE>(win32::OpenServiceW(hSCManager, win32::W(szServiceName), dwDesiredAccess));
}

SC_HANDLE CreateService(SC_HANDLE hSCManager, const char16_t* szServiceName, const char16_t* szDisplayName,
                        DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                        const char16_t* szBinaryPathName, const char16_t* szLoadOrderGroup, DWORD* pdwTagId,
                        const char16_t* szDependencies, const char16_t* szServiceStartName,
                        const char16_t* szPassword) {
    return static_cast<SC_HANDLE>(win32::CreateServiceW(
        hSCManager, win32::W(szServiceName), win32::W(szDisplayName), dwDesiredAccess, dwServiceType,
        dwStartType, dwErrorControl, win32::W(szBinaryPathName), win32::W(szLoadOrderGroup), pdwTagId,
        win32::W(szDependencies), win32::W(szServiceStartName), win32::W(szPassword)));
}

bool DeleteService(SC_HANDLE hService) {
    return win32::DeleteService(hService) != 0;
}

bool ChangeServiceConfig2(SC_HANDLE hService, DWORD dwInfoLevel, void* pInfo) {
    return win32::ChangeServiceConfig2W(hService, dwInfoLevel, pInfo) != 0;
}

bool StartService(SC_HANDLE hService, DWORD dwNumServiceArgs, const char16_t** pszServiceArgVectors) {
    return win32::StartServiceW(hService, dwNumServiceArgs,
                                reinterpret_cast<const wchar_t**>(pszServiceArgVectors)) != 0;
}

bool ControlService(SC_HANDLE hService, DWORD dwControl, SERVICE_STATUS* pServiceStatus) {
    return win32::ControlService(hService, dwControl, pServiceStatus) != 0;
}

bool QueryServiceStatus(SC_HANDLE hService, SERVICE_STATUS* pServiceStatus) {
    return win32::QueryServiceStatus(hService, pServiceStatus) != 0;
}

bool QueryServiceStatusEx(SC_HANDLE hService, DWORD dwInfoLevel, BYTE* pBuffer, DWORD cbBufSize,
                          DWORD* pcbBytesNeeded) {
    return win32::QueryServiceStatusEx(hService, dwInfoLevel, pBuffer, cbBufSize, pcbBytesNeeded) != 0;
}

bool CloseServiceHandle(SC_HANDLE hSCObject) {
    return win32::CloseServiceHandle(hSCObject) != 0;
}

bool StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* pServiceTable) {
    if (pServiceTable == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::size_t nServices = 0;
    while (pServiceTable[nServices].lpServiceName != nullptr) {
        ++nServices;
    }
    // The trampolines are process-wide: a second dispatcher would change the first one's table.
    if (nServices > MAX_SERVICES) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (g_bDispatching.exchange(true)) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return false;
    }
    win32::SERVICE_TABLE_ENTRYW table[MAX_SERVICES + 1] = {};
    for (std::size_t i = 0; i < nServices; ++i) {
        g_pfnServiceMain[i] = pServiceTable[i].lpServiceProc;
        table[i].lpServiceName = const_cast<wchar_t*>(win32::W(pServiceTable[i].lpServiceName));
        table[i].lpServiceProc =
            pServiceTable[i].lpServiceProc != nullptr ? SERVICE_MAIN_TRAMPOLINES[i] : nullptr;
    }
    const bool bResult = win32::StartServiceCtrlDispatcherW(table) != 0;
    const DWORD dwError = GetLastError();
    g_bDispatching = false;
    SetLastError(dwError);
    return bResult;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char16_t* szServiceName, HANDLER_FUNCTION pfnHandler) {
    return RegisterHandler(szServiceName, HandlerBlock{nullptr, pfnHandler, nullptr});
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerEx(const char16_t* szServiceName,
                                                   HANDLER_FUNCTION_EX pfnHandler, void* pContext) {
    return RegisterHandler(szServiceName, HandlerBlock{pfnHandler, nullptr, pContext});
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, const SERVICE_STATUS* pServiceStatus) {
    return win32::SetServiceStatus(hServiceStatus, pServiceStatus) != 0;
}

}  // namespace platform

static_assert(sizeof(SERVICE_STATUS) == 28 && sizeof(SERVICE_STATUS_PROCESS) == 36,
              "the platform's status records are passed straight through");
