// gwmtool driven as a program: its cipher against an independent model built from OpenSSL's Blowfish
// rounds, pack and verify end to end, signature slots, and refusals that leave no file behind.
#include <gtest/gtest.h>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "crypto/blowfish.h"
#include "manifest/manifest_cipher.h"
#include "support/files.h"
#include "support/test_pki.h"
#include "support/test_root.h"

namespace {

namespace fs = std::filesystem;
using krelltest::Bytes;

krelltest::ToolResult Gwm(std::vector<std::string> args) {
    args.insert(args.begin(), KRELL_GWMTOOL);
    return krelltest::RunTool(args);
}

void WriteBytes(const std::string& sPath, const std::vector<BYTE>& data) {
    std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<BYTE> ReadBytes(const std::string& sPath) {
    return Bytes(krelltest::ReadText(sPath));
}

std::string Hex(const std::vector<BYTE>& data) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string s;
    for (BYTE b : data) {
        s += HEX[b >> 4];
        s += HEX[b & 0xF];
    }
    return s;
}

// The manifest cipher rebuilt from OpenSSL's Blowfish rounds: subkeys from zero mixed with the key as
// big-endian words, the schedule run with BF_encrypt, blocks read as little-endian halves.
class CModelCipher {
public:
    CModelCipher() {
        for (int i = 0; i < 4; ++i) {
            for (int j = 0; j < 256; ++j) {
                m_key.S[i * 256 + j] = crypto::BLOWFISH_PI_S_BOXES[i][j];
            }
        }
        for (int i = 0, k = 0; i < BF_ROUNDS + 2; ++i) {
            BF_LONG word = 0;
            for (int n = 0; n < 4; ++n, k = (k + 1) % 8) {
                word = word << 8 | MANIFEST_CIPHER_KEY[k];
            }
            m_key.P[i] = word;
        }
        BF_LONG block[2] = {0, 0};
        for (int i = 0; i < BF_ROUNDS + 2; i += 2) {
            BF_encrypt(block, &m_key);
            m_key.P[i] = block[0];
            m_key.P[i + 1] = block[1];
        }
        for (int i = 0; i < 4 * 256; i += 2) {
            BF_encrypt(block, &m_key);
            m_key.S[i] = block[0];
            m_key.S[i + 1] = block[1];
        }
    }
    std::vector<BYTE> Run(std::vector<BYTE> data, bool bEncipher) const {
        for (std::size_t at = 0; at + 8 <= data.size(); at += 8) {
            BF_LONG block[2] = {Load(&data[at]), Load(&data[at + 4])};
            bEncipher ? BF_encrypt(block, &m_key) : BF_decrypt(block, &m_key);
            Store(&data[at], block[0]);
            Store(&data[at + 4], block[1]);
        }
        return data;
    }

private:
    static BF_LONG Load(const BYTE* p) {
        BF_LONG v = 0;
        for (int n = 3; n >= 0; --n) {
            v = v << 8 | p[n];
        }
        return v;
    }
    static void Store(BYTE* p, BF_LONG v) {
        for (int n = 0; n < 4; ++n) {
            p[n] = static_cast<BYTE>(v >> (8 * n));
        }
    }
    BF_KEY m_key;
};

class GwmTool : public ::testing::Test {
protected:
    void SetUp() override { m_sDir = krelltest::MakeTempDirectory("gwmtool"); }
    void TearDown() override { fs::remove_all(m_sDir); }
    std::string Path(const std::string& sName) const { return m_sDir + "/" + sName; }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(m_sDir)) {
            names.push_back(fs::relative(entry.path(), m_sDir).string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string m_sDir;
};

TEST_F(GwmTool, CipherMatchesTheModelForEveryTail) {
    const CModelCipher model;
    std::mt19937 rng(20);
    for (std::size_t cb : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 1003u}) {
        SCOPED_TRACE(cb);
        std::vector<BYTE> plain(cb);
        for (BYTE& b : plain) {
            b = static_cast<BYTE>(rng());
        }
        WriteBytes(Path("plain"), plain);
        ASSERT_EQ(Gwm({"encipher", Path("plain"), Path("ciphered")}).nExitCode, 0);
        const std::vector<BYTE> ciphered = ReadBytes(Path("ciphered"));
        EXPECT_EQ(Hex(ciphered), Hex(model.Run(plain, true)));
        EXPECT_EQ(Hex(model.Run(ciphered, false)), Hex(plain));
        // The tail past the last whole block stays plain.
        EXPECT_TRUE(std::equal(plain.begin() + cb / 8 * 8, plain.end(), ciphered.begin() + cb / 8 * 8));
        ASSERT_EQ(Gwm({"decipher", Path("ciphered"), Path("back")}).nExitCode, 0);
        EXPECT_EQ(ReadBytes(Path("back")), plain);
        const krelltest::ToolResult shown = Gwm({"show", Path("ciphered")});
        EXPECT_EQ(shown.nExitCode, 0);
        EXPECT_EQ(Bytes(shown.sOutput), plain);
    }
}

// Fixed vectors of the manifest cipher (taken from the model above), so a changed key or block
// order shows even if the model changed with it.
TEST_F(GwmTool, CipherFixedVectors) {
    const struct {
        const char* szPlain;
        const char* szCipher;
    } vectors[] = {
        {"<?xml version=\"1.0\"?>", "C95200738750C15BE4A06AD2E435B07A2E30223F3E"},
        {"0000000011111111", "26FDD9EFE0ED0824240C586046C70A16"},
        {"short", "73686F7274"},
    };
    for (const auto& v : vectors) {
        WriteBytes(Path("plain"), Bytes(v.szPlain));
        ASSERT_EQ(Gwm({"encipher", Path("plain"), Path("ciphered")}).nExitCode, 0);
        EXPECT_EQ(Hex(ReadBytes(Path("ciphered"))), v.szCipher) << v.szPlain;
    }
}

TEST_F(GwmTool, PackedManifestVerifiesUntilOneByteChanges) {
    if (!krelltest::BuildTrustsDevRoot()) {
        GTEST_SKIP() << "the build embeds another root than certs/dev";
    }
    const std::string sXml =
        "<?xml "
        "version=\"1.0\"?>\n<protected-resources><protected-paths><path>C:\\Data</path></protected-paths>"
        "</protected-resources>\n";
    WriteBytes(Path("m.xml"), Bytes(sXml));
    fs::create_directory(Path("out"));
    const krelltest::ToolResult pack =
        Gwm({"pack", Path("m.xml"), "--out", Path("out/Sample.gwm"), "--cert",
             krelltest::DevCertPath("dev-signer.pem"), "--key", krelltest::DevCertPath("dev-signer.key")});
    ASSERT_EQ(pack.nExitCode, 0) << pack.sOutput;
    EXPECT_EQ(Files(), (std::vector<std::string>{"m.xml", "out", "out/Sample.grd", "out/Sample.gwm",
                                                 "out/Sample.sig"}));
    krelltest::ToolResult verify = Gwm({"verify", Path("out/Sample.gwm")});
    EXPECT_EQ(verify.nExitCode, 0);
    EXPECT_EQ(verify.sOutput, "result 0x00: a signature of the guard file verified\nauthentic\n");
    EXPECT_EQ(Gwm({"show", Path("out/Sample.gwm")}).sOutput, sXml);

    std::vector<BYTE> manifest = ReadBytes(Path("out/Sample.gwm"));
    manifest[manifest.size() / 2] ^= 0x20;
    WriteBytes(Path("out/Sample.gwm"), manifest);
    verify = Gwm({"verify", Path("out/Sample.gwm")});
    EXPECT_EQ(verify.nExitCode, 1);
    EXPECT_EQ(verify.sOutput, "result 0x00: a signature of the guard file verified\nnot authentic\n");
}

TEST_F(GwmTool, GuardSignSlotsAndTheCheckResults) {
    if (!krelltest::BuildTrustsDevRoot()) {
        GTEST_SKIP() << "the build embeds another root than certs/dev";
    }
    const krelltest::CertAndKey stranger =
        krelltest::IssueCert(krelltest::MakeRoot("Untrusted Root"), krelltest::CertOptions{});
    WriteBytes(Path("stranger.pem"), Bytes(stranger.CertPem()));
    WriteBytes(Path("stranger.key"), Bytes(stranger.KeyPem()));
    WriteBytes(Path("B.gwm"), Bytes("<m/>"));
    const std::vector<std::string> devSigner = {"--cert", krelltest::DevCertPath("dev-signer.pem"), "--key",
                                                krelltest::DevCertPath("dev-signer.key")};
    const auto sign = [&](const std::vector<std::string>& who, const char* szSlot) {
        std::vector<std::string> args = {"sign", Path("B.grd")};
        args.insert(args.end(), who.begin(), who.end());
        if (szSlot) {
            args.insert(args.end(), {"--slot", szSlot});
        }
        return Gwm(args);
    };
    const auto verify = [&] { return Gwm({"verify", Path("B.gwm")}).sOutput; };

    ASSERT_EQ(Gwm({"guard", Path("B.grd"), Path("B.gwm")}).nExitCode, 0);
    EXPECT_NE(krelltest::ReadText(Path("B.grd")).find("guards B\n"), std::string::npos);
    EXPECT_EQ(verify(),
              "result 0x33: the first signature file does not exist\ncheck failed: not authentic\n");

    krelltest::ToolResult signed1 = sign(devSigner, "1");
    ASSERT_EQ(signed1.nExitCode, 0) << signed1.sOutput;
    EXPECT_EQ(signed1.sOutput, Path("B1.sig") + "\n");
    EXPECT_EQ(verify(),
              "result 0x33: the first signature file does not exist\ncheck failed: not authentic\n");

    ASSERT_EQ(sign({"--cert", Path("stranger.pem"), "--key", Path("stranger.key")}, nullptr).nExitCode, 0);
    EXPECT_EQ(verify(), "result 0x00: a signature of the guard file verified\nauthentic\n");

    fs::copy_file(Path("B.sig"), Path("B1.sig"), fs::copy_options::overwrite_existing);
    EXPECT_EQ(verify(), "result 0x01: signature files were found but none verified\nnot authentic\n");

    WriteBytes(Path("B.sig"), Bytes("garbage"));
    EXPECT_EQ(verify(), "result 0x22: a signature file held bad data\ncheck failed: not authentic\n");
}

// A signer below an intermediate CA verifies only when sign carries the intermediate with --chain.
TEST_F(GwmTool, SignCarriesTheChain) {
    if (!krelltest::BuildTrustsDevRoot()) {
        GTEST_SKIP() << "the build embeds another root than certs/dev";
    }
    krelltest::CertOptions caOptions;
    caOptions.sCommonName = "Test Intermediate";
    caOptions.sOrganizationalUnit.clear();
    caOptions.bCa = true;
    const krelltest::CertAndKey intermediate = krelltest::IssueCert(krelltest::DevRoot(), caOptions);
    const krelltest::CertAndKey signer = krelltest::IssueCert(intermediate, krelltest::CertOptions{});
    WriteBytes(Path("ca.pem"), Bytes(intermediate.CertPem()));
    WriteBytes(Path("signer.pem"), Bytes(signer.CertPem()));
    WriteBytes(Path("signer.key"), Bytes(signer.KeyPem()));
    WriteBytes(Path("m.xml"), Bytes("<m/>"));
    const std::vector<std::string> base = {"pack",   Path("m.xml"),      "--out", Path("M.gwm"),
                                           "--cert", Path("signer.pem"), "--key", Path("signer.key")};
    ASSERT_EQ(Gwm(base).nExitCode, 0);
    EXPECT_EQ(Gwm({"verify", Path("M.gwm")}).sOutput,
              "result 0x01: signature files were found but none verified\nnot authentic\n");
    std::vector<std::string> withChain = base;
    withChain.insert(withChain.end(), {"--chain", Path("ca.pem")});
    ASSERT_EQ(Gwm(withChain).nExitCode, 0);
    EXPECT_EQ(Gwm({"verify", Path("M.gwm")}).sOutput,
              "result 0x00: a signature of the guard file verified\nauthentic\n");
}

TEST_F(GwmTool, BadInputIsRefusedPlainlyAndWritesNothing) {
    WriteBytes(Path("m.xml"), Bytes("<m>"));  // not well-formed
    WriteBytes(Path("ok.xml"), Bytes("<m/>"));
    WriteBytes(Path("B.grd"), Bytes("not a guard\n"));
    const krelltest::CertAndKey other = krelltest::IssueCert(krelltest::DevRoot(), krelltest::CertOptions{});
    WriteBytes(Path("other.key"), Bytes(other.KeyPem()));
    const std::string sCert = krelltest::DevCertPath("dev-signer.pem");
    const std::string sKey = krelltest::DevCertPath("dev-signer.key");
    const std::vector<std::string> before = Files();
    const struct {
        std::vector<std::string> args;
        int nExit;
        std::string sOutput;  // a part of what it prints
    } cases[] = {
        {{}, 2, "usage: gwmtool"},
        {{"frobnicate"}, 2, "usage: gwmtool"},
        {{"encipher", Path("m.xml")}, 2, "usage: gwmtool"},
        {{"encipher", Path("absent"), Path("x")}, 1, "gwmtool: cannot read " + Path("absent")},
        {{"encipher", Path("m.xml"), Path("nodir/x")}, 1, "gwmtool: cannot write " + Path("nodir/x")},
        {{"guard", Path("G.txt"), Path("m.xml")}, 1, "must end in .grd"},
        {{"guard", Path("G.grd"), Path("absent")}, 1, "cannot read " + Path("absent")},
        {{"sign", Path("B.grd"), "--cert", sCert, "--key", sKey}, 1, "is not a guard file"},
        {{"sign", Path("B.grd"), "--cert", sCert}, 2, "usage: gwmtool"},
        {{"sign", Path("B.grd"), "--cert", sCert, "--key", sKey, "--slot", "10"}, 1, "--slot takes a digit"},
        {{"pack", Path("m.xml"), "--out", Path("M.gwm"), "--cert", sCert, "--key", sKey},
         1,
         "is not well-formed XML: line 1"},
        {{"pack", Path("ok.xml"), "--out", Path("M.xml"), "--cert", sCert, "--key", sKey},
         1,
         "must end in .gwm"},
        {{"pack", Path("ok.xml"), "--out", Path("M.gwm"), "--cert", sCert, "--key", Path("other.key")},
         1,
         "cannot sign: the private key does not belong to the certificate"},
        {{"pack", Path("ok.xml"), "--out", Path("M.gwm"), "--cert", Path("ok.xml"), "--key", sKey},
         1,
         "cannot sign: the certificate does not load"},
        {{"pack", Path("ok.xml"), "--out", Path("M.gwm"), "--cert", sCert, "--key", sKey, "--chain",
          Path("ok.xml")},
         1,
         "cannot sign: the chain holds no certificate"},
        {{"pack", Path("ok.xml"), "--out", Path("nodir/M.gwm"), "--cert", sCert, "--key", sKey},
         1,
         "cannot write " + Path("nodir/M.gwm")},
        {{"show", Path("absent")}, 1, "cannot read"},
    };
    for (const auto& c : cases) {
        std::string sCommand;
        for (const std::string& s : c.args) {
            sCommand += s + " ";
        }
        const krelltest::ToolResult result = Gwm(c.args);
        EXPECT_EQ(result.nExitCode, c.nExit) << sCommand << "\n" << result.sOutput;
        EXPECT_NE(result.sOutput.find(c.sOutput), std::string::npos) << sCommand << "\n" << result.sOutput;
        EXPECT_EQ(Files(), before) << sCommand;
    }
}

}  // namespace
