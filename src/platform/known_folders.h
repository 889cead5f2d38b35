// The shell's well-known folders and the operating-system version. Their values live in the
// registry store of the root, under HKLM\Software\KRELL\Platform\KnownFolders (string values named
// after the folder, e.g. "CSIDL_PROGRAM_FILES_COMMON") and HKLM\Software\KRELL\Platform\Version
// ("Major", "Minor"); an absent value is the platform's default under drive C, and an empty one
// makes the shell's answer fail, so that callers' fallbacks can be exercised.
#pragma once

#include <string>

#include "platform/types.h"

namespace platform {

constexpr int CSIDL_APPDATA = 0x001A;
constexpr int CSIDL_COMMON_APPDATA = 0x0023;
constexpr int CSIDL_WINDOWS = 0x0024;
constexpr int CSIDL_SYSTEM = 0x0025;
constexpr int CSIDL_PROGRAM_FILES = 0x0026;
constexpr int CSIDL_PROGRAM_FILES_COMMON = 0x002B;

constexpr const char16_t* KNOWN_FOLDERS_KEY = u"Software\\KRELL\\Platform\\KnownFolders";
constexpr const char16_t* OS_VERSION_KEY = u"Software\\KRELL\\Platform\\Version";

// False for an unknown folder, an empty value, or a folder that cannot be created when asked to.
bool SHGetSpecialFolderPath(int nCsidl, std::u16string* psPath, bool bCreate);

// The operating system's major and minor version (defaults 5 and 1).
void GetVersion(DWORD* pdwMajor, DWORD* pdwMinor);
// The same as the platform's version query answers it: false with ERROR_INVALID_DATA when the root
// holds a version value that is not a DWORD, so that callers' failure paths can be exercised.
bool GetVersionEx(DWORD* pdwMajor, DWORD* pdwMinor);

}  // namespace platform
