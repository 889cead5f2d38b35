#include "platform/library.h"

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/paths.h"
#include "platform/system.h"

namespace platform {
namespace {

// Modules handed out and not yet freed, with their load counts: a stale or invented module is
// refused instead of reaching dlclose.
std::mutex g_modulesMutex;
std::map<void*, int>& Modules() {
    static std::map<void*, int> modules;
    return modules;
}

bool IsLoaded(HMODULE hModule) {
    std::lock_guard<std::mutex> lock(g_modulesMutex);
    return Modules().contains(hModule);
}

}  // namespace

HMODULE LoadLibraryEx(const char16_t* szPath, DWORD /*dwFlags*/) {
    if (szPath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string sPath;
    const std::u16string_view sName(szPath);
    if (sName.find_first_of(u"\\/:") == std::u16string_view::npos) {
        // A bare file name is found where the platform looks first: beside the executable.
        std::u16string sModule;
        if (!GetModuleFileName(&sModule)) {
            return nullptr;
        }
        const std::u16string sFull = sModule.substr(0, sModule.rfind(u'\\') + 1) + std::u16string(sName);
        if (!MapPath(sFull, &sPath)) {
            return nullptr;
        }
    } else if (!MapPath(szPath, &sPath)) {
        return nullptr;
    }
    // Each library keeps its own symbols: stand-ins never bind to one another or to the system.
    void* hModule = dlopen(sPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (hModule == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_modulesMutex);
    ++Modules()[hModule];
    return hModule;
}

void* GetProcAddress(HMODULE hModule, const char* szName) {
    if (hModule == nullptr || !IsLoaded(hModule)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (szName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* pProc = dlsym(hModule, szName);
    if (pProc == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
    }
    return pProc;
}

bool FreeLibrary(HMODULE hModule) {
    {
        std::lock_guard<std::mutex> lock(g_modulesMutex);
        const auto it = Modules().find(hModule);
        if (it == Modules().end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        if (--it->second == 0) {
            Modules().erase(it);
        }
    }
    dlclose(hModule);
    return true;
}

}  // namespace platform
