#include "compiler/file.h"

#include "platform/sync.h"
#include "platform/system.h"

CFile::~CFile() {
    Close();
}

bool CFile::Fail() {
    m_dwLastError = platform::GetLastError();
    return false;
}

bool CFile::Create(const WCHAR* szPath, DWORD dwDesiredAccess, DWORD dwShareMode, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes) {
    Close();
    HANDLE hFile = platform::CreateFile(szPath, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                                        dwFlagsAndAttributes);
    if (hFile == INVALID_HANDLE_VALUE) {
        return Fail();
    }
    m_hFile = hFile;
    return true;
}

bool CFile::Seek(ULONGLONG nOffset) {
    if (!IsOpen()) {
        m_dwLastError = ERROR_INVALID_HANDLE;
        return false;
    }
    return platform::SetFilePointerEx(m_hFile, static_cast<LONGLONG>(nOffset), nullptr,
                                      platform::FILE_BEGIN) ||
           Fail();
}

bool CFile::Write(const void* pData, DWORD cbData) {
    if (!IsOpen()) {
        m_dwLastError = ERROR_INVALID_HANDLE;
        return false;
    }
    DWORD cbWritten = 0;
    if (!platform::WriteFile(m_hFile, pData, cbData, &cbWritten)) {
        return Fail();
    }
    if (cbWritten != cbData) {
        m_dwLastError = ERROR_DISK_FULL;
        return false;
    }
    return true;
}

bool CFile::Read(void* pData, DWORD cbData, DWORD& cbRead) {
    cbRead = 0;
    if (!IsOpen()) {
        m_dwLastError = ERROR_INVALID_HANDLE;
        return false;
    }
    return platform::ReadFile(m_hFile, pData, cbData, &cbRead) || Fail();
}

bool CFile::Flush() {
    if (!IsOpen()) {
        m_dwLastError = ERROR_INVALID_HANDLE;
        return false;
    }
    return platform::FlushFileBuffers(m_hFile) || Fail();
}

bool CFile::Close() {
    if (!IsOpen()) {
        return true;
    }
    HANDLE hFile = m_hFile;
    m_hFile = INVALID_HANDLE_VALUE;
    return platform::CloseHandle(hFile) || Fail();
}
