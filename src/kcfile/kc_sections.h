// Decoders for the section contents that the tools show in readable form. Both check every length
// against the data they are given.
#pragma once

#include <array>
#include <span>
#include <string>
#include <vector>

#include "platform/types.h"

namespace kcfile {

// Section 0x102: four little-endian words.
struct ProtectionStateData {
    DWORD dwFileProtectState;
    DWORD dwRegProtectState;
    DWORD dwProcessProtectState;
    DWORD dwDebugLogMask;
};

bool DecodeProtectionState(std::span<const BYTE> data, ProtectionStateData& state, std::string& sError);

// Section 0x401: executables that may install, their companion files and accepted versions.
struct LegacyVersion {
    DWORD dwFileSize;
    std::array<BYTE, 16> hash;
};

struct LegacyCompanion {
    std::u16string sPath;
    std::vector<LegacyVersion> versions;
};

struct LegacyExecutable {
    std::u16string sName;
    std::vector<LegacyCompanion> companions;
};

bool DecodeLegacyInstall(std::span<const BYTE> data, std::vector<LegacyExecutable>& executables,
                         std::string& sError);

}  // namespace kcfile
