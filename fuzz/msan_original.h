// For the MemorySanitizer link replacements (msan_*_links.cpp): the C++ library's own definition of a
// function this program replaces, found by its mangled name; a library without it ends the program,
// since a replacement that cannot reach the original would silently change behaviour.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

template <typename Function>
Function Original(const char* szMangled) {
    void* pFunction = dlsym(RTLD_NEXT, szMangled);
    if (pFunction == nullptr) {
        std::fprintf(stderr, "the C++ library has no %s\n", szMangled);
        std::abort();
    }
    return reinterpret_cast<Function>(pFunction);
}
