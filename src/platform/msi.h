// The platform's installer database and package queries, read-only: enough to read a package's
// properties. Handles are MSIHANDLE values of their own table (not HANDLEs); they are never reused,
// so a stale or invented one answers ERROR_INVALID_HANDLE. Nothing is thrown: an allocation that fails
// answers ERROR_NOT_ENOUGH_MEMORY.
#pragma once

#include "platform/types.h"

using MSIHANDLE = DWORD;

// Persist mode of MsiOpenDatabase: the platform spells the read-only mode as a null text.
inline constexpr const char16_t* MSIDBOPEN_READONLY = nullptr;

constexpr DWORD ERROR_OPEN_FAILED = 110;
constexpr DWORD ERROR_INSTALL_SERVICE_FAILURE = 1601;
constexpr DWORD ERROR_INSTALL_PACKAGE_OPEN_FAILED = 1619;
constexpr DWORD ERROR_INSTALL_PACKAGE_INVALID = 1620;

namespace platform {

// Opens an installer database file. Only MSIDBOPEN_READONLY is offered (other modes:
// ERROR_INVALID_PARAMETER). A path that does not map into the root answers as MapPath does
// (ERROR_BAD_PATHNAME, ERROR_FILENAME_EXCED_RANGE); a file that is missing or cannot be read as an
// installer database answers ERROR_OPEN_FAILED. Packages are read by a program of their own
// (krellmsiread, beside the executable); when it cannot be started the answer is
// ERROR_INSTALL_SERVICE_FAILURE, as when the platform's installer service cannot be reached.
DWORD MsiOpenDatabase(const char16_t* szDatabasePath, const char16_t* szPersist, MSIHANDLE* phDatabase);

// Opens a package: "#N" names an open database handle N (ERROR_INVALID_HANDLE when it does not);
// any other text is a package path, whose file answers ERROR_INSTALL_PACKAGE_OPEN_FAILED when it
// cannot be opened as a database. A database without a readable Property table answers
// ERROR_INSTALL_PACKAGE_INVALID. The package reads its properties when it opens, so it does not
// depend on the database handle staying open.
DWORD MsiOpenPackage(const char16_t* szPackagePath, MSIHANDLE* phProduct);

// A property of an open package; an absent property is the empty text. *pcchValueBuf is the buffer's
// size in characters on entry and the value's length without terminator on return. A buffer too small
// receives what fits, terminated, and the answer is ERROR_MORE_DATA. A null buffer asks for the length.
DWORD MsiGetProperty(MSIHANDLE hInstall, const char16_t* szName, char16_t* szValueBuf, DWORD* pcchValueBuf);

// Closes a database or package handle; handle 0 is accepted and does nothing.
DWORD MsiCloseHandle(MSIHANDLE hAny);

}  // namespace platform
