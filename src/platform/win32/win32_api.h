// The Win32 functions the seam's Windows half calls, declared here rather than taken from
// <windows.h>: the seam's own headers define the platform's names (DWORD, HANDLE, ERROR_SUCCESS,
// CreateFile...) in its own way, and the two cannot meet in one translation unit. The signatures are
// the documented ones, spelled with the seam's types of the same size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

struct IUnknown;

namespace win32 {

using HKEY_ = void*;

struct FIND_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    wchar_t cFileName[MAX_PATH];
    wchar_t cAlternateFileName[14];
};

constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
constexpr DWORD FILE_TYPE_CHAR = 0x0002;
constexpr DWORD CP_UTF8 = 65001;
constexpr DWORD LCMAP_UPPERCASE = 0x00000200;

extern "C" {
// kernel32
__declspec(dllimport) DWORD __stdcall GetLastError();
__declspec(dllimport) void __stdcall SetLastError(DWORD);
__declspec(dllimport) DWORD __stdcall GetCurrentProcessId();
__declspec(dllimport) DWORD __stdcall GetCurrentThreadId();
__declspec(dllimport) void __stdcall GetLocalTime(SYSTEMTIME*);
__declspec(dllimport) void __stdcall GetSystemTime(SYSTEMTIME*);
__declspec(dllimport) BOOL __stdcall SystemTimeToFileTime(const SYSTEMTIME*, FILETIME*);
__declspec(dllimport) BOOL __stdcall FileTimeToSystemTime(const FILETIME*, SYSTEMTIME*);
__declspec(dllimport) DWORD __stdcall GetTickCount();
__declspec(dllimport) void __stdcall GetSystemTimePreciseAsFileTime(FILETIME*);
__declspec(dllimport) void __stdcall Sleep(DWORD);

__declspec(dllimport) HANDLE __stdcall CreateFileW(const wchar_t*, DWORD, DWORD, void*, DWORD, DWORD, HANDLE);
__declspec(dllimport) BOOL __stdcall WriteFile(HANDLE, const void*, DWORD, DWORD*, void*);
__declspec(dllimport) BOOL __stdcall ReadFile(HANDLE, void*, DWORD, DWORD*, void*);
__declspec(dllimport) BOOL __stdcall GetOverlappedResult(HANDLE, void*, DWORD*, BOOL);
__declspec(dllimport) BOOL
    __stdcall DeviceIoControl(HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD*, void*);
__declspec(dllimport) BOOL __stdcall SetFilePointerEx(HANDLE, LONGLONG, LONGLONG*, DWORD);
__declspec(dllimport) BOOL __stdcall GetFileSizeEx(HANDLE, LONGLONG*);
__declspec(dllimport) BOOL __stdcall FlushFileBuffers(HANDLE);
__declspec(dllimport) BOOL __stdcall DeleteFileW(const wchar_t*);
__declspec(dllimport) BOOL __stdcall CreateDirectoryW(const wchar_t*, void*);
__declspec(dllimport) DWORD __stdcall GetFileAttributesW(const wchar_t*);
__declspec(dllimport) HANDLE __stdcall FindFirstFileW(const wchar_t*, FIND_DATA*);
__declspec(dllimport) BOOL __stdcall FindNextFileW(HANDLE, FIND_DATA*);
__declspec(dllimport) BOOL __stdcall FindClose(HANDLE);
__declspec(dllimport) DWORD __stdcall GetTempPathW(DWORD, wchar_t*);
__declspec(dllimport) unsigned __stdcall GetTempFileNameW(const wchar_t*, const wchar_t*, unsigned, wchar_t*);
__declspec(dllimport) void __stdcall OutputDebugStringW(const wchar_t*);
__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD);
__declspec(dllimport) DWORD __stdcall GetFileType(HANDLE);
__declspec(dllimport) DWORD __stdcall GetModuleFileNameW(void*, wchar_t*, DWORD);

