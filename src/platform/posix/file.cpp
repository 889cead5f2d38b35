#include "platform/file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <memory>

#include "platform/dir_watch.h"
#include "platform/paths.h"
#include "platform/posix/device.h"
#include "platform/posix/dir_watch_object.h"
#include "platform/posix/handle_table.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace platform {
namespace {

class CFileObject : public posix::KernelObject {
public:
    explicit CFileObject(int nFd) : m_nFd(nFd) {}
    ~CFileObject() override { close(m_nFd); }
    int Fd() const { return m_nFd; }

private:
    int m_nFd;
};

std::shared_ptr<CFileObject> LookupFile(HANDLE hFile) {
    return posix::LookupHandle<CFileObject>(hFile);
}

bool FailWithErrno() {
    SetLastError(ErrorFromErrno(errno));
    return false;
}

int OpenFlags(DWORD dwDesiredAccess, DWORD dwCreationDisposition) {
    int nFlags = O_CLOEXEC;
    const bool bRead = (dwDesiredAccess & GENERIC_READ) != 0;
    const bool bWrite = (dwDesiredAccess & GENERIC_WRITE) != 0;
    nFlags |= bRead && bWrite ? O_RDWR : (bWrite ? O_WRONLY : O_RDONLY);
    switch (dwCreationDisposition) {
        case CREATE_NEW:
            return nFlags | O_CREAT | O_EXCL;
        case CREATE_ALWAYS:
            return nFlags | O_CREAT | O_TRUNC;
        case OPEN_ALWAYS:
            return nFlags | O_CREAT;
        case TRUNCATE_EXISTING:
            return nFlags | O_TRUNC;
        case OPEN_EXISTING:
            return nFlags;
        default:
            return -1;
    }
}

}  // namespace

