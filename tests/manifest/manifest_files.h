// Manifests made in the test run as a deployment would make them: enciphered with the build's key,
// guarded and signed by a signer under the development root.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crypto/sha1.h"
#include "manifest/manifest_cipher.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "signature/guard_file.h"
#include "support/test_pki.h"

namespace manifesttest {

inline constexpr const char16_t* MANIFEST_FOLDER =
    u"C:\\Program Files\\Common Files\\Quillon Shared\\GWManifests";

inline std::string HostPath(const std::u16string& sWindowsPath) {
    std::string s;
    EXPECT_TRUE(platform::MapPath(sWindowsPath, &s));
    return s;
}

// The manifest folder there and empty, as each test starts from.
inline void EmptyManifestFolder() {
    std::error_code ec;
    std::filesystem::remove_all(HostPath(MANIFEST_FOLDER), ec);
    std::filesystem::create_directories(HostPath(MANIFEST_FOLDER), ec);
}

inline void WriteBytes(const std::u16string& sPath, const std::vector<BYTE>& data) {
    const std::string sHost = HostPath(sPath);
    std::filesystem::create_directories(std::filesystem::path(sHost).parent_path());
    std::ofstream out(sHost, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline std::vector<BYTE> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

inline const krelltest::CertAndKey& Signer() {
    static const krelltest::CertAndKey signer = krelltest::IssueCert(krelltest::DevRoot(), {});
    return signer;
}

// Writes D\B.gwm (the plain bytes enciphered), D\B.grd listing it and D\B.sig signing the guard.
inline void PackManifest(const std::u16string& sFolder, const std::string& sBase,
                         const std::vector<BYTE>& plain, bool bSign = true) {
    std::vector<BYTE> cipher = plain;
    EncipherManifest(cipher.data(), cipher.size());
    const std::u16string sStem = sFolder + u"\\" + platform::FromUtf8(sBase);
    WriteBytes(sStem + u".gwm", cipher);
    signature::GuardFile guard{sBase, {}};
    signature::GuardEntry entry;
    crypto::Sha1(cipher, entry.digest);
    entry.sName = sBase + ".gwm";
    guard.entries.push_back(entry);
    const std::vector<BYTE> guardBytes = Bytes(signature::FormatGuardFile(guard));
    WriteBytes(sStem + u".grd", guardBytes);
    if (bSign) {
        WriteBytes(sStem + u".sig", krelltest::SignCms(guardBytes, Signer()));
    }
}

inline std::string Manifest(const std::string& sBody) {
    return "<?xml version=\"1.0\"?>\n<manifest><protected-resources>" + sBody +
           "</protected-resources></manifest>\n";
}

}  // namespace manifesttest
