// The debug log of a test process at every level and category, in C:\Logs. An object marks the log's
// end when it is made; Since() and Messages() give what was logged after that.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diagnostics/debug_options.h"
#include "diagnostics/user_debug_output.h"
#include "platform/file.h"
#include "service/registry_key.h"
#include "support/files.h"

namespace krelltest {

class CDebugLog {
public:
    CDebugLog() : m_nMark(Text().size()) {}

    // Opens the log once per process; DebugType 1 turns on every level and category.
    static void Enable() {
        static const bool bConstructed = [] {
            CRegistryKey reg;
            const std::u16string sKey =
                std::u16string(CDebugOptions::BASE_KEY) + u"\\" + CUserDebugOutput::OPTIONS_SUB_KEY;
            reg.Create(HKEY_LOCAL_MACHINE, sKey.c_str());
            reg.SetDword(u"DebugType", 1);
            reg.SetString(u"Directory", u"C:\\Logs");
            platform::CreateDirectory(u"C:\\Logs");
            g_DebugOutput.Construct(u"KRELLSvc", std::nullopt);
            return g_DebugOutput.HasFile();
        }();
        EXPECT_TRUE(bConstructed);
    }
    static std::string Text() {
        Enable();
        return Utf16LeToUtf8(ReadFileBytes(u"C:\\Logs\\KRELLSvc.log"));
    }

    std::string Since() const { return Text().substr(m_nMark); }
    bool Has(const std::string& sNeedle) const { return Since().find(sNeedle) != std::string::npos; }
    size_t Count(const std::string& sNeedle) const { return CountOf(Since(), sNeedle); }
    // The lines logged since the mark, each without its "time : service : process : thread : " prefix.
    std::vector<std::string> Messages() const {
        const std::string sText = Since();
        std::vector<std::string> messages;
        size_t nPos = 0;
        while (nPos < sText.size()) {
            size_t nEnd = sText.find("\r\n", nPos);
            if (nEnd == std::string::npos) {
                nEnd = sText.size();
            }
            const std::string sLine = sText.substr(nPos, nEnd - nPos);
            size_t nField = std::string::npos;
            for (int i = 0; i < 4; ++i) {
                nField = sLine.find(" : ", nField == std::string::npos ? 0 : nField + 3);
                if (nField == std::string::npos) {
                    break;
                }
            }
            messages.push_back(nField == std::string::npos ? sLine : sLine.substr(nField + 3));
            nPos = nEnd + 2;
        }
        return messages;
    }

private:
    size_t m_nMark;
};

}  // namespace krelltest
