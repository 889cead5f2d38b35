// The process-wide debug log: time-stamped UTF-16 lines in <Directory>\<service>.log, mirrored to
// the debugger output. Silent until Construct() has run; a disabled call returns after two bit tests,
// before any formatting.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "diagnostics/fixed_text.h"
#include "platform/format.h"
#include "platform/types.h"

// Category bits: each component passes its own.
constexpr DWORD DBG_CAT_CHUNK_TRANSPORT = 0x00000008;
constexpr DWORD DBG_CAT_START_STOP_PLUGIN = 0x00000020;
constexpr DWORD DBG_CAT_AUTHORIZATION_PLUGIN = 0x00000080;
constexpr DWORD DBG_CAT_MANIFEST = 0x00000100;
constexpr DWORD DBG_CAT_COMPILER = 0x00000200;
constexpr DWORD DBG_CAT_RULE_CONVERTER = 0x00000400;
constexpr DWORD DBG_CAT_MODULE = 0x00002000;
constexpr DWORD DBG_CAT_NOTIFY_SENDER = 0x00004000;
constexpr DWORD DBG_CAT_LEGACY_INSTALL_PLUGIN = 0x00010000;
constexpr DWORD DBG_CAT_ALL = 0xFFFFFFFC;

constexpr DWORD DBG_VERBOSITY_MASK = 0x00000003;

class CUserDebugOutput {
public:
    static constexpr const char16_t* OPTIONS_SUB_KEY = u"DebugOutput";

    constexpr CUserDebugOutput() = default;
    ~CUserDebugOutput();
    CUserDebugOutput(const CUserDebugOutput&) = delete;
    CUserDebugOutput& operator=(const CUserDebugOutput&) = delete;

    // The construction steps. dwSettingsOverride is the settings store's "DebugOutput" value when it
    // could be read; it replaces the mask derived from the registry's "DebugType".
    void Construct(const char16_t* szServiceName, std::optional<DWORD> dwSettingsOverride);

    // Maps the registry's "DebugType" to a level mask (unknown values give 0).
    static DWORD MaskFromDebugType(DWORD dwDebugType);

    bool IsEnabled(DWORD dwLevel, DWORD dwCategory) const {
        const DWORD dwMask = m_dwMask.load(std::memory_order_relaxed);
        return (dwMask & DBG_VERBOSITY_MASK) >= dwLevel && (dwCategory & dwMask) != 0;
    }
    bool IsFrameworkEnabled(DWORD dwLevel) const {
        return m_bInitialized.load(std::memory_order_acquire) &&
               (m_dwMask.load(std::memory_order_relaxed) & DBG_VERBOSITY_MASK) >= dwLevel;
    }
    DWORD Mask() const { return m_dwMask.load(std::memory_order_relaxed); }
    bool IsInitialized() const { return m_bInitialized.load(std::memory_order_acquire); }
    bool HasFile() const { return IsInitialized() && m_hFile != nullptr; }

    // A component message of the given level (1 failures, 2 notable events, 3 detail).
    template <typename... Args>
    void Out(DWORD dwLevel, DWORD dwCategory,
             platform::FormatString<char16_t, std::type_identity_t<Args>...> fmt, const Args&... args) {
        if (IsEnabled(dwLevel, dwCategory)) {
            Write<Args...>(fmt, args...);
        }
    }
    // A host-framework trace: no category, dropped until constructed.
    template <typename... Args>
    void Trace(DWORD dwLevel, platform::FormatString<char16_t, std::type_identity_t<Args>...> fmt,
               const Args&... args) {
        if (IsFrameworkEnabled(dwLevel)) {
            Write<Args...>(fmt, args...);
        }
    }
    // The narrow entry point, for callers that only have narrow text: announces itself at level 2 and
    // writes the widened message at level 1.
    template <typename... Args>
    void OutA(DWORD dwLevel, DWORD dwCategory,
              platform::FormatString<char, std::type_identity_t<Args>...> fmt, const Args&... args) {
        if (IsEnabled(dwLevel, dwCategory)) {
            try {
                const std::string sMessage = platform::FormatNarrow(fmt, args...);
                InternalDebugOutA(dwCategory, fmt.get(), &sMessage);
            } catch (const std::bad_alloc&) {
                InternalDebugOutA(dwCategory, fmt.get(), nullptr);
            }
        }
    }

    // Writes one formatted message as a line (prefix, message, one CR LF).
    void InternalDebugOutW(std::u16string_view sMessage);
    // A host-framework trace for crash paths: no allocation, no locks, one write call.
    void TraceFixed(DWORD dwLevel, const CFixedText& message);

private:
    template <typename... Args>
    void Write(platform::FormatString<char16_t, std::type_identity_t<Args>...> fmt, const Args&... args) {
        try {
            InternalDebugOutW(platform::Format(fmt, args...));
        } catch (const std::bad_alloc&) {
            ReportFormatFailure(fmt.get());
        }
    }
    void ReportFormatFailure(std::u16string_view sFormat);
    // psMessage is null when formatting ran out of memory.
    void InternalDebugOutA(DWORD dwCategory, std::string_view sFormat, const std::string* psMessage);

    std::atomic<DWORD> m_dwMask{0};
    std::atomic<bool> m_bInitialized{false};
    HANDLE m_hFile = nullptr;  // null while no file is open
    // What TraceFixed needs, taken at construction: it can neither look handles up nor read the
    // time-zone database.
    int m_nFd = -1;
    bool m_bMirrorToStderr = false;
    long m_nUtcOffset = 0;
    // A plain array: clang cannot constant-initialise libstdc++'s std::u16string for constinit.
    char16_t m_szServiceName[MAX_PATH] = {};
};

// The process's one debug log.
extern constinit CUserDebugOutput g_DebugOutput;

template <typename... Args>
inline void DebugOut1(DWORD dwCategory, platform::FormatString<char16_t, std::type_identity_t<Args>...> fmt,
                      const Args&... args) {
    g_DebugOutput.Out<Args...>(1, dwCategory, fmt, args...);
}
template <typename... Args>
inline void DebugOut2(DWORD dwCategory, platform::FormatString<char16_t, std::type_identity_t<Args>...> fmt,
                      const Args&... args) {
    g_DebugOutput.Out<Args...>(2, dwCategory, fmt, args...);
}
template <typename... Args>
inline void DebugOut3(DWORD dwCategory, platform::FormatString<char16_t, std::type_identity_t<Args>...> fmt,
                      const Args&... args) {
    g_DebugOutput.Out<Args...>(3, dwCategory, fmt, args...);
}
template <typename... Args>
inline void TraceOut1(platform::FormatString<char16_t, std::type_identity_t<Args>...> fmt,
                      const Args&... args) {
    g_DebugOutput.Trace<Args...>(1, fmt, args...);
}
template <typename... Args>
inline void TraceOut2(platform::FormatString<char16_t, std::type_identity_t<Args>...> fmt,
                      const Args&... args) {
    g_DebugOutput.Trace<Args...>(2, fmt, args...);
}
template <typename... Args>
inline void TraceOut3(platform::FormatString<char16_t, std::type_identity_t<Args>...> fmt,
                      const Args&... args) {
    g_DebugOutput.Trace<Args...>(3, fmt, args...);
}
template <typename... Args>
inline void DebugOutA(DWORD dwLevel, DWORD dwCategory,
                      platform::FormatString<char, std::type_identity_t<Args>...> fmt, const Args&... args) {
    g_DebugOutput.OutA<Args...>(dwLevel, dwCategory, fmt, args...);
}
