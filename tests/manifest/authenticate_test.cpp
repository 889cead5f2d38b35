// The manifest authentication: every arrangement of guard and signature files beside a manifest,
// with signatures made in the run by the development root, a second root and faulty signers, must give
// its result code, its authenticity and exactly its log lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crypto/sha1.h"
#include "manifest/authenticate.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "signature/guard_file.h"
#include "support/debug_log.h"
#include "support/test_pki.h"

namespace {

using krelltest::Bytes;
using krelltest::CertAndKey;
using krelltest::CertOptions;

const std::string LOG_559 =
    ".\\src\\Authenticate.cpp(559) - AddGuardFileIfAuthentic: ManifestManager - AddGuardFileIfAuthentic -  "
    "unknown "
    "Gfs exception thrown!";
const std::string LOG_614 =
    ".\\src\\Authenticate.cpp(614) - CAuthenticate::IsTrustedCallback: ManifestManager - "
    "CAuthenticate::IsTrustedCallback -  isFileTrusted threw unknown exception!";
const std::string LOG_699 =
    ".\\src\\Authenticate.cpp(699) - CAuthenticate::IsAuthenticInternal: ManifestManager - "
    "CAuthenticate::IsAuthenticInternal -  unknown Gfs exception thrown!";

void WriteFile(const std::u16string& sPath, const std::vector<BYTE>& data) {
    std::string sPosix;
    ASSERT_TRUE(platform::MapPath(sPath, &sPosix)) << platform::ToUtf8(sPath);
    std::filesystem::create_directories(std::filesystem::path(sPosix).parent_path());
    std::ofstream out(sPosix, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    ASSERT_TRUE(out.good());
}

std::vector<BYTE> GuardListing(const std::vector<std::vector<BYTE>>& files) {
    signature::GuardFile guard{"B", {}};
    for (const std::vector<BYTE>& file : files) {
        signature::GuardEntry entry;
        crypto::Sha1(file, entry.digest);
        entry.sName = "B.gwm";
        guard.entries.push_back(entry);
    }
    return Bytes(signature::FormatGuardFile(guard));
}

// What stands in a signature slot.
enum class ESig {
    eAbsent,
    eValid,
    eOtherContent,  // a good signer's signature of other bytes
    eUntrustedRoot,
    eNoUnit,
    eExpired,
    eGarbage,
    eTruncated,
    eUnreadable,  // a directory of that name: it exists but cannot be read
};

class Authenticate : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_root = new CertAndKey(krelltest::DevRoot());
        s_signer = new CertAndKey(krelltest::IssueCert(*s_root, {}));
        const CertAndKey other = krelltest::MakeRoot("Untrusted Root");
        s_untrusted = new CertAndKey(krelltest::IssueCert(other, {}));
        CertOptions noUnit;
        noUnit.sOrganizationalUnit.clear();
        s_noUnit = new CertAndKey(krelltest::IssueCert(*s_root, noUnit));
        CertOptions expired;
        expired.lNotBeforeSeconds = -10 * 86400;
        expired.lNotAfterSeconds = -60;
        s_expired = new CertAndKey(krelltest::IssueCert(*s_root, expired));
    }
    static void TearDownTestSuite() {
        for (CertAndKey* p : {s_root, s_signer, s_untrusted, s_noUnit, s_expired}) {
            delete p;
        }
    }
    void SetUp() override {
        krelltest::CDebugLog::Enable();
        if (!krelltest::BuildTrustsDevRoot()) {
            GTEST_SKIP() << "the build embeds another root than certs/dev";
        }
    }

    static void PlaceSignature(const std::u16string& sPath, ESig eSig, const std::vector<BYTE>& guard) {
        switch (eSig) {
            case ESig::eAbsent:
                return;
            case ESig::eValid:
                return WriteFile(sPath, krelltest::SignCms(guard, *s_signer));
            case ESig::eOtherContent:
                return WriteFile(sPath, krelltest::SignCms(Bytes("other bytes"), *s_signer));
            case ESig::eUntrustedRoot:
                return WriteFile(sPath, krelltest::SignCms(guard, *s_untrusted));
            case ESig::eNoUnit:
                return WriteFile(sPath, krelltest::SignCms(guard, *s_noUnit));
            case ESig::eExpired:
                return WriteFile(sPath, krelltest::SignCms(guard, *s_expired));
            case ESig::eGarbage:
                return WriteFile(sPath, Bytes("garbage, not DER"));
            case ESig::eTruncated: {
                std::vector<BYTE> sig = krelltest::SignCms(guard, *s_signer);
                sig.resize(sig.size() - 40);
                return WriteFile(sPath, sig);
            }
            case ESig::eUnreadable: {
                std::string sPosix;
                platform::MapPath(sPath, &sPosix);
                std::filesystem::create_directories(sPosix);
                return;
            }
        }
    }

