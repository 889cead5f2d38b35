#include "crypto/blowfish.h"
#include "crypto/blowfish_kernels.h"

#include <gtest/gtest.h>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using crypto::CBlowfish;

std::vector<BYTE> FromHex(const std::string& s) {
    std::vector<BYTE> bytes;
    for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
        bytes.push_back(static_cast<BYTE>(std::stoul(s.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string ToHex(const std::vector<BYTE>& bytes) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string s;
    for (BYTE b : bytes) {
        s += HEX[b >> 4];
        s += HEX[b & 0xF];
    }
    return s;
}

struct Vector {
    const char* szKey;
    const char* szPlain;
    const char* szCipher;
};

void CheckVectors(const crypto::BlowfishVariant& variant, const std::vector<Vector>& vectors) {
    for (const Vector& v : vectors) {
        SCOPED_TRACE(std::string("key ") + v.szKey + " plain " + v.szPlain);
        const CBlowfish cipher(variant, FromHex(v.szKey));
        std::vector<BYTE> block = FromHex(v.szPlain);
        cipher.EncipherEcb(block.data(), block.size());
        EXPECT_EQ(ToHex(block), v.szCipher);
        cipher.DecipherEcb(block.data(), block.size());
        EXPECT_EQ(ToHex(block), v.szPlain);
    }
}

// Eric Young's published ECB vectors for standard Blowfish.
TEST(BlowfishTest, PublishedEcbVectors) {
    CheckVectors(crypto::BLOWFISH_PUBLISHED, {
                                                 {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
                                                 {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
                                                 {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
                                                 {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
                                                 {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
                                                 {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
                                                 {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
                                                 {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
                                                 {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
                                                 {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
                                                 {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
                                                 {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
                                                 {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
                                                 {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
                                                 {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
                                                 {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
                                                 {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
                                                 {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
                                                 {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
                                                 {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
                                                 {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
                                                 {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
                                                 {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
                                                 {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
                                                 {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
                                                 {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
                                                 {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
                                                 {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
                                                 {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
                                                 {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
                                                 {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
                                                 {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
                                                 {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
                                             });
}

// The published key-length vectors: the key bytes are cycled over the subkeys.
TEST(BlowfishTest, PublishedKeyLengthVectors) {
    const std::string sKey = "F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677";
    const char* CIPHERS[] = {"F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05",
                             "B39E44481BDB1E6E", "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82",
                             "15750E7A4F4EC577", "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
                             "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F", "93142887EE3BE15C",
                             "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
                             "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080"};
    std::vector<Vector> vectors;
    std::vector<std::string> keys;
    for (std::size_t n = 1; n <= std::size(CIPHERS); ++n) {
        keys.push_back(sKey.substr(0, 2 * n));
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        vectors.push_back({keys[i].c_str(), "FEDCBA9876543210", CIPHERS[i]});
    }
    CheckVectors(crypto::BLOWFISH_PUBLISHED, vectors);
}

// The system's variant, computed by an independent model of it (zero subkeys, little-endian halves).
TEST(BlowfishTest, VariantVectors) {
    CheckVectors(crypto::BLOWFISH_ZERO_P_LE, {
                                                 {"4F1A9C27E358B60D", "0000000000000000", "6DEC1AD94C52E147"},
                                                 {"4F1A9C27E358B60D", "0102030405060708", "E2C5D4B2D36EF7C3"},
                                                 {"4F1A9C27E358B60D", "FFFFFFFFFFFFFFFF", "9D6DB430994B929C"},
                                                 {"4F1A9C27E358B60D", "4B52454C4C537663", "67A4E1C7EA87F70F"},
                                                 {"0000000000000000", "0000000000000000", "8DC6CE90639A0D13"},
                                                 {"0123456789ABCDEF", "1111111111111111", "D2B6689EFE990C23"},
                                             });
}

// OpenSSL's Blowfish as an oracle for random keys of every allowed length and multi-block buffers.
TEST(BlowfishTest, MatchesOpenSslOnRandomBuffers) {
    std::mt19937 rng(20240131);
    for (int nKeyLength = 4; nKeyLength <= 56; nKeyLength += 4) {
        std::vector<BYTE> key(nKeyLength);
        for (BYTE& b : key) {
            b = static_cast<BYTE>(rng());
        }
        std::vector<BYTE> data(8 * 37);
        for (BYTE& b : data) {
            b = static_cast<BYTE>(rng());
        }
        BF_KEY bfKey;
        BF_set_key(&bfKey, nKeyLength, key.data());
        std::vector<BYTE> expected(data.size());
        for (std::size_t i = 0; i < data.size(); i += 8) {
            BF_ecb_encrypt(&data[i], &expected[i], &bfKey, BF_ENCRYPT);
        }
        const CBlowfish cipher(crypto::BLOWFISH_PUBLISHED, key);
        std::vector<BYTE> actual = data;
        cipher.EncipherEcb(actual.data(), actual.size());
        EXPECT_EQ(actual, expected) << "key length " << nKeyLength;
    }
}

// Only whole blocks are enciphered: a trailing 1 to 7 bytes pass unchanged, the blocks before them
// do not, and deciphering restores everything.
TEST(BlowfishTest, EcbLeavesPartialTailAndRoundTrips) {
    const CBlowfish cipher(crypto::BLOWFISH_ZERO_P_LE,
                           std::vector<BYTE>{0x4F, 0x1A, 0x9C, 0x27, 0xE3, 0x58, 0xB6, 0x0D});
    for (std::size_t cb : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 63u, 64u}) {
        std::vector<BYTE> plain(cb);
        for (std::size_t i = 0; i < cb; ++i) {
            plain[i] = static_cast<BYTE>(i * 37 + 11);
        }
        std::vector<BYTE> data = plain;
        cipher.EncipherEcb(data.data(), data.size());
        const std::size_t cbWhole = cb / 8 * 8;
        for (std::size_t b = 0; b < cbWhole; b += 8) {
            EXPECT_NE(std::vector<BYTE>(data.begin() + b, data.begin() + b + 8),
                      std::vector<BYTE>(plain.begin() + b, plain.begin() + b + 8))
                << "block at " << b << " of " << cb;
        }
        EXPECT_EQ(std::vector<BYTE>(data.begin() + cbWhole, data.end()),
                  std::vector<BYTE>(plain.begin() + cbWhole, plain.end()))
            << cb;
        cipher.DecipherEcb(data.data(), data.size());
        EXPECT_EQ(data, plain) << cb;
    }
}

// Every kernel the processor runs gives, for both block orders and both directions, in place and
// from one buffer into another, what the single-block rounds give: lengths around the kernels' group
// sizes, with tails.
TEST(BlowfishTest, EveryKernelMatchesTheSingleBlockRounds) {
    using crypto::detail::EEcbKernel;
    const std::vector<EEcbKernel>& kernels = crypto::detail::AvailableKernels();
    ASSERT_FALSE(kernels.empty());
    EXPECT_EQ(kernels.front(), EEcbKernel::eScalar);
    EXPECT_NE(std::find(kernels.begin(), kernels.end(), crypto::detail::ChosenKernel()), kernels.end());
    std::mt19937 rng(7);
    const std::vector<BYTE> key{0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE, 0x01};
    for (const crypto::BlowfishVariant& variant : {crypto::BLOWFISH_PUBLISHED, crypto::BLOWFISH_ZERO_P_LE}) {
        const CBlowfish cipher(variant, key);
        for (std::size_t nBlocks : {1u, 7u, 8u, 9u, 15u, 31u, 32u, 33u, 64u, 100u, 257u}) {
            std::vector<BYTE> plain(nBlocks * 8 + 5);
            for (BYTE& b : plain) {
                b = static_cast<BYTE>(rng());
            }
            std::vector<BYTE> expected = plain;
            for (std::size_t i = 0; i + 8 <= expected.size(); i += 8) {
                const bool bLittle = variant.eBlockOrder == crypto::EBlockOrder::eLittleEndian;
                const auto load = [&](std::size_t at) {
                    DWORD dw = 0;
                    for (int n = 0; n < 4; ++n) {
                        dw |= DWORD{expected[at + n]} << (bLittle ? 8 * n : 24 - 8 * n);
                    }
                    return dw;
                };
                const auto store = [&](std::size_t at, DWORD dw) {
                    for (int n = 0; n < 4; ++n) {
                        expected[at + n] = static_cast<BYTE>(dw >> (bLittle ? 8 * n : 24 - 8 * n));
                    }
                };
                DWORD dwLeft = load(i);
                DWORD dwRight = load(i + 4);
                cipher.EncipherBlock(dwLeft, dwRight);
                store(i, dwLeft);
                store(i + 4, dwRight);
            }
            for (EEcbKernel eKernel : kernels) {
                SCOPED_TRACE("kernel " + std::to_string(static_cast<int>(eKernel)) + ", " +
                             std::to_string(nBlocks) + " blocks");
                crypto::detail::ForceKernel(eKernel);
                std::vector<BYTE> data = plain;
                cipher.EncipherEcb(data.data(), data.size());
                EXPECT_EQ(data, expected);
                cipher.DecipherEcb(data.data(), data.size());
                EXPECT_EQ(data, plain);
                std::vector<BYTE> out(plain.size(), 0xA5);
                cipher.EncipherEcb(plain.data(), out.data(), plain.size());
                EXPECT_EQ(out, expected);
            }
            crypto::detail::ForceKernel(std::nullopt);
        }
    }
}

}  // namespace
