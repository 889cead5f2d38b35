// Shared by the compiler's plug-in and compiler tests: the debug log of the test process and a
// settings store in memory.
#pragma once

#include <optional>
#include <string>

#include "compiler/config_compiler_plugin.h"
#include "diagnostics/debug_options.h"
#include "diagnostics/user_debug_output.h"
#include "module/module_doubles.h"
#include "platform/file.h"
#include "service/registry_key.h"
#include "support/files.h"

namespace compilertest {

using moduletest::CMemorySettingsManager;
using moduletest::CStore;

inline constexpr const char16_t* GW_STATES_KEY = u"GATEWARDEN\\PRIVATE\\GWStates";
inline constexpr const char16_t* GW_PRIVATE_KEY = u"GATEWARDEN\\PRIVATE";

// The process's debug log at full verbosity for every category; Has() looks at what was logged
// after the object was made.
class CLogMark {
public:
    CLogMark() : m_cbStart(Text().size()) {}
    static std::string Text() {
        if (!g_DebugOutput.HasFile()) {
            CRegistryKey reg;
            const std::u16string sKey = std::u16string(CDebugOptions::BASE_KEY) + u"\\DebugOutput";
            reg.Create(HKEY_LOCAL_MACHINE, sKey.c_str());
            // Where the IC tests of this program look for it.
            reg.SetDword(u"DebugType", 1);
            reg.SetString(u"Directory", u"C:\\");
            g_DebugOutput.Construct(u"KRELLSvc", DBG_CAT_ALL | 3);
        }
        // The rule converter's tests reopen the log in C:\\Logs.
        const char16_t* szLog = krelltest::FileExists(u"C:\\Logs\\KRELLSvc.log") ? u"C:\\Logs\\KRELLSvc.log"
                                                                                 : u"C:\\KRELLSvc.log";
        return krelltest::Utf16LeToUtf8(krelltest::ReadFileBytes(szLog));
    }
    std::string Since() const { return Text().substr(m_cbStart); }
    bool Has(const std::string& sNeedle) const { return Since().find(sNeedle) != std::string::npos; }
    size_t Count(const std::string& sNeedle) const {
        const std::string sText = Since();
        size_t nCount = 0;
        for (size_t nPos = sText.find(sNeedle); nPos != std::string::npos;
             nPos = sText.find(sNeedle, nPos + 1)) {
            ++nCount;
        }
        return nCount;
    }

private:
    size_t m_cbStart;
};

inline SettingsManagerFactory MemorySettings(CStore* pStore) {
    return [pStore](ISettingsManager** ppManager) {
        *ppManager = new CMemorySettingsManager(pStore);
        return ZEL_SUCCESS;
    };
}

}  // namespace compilertest
