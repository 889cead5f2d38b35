// The framework's debug options: the values of one sub-key of
// HKEY_LOCAL_MACHINE\Software\Quillon\Loom Core\Debug ("DebugOutput" for the debug log,
// "CrashHandler" for the crash handler). Absent values read as absent, never as errors.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/types.h"

class CDebugOptions {
public:
    static constexpr const char16_t* BASE_KEY = u"Software\\Quillon\\Loom Core\\Debug";

    // False when the sub-key does not exist or cannot be read; the options are then empty.
    bool Load(const char16_t* szSubKey);

    std::optional<DWORD> GetDword(const std::u16string& sName) const;
    // Empty when the value is absent or not a string.
    std::u16string GetString(const std::u16string& sName) const;

private:
    struct CValue {
        DWORD dwType;
        std::u16string sText;
        DWORD dwNumber;
    };
    std::map<std::u16string, CValue> m_Values;  // keyed by upper-cased name
};
