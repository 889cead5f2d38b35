#include "platform/process.h"

#include "platform/win32/win32_api.h"

namespace platform {

std::u16string GetCommandLine() {
    return reinterpret_cast<const char16_t*>(win32::GetCommandLineW());
}

DWORD SetErrorMode(DWORD dwMode) {
    return win32::SetErrorMode(dwMode);
}

bool SetProcessWorkingSetSize(std::size_t cbMinimum, std::size_t cbMaximum) {
    return win32::SetProcessWorkingSetSize(win32::GetCurrentProcess(), cbMinimum, cbMaximum) != 0;
}

}  // namespace platform
