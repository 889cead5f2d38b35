// Which sanitizer a test program is built with, for the few tests that one of them cannot host.
#pragma once

#if defined(__SANITIZE_THREAD__)
inline constexpr bool THREAD_SANITIZER = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool THREAD_SANITIZER = true;
#else
inline constexpr bool THREAD_SANITIZER = false;
#endif
#else
inline constexpr bool THREAD_SANITIZER = false;
#endif

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool ADDRESS_SANITIZER = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool ADDRESS_SANITIZER = true;
#else
inline constexpr bool ADDRESS_SANITIZER = false;
#endif
#else
inline constexpr bool ADDRESS_SANITIZER = false;
#endif
