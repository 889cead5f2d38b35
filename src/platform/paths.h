// Windows-form paths inside the system, POSIX paths only where the seam touches the file system.
// Drive X maps to <root>/drive_x, the device namespace ("\\.\NAME") to <root>/dev/NAME. A path that
// starts with a single backslash is on drive C, the drive the system runs from. Drive Z is the host's
// own file system ("Z:\usr\bin" is /usr/bin), so programs outside the root have Windows paths too.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Maps a Windows-form path to the POSIX path it names. Components that exist are matched
// case-insensitively (the platform's file names are case-preserving but case-blind); missing ones
// keep their spelling. "." and ".." are resolved; ".." never leaves the drive. Relative and UNC paths
// fail with ERROR_BAD_PATHNAME, paths of MAX_PATH characters or more with ERROR_FILENAME_EXCED_RANGE
// (last error set, false returned).
bool MapPath(std::u16string_view sWindowsPath, std::string* pPosixPath);

// The POSIX directory of a drive letter, created on first use ("/" for drive Z).
std::string DriveDirectory(char16_t chDrive);

// The Windows-form path of an absolute POSIX path: below a drive of the root it is on that drive,
// anything else is on drive Z.
std::u16string WindowsPathOf(const std::string& sPosixPath);

// This executable's path in Windows form.
bool GetModuleFileName(std::u16string* psPath);

}  // namespace platform
