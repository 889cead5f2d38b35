// Shared by the compiler's plug-in and compiler tests: a settings store in memory.
#pragma once

#include "compiler/config_compiler_plugin.h"
#include "module/module_doubles.h"

namespace compilertest {

using moduletest::CMemorySettingsManager;
using moduletest::CStore;

inline constexpr const char16_t* GW_STATES_KEY = u"GATEWARDEN\\PRIVATE\\GWStates";
inline constexpr const char16_t* GW_PRIVATE_KEY = u"GATEWARDEN\\PRIVATE";

inline SettingsManagerFactory MemorySettings(CStore* pStore) {
    return [pStore](ISettingsManager** ppManager) {
        *ppManager = new CMemorySettingsManager(pStore);
        return ZEL_SUCCESS;
    };
}

}  // namespace compilertest
