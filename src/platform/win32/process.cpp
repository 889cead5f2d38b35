#include "platform/process.h"

#include "platform/win32/win32_api.h"

namespace platform {

std::u16string GetCommandLine() {
    return reinterpret_cast<const char16_t*>(win32::GetCommandLineW());
}

}  // namespace platform
