#include "platform/error_text.h"

namespace platform {

std::string DescribeError(DWORD dwError) {
    std::string s = std::to_string(dwError);
    if (const char* szText = SystemErrorText(dwError)) {
        s += " (" + std::string(szText) + ")";
    }
    return s;
}

}  // namespace platform
