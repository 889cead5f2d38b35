#include "signature/guard_file.h"

#include <charconv>

#include "signature/signature_errors.h"

namespace signature {

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";

// Header texts and names: printable, no line breaks, so a line always means one thing.
bool IsValidText(std::string_view s) {
    if (s.empty() || s.size() > GUARD_MAX_TEXT) {
        return false;
    }
    for (unsigned char ch : s) {
        if (ch < 0x20 || ch == 0x7F) {
            return false;
        }
    }
    return true;
}

int HexValue(char ch) {
    if (ch >= '0' && ch <= '9') {
        return ch - '0';
    }
    if (ch >= 'a' && ch <= 'f') {
        return ch - 'a' + 10;
    }
    return -1;  // upper case is refused: one spelling per digest
}

[[noreturn]] void Bad(std::size_t nLine, const char* szWhat) {
    throw bad_data_error("guard file line " + std::to_string(nLine) + ": " + szWhat);
}

}  // namespace

std::string DigestHex(const crypto::Sha1Digest& digest) {
    std::string s;
    s.reserve(2 * digest.size());
    for (BYTE b : digest) {
        s += HEX_DIGITS[b >> 4];
        s += HEX_DIGITS[b & 0xF];
    }
    return s;
}

GuardFile ParseGuardFile(std::span<const BYTE> data) {
    if (data.size() > GUARD_MAX_BYTES) {
        throw bad_data_error("guard file larger than " + std::to_string(GUARD_MAX_BYTES) + " bytes");
    }
    const std::string_view sText(reinterpret_cast<const char*>(data.data()), data.size());
    if (sText.empty() || sText.back() != '\n') {
        throw bad_data_error("guard file does not end with a line break");
    }
    GuardFile guard;
    std::size_t nPos = 0;
    std::size_t nLine = 0;
    while (nPos < sText.size()) {
        const std::size_t nEnd = sText.find('\n', nPos);
        const std::string_view sLine = sText.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        ++nLine;
        if (nLine == 1) {
            const std::string sExpected = std::string(GUARD_MAGIC) + " ";
            if (!sLine.starts_with(sExpected)) {
                Bad(nLine, "not a guard file");
            }
            const std::string_view sVersion = sLine.substr(sExpected.size());
            unsigned uVersion = 0;
            const auto [pEnd, ec] =
                std::from_chars(sVersion.data(), sVersion.data() + sVersion.size(), uVersion);
            if (ec != std::errc() || pEnd != sVersion.data() + sVersion.size() || sVersion.starts_with('0')) {
                Bad(nLine, "bad version");
            }
            if (uVersion != GUARD_VERSION) {
                Bad(nLine, "unknown version");
            }
        } else if (nLine == 2) {
            constexpr std::string_view GUARDS = "guards ";
            if (!sLine.starts_with(GUARDS) || !IsValidText(sLine.substr(GUARDS.size()))) {
                Bad(nLine, "bad guards line");
            }
            guard.sGuards = sLine.substr(GUARDS.size());
        } else {
            GuardEntry entry;
            if (sLine.size() < 2 * crypto::SHA1_DIGEST_SIZE + 2 ||
                sLine[2 * crypto::SHA1_DIGEST_SIZE] != ' ') {
                Bad(nLine, "bad entry");
            }
            for (std::size_t i = 0; i < crypto::SHA1_DIGEST_SIZE; ++i) {
                const int nHigh = HexValue(sLine[2 * i]);
                const int nLow = HexValue(sLine[2 * i + 1]);
                if (nHigh < 0 || nLow < 0) {
                    Bad(nLine, "bad digest");
                }
                entry.digest[i] = static_cast<BYTE>(nHigh << 4 | nLow);
            }
            const std::string_view sName = sLine.substr(2 * crypto::SHA1_DIGEST_SIZE + 1);
            if (!IsValidText(sName)) {
                Bad(nLine, "bad name");
            }
            entry.sName = sName;
            guard.entries.push_back(std::move(entry));
        }
    }
    if (nLine < 2) {
        throw bad_data_error("guard file without its guards line");
    }
    return guard;
}

std::string FormatGuardFile(const GuardFile& guard) {
    if (!IsValidText(guard.sGuards)) {
        throw bad_data_error("the guarded name does not fit a guard file");
    }
    std::string sText =
        std::string(GUARD_MAGIC) + " " + std::to_string(GUARD_VERSION) + "\nguards " + guard.sGuards + "\n";
    for (const GuardEntry& entry : guard.entries) {
        if (!IsValidText(entry.sName)) {
            throw bad_data_error("the name \"" + entry.sName + "\" does not fit a guard file");
        }
        sText += DigestHex(entry.digest) + " " + entry.sName + "\n";
    }
    if (sText.size() > GUARD_MAX_BYTES) {
        throw bad_data_error("guard file larger than " + std::to_string(GUARD_MAX_BYTES) + " bytes");
    }
    return sText;
}

}  // namespace signature