__declspec(dllimport) HANDLE __stdcall CreateEventW(void*, BOOL, BOOL, const wchar_t*);
__declspec(dllimport) HANDLE __stdcall OpenEventW(DWORD, BOOL, const wchar_t*);
__declspec(dllimport) BOOL __stdcall SetEvent(HANDLE);
__declspec(dllimport) BOOL __stdcall ResetEvent(HANDLE);
__declspec(dllimport) HANDLE __stdcall CreateMutexW(void*, BOOL, const wchar_t*);
__declspec(dllimport) HANDLE __stdcall OpenMutexW(DWORD, BOOL, const wchar_t*);
__declspec(dllimport) BOOL __stdcall ReleaseMutex(HANDLE);
__declspec(dllimport) DWORD __stdcall WaitForSingleObject(HANDLE, DWORD);
__declspec(dllimport) DWORD __stdcall WaitForMultipleObjects(DWORD, const HANDLE*, BOOL, DWORD);
__declspec(dllimport) BOOL __stdcall CloseHandle(HANDLE);

__declspec(dllimport) HANDLE
    __stdcall CreateThread(void*, std::size_t, DWORD(__stdcall*)(void*), void*, DWORD, DWORD*);
__declspec(dllimport) DWORD __stdcall ResumeThread(HANDLE);
__declspec(dllimport) BOOL __stdcall GetExitCodeThread(HANDLE, DWORD*);
[[noreturn]] __declspec(dllimport) void __stdcall ExitThread(DWORD);
__declspec(dllimport) BOOL __stdcall TerminateThread(HANDLE, DWORD);
__declspec(dllimport) DWORD __stdcall GetThreadId(HANDLE);
__declspec(dllimport) HANDLE __stdcall GetCurrentThread();
__declspec(dllimport) HANDLE __stdcall GetCurrentProcess();
__declspec(dllimport) BOOL __stdcall DuplicateHandle(HANDLE, HANDLE, HANDLE, HANDLE*, DWORD, BOOL, DWORD);
constexpr DWORD DUPLICATE_SAME_ACCESS = 0x00000002;

__declspec(dllimport) int __stdcall MultiByteToWideChar(unsigned, DWORD, const char*, int, wchar_t*, int);
__declspec(dllimport) int __stdcall WideCharToMultiByte(unsigned, DWORD, const wchar_t*, int, char*, int,
                                                        const char*, BOOL*);
__declspec(dllimport) int __stdcall CompareStringOrdinal(const wchar_t*, int, const wchar_t*, int, BOOL);
__declspec(dllimport) int __stdcall LCMapStringEx(const wchar_t*, DWORD, const wchar_t*, int, wchar_t*, int,
                                                  void*, void*, std::intptr_t);

__declspec(dllimport) void* __stdcall VirtualAlloc(void*, std::size_t, DWORD, DWORD);
__declspec(dllimport) BOOL __stdcall VirtualFree(void*, std::size_t, DWORD);

__declspec(dllimport) void* __stdcall LoadLibraryExW(const wchar_t*, HANDLE, DWORD);
__declspec(dllimport) void* __stdcall GetProcAddress(void*, const char*);
__declspec(dllimport) BOOL __stdcall FreeLibrary(void*);
__declspec(dllimport) void* __stdcall FindResourceW(void*, const wchar_t*, const wchar_t*);
__declspec(dllimport) void* __stdcall LoadResource(void*, void*);
__declspec(dllimport) DWORD __stdcall SizeofResource(void*, void*);
__declspec(dllimport) void* __stdcall LockResource(void*);

__declspec(dllimport) HANDLE __stdcall CreateFileMappingW(HANDLE, void*, DWORD, DWORD, DWORD, const wchar_t*);
__declspec(dllimport) HANDLE __stdcall OpenFileMappingW(DWORD, BOOL, const wchar_t*);
__declspec(dllimport) void* __stdcall MapViewOfFile(HANDLE, DWORD, DWORD, DWORD, std::size_t);
__declspec(dllimport) BOOL __stdcall UnmapViewOfFile(const void*);

__declspec(dllimport) BOOL
    __stdcall ReadDirectoryChangesW(HANDLE, void*, DWORD, BOOL, DWORD, DWORD*, void*, void*);

__declspec(dllimport) wchar_t* __stdcall GetCommandLineW();
__declspec(dllimport) DWORD
    __stdcall FormatMessageW(DWORD, const void*, DWORD, DWORD, wchar_t*, DWORD, void*);
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;

