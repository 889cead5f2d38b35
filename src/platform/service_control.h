// The service control manager: the service database (kept in the registry store under
// SYSTEM\CurrentControlSet\Services), starting and stopping services, their status, and the
// dispatcher side a service process uses. The names, signatures, constants and error codes are the
// platform's; on this machine the service control manager stand-in implements them.
#pragma once

#include "platform/types.h"

struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;
struct SERVICE_STATUS_HANDLE__;
using SERVICE_STATUS_HANDLE = SERVICE_STATUS_HANDLE__*;

// Service types.
constexpr DWORD SERVICE_KERNEL_DRIVER = 0x00000001;
constexpr DWORD SERVICE_FILE_SYSTEM_DRIVER = 0x00000002;
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x00000010;
constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x00000020;
constexpr DWORD SERVICE_INTERACTIVE_PROCESS = 0x00000100;
// Start types.
constexpr DWORD SERVICE_BOOT_START = 0;
constexpr DWORD SERVICE_SYSTEM_START = 1;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_DISABLED = 4;
// Error control.
constexpr DWORD SERVICE_ERROR_IGNORE = 0;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;
constexpr DWORD SERVICE_NO_CHANGE = 0xFFFFFFFF;
// States.
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;
// Controls and the accepted-controls bits.
constexpr DWORD SERVICE_CONTROL_STOP = 0x00000001;
constexpr DWORD SERVICE_CONTROL_PAUSE = 0x00000002;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 0x00000003;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 0x00000004;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 0x00000005;
constexpr DWORD SERVICE_CONTROL_PARAMCHANGE = 0x00000006;
constexpr DWORD SERVICE_CONTROL_NETBINDADD = 0x00000007;
constexpr DWORD SERVICE_CONTROL_NETBINDREMOVE = 0x00000008;
constexpr DWORD SERVICE_CONTROL_NETBINDENABLE = 0x00000009;
constexpr DWORD SERVICE_CONTROL_NETBINDDISABLE = 0x0000000A;
constexpr DWORD SERVICE_CONTROL_DEVICEEVENT = 0x0000000B;
constexpr DWORD SERVICE_CONTROL_HARDWAREPROFILECHANGE = 0x0000000C;
constexpr DWORD SERVICE_CONTROL_POWEREVENT = 0x0000000D;
constexpr DWORD SERVICE_CONTROL_SESSIONCHANGE = 0x0000000E;
constexpr DWORD SERVICE_ACCEPT_STOP = 0x00000001;
constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x00000002;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x00000004;
constexpr DWORD SERVICE_ACCEPT_PARAMCHANGE = 0x00000008;
constexpr DWORD SERVICE_ACCEPT_NETBINDCHANGE = 0x00000010;
// Access rights.
constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_ENUMERATE_DEPENDENTS = 0x0008;
constexpr DWORD SERVICE_START = 0x0010;
constexpr DWORD SERVICE_STOP = 0x0020;
constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x0040;
constexpr DWORD SERVICE_INTERROGATE = 0x0080;
constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
constexpr DWORD SERVICE_DELETE = 0x00010000;  // the standard DELETE right
// ChangeServiceConfig2 levels.
constexpr DWORD SERVICE_CONFIG_DESCRIPTION = 1;
// QueryServiceStatusEx levels.
constexpr DWORD SC_STATUS_PROCESS_INFO = 0;
// Error codes of the service control manager.
constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr DWORD ERROR_SERVICE_NO_THREAD = 1054;
constexpr DWORD ERROR_SERVICE_DATABASE_LOCKED = 1055;
constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr DWORD ERROR_INVALID_SERVICE_ACCOUNT = 1057;
constexpr DWORD ERROR_SERVICE_DISABLED = 1058;
constexpr DWORD ERROR_CIRCULAR_DEPENDENCY = 1059;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr DWORD ERROR_EXCEPTION_IN_SERVICE = 1064;
constexpr DWORD ERROR_DATABASE_DOES_NOT_EXIST = 1065;
constexpr DWORD ERROR_SERVICE_SPECIFIC_ERROR = 1066;
constexpr DWORD ERROR_PROCESS_ABORTED = 1067;
constexpr DWORD ERROR_SERVICE_DEPENDENCY_FAIL = 1068;
constexpr DWORD ERROR_SERVICE_LOGON_FAILED = 1069;
constexpr DWORD ERROR_SERVICE_START_HANG = 1070;
constexpr DWORD ERROR_INVALID_SERVICE_LOCK = 1071;
constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
constexpr DWORD ERROR_SERVICE_EXISTS = 1073;
constexpr DWORD ERROR_SERVICE_NEVER_STARTED = 1077;
constexpr DWORD ERROR_DUPLICATE_SERVICE_NAME = 1078;
constexpr DWORD ERROR_INVALID_SERVICE_CONTROL = 1052;
constexpr DWORD ERROR_DEPENDENT_SERVICES_RUNNING = 1051;
constexpr DWORD ERROR_INVALID_LEVEL = 124;

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};