HANDLE CreateFile(const char16_t* szPath, DWORD dwDesiredAccess, DWORD dwShareMode,
                  DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes) {
    std::string sPath;
    if (szPath == nullptr || !MapPath(szPath, &sPath)) {
        if (szPath == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
        }
        return INVALID_HANDLE_VALUE;
    }
    if (std::u16string_view(szPath).starts_with(u"\\\\.\\")) {
        const auto pDevice = posix::CDeviceObject::Connect(sPath);
        if (pDevice == nullptr) {
            return INVALID_HANDLE_VALUE;
        }
        HANDLE hDevice = posix::InsertHandle(pDevice);
        if (hDevice == nullptr) {
            return INVALID_HANDLE_VALUE;
        }
        SetLastError(ERROR_SUCCESS);
        return hDevice;
    }
    if ((dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0 && dwCreationDisposition == OPEN_EXISTING) {
        struct stat st {};
        if (stat(sPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            return posix::OpenDirectoryObject(sPath);
        }
    }
    const int nFlags = OpenFlags(dwDesiredAccess, dwCreationDisposition);
    if (nFlags == -1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool bExisted = access(sPath.c_str(), F_OK) == 0;
    const int nFd = open(sPath.c_str(), nFlags, 0644);
    if (nFd < 0) {
        DWORD dwError = ErrorFromErrno(errno);
        if (errno == EEXIST) {
            dwError = ERROR_FILE_EXISTS;
        } else if (errno == ENOENT && dwCreationDisposition != OPEN_EXISTING &&
                   dwCreationDisposition != TRUNCATE_EXISTING) {
            dwError = ERROR_PATH_NOT_FOUND;  // the file would have been created: its folder is missing
        } else if (errno == EISDIR) {
            dwError = ERROR_ACCESS_DENIED;
        }
        SetLastError(dwError);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE hFile = posix::InsertHandle(std::make_shared<CFileObject>(nFd));
    if (hFile == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    const bool bReportsExisting =
        dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS;
    SetLastError(bReportsExisting && bExisted ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return hFile;
}

// A plain transfer on a device is an overlapped one that the caller waits for.
bool DeviceTransferAndWait(HANDLE hDevice, void* pBuffer, DWORD dwSize, DWORD* pdwDone, bool bRead) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEvent(true, false, nullptr);
    if (overlapped.hEvent == nullptr) {
        return false;
    }
    const bool bDone = bRead ? ReadFile(hDevice, pBuffer, dwSize, pdwDone, &overlapped)
                             : WriteFile(hDevice, pBuffer, dwSize, pdwDone, &overlapped);
    bool bResult = bDone;
    if (!bDone && GetLastError() == ERROR_IO_PENDING) {
        bResult = GetOverlappedResult(hDevice, &overlapped, pdwDone, true);
    }
    const DWORD dwError = GetLastError();
    CloseHandle(overlapped.hEvent);
    SetLastError(dwError);
    return bResult;
}

bool WriteFile(HANDLE hFile, const void* pBuffer, DWORD dwBytesToWrite, DWORD* pdwBytesWritten) {
    if (posix::LookupHandle<posix::CDeviceObject>(hFile) != nullptr) {
        return DeviceTransferAndWait(hFile, const_cast<void*>(pBuffer), dwBytesToWrite, pdwBytesWritten,
                                     false);
    }
    const auto pFile = LookupFile(hFile);
    if (pdwBytesWritten != nullptr) {
        *pdwBytesWritten = 0;
    }
    if (!pFile) {
        return false;
    }
    const auto* pBytes = static_cast<const char*>(pBuffer);
    DWORD dwDone = 0;
    while (dwDone < dwBytesToWrite) {
        const ssize_t n = write(pFile->Fd(), pBytes + dwDone, dwBytesToWrite - dwDone);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (pdwBytesWritten != nullptr) {
                *pdwBytesWritten = dwDone;
            }
            return FailWithErrno();
        }
        dwDone += static_cast<DWORD>(n);
    }
    if (pdwBytesWritten != nullptr) {
        *pdwBytesWritten = dwDone;
    }
    return true;
}

bool ReadFile(HANDLE hFile, void* pBuffer, DWORD dwBytesToRead, DWORD* pdwBytesRead) {
    if (posix::LookupHandle<posix::CDeviceObject>(hFile) != nullptr) {
        return DeviceTransferAndWait(hFile, pBuffer, dwBytesToRead, pdwBytesRead, true);
    }
    const auto pFile = LookupFile(hFile);
    if (pdwBytesRead != nullptr) {
        *pdwBytesRead = 0;
    }
    if (!pFile) {
        return false;
    }
    ssize_t n;
    do {
        n = read(pFile->Fd(), pBuffer, dwBytesToRead);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return FailWithErrno();
    }
    if (pdwBytesRead != nullptr) {
        *pdwBytesRead = static_cast<DWORD>(n);
    }
    return true;
}

namespace {

// Files complete every overlapped transfer at once, at the OVERLAPPED's offset.
bool FileTransferAt(const CFileObject& file, void* pBuffer, DWORD dwSize, DWORD* pdwDone,
                    OVERLAPPED* pOverlapped, bool bRead) {
    const off_t nOffset =
        static_cast<off_t>((static_cast<ULONGLONG>(pOverlapped->OffsetHigh) << 32) | pOverlapped->Offset);
    if (pOverlapped->hEvent != nullptr) {
        ResetEvent(pOverlapped->hEvent);
    }
    DWORD dwDone = 0;
    DWORD dwError = ERROR_SUCCESS;
    while (dwDone < dwSize) {
        auto* pBytes = static_cast<char*>(pBuffer) + dwDone;
        const ssize_t n = bRead ? pread(file.Fd(), pBytes, dwSize - dwDone, nOffset + dwDone)
                                : pwrite(file.Fd(), pBytes, dwSize - dwDone, nOffset + dwDone);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            dwError = ErrorFromErrno(errno);
            break;
        }
        if (n == 0) {
            if (dwDone == 0 && bRead && dwSize != 0) {
                dwError = ERROR_HANDLE_EOF;
            }
            break;
        }
        dwDone += static_cast<DWORD>(n);
    }
    pOverlapped->InternalHigh = dwDone;
    pOverlapped->Internal = dwError;
    if (pdwDone != nullptr) {
        *pdwDone = dwDone;
    }
    if (pOverlapped->hEvent != nullptr) {
        SetEvent(pOverlapped->hEvent);
    }
    SetLastError(dwError);
    return dwError == ERROR_SUCCESS;
}

bool OverlappedTransfer(HANDLE hFile, void* pBuffer, DWORD dwSize, DWORD* pdwDone, OVERLAPPED* pOverlapped,
                        bool bRead) {
    if (pdwDone != nullptr) {
        *pdwDone = 0;
    }
    const auto pObject = posix::LookupObject(hFile);
    if (pObject == nullptr) {
        return false;
    }
    if (pBuffer == nullptr && dwSize != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (auto* pDevice = dynamic_cast<posix::CDeviceObject*>(pObject.get())) {
        return bRead ? pDevice->Read(pBuffer, dwSize, pdwDone, pOverlapped)
                     : pDevice->Write(pBuffer, dwSize, pdwDone, pOverlapped);
    }
    if (auto* pFile = dynamic_cast<CFileObject*>(pObject.get())) {
        return FileTransferAt(*pFile, pBuffer, dwSize, pdwDone, pOverlapped, bRead);
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

}  // namespace

bool WriteFile(HANDLE hFile, const void* pBuffer, DWORD dwBytesToWrite, DWORD* pdwBytesWritten,
               OVERLAPPED* pOverlapped) {
    if (pOverlapped == nullptr) {
        return WriteFile(hFile, pBuffer, dwBytesToWrite, pdwBytesWritten);
    }
    return OverlappedTransfer(hFile, const_cast<void*>(pBuffer), dwBytesToWrite, pdwBytesWritten, pOverlapped,
                              false);
}

bool ReadFile(HANDLE hFile, void* pBuffer, DWORD dwBytesToRead, DWORD* pdwBytesRead,
              OVERLAPPED* pOverlapped) {
    if (pOverlapped == nullptr) {
        return ReadFile(hFile, pBuffer, dwBytesToRead, pdwBytesRead);
    }
    return OverlappedTransfer(hFile, pBuffer, dwBytesToRead, pdwBytesRead, pOverlapped, true);
}

bool DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, const void* pInBuffer, DWORD dwInBufferSize,
                     void* pOutBuffer, DWORD dwOutBufferSize, DWORD* pdwBytesReturned,
                     OVERLAPPED* pOverlapped) {
    if (pdwBytesReturned != nullptr) {
        *pdwBytesReturned = 0;
    }
    const auto pObject = posix::LookupObject(hDevice);
    if (pObject == nullptr) {
        return false;
    }
    auto* pDevice = dynamic_cast<posix::CDeviceObject*>(pObject.get());
    if (pDevice == nullptr) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return false;
    }
    if (pOverlapped != nullptr || (pInBuffer == nullptr && dwInBufferSize != 0) ||
        (pOutBuffer == nullptr && dwOutBufferSize != 0)) {
        SetLastError(pOverlapped != nullptr ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
        return false;
    }
    return pDevice->Control(dwIoControlCode, pInBuffer, dwInBufferSize, pOutBuffer, dwOutBufferSize,
                            pdwBytesReturned);
}

bool SetFilePointerEx(HANDLE hFile, LONGLONG llDistance, LONGLONG* pllNewPosition, DWORD dwMoveMethod) {
    const auto pFile = LookupFile(hFile);
    if (!pFile) {
        return false;
    }
    const int nWhence =
        dwMoveMethod == FILE_BEGIN ? SEEK_SET : (dwMoveMethod == FILE_CURRENT ? SEEK_CUR : SEEK_END);
    if (dwMoveMethod > FILE_END) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const off_t nPos = lseek(pFile->Fd(), static_cast<off_t>(llDistance), nWhence);
    if (nPos < 0) {
        return FailWithErrno();
    }
    if (pllNewPosition != nullptr) {
        *pllNewPosition = nPos;
    }
    return true;
}

bool GetFileSizeEx(HANDLE hFile, LONGLONG* pllSize) {
    const auto pFile = LookupFile(hFile);
    if (!pFile) {
        return false;
    }
    struct stat st {};
    if (fstat(pFile->Fd(), &st) != 0) {
        return FailWithErrno();
    }
    *pllSize = st.st_size;
    return true;
}

bool FlushFileBuffers(HANDLE hFile) {
    const auto pFile = LookupFile(hFile);
    if (!pFile) {
        return false;
    }
    return fsync(pFile->Fd()) == 0 || FailWithErrno();
}

bool DeleteFile(const char16_t* szPath) {
    std::string sPath;
    if (!MapPath(szPath, &sPath)) {
        return false;
    }
    return unlink(sPath.c_str()) == 0 || FailWithErrno();
}

bool CreateDirectory(const char16_t* szPath) {
    std::string sPath;
    if (!MapPath(szPath, &sPath)) {
        return false;
    }
    if (mkdir(sPath.c_str(), 0755) == 0) {
        return true;
    }
    if (errno == ENOENT) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return FailWithErrno();
}

DWORD GetFileAttributes(const char16_t* szPath) {
    std::string sPath;
    if (!MapPath(szPath, &sPath)) {
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat st {};
    if (stat(sPath.c_str(), &st) != 0) {
        FailWithErrno();
        return INVALID_FILE_ATTRIBUTES;
    }
    return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

bool ListFiles(const char16_t* szDirectory, std::vector<std::u16string>* pNames) {
    std::string sPath;
    if (!MapPath(szDirectory, &sPath)) {
        return false;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> pDir(opendir(sPath.c_str()), closedir);
    if (!pDir) {
        if (errno == ENOENT) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
        return FailWithErrno();
    }
    pNames->clear();
    while (const dirent* pEntry = readdir(pDir.get())) {
        struct stat st {};
        if (fstatat(dirfd(pDir.get()), pEntry->d_name, &st, 0) == 0 && !S_ISDIR(st.st_mode)) {
            pNames->push_back(FromUtf8(pEntry->d_name));
        }
    }
    return true;
}

namespace {
enum class Sink { kStderr, kSyslog, kNone };
Sink DebugSink() {
    static const Sink sink = [] {
        const char* szChoice = getenv("KRELL_DEBUG_OUTPUT");
        if (szChoice != nullptr && strcmp(szChoice, "stderr") == 0) {
            return Sink::kStderr;
        }
        if (szChoice != nullptr && strcmp(szChoice, "none") == 0) {
            return Sink::kNone;
        }
        return isatty(STDERR_FILENO) ? Sink::kStderr : Sink::kSyslog;
    }();
    return sink;
}
}  // namespace

bool DebugOutputIsStderr() {
    return DebugSink() == Sink::kStderr;
}

int FileDescriptorOf(HANDLE hFile) {
    const auto pFile = LookupFile(hFile);
    return pFile ? pFile->Fd() : -1;
}

bool WriteDescriptor(int nFd, const void* pBuffer, std::size_t cb) {
    // The system call itself: the C library's write may be wrapped by a sanitizer's interceptor.
    return nFd >= 0 && syscall(SYS_write, nFd, pBuffer, cb) == static_cast<long>(cb);
}

void OutputDebugString(const char16_t* szText) {
    const Sink sink = DebugSink();
    if (szText == nullptr || sink == Sink::kNone) {
        return;
    }
    const std::string sText = ToUtf8(szText);
    if (sink == Sink::kStderr) {
        // One write call, so lines of several threads do not interleave.
        const ssize_t n = write(STDERR_FILENO, sText.data(), sText.size());
        (void)n;
    } else {
        syslog(LOG_DEBUG, "%s", sText.c_str());
    }
}

}  // namespace platform

namespace platform {

bool GetTempPath(std::u16string* psPath) {
    static constexpr const char16_t* TEMP_DIRECTORY = u"C:\\Windows\\Temp";
    for (const char16_t* szDir : {u"C:\\Windows", TEMP_DIRECTORY}) {
        if (GetFileAttributes(szDir) == INVALID_FILE_ATTRIBUTES && !CreateDirectory(szDir) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    *psPath = std::u16string(TEMP_DIRECTORY) + u"\\";
    return true;
}

unsigned GetTempFileName(const char16_t* szPath, const char16_t* szPrefix, unsigned uUnique,
                         std::u16string* psFileName) {
    if (szPath == nullptr || psFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string sBase(szPath);
    if (!sBase.empty() && sBase.back() != u'\\') {
        sBase += u'\\';
    }
    sBase += std::u16string(szPrefix == nullptr ? u"" : szPrefix).substr(0, 3);
    auto nameOf = [&](unsigned u) {
        static constexpr char16_t HEX[] = u"0123456789ABCDEF";
        std::u16string s = sBase;
        for (int nShift = 12; nShift >= 0; nShift -= 4) {
            s += HEX[(u >> nShift) & 0xF];
        }
        return s + u".TMP";
    };
    if (uUnique != 0) {
        *psFileName = nameOf(uUnique & 0xFFFF);
        return uUnique & 0xFFFF;
    }
    // Start from the clock, as the platform does, and step on until a name is free.
    const unsigned uStart = (GetTickCount() ^ GetCurrentProcessId()) & 0xFFFF;
    for (unsigned n = 0; n < 0x10000; ++n) {
        const unsigned u = ((uStart + n) & 0xFFFF) == 0 ? 1 : (uStart + n) & 0xFFFF;
        const std::u16string sName = nameOf(u);
        HANDLE h = CreateFile(sName.c_str(), GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            *psFileName = sName;
            return u;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
            return 0;
        }
    }
    SetLastError(ERROR_FILE_EXISTS);
    return 0;
}

}  // namespace platform