// The 276-byte version record (wide form).
struct OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    wchar_t szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOW) == 276);
__declspec(dllimport) BOOL __stdcall GetVersionExW(OSVERSIONINFOW*);

// ntdll
__declspec(dllimport) LONG __stdcall RtlGetVersion(OSVERSIONINFOW*);

// shell32
__declspec(dllimport) BOOL __stdcall SHGetSpecialFolderPathW(void*, wchar_t*, int, BOOL);

// rpcrt4
__declspec(dllimport) LONG __stdcall UuidFromStringW(const wchar_t*, void*);
__declspec(dllimport) int __stdcall UuidCompare(const void*, const void*, LONG*);

// advapi32
__declspec(dllimport) LONG
    __stdcall RegCreateKeyExW(HKEY_, const wchar_t*, DWORD, wchar_t*, DWORD, REGSAM, void*, HKEY_*, DWORD*);
__declspec(dllimport) LONG __stdcall RegOpenKeyExW(HKEY_, const wchar_t*, DWORD, REGSAM, HKEY_*);
__declspec(dllimport) LONG __stdcall RegCloseKey(HKEY_);
__declspec(dllimport) LONG __stdcall RegDeleteTreeW(HKEY_, const wchar_t*);
__declspec(dllimport) LONG __stdcall RegDeleteKeyW(HKEY_, const wchar_t*);
__declspec(dllimport) LONG __stdcall RegSetValueExW(HKEY_, const wchar_t*, DWORD, DWORD, const BYTE*, DWORD);
__declspec(dllimport) LONG __stdcall RegQueryValueExW(HKEY_, const wchar_t*, DWORD*, DWORD*, BYTE*, DWORD*);
__declspec(dllimport) LONG __stdcall RegDeleteValueW(HKEY_, const wchar_t*);
__declspec(dllimport) LONG
    __stdcall RegEnumKeyExW(HKEY_, DWORD, wchar_t*, DWORD*, DWORD*, wchar_t*, DWORD*, FILETIME*);
__declspec(dllimport) LONG
    __stdcall RegEnumValueW(HKEY_, DWORD, wchar_t*, DWORD*, DWORD*, DWORD*, BYTE*, DWORD*);
__declspec(dllimport) LONG __stdcall RegQueryInfoKeyW(HKEY_, wchar_t*, DWORD*, DWORD*, DWORD*, DWORD*, DWORD*,
                                                      DWORD*, DWORD*, DWORD*, DWORD*, FILETIME*);
__declspec(dllimport) LONG __stdcall RegFlushKey(HKEY_);

// advapi32: the event log
__declspec(dllimport) HANDLE __stdcall RegisterEventSourceW(const wchar_t*, const wchar_t*);
__declspec(dllimport) BOOL __stdcall DeregisterEventSource(HANDLE);
__declspec(dllimport) BOOL
    __stdcall ReportEventW(HANDLE, WORD, WORD, DWORD, void*, WORD, DWORD, const wchar_t**, const void*);
__declspec(dllimport) HANDLE __stdcall OpenEventLogW(const wchar_t*, const wchar_t*);
__declspec(dllimport) BOOL __stdcall ReadEventLogW(HANDLE, DWORD, DWORD, void*, DWORD, DWORD*, DWORD*);
__declspec(dllimport) BOOL __stdcall CloseEventLog(HANDLE);

// advapi32: accounts and SIDs; netapi32: the local user list
__declspec(dllimport) BOOL
    __stdcall LookupAccountNameW(const wchar_t*, const wchar_t*, void*, DWORD*, wchar_t*, DWORD*, DWORD*);
__declspec(dllimport) BOOL
    __stdcall LookupAccountSidW(const wchar_t*, const void*, wchar_t*, DWORD*, wchar_t*, DWORD*, DWORD*);