// SERVICE_STATUS with the service's process id (0 while it is stopped).
struct SERVICE_STATUS_PROCESS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
    DWORD dwProcessId;
    DWORD dwServiceFlags;
};

struct SERVICE_DESCRIPTION {
    char16_t* lpDescription;
};

using SERVICE_MAIN_FUNCTION = void (*)(DWORD dwArgc, char16_t** lpszArgv);
using HANDLER_FUNCTION = void (*)(DWORD dwControl);
using HANDLER_FUNCTION_EX = DWORD (*)(DWORD dwControl, DWORD dwEventType, void* pEventData, void* pContext);

struct SERVICE_TABLE_ENTRY {
    const char16_t* lpServiceName;
    SERVICE_MAIN_FUNCTION lpServiceProc;
};

namespace platform {

// The controlling side. Null or false on failure, with the last error set.
SC_HANDLE OpenSCManager(const char16_t* szMachineName, const char16_t* szDatabaseName, DWORD dwDesiredAccess);
SC_HANDLE OpenService(SC_HANDLE hSCManager, const char16_t* szServiceName, DWORD dwDesiredAccess);
// szDependencies is a double-NUL-terminated list; szServiceStartName null means LocalSystem.
SC_HANDLE CreateService(SC_HANDLE hSCManager, const char16_t* szServiceName, const char16_t* szDisplayName,
                        DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                        const char16_t* szBinaryPathName, const char16_t* szLoadOrderGroup, DWORD* pdwTagId,
                        const char16_t* szDependencies, const char16_t* szServiceStartName,
                        const char16_t* szPassword);
bool DeleteService(SC_HANDLE hService);
bool ChangeServiceConfig2(SC_HANDLE hService, DWORD dwInfoLevel, void* pInfo);
bool StartService(SC_HANDLE hService, DWORD dwNumServiceArgs, const char16_t** pszServiceArgVectors);
bool ControlService(SC_HANDLE hService, DWORD dwControl, SERVICE_STATUS* pServiceStatus);
bool QueryServiceStatus(SC_HANDLE hService, SERVICE_STATUS* pServiceStatus);
// dwInfoLevel SC_STATUS_PROCESS_INFO: pBuffer receives a SERVICE_STATUS_PROCESS.
bool QueryServiceStatusEx(SC_HANDLE hService, DWORD dwInfoLevel, BYTE* pBuffer, DWORD cbBufSize,
                          DWORD* pcbBytesNeeded);
bool CloseServiceHandle(SC_HANDLE hSCObject);

// The service process's side.
// Blocks until every service of the table has reported SERVICE_STOPPED; calls ServiceMain on a
// thread of its own. Fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the process was not
// started by the service control manager.
bool StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* pServiceTable);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char16_t* szServiceName, HANDLER_FUNCTION pfnHandler);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerEx(const char16_t* szServiceName,
                                                   HANDLER_FUNCTION_EX pfnHandler, void* pContext);
bool SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, const SERVICE_STATUS* pServiceStatus);

}  // namespace platform
