// A file handle owned by an object, as the framework's file wrapper offers it: open, seek, write,
// flush, close, and the system error of the last operation that failed. The handle is closed on
// destruction.
#pragma once

#include "platform/file.h"
#include "platform/types.h"

class CFile {
public:
    CFile() = default;
    virtual ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Closes any file held, then opens szPath (a Windows-form path) with the platform's CreateFile.
    bool Create(const WCHAR* szPath, DWORD dwDesiredAccess, DWORD dwShareMode, DWORD dwCreationDisposition,
                DWORD dwFlagsAndAttributes);
    bool IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }

    bool Seek(ULONGLONG nOffset);
    // Writes all cbData bytes in one call; a short write is a failure.
    bool Write(const void* pData, DWORD cbData);
    bool Read(void* pData, DWORD cbData, DWORD& cbRead);
    bool Flush();
    bool Close();

    // The system error of the last failed operation of this object.
    DWORD GetLastError() const { return m_dwLastError; }

private:
    bool Fail();

    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    DWORD m_dwLastError = ERROR_SUCCESS;
};