__declspec(dllimport) BOOL __stdcall ConvertSidToStringSidW(const void*, wchar_t**);
__declspec(dllimport) BOOL __stdcall ConvertStringSidToSidW(const wchar_t*, void**);
__declspec(dllimport) BOOL __stdcall IsValidSid(const void*);
__declspec(dllimport) DWORD __stdcall GetLengthSid(const void*);
__declspec(dllimport) BOOL __stdcall GetUserNameW(wchar_t*, DWORD*);
__declspec(dllimport) void* __stdcall LocalFree(void*);
__declspec(dllimport) DWORD
    __stdcall NetUserEnum(const wchar_t*, DWORD, DWORD, BYTE**, DWORD, DWORD*, DWORD*, DWORD*);
__declspec(dllimport) DWORD __stdcall NetApiBufferFree(void*);
constexpr DWORD FILTER_NORMAL_ACCOUNT = 0x0002;
constexpr DWORD MAX_PREFERRED_LENGTH = static_cast<DWORD>(-1);
constexpr DWORD EVENTLOG_SEQUENTIAL_READ = 0x0001;
constexpr DWORD EVENTLOG_BACKWARDS_READ = 0x0008;

// msi: installer databases and packages (MSIHANDLE is a DWORD)
__declspec(dllimport) unsigned __stdcall MsiOpenDatabaseW(const wchar_t*, const wchar_t*, DWORD*);
__declspec(dllimport) unsigned __stdcall MsiOpenPackageW(const wchar_t*, DWORD*);
__declspec(dllimport) unsigned __stdcall MsiGetPropertyW(DWORD, const wchar_t*, wchar_t*, DWORD*);
__declspec(dllimport) unsigned __stdcall MsiCloseHandle(DWORD);
__declspec(dllimport) int __stdcall MsiSetInternalUI(int, void**);
constexpr int INSTALLUILEVEL_NONE = 2;

// advapi32: the service control manager. Handles are spelled void*: the seam's SC_HANDLE and
// SERVICE_STATUS_HANDLE are the same pointers, and SERVICE_STATUS(_PROCESS) has the platform's layout.
using SERVICE_MAIN_FUNCTIONW = void(__stdcall*)(DWORD, wchar_t**);
using HANDLER_FUNCTION_EXW = DWORD(__stdcall*)(DWORD, DWORD, void*, void*);
struct SERVICE_TABLE_ENTRYW {
    wchar_t* lpServiceName;
    SERVICE_MAIN_FUNCTIONW lpServiceProc;
};
__declspec(dllimport) void* __stdcall OpenSCManagerW(const wchar_t*, const wchar_t*, DWORD);
__declspec(dllimport) void* __stdcall OpenServiceW(void*, const wchar_t*, DWORD);
__declspec(dllimport) void* __stdcall CreateServiceW(void*, const wchar_t*, const wchar_t*, DWORD, DWORD,
                                                     DWORD, DWORD, const wchar_t*, const wchar_t*, DWORD*,
                                                     const wchar_t*, const wchar_t*, const wchar_t*);
__declspec(dllimport) BOOL __stdcall DeleteService(void*);
__declspec(dllimport) BOOL __stdcall ChangeServiceConfig2W(void*, DWORD, void*);
__declspec(dllimport) BOOL __stdcall StartServiceW(void*, DWORD, const wchar_t**);
__declspec(dllimport) BOOL __stdcall ControlService(void*, DWORD, void*);
__declspec(dllimport) BOOL __stdcall QueryServiceStatus(void*, void*);
__declspec(dllimport) BOOL __stdcall QueryServiceStatusEx(void*, DWORD, BYTE*, DWORD, DWORD*);
__declspec(dllimport) BOOL __stdcall CloseServiceHandle(void*);
__declspec(dllimport) BOOL __stdcall StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW*);
__declspec(dllimport) void* __stdcall RegisterServiceCtrlHandlerExW(const wchar_t*, HANDLER_FUNCTION_EXW,
                                                                    void*);
__declspec(dllimport) BOOL __stdcall SetServiceStatus(void*, const void*);

