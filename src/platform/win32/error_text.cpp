#include "platform/error_text.h"

#include <map>
#include <memory>
#include <mutex>

#include "platform/strings.h"
#include "platform/win32/win32_api.h"

namespace platform {

const char* SystemErrorText(DWORD dwError) {
    // Texts are kept for the process's life, so callers may hold the pointer as they hold a literal.
    static std::mutex mutex;
    static std::map<DWORD, std::unique_ptr<std::string>> texts;
    std::lock_guard lock(mutex);
    if (const auto it = texts.find(dwError); it != texts.end()) {
        return it->second ? it->second->c_str() : nullptr;
    }
    wchar_t buffer[1024];
    const DWORD cch =
        win32::FormatMessageW(win32::FORMAT_MESSAGE_FROM_SYSTEM | win32::FORMAT_MESSAGE_IGNORE_INSERTS,
                              nullptr, dwError, 0, buffer, 1024, nullptr);
    // One line, as a tool prints it: some texts break their lines, and all end with a period and one.
    std::u16string sText;
    for (DWORD i = 0; i < cch; ++i) {
        const char16_t ch = static_cast<char16_t>(buffer[i]);
        if (ch != u'\r' && ch != u'\n') {
            sText += ch;
        } else if (!sText.empty() && sText.back() != u' ') {
            sText += u' ';
        }
    }
    while (!sText.empty() && (sText.back() == u' ' || sText.back() == u'.')) {
        sText.pop_back();
    }
    std::unique_ptr<std::string>& pText = texts[dwError];
    if (!sText.empty()) {
        pText = std::make_unique<std::string>(ToUtf8(sText));
    }
    return pText ? pText->c_str() : nullptr;
}

}  // namespace platform