    static inline CertAndKey* s_root = nullptr;
    static inline CertAndKey* s_signer = nullptr;
    static inline CertAndKey* s_untrusted = nullptr;
    static inline CertAndKey* s_noUnit = nullptr;
    static inline CertAndKey* s_expired = nullptr;
};

struct Case {
    const char* szCase;
    std::vector<ESig> slots;  // slot 0 is B.sig, slot i B<i>.sig; slot 10 would be B10.sig
    bool bChangeManifest = false;
    bool bNoGuard = false;
    bool bChangeGuard = false;
    bool bGuardBadFormat = false;
    // expected
    bool bCall;
    bool bAuthentic;
    DWORD dwResult;
    std::size_t n559 = 0;
    std::size_t n614 = 0;
};

TEST_F(Authenticate, EveryArrangementOfGuardAndSignatureFiles) {
    using enum ESig;
    const std::vector<ESig> allBad = {eOtherContent, eUntrustedRoot, eNoUnit, eExpired,
                                      eOtherContent, eUntrustedRoot, eNoUnit, eOtherContent,
                                      eExpired,      eUntrustedRoot};
    std::vector<ESig> elevenWithLastValid = allBad;
    elevenWithLastValid.push_back(eValid);
    const Case cases[] = {
        {"valid B.sig, manifest listed", {eValid}, false, false, false, false, true, true, 0},
        {"manifest changed after signing", {eValid}, true, false, false, false, true, false, 0, 0, 1},
        {"bad B.sig, valid B1.sig", {eOtherContent, eValid}, false, false, false, false, true, true, 0},
        {"B.sig of another root, valid B1.sig",
         {eUntrustedRoot, eValid},
         false,
         false,
         false,
         false,
         true,
         true,
         0},
        {"B.sig holding garbage, valid B1.sig",
         {eGarbage, eValid},
         false,
         false,
         false,
         false,
         false,
         false,
         0x22},
        {"truncated B.sig, valid B1.sig",
         {eTruncated, eValid},
         false,
         false,
         false,
         false,
         false,
         false,
         0x22},
        {"bad B1.sig after a bad B.sig stops nothing, B2.sig garbage",
         {eOtherContent, eNoUnit, eGarbage, eValid},
         false,
         false,
         false,
         false,
         false,
         false,
         0x22},
        {"bad B.sig and no B1.sig", {eOtherContent}, false, false, false, false, true, false, 1},
        {"B.sig of another root", {eUntrustedRoot}, false, false, false, false, true, false, 1},
        {"B.sig by a signer without the unit", {eNoUnit}, false, false, false, false, true, false, 1},
        {"B.sig by an expired signer", {eExpired}, false, false, false, false, true, false, 1},
        {"no B.sig at all", {}, false, false, false, false, false, false, 0x33},
        {"no B.sig but a valid B1.sig", {eAbsent, eValid}, false, false, false, false, false, false, 0x33},
        {"a gap: B.sig bad, no B1.sig, valid B2.sig",
         {eOtherContent, eAbsent, eValid},
         false,
         false,
         false,
         false,
         true,
         false,
         1},
        {"ten signature slots, all bad", allBad, false, false, false, false, true, false, 1},
        {"ten bad slots and a valid B10.sig, never tried", elevenWithLastValid, false, false, false, false,
         true, false, 1},
        {"valid B9.sig after nine bad ones",
         [&] {
             std::vector<ESig> v(allBad.begin(), allBad.begin() + 9);
             v.push_back(eValid);
             return v;
         }(),
         false, false, false, false, true, true, 0},
        {"guard file changed after signing", {eValid}, false, false, true, false, true, false, 1},
        {"no guard file", {eValid, eValid}, false, true, false, false, true, false, 1, 2},
        {"B.sig unreadable, valid B1.sig",
         {eUnreadable, eValid},
         false,
         false,
         false,
         false,
         false,
         false,
         0x33},
        {"signed guard file that does not parse", {eValid}, false, false, false, true, false, false, 0x22},
    };
    int nCase = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szCase);
        const std::u16string sDir = u"C:\\Manifests\\Case" + platform::FromUtf8(std::to_string(nCase++));
        const std::vector<BYTE> manifest = Bytes("<manifest>" + std::string(c.szCase) + "</manifest>");
        std::vector<BYTE> guard = c.bGuardBadFormat ? Bytes("KRELLGUARD 9\n") : GuardListing({manifest});
        WriteFile(sDir + u"\\B.gwm", c.bChangeManifest ? Bytes("<manifest>changed</manifest>") : manifest);
        for (std::size_t i = 0; i < c.slots.size(); ++i) {
            const std::u16string sName =
                i == 0 ? u"B.sig" : u"B" + platform::FromUtf8(std::to_string(i)) + u".sig";
            PlaceSignature(sDir + u"\\" + sName, c.slots[i], guard);
        }
        if (c.bChangeGuard) {
            guard.back() = ' ';
            guard.push_back('\n');
        }
        if (!c.bNoGuard) {
            WriteFile(sDir + u"\\B.grd", guard);
        }
        const krelltest::CDebugLog log;
        CAuthenticate auth;
        bool bAuthentic = !c.bAuthentic;
        DWORD dwResult = 0xFFFF;
        EXPECT_EQ(auth.IsAuthentic((sDir + u"\\B.gwm").c_str(), &bAuthentic, &dwResult), c.bCall);
        EXPECT_EQ(bAuthentic, c.bAuthentic);
        EXPECT_EQ(dwResult, c.dwResult) << AuthResultText(dwResult);
        EXPECT_EQ(log.Count(LOG_559), c.n559);
        EXPECT_EQ(log.Count(LOG_614), c.n614);
        EXPECT_EQ(log.Count(LOG_699), 0u);
    }
}

