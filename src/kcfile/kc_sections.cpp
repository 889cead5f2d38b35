#include "kcfile/kc_sections.h"

#include <cstdint>

#include "kcfile/kc_format.h"

namespace kcfile {

namespace {

// A cursor that refuses to move past its data.
class CCursor {
public:
    CCursor(std::span<const BYTE> data, std::string& sError) : m_data(data), m_nPos(0), m_sError(sError) {}

    std::size_t Position() const { return m_nPos; }
    std::size_t Remaining() const { return m_data.size() - m_nPos; }

    bool Dword(DWORD& dw, const char* szWhat) {
        if (Remaining() < 4) {
            return Fail(szWhat, m_nPos + 4);
        }
        dw = ReadLE32(m_data.data() + m_nPos);
        m_nPos += 4;
        return true;
    }

    bool Bytes(BYTE* p, std::size_t cb, const char* szWhat) {
        if (Remaining() < cb) {
            return Fail(szWhat, std::uint64_t{m_nPos} + cb);
        }
        std::copy(m_data.begin() + m_nPos, m_data.begin() + m_nPos + cb, p);
        m_nPos += cb;
        return true;
    }

    // A length-prefixed UTF-16LE string with its terminating NUL.
    bool String(std::u16string& s, const char* szWhat) {
        DWORD cb = 0;
        if (!Dword(cb, szWhat)) {
            return false;
        }
        if (cb < 2 || cb % 2 != 0) {
            m_sError = std::string(szWhat) + ": length " + std::to_string(cb) + " at offset " +
                       std::to_string(m_nPos - 4) + ", expected an even length of at least 2";
            return false;
        }
        if (Remaining() < cb) {
            return Fail(szWhat, std::uint64_t{m_nPos} + cb);
        }
        s.clear();
        for (std::size_t i = 0; i + 2 < cb; i += 2) {
            s.push_back(static_cast<char16_t>(m_data[m_nPos + i] | (m_data[m_nPos + i + 1] << 8)));
        }
        if (m_data[m_nPos + cb - 2] != 0 || m_data[m_nPos + cb - 1] != 0) {
            m_sError =
                std::string(szWhat) + ": string at offset " + std::to_string(m_nPos) + " is not terminated";
            return false;
        }
        m_nPos += cb;
        return true;
    }

    bool Fail(const char* szWhat, std::uint64_t nNeeded) {
        m_sError = std::string(szWhat) + ": needs " + std::to_string(nNeeded) + " bytes, the data has " +
                   std::to_string(m_data.size());
        return false;
    }

private:
    std::span<const BYTE> m_data;
    std::size_t m_nPos;
    std::string& m_sError;
};

}  // namespace

bool DecodeProtectionState(std::span<const BYTE> data, ProtectionStateData& state, std::string& sError) {
    if (data.size() != 16) {
        sError = "length is " + std::to_string(data.size()) + " bytes, expected 16";
        return false;
    }
    state.dwFileProtectState = ReadLE32(data.data());
    state.dwRegProtectState = ReadLE32(data.data() + 4);
    state.dwProcessProtectState = ReadLE32(data.data() + 8);
    state.dwDebugLogMask = ReadLE32(data.data() + 12);
    return true;
}

bool DecodeLegacyInstall(std::span<const BYTE> data, std::vector<LegacyExecutable>& executables,
                         std::string& sError) {
    executables.clear();
    CCursor cursor(data, sError);
    DWORD dwExeCount = 0;
    if (!cursor.Dword(dwExeCount, "executable count")) {
        return false;
    }
    // Each executable takes at least 14 bytes (offset, name length, a NUL, companion count), which
    // bounds the count before anything is allocated for it.
    if (std::uint64_t{dwExeCount} * 14 > cursor.Remaining()) {
        return cursor.Fail("executable count", 4 + std::uint64_t{dwExeCount} * 14);
    }
    std::vector<DWORD> offsets(dwExeCount);
    for (DWORD& dwOffset : offsets) {
        if (!cursor.Dword(dwOffset, "executable offset")) {
            return false;
        }
    }
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        if (offsets[i] != cursor.Position()) {
            sError = "executable " + std::to_string(i) + ": offset is " + std::to_string(offsets[i]) +
                     ", expected " + std::to_string(cursor.Position());
            return false;
        }
        LegacyExecutable exe;
        DWORD dwCompanions = 0;
        if (!cursor.String(exe.sName, "executable name") || !cursor.Dword(dwCompanions, "companion count")) {
            return false;
        }
        // A companion record takes at least 10 bytes: path length, a NUL, version count.
        if (std::uint64_t{dwCompanions} * 10 > cursor.Remaining()) {
            return cursor.Fail("companion count", cursor.Position() + std::uint64_t{dwCompanions} * 10);
        }
        for (DWORD c = 0; c < dwCompanions; ++c) {
            LegacyCompanion companion;
            DWORD dwVersions = 0;
            if (!cursor.String(companion.sPath, "companion path") ||
                !cursor.Dword(dwVersions, "version count")) {
                return false;
            }
            if (std::uint64_t{dwVersions} * 20 > cursor.Remaining()) {
                return cursor.Fail("version records", cursor.Position() + std::uint64_t{dwVersions} * 20);
            }
            companion.versions.resize(dwVersions);
            for (LegacyVersion& version : companion.versions) {
                if (!cursor.Dword(version.dwFileSize, "version file size") ||
                    !cursor.Bytes(version.hash.data(), version.hash.size(), "version hash")) {
                    return false;
                }
            }
            exe.companions.push_back(std::move(companion));
        }
        executables.push_back(std::move(exe));
    }
    if (cursor.Remaining() != 0) {
        sError = std::to_string(cursor.Remaining()) + " bytes follow the last executable record";
        return false;
    }
    return true;
}

}  // namespace kcfile
