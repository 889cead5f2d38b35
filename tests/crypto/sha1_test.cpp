#include "crypto/sha1.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Hex(const crypto::Sha1Digest& digest) {
    std::string s;
    for (BYTE b : digest) {
        char sz[3];
        std::snprintf(sz, sizeof sz, "%02x", b);
        s += sz;
    }
    return s;
}

std::vector<BYTE> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

// FIPS 180 examples and the long-message vector: both back ends must give the same digests.
struct Vector {
    std::string sInput;
    std::size_t nRepeat;
    const char* szDigest;
};
const Vector kVectors[] = {
    {"", 1, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {"abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
     "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {"a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
};

std::vector<BYTE> Input(const Vector& v) {
    std::vector<BYTE> data;
    for (std::size_t i = 0; i < v.nRepeat; ++i) {
        data.insert(data.end(), v.sInput.begin(), v.sInput.end());
    }
    return data;
}

TEST(Sha1, OneShotAndPiecewiseGiveTheKnownDigests) {
    for (const Vector& v : kVectors) {
        const std::vector<BYTE> data = Input(v);
        crypto::Sha1Digest digest{};
        ASSERT_TRUE(crypto::Sha1(data, digest));
        EXPECT_EQ(Hex(digest), v.szDigest) << v.sInput.substr(0, 10) << " x" << v.nRepeat;

        // Uneven pieces cross the 64-byte block boundary at every offset.
        crypto::CSha1 sha1;
        std::size_t nDone = 0;
        for (std::size_t cb = 1; nDone < data.size(); cb = cb % 97 + 1) {
            const std::size_t n = std::min(cb, data.size() - nDone);
            ASSERT_TRUE(sha1.Update(std::span<const BYTE>(data).subspan(nDone, n)));
            nDone += n;
        }
        crypto::Sha1Digest piecewise{};
        ASSERT_TRUE(sha1.Final(piecewise));
        EXPECT_EQ(piecewise, digest);
    }
}

TEST(Sha1, FinalEndsTheDigestUntilReset) {
    crypto::CSha1 sha1;
    crypto::Sha1Digest digest{};
    ASSERT_TRUE(sha1.Update(Bytes("ab")));
    ASSERT_TRUE(sha1.Final(digest));
    EXPECT_FALSE(sha1.Update(Bytes("c")));
    EXPECT_FALSE(sha1.Final(digest));

    // Reset starts afresh: nothing of the earlier input is left.
    ASSERT_TRUE(sha1.Reset());
    ASSERT_TRUE(sha1.Update(Bytes("abc")));
    ASSERT_TRUE(sha1.Final(digest));
    EXPECT_EQ(Hex(digest), "a9993e364706816aba3e25717850c26c9cd0d89d");

    // Reset in the middle of a digest drops what was fed so far.
    ASSERT_TRUE(sha1.Reset());
    ASSERT_TRUE(sha1.Update(Bytes("xyz")));
    ASSERT_TRUE(sha1.Reset());
    ASSERT_TRUE(sha1.Final(digest));
    EXPECT_EQ(Hex(digest), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

}  // namespace
