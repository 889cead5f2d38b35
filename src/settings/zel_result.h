// The settings library's result codes; every settings helper and the object loader answer with these.
#pragma once

#include <cstdint>

using ZELRESULT = std::int32_t;

constexpr ZELRESULT ZEL_SUCCESS = 0x00010000;
constexpr ZELRESULT ZEL_SUCCESS_DEFAULT = 0x00010001;
constexpr ZELRESULT ZEL_E_NOT_FOUND = static_cast<ZELRESULT>(0x80000100);
constexpr ZELRESULT ZEL_E_BUFFER_TOO_SMALL = static_cast<ZELRESULT>(0x80000200);
constexpr ZELRESULT ZEL_E_STORE_NOT_RUNNING = static_cast<ZELRESULT>(0x80000207);
constexpr ZELRESULT ZEL_E_OUT_OF_MEMORY = static_cast<ZELRESULT>(0x80010201);
constexpr ZELRESULT ZEL_E_INVALID_ARGUMENT = static_cast<ZELRESULT>(0x80010203);
constexpr ZELRESULT ZEL_E_LIBRARY_NOT_LOADED = static_cast<ZELRESULT>(0x80010300);
constexpr ZELRESULT ZEL_E_MISSING_EXPORT = static_cast<ZELRESULT>(0x80010302);
constexpr ZELRESULT ZEL_E_UNTRUSTED = static_cast<ZELRESULT>(0x80010303);
constexpr ZELRESULT ZEL_E_CONSISTENCY = static_cast<ZELRESULT>(0x8001FFFF);

constexpr bool ZEL_SUCCEEDED(ZELRESULT zr) {
    return zr >= 0;
}

// Further codes of the settings store (lcSet.dll on this machine).
// A value exists under the name, with another type than the one asked for.
constexpr ZELRESULT ZEL_E_WRONG_TYPE = static_cast<ZELRESULT>(0x80000101);
// Another process kept the store locked for longer than the store waits.
constexpr ZELRESULT ZEL_E_STORE_BUSY = static_cast<ZELRESULT>(0x80000300);
// The store's database file is damaged or is not a database; it is left as it is.
constexpr ZELRESULT ZEL_E_STORE_CORRUPT = static_cast<ZELRESULT>(0x80000301);
// The store's database file cannot be opened, read or written.
constexpr ZELRESULT ZEL_E_STORE_IO = static_cast<ZELRESULT>(0x80000302);