// Paths: non-ASCII names are found; a path too long for the platform, a folder that is a file and a
// path with no ANSI form find no signature file.
TEST_F(Authenticate, PathsThatCannotBeReadFailTheCall) {
    const std::vector<BYTE> manifest = Bytes("<m/>");
    const std::vector<BYTE> guard = GuardListing({manifest});
    const std::u16string sUnicode = u"C:\\Manifests\\Prüfung – Ωmega\\Bü";
    WriteFile(sUnicode + u".gwm", manifest);
    WriteFile(sUnicode + u".grd", guard);
    PlaceSignature(sUnicode + u".sig", ESig::eValid, guard);
    CAuthenticate auth;
    bool bAuthentic = false;
    DWORD dwResult = 0;
    EXPECT_TRUE(auth.IsAuthentic((sUnicode + u".gwm").c_str(), &bAuthentic, &dwResult));
    EXPECT_TRUE(bAuthentic);

    // Beside the good files, the same manifest reached through an over-long path.
    const std::u16string sLong = u"C:\\Manifests\\" + std::u16string(250, u'x') + u"\\B";
    bAuthentic = true;
    EXPECT_FALSE(auth.IsAuthentic((sLong + u".gwm").c_str(), &bAuthentic, &dwResult));
    EXPECT_FALSE(bAuthentic);
    EXPECT_EQ(dwResult, AUTH_NO_SIGNATURE_FILE);

    WriteFile(u"C:\\Manifests\\NotAFolder", manifest);
    EXPECT_FALSE(auth.IsAuthentic(u"C:\\Manifests\\NotAFolder\\B.gwm", &bAuthentic, &dwResult));
    EXPECT_EQ(dwResult, AUTH_NO_SIGNATURE_FILE);

    const char16_t szLoneSurrogate[] = {u'C', u':', u'\\', 0xD800, u'.', u'g', u'w', u'm', 0};
    EXPECT_FALSE(auth.IsAuthentic(szLoneSurrogate, &bAuthentic, &dwResult));
    EXPECT_FALSE(bAuthentic);
}

