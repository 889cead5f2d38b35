// A program that crashes with the platform's dump writer in its unhandled-exception filter.
//   krell_minidump_crasher DUMP_PATH
// Starts a second thread that waits, then writes through a bad pointer (address 0x24). The filter
// writes DUMP_PATH and lets the process end with the exception's code.
#include <stdio.h>

#include <cstdint>
#include <string>

#include "platform/minidump.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace {

struct NativeRecord {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    NativeRecord* ExceptionRecord;
    void* ExceptionAddress;
    DWORD NumberParameters;
    std::uintptr_t ExceptionInformation[15];
};
struct NativePointers {
    NativeRecord* ExceptionRecord;
    void* ContextRecord;
};

extern "C" __declspec(dllimport) void* __stdcall SetUnhandledExceptionFilter(
    LONG(__stdcall*)(NativePointers*));
constexpr LONG EXCEPTION_EXECUTE_HANDLER = 1;

std::string g_sDumpPath;

LONG __stdcall Filter(NativePointers* pNative) {
    platform::EXCEPTION_RECORD record{};
    record.ExceptionCode = pNative->ExceptionRecord->ExceptionCode;
    record.ExceptionFlags = pNative->ExceptionRecord->ExceptionFlags;
    record.ExceptionAddress = reinterpret_cast<std::uintptr_t>(pNative->ExceptionRecord->ExceptionAddress);
    record.NumberParameters = pNative->ExceptionRecord->NumberParameters;
    for (DWORD i = 0; i < record.NumberParameters && i < platform::EXCEPTION_MAXIMUM_PARAMETERS; ++i) {
        record.ExceptionInformation[i] = pNative->ExceptionRecord->ExceptionInformation[i];
    }
    platform::EXCEPTION_POINTERS pointers{&record, pNative->ContextRecord};
    const platform::MINIDUMP_EXCEPTION_INFORMATION info{platform::GetCurrentThreadId(), &pointers, false};
    const int nFile = platform::CreateDumpFile(g_sDumpPath.c_str());
    if (nFile < 0 || !platform::MiniDumpWriteDump(nFile, platform::MiniDumpNormal, &info)) {
        fprintf(stderr, "dump failed %u\n", platform::GetLastError());
    }
    platform::CloseDumpFile(nFile);
    return EXCEPTION_EXECUTE_HANDLER;
}

DWORD Waiter(void* pEvent) {
    platform::WaitForSingleObject(static_cast<HANDLE>(pEvent), INFINITE);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: krell_minidump_crasher DUMP_PATH\n");
        return 2;
    }
    g_sDumpPath = argv[1];
    HANDLE hNever = platform::CreateEvent(true, false, nullptr);
    HANDLE hThread = platform::CreateThread(0, Waiter, hNever, 0, nullptr);
    if (hThread == nullptr) {
        return 3;
    }
    SetUnhandledExceptionFilter(Filter);
    *reinterpret_cast<volatile int*>(std::uintptr_t{0x24}) = 1;
    return 0;
}