// dbghelp: mini-dumps. The exception records are the platform's 32-bit ones, not the seam's.
struct EXCEPTION_RECORD32 {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    EXCEPTION_RECORD32* ExceptionRecord;
    void* ExceptionAddress;
    DWORD NumberParameters;
    std::uintptr_t ExceptionInformation[15];
};
struct EXCEPTION_POINTERS32 {
    EXCEPTION_RECORD32* ExceptionRecord;
    void* ContextRecord;
};
#pragma pack(push, 4)
struct MINIDUMP_EXCEPTION_INFORMATION32 {
    DWORD ThreadId;
    EXCEPTION_POINTERS32* ExceptionPointers;
    BOOL ClientPointers;
};
#pragma pack(pop)
__declspec(dllimport) BOOL
    __stdcall MiniDumpWriteDump(HANDLE, DWORD, HANDLE, DWORD, const MINIDUMP_EXCEPTION_INFORMATION32*,
                                const void*, const void*);

// kernel32: the crash handler's unhandled-exception filter, its snapshot and its end of the process.
// The context is the platform's x86 CONTEXT, opaque here.
using TOP_LEVEL_EXCEPTION_FILTER32 = LONG(__stdcall*)(EXCEPTION_POINTERS32*);
__declspec(dllimport) TOP_LEVEL_EXCEPTION_FILTER32
    __stdcall SetUnhandledExceptionFilter(TOP_LEVEL_EXCEPTION_FILTER32);
__declspec(dllimport) void __stdcall RtlCaptureContext(void*);
__declspec(dllimport) BOOL __stdcall TerminateProcess(HANDLE, DWORD);

// kernel32: the console of the service's foreground run and its control events.
using HANDLER_ROUTINE32 = BOOL(__stdcall*)(DWORD);
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
constexpr DWORD CTRL_LOGOFF_EVENT = 5;
constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;
__declspec(dllimport) BOOL __stdcall AllocConsole();
__declspec(dllimport) BOOL __stdcall FreeConsole();
__declspec(dllimport) BOOL __stdcall SetConsoleCtrlHandler(HANDLER_ROUTINE32, BOOL);
// kernel32: the service process's error mode and working set.
__declspec(dllimport) unsigned __stdcall SetErrorMode(unsigned);
__declspec(dllimport) BOOL __stdcall SetProcessWorkingSetSize(HANDLE, std::size_t, std::size_t);
// advapi32: the security descriptors of named objects, from their strings.
constexpr DWORD SDDL_REVISION_1 = 1;
__declspec(dllimport) BOOL
    __stdcall ConvertStringSecurityDescriptorToSecurityDescriptorW(const wchar_t*, DWORD, void**, DWORD*);
constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
constexpr std::size_t SECURITY_DESCRIPTOR_MIN_LENGTH = 20;
constexpr unsigned LPTR = 0x0040;
__declspec(dllimport) BOOL __stdcall InitializeSecurityDescriptor(void*, DWORD);
__declspec(dllimport) BOOL __stdcall SetSecurityDescriptorDacl(void*, BOOL, void*, BOOL);
__declspec(dllimport) void* __stdcall LocalAlloc(unsigned, std::size_t);

// ole32 and oleaut32: COM on the calling thread, and safe arrays. The seam's VARIANT and SAFEARRAY
// have the platform's layout (variant.cpp checks it).
using VARTYPE_ = std::uint16_t;
__declspec(dllimport) HRESULT __stdcall CoInitializeEx(void*, DWORD);
__declspec(dllimport) void __stdcall CoUninitialize();
// OleIsRunning takes an IOleObject, whose IUnknown it queries for IRunnableObject.
__declspec(dllimport) HRESULT __stdcall OleRun(IUnknown*);
__declspec(dllimport) BOOL __stdcall OleIsRunning(IUnknown*);
__declspec(dllimport) void* __stdcall SafeArrayCreateVector(VARTYPE_, LONG, ULONG);
__declspec(dllimport) HRESULT __stdcall SafeArrayPutElement(void*, const LONG*, void*);
__declspec(dllimport) HRESULT __stdcall SafeArrayGetElement(void*, const LONG*, void*);
__declspec(dllimport) HRESULT __stdcall SafeArrayDestroy(void*);
}

// The platform's wide strings are the seam's char16_t strings.
inline const wchar_t* W(const char16_t* sz) {
    return reinterpret_cast<const wchar_t*>(sz);
}
inline wchar_t* W(char16_t* sz) {
    return reinterpret_cast<wchar_t*>(sz);
}

}  // namespace win32
