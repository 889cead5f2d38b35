#include "platform/minidump.h"

#include <cstdint>

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "platform/win32/win32_api.h"

// The file "descriptor" is the handle's value, as with WriteDescriptor: kernel handles fit in an int.
// An unhandled-exception filter runs on the faulting thread with the heap possibly broken, so nothing
// below allocates.
namespace platform {

bool MapDumpPath(const std::u16string& sWindowsPath, std::string* psPosixPath) {
    return MapPath(sWindowsPath, psPosixPath);
}

int CreateDumpFile(const char* szPosixPath) {
    wchar_t szPath[MAX_PATH];
    if (win32::MultiByteToWideChar(win32::CP_UTF8, 0, szPosixPath, -1, szPath, MAX_PATH) == 0) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return -1;
    }
    HANDLE hFile =
        win32::CreateFileW(szPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        return -1;
    }
    return static_cast<int>(reinterpret_cast<std::intptr_t>(hFile));
}

void CloseDumpFile(int nFile) {
    if (nFile >= 0) {
        win32::CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(nFile)));
    }
}

// dbghelp writes the threads (it suspends the others itself), modules, the exception and memory.
// The seam's record is widened to 64 bits for both platforms; here it goes back to the 32-bit one.
bool MiniDumpWriteDump(int nFile, DWORD dwDumpType, const MINIDUMP_EXCEPTION_INFORMATION* pException) {
    if ((dwDumpType & ~MiniDumpValidTypeFlags) != 0 || pException == nullptr ||
        pException->ExceptionPointers == nullptr || pException->ExceptionPointers->ContextRecord == nullptr ||
        pException->ExceptionPointers->ExceptionRecord == nullptr) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return false;
    }
    static win32::EXCEPTION_RECORD32 s_Record;
    static win32::EXCEPTION_POINTERS32 s_Pointers;
    static win32::MINIDUMP_EXCEPTION_INFORMATION32 s_Info;
    const EXCEPTION_RECORD& record = *pException->ExceptionPointers->ExceptionRecord;
    s_Record = {};
    s_Record.ExceptionCode = record.ExceptionCode;
    s_Record.ExceptionFlags = record.ExceptionFlags;
    s_Record.ExceptionAddress = reinterpret_cast<void*>(static_cast<std::uintptr_t>(record.ExceptionAddress));
    s_Record.NumberParameters = record.NumberParameters < EXCEPTION_MAXIMUM_PARAMETERS
                                    ? record.NumberParameters
                                    : EXCEPTION_MAXIMUM_PARAMETERS;
    for (DWORD i = 0; i < s_Record.NumberParameters; ++i) {
        s_Record.ExceptionInformation[i] = static_cast<std::uintptr_t>(record.ExceptionInformation[i]);
    }
    s_Pointers = {&s_Record, pException->ExceptionPointers->ContextRecord};
    s_Info = {pException->ThreadId, &s_Pointers, 0};
    HANDLE hFile = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(nFile));
    return win32::MiniDumpWriteDump(win32::GetCurrentProcess(), win32::GetCurrentProcessId(), hFile,
                                    dwDumpType, &s_Info, nullptr, nullptr) != 0;
}

}  // namespace platform
