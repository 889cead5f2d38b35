// The boundary with C libraries built without MemorySanitizer (OpenSSL, and SQLite and libxml2 where
// the msan build's tests reach them): it cannot see what they write, and their own buffers reach its
// libc checks looking uninitialised. Those calls go through a CForeignCall, which checks the bytes
// handed over, and marks the bytes they hand back as written. Without the sanitizer all of it
// compiles to nothing.
#pragma once

#include <cstddef>

#if defined(__has_feature)
#if __has_feature(memory_sanitizer)
#define KRELL_MEMORY_SANITIZER 1
#include <sanitizer/msan_interface.h>
#endif
#endif

namespace platform {

class CForeignCall {
public:
#ifdef KRELL_MEMORY_SANITIZER
    CForeignCall() {
        __msan_scoped_disable_interceptor_checks();
    }
    ~CForeignCall() {
        __msan_scoped_enable_interceptor_checks();
    }
    // An uninitialised byte handed to the library is reported here, where it leaves our code.
    static void HandOver(const void* p, std::size_t cb) {
        __msan_check_mem_is_initialized(p, cb);
    }
    static void Written(void* p, std::size_t cb) {
        __msan_unpoison(p, cb);
    }
#else
    CForeignCall() {}
    static void HandOver(const void*, std::size_t) {}
    static void Written(void*, std::size_t) {}
#endif
    CForeignCall(const CForeignCall&) = delete;
    CForeignCall& operator=(const CForeignCall&) = delete;
};

}  // namespace platform
