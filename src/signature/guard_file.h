// Guard files: the signed lists of SHA-1 digests of trusted files (format in docs/guard.md).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/sha1.h"
#include "platform/types.h"

namespace signature {

constexpr std::string_view GUARD_MAGIC = "KRELLGUARD";
constexpr unsigned GUARD_VERSION = 1;
// Bounds that keep a hostile file from costing more than a real one could.
constexpr std::size_t GUARD_MAX_BYTES = 4 * 1024 * 1024;
constexpr std::size_t GUARD_MAX_TEXT = 255;

struct GuardEntry {
    crypto::Sha1Digest digest;
    std::string sName;  // the file's name when it was guarded; informative only
};

struct GuardFile {
    std::string sGuards;  // what the guard file guards (the header's text)
    std::vector<GuardEntry> entries;
};

// Throws bad_data_error for anything but a well-formed guard file of a known version.
GuardFile ParseGuardFile(std::span<const BYTE> data);
// The text of a guard file; throws bad_data_error when a text does not fit the format.
std::string FormatGuardFile(const GuardFile& guard);

std::string DigestHex(const crypto::Sha1Digest& digest);

}  // namespace signature
