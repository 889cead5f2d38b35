#include "platform/file.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/strings.h"
#include "platform/system.h"
#include "platform/win32/win32_api.h"

namespace platform {

HANDLE CreateFile(const char16_t* szPath, DWORD dwDesiredAccess, DWORD dwShareMode,
                  DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes) {
    return win32::CreateFileW(win32::W(szPath), dwDesiredAccess, dwShareMode, nullptr, dwCreationDisposition,
                              dwFlagsAndAttributes, nullptr);
}

bool WriteFile(HANDLE hFile, const void* pBuffer, DWORD dwBytesToWrite, DWORD* pdwBytesWritten) {
    return win32::WriteFile(hFile, pBuffer, dwBytesToWrite, pdwBytesWritten, nullptr) != 0;
}

bool ReadFile(HANDLE hFile, void* pBuffer, DWORD dwBytesToRead, DWORD* pdwBytesRead) {
    return win32::ReadFile(hFile, pBuffer, dwBytesToRead, pdwBytesRead, nullptr) != 0;
}

// The seam's OVERLAPPED has the platform's layout.
bool WriteFile(HANDLE hFile, const void* pBuffer, DWORD dwBytesToWrite, DWORD* pdwBytesWritten,
               OVERLAPPED* pOverlapped) {
    return win32::WriteFile(hFile, pBuffer, dwBytesToWrite, pdwBytesWritten, pOverlapped) != 0;
}

bool ReadFile(HANDLE hFile, void* pBuffer, DWORD dwBytesToRead, DWORD* pdwBytesRead,
              OVERLAPPED* pOverlapped) {
    return win32::ReadFile(hFile, pBuffer, dwBytesToRead, pdwBytesRead, pOverlapped) != 0;
}

bool GetOverlappedResult(HANDLE hFile, OVERLAPPED* pOverlapped, DWORD* pdwBytesTransferred, bool bWait) {
    return win32::GetOverlappedResult(hFile, pOverlapped, pdwBytesTransferred, bWait) != 0;
}

bool DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, const void* pInBuffer, DWORD dwInBufferSize,
                     void* pOutBuffer, DWORD dwOutBufferSize, DWORD* pdwBytesReturned,
                     OVERLAPPED* pOverlapped) {
    return win32::DeviceIoControl(hDevice, dwIoControlCode, const_cast<void*>(pInBuffer), dwInBufferSize,
                                  pOutBuffer, dwOutBufferSize, pdwBytesReturned, pOverlapped) != 0;
}

bool SetFilePointerEx(HANDLE hFile, LONGLONG llDistance, LONGLONG* pllNewPosition, DWORD dwMoveMethod) {
    return win32::SetFilePointerEx(hFile, llDistance, pllNewPosition, dwMoveMethod) != 0;
}

bool GetFileSizeEx(HANDLE hFile, LONGLONG* pllSize) {
    return win32::GetFileSizeEx(hFile, pllSize) != 0;
}

bool FlushFileBuffers(HANDLE hFile) {
    return win32::FlushFileBuffers(hFile) != 0;
}

bool DeleteFile(const char16_t* szPath) {
    return win32::DeleteFileW(win32::W(szPath)) != 0;
}

bool CreateDirectory(const char16_t* szPath) {
    return win32::CreateDirectoryW(win32::W(szPath), nullptr) != 0;
}

DWORD GetFileAttributes(const char16_t* szPath) {
    return win32::GetFileAttributesW(win32::W(szPath));
}

bool ListFiles(const char16_t* szDirectory, std::vector<std::u16string>* pNames) {
    if (szDirectory == nullptr || pNames == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::u16string sPattern(szDirectory);
    if (!sPattern.empty() && sPattern.back() != u'\\') {
        sPattern += u'\\';
    }
    sPattern += u'*';
    win32::FIND_DATA data{};
    HANDLE hFind = win32::FindFirstFileW(win32::W(sPattern.c_str()), &data);
    pNames->clear();
    if (hFind == INVALID_HANDLE_VALUE) {
        // An empty directory has at least "." and ".."; only a missing or unreadable one fails.
        return false;
    }
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            pNames->emplace_back(reinterpret_cast<const char16_t*>(data.cFileName));
        }
    } while (win32::FindNextFileW(hFind, &data) != 0);
    const DWORD dwError = GetLastError();
    win32::FindClose(hFind);
    if (dwError != ERROR_NO_MORE_ITEMS) {
        SetLastError(dwError);
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool GetTempPath(std::u16string* psPath) {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD cch = win32::GetTempPathW(MAX_PATH + 1, buffer);
    if (cch == 0 || cch > MAX_PATH) {
        return false;
    }
    psPath->assign(reinterpret_cast<const char16_t*>(buffer), cch);
    return true;
}

unsigned GetTempFileName(const char16_t* szPath, const char16_t* szPrefix, unsigned uUnique,
                         std::u16string* psFileName) {
    if (szPath == nullptr || psFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    wchar_t buffer[MAX_PATH];
    const unsigned uUsed = win32::GetTempFileNameW(
        win32::W(szPath), szPrefix == nullptr ? L"" : win32::W(szPrefix), uUnique, buffer);
    if (uUsed != 0) {
        psFileName->assign(reinterpret_cast<const char16_t*>(buffer));
    }
    return uUsed;
}

namespace {

enum class Sink { kDebugger, kStderr, kNone };

// KRELL_DEBUG_OUTPUT chooses a sink for tools and tests; the debugger is the platform's own.
Sink DebugSink() {
    static const Sink sink = [] {
        const char* sz = std::getenv("KRELL_DEBUG_OUTPUT");
        if (sz != nullptr && std::strcmp(sz, "stderr") == 0) {
            return Sink::kStderr;
        }
        if (sz != nullptr && std::strcmp(sz, "none") == 0) {
            return Sink::kNone;
        }
        return Sink::kDebugger;
    }();
    return sink;
}

}  // namespace

void OutputDebugString(const char16_t* szText) {
    const Sink sink = DebugSink();
    if (szText == nullptr || sink == Sink::kNone) {
        return;
    }
    if (sink == Sink::kDebugger) {
        win32::OutputDebugStringW(win32::W(szText));
        return;
    }
    const std::string sText = ToUtf8(szText);
    DWORD dwWritten = 0;
    win32::WriteFile(win32::GetStdHandle(win32::STD_ERROR_HANDLE), sText.data(),
                     static_cast<DWORD>(sText.size()), &dwWritten, nullptr);
}

bool DebugOutputIsStderr() {
    return DebugSink() == Sink::kStderr;
}

// Kernel handles are 32-bit values even in 64-bit processes, and multiples of four, so a handle
// doubles as the descriptor and never collides with 2, standard error.
int FileDescriptorOf(HANDLE hFile) {
    if (hFile == nullptr || hFile == INVALID_HANDLE_VALUE) {
        return -1;
    }
    return static_cast<int>(reinterpret_cast<std::intptr_t>(hFile));
}

bool WriteDescriptor(int nFd, const void* pBuffer, std::size_t cb) {
    HANDLE hFile = nFd == 2 ? win32::GetStdHandle(win32::STD_ERROR_HANDLE)
                            : reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(nFd));
    DWORD dwWritten = 0;
    return nFd >= 0 && win32::WriteFile(hFile, pBuffer, static_cast<DWORD>(cb), &dwWritten, nullptr) != 0 &&
           dwWritten == cb;
}

}  // namespace platform