// Each call starts from nothing: digests accepted for one manifest do not make another authentic.
TEST_F(Authenticate, EachCallHasItsOwnContext) {
    const std::vector<BYTE> first = Bytes("<first/>");
    const std::vector<BYTE> second = Bytes("<second/>");
    const std::vector<BYTE> guard = GuardListing({first, second});
    WriteFile(u"C:\\Manifests\\Ctx\\First.gwm", first);
    WriteFile(u"C:\\Manifests\\Ctx\\First.grd", guard);
    PlaceSignature(u"C:\\Manifests\\Ctx\\First.sig", ESig::eValid, guard);
    const std::vector<BYTE> secondGuard = GuardListing({});
    WriteFile(u"C:\\Manifests\\Ctx\\Second.gwm", second);
    WriteFile(u"C:\\Manifests\\Ctx\\Second.grd", secondGuard);
    PlaceSignature(u"C:\\Manifests\\Ctx\\Second.sig", ESig::eValid, secondGuard);

    CAuthenticate auth;
    bool bAuthentic = false;
    EXPECT_TRUE(auth.IsAuthentic(u"C:\\Manifests\\Ctx\\First.gwm", &bAuthentic));
    EXPECT_TRUE(bAuthentic);
    EXPECT_TRUE(auth.IsAuthentic(u"C:\\Manifests\\Ctx\\Second.gwm", &bAuthentic));
    EXPECT_FALSE(bAuthentic);
    // And no accepted guard file survives the call.
    EXPECT_FALSE(auth.IsTrustedCallback("C:\\Manifests\\Ctx\\First.gwm"));
}

TEST_F(Authenticate, TrustedCallbackPassesGuardAndSignatureFilesWithoutLookup) {
    CAuthenticate auth;
    const krelltest::CDebugLog log;
    for (const char* szPath : {"C:\\Nowhere\\x.grd", "C:\\Nowhere\\x.SIG", "C:\\Nowhere\\x.Grd"}) {
        EXPECT_TRUE(auth.IsTrustedCallback(szPath)) << szPath;
    }
    EXPECT_FALSE(auth.IsTrustedCallback("C:\\Nowhere\\x.gwm"));
    EXPECT_FALSE(auth.IsTrustedCallback(("C:\\" + std::string(270, 'y')).c_str()));
    EXPECT_EQ(log.Count(LOG_614), 1u);  // the over-long path fails its conversion silently
}

TEST_F(Authenticate, AnErrorOutsideTheSignatureFilesEndsTheCheck) {
    const std::vector<BYTE> garbageRoot = Bytes("not a certificate");
    CAuthenticate auth({garbageRoot, signature::TRUSTED_SIGNER_OU});
    const krelltest::CDebugLog log;
    bool bAuthentic = true;
    DWORD dwResult = 0;
    EXPECT_FALSE(auth.IsAuthentic(u"C:\\Manifests\\Case0\\B.gwm", &bAuthentic, &dwResult));
    EXPECT_FALSE(bAuthentic);
    EXPECT_EQ(dwResult, AUTH_ERROR);
    EXPECT_EQ(log.Count(LOG_699), 1u);
}

TEST(AuthenticateNames, GuardAndSignatureFilesFollowTheManifestName) {
    EXPECT_EQ(CAuthenticate::GuardFileName("C:\\M\\Base.gwm"), "C:\\M\\Base.grd");
    EXPECT_EQ(CAuthenticate::GuardFileName("C:\\M\\a.b.gwm"), "C:\\M\\a.b.grd");
    EXPECT_EQ(CAuthenticate::GuardFileName("C:\\M.d\\Base"), "C:\\M.d\\Base.grd");
    EXPECT_EQ(CAuthenticate::SignatureFileName("C:\\M\\Base.gwm", 0), "C:\\M\\Base.sig");
    EXPECT_EQ(CAuthenticate::SignatureFileName("C:\\M\\Base.gwm", 1), "C:\\M\\Base1.sig");
    EXPECT_EQ(CAuthenticate::SignatureFileName("C:\\M\\Base.gwm", 9), "C:\\M\\Base9.sig");
}

}  // namespace
