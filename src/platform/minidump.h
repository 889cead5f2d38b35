// The mini-dump writer: MDMP files as the platform's debug-help library writes them, which debuggers
// (LLDB among them) open. Everything here but MapDumpPath is async-signal-safe: no allocation, no
// locks, raw system calls only, so it runs inside a fatal-signal handler or a new-handler that found
// the heap exhausted. The dump file is a plain descriptor for the same reason: the handle table
// takes locks that the crashing thread may hold.
#pragma once

#include <string>

#include "platform/types.h"

namespace platform {

// Offset from SIGRTMIN of the signal the writer sends the process's other threads to collect their
// registers; they wait in its handler until the dump is written. Nothing else may claim it.
constexpr int THREAD_STATE_SIGNAL_OFFSET = 7;

// MINIDUMP_TYPE flags. docs/crash.md says which of them this writer honours.
constexpr DWORD MiniDumpNormal = 0x00000000;
constexpr DWORD MiniDumpWithDataSegs = 0x00000001;
constexpr DWORD MiniDumpWithFullMemory = 0x00000002;
constexpr DWORD MiniDumpWithHandleData = 0x00000004;
constexpr DWORD MiniDumpFilterMemory = 0x00000008;
constexpr DWORD MiniDumpScanMemory = 0x00000010;
constexpr DWORD MiniDumpWithUnloadedModules = 0x00000020;
constexpr DWORD MiniDumpWithIndirectlyReferencedMemory = 0x00000040;
constexpr DWORD MiniDumpFilterModulePaths = 0x00000080;
constexpr DWORD MiniDumpWithProcessThreadData = 0x00000100;
constexpr DWORD MiniDumpWithPrivateReadWriteMemory = 0x00000200;
constexpr DWORD MiniDumpWithoutOptionalData = 0x00000400;
constexpr DWORD MiniDumpWithFullMemoryInfo = 0x00000800;
constexpr DWORD MiniDumpWithThreadInfo = 0x00001000;
constexpr DWORD MiniDumpWithCodeSegs = 0x00002000;
constexpr DWORD MiniDumpValidTypeFlags = 0x01FFFFFF;

// The fault as the signal handler saw it. ExceptionCode is the signal number (0 for a dump that no
// signal caused), ExceptionFlags its si_code; the parameters are the caller's own (the crash handler
// puts its crash type first). ContextRecord is the ucontext_t of the faulting thread. On Windows the
// code, flags and parameters are the exception's own and ContextRecord is the platform's CONTEXT.
constexpr DWORD EXCEPTION_MAXIMUM_PARAMETERS = 15;
struct EXCEPTION_RECORD {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    ULONGLONG ExceptionAddress;
    DWORD NumberParameters;
    ULONGLONG ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
};
struct EXCEPTION_POINTERS {
    EXCEPTION_RECORD* ExceptionRecord;
    void* ContextRecord;
};
struct MINIDUMP_EXCEPTION_INFORMATION {
    DWORD ThreadId;
    EXCEPTION_POINTERS* ExceptionPointers;
    bool ClientPointers;
};

// The dump's file name in Windows form, mapped to the POSIX path the writer opens. Not signal-safe:
// callers map once, ahead of any crash.
bool MapDumpPath(const std::u16string& sWindowsPath, std::string* psPosixPath);

// Creates (always anew) the file at a mapped path; -1 with the last error set on failure.
int CreateDumpFile(const char* szPosixPath);
void CloseDumpFile(int nFile);

// Writes the calling process's dump into nFile: system information, the calling thread's registers
// and stack, those of every other thread that answers the writer's signal within 200 ms (a thread
// that blocks it is left out), the modules with their build ids, the exception, the memory the dump type asks
// for and the process's memory map. pException's context is the thread's state to record; its code 0 marks a
// dump that no signal caused. False with the last error set (E_INVALIDARG for flags outside
// MiniDumpValidTypeFlags or a missing context, the system's error when a write fails). One call at a
// time: its buffers are static.
bool MiniDumpWriteDump(int nFile, DWORD dwDumpType, const MINIDUMP_EXCEPTION_INFORMATION* pException);

}  // namespace platform
