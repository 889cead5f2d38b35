// The debug log of a test process at every level and category, in C:\Logs; Since() gives what was
// logged after the object was made.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "diagnostics/debug_options.h"
#include "diagnostics/user_debug_output.h"
#include "platform/file.h"
#include "service/registry_key.h"
#include "support/files.h"

namespace krelltest {

class CDebugLog {
public:
    CDebugLog() {
        static const bool bConstructed = [] {
            CRegistryKey reg;
            const std::u16string sKey = std::u16string(CDebugOptions::BASE_KEY) + u"\\DebugOutput";
            reg.Create(HKEY_LOCAL_MACHINE, sKey.c_str());
            reg.SetString(u"Directory", u"C:\\Logs");
            platform::CreateDirectory(u"C:\\Logs");
            g_DebugOutput.Construct(u"KRELLSvc", DBG_CAT_ALL | 3);
            return g_DebugOutput.HasFile();
        }();
        EXPECT_TRUE(bConstructed);
        m_nMark = Text().size();
    }
    static std::string Text() { return Utf16LeToUtf8(ReadFileBytes(u"C:\\Logs\\KRELLSvc.log")); }
    std::string Since() const { return Text().substr(m_nMark); }
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
    size_t m_nMark = 0;
};

}  // namespace krelltest
