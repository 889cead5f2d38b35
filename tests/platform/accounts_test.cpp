#include "platform/accounts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/strings.h"
#include "platform/system.h"
#include "support/account_lookup.h"

namespace {

std::vector<BYTE> Bytes(std::initializer_list<int> list) {
    return std::vector<BYTE>(list.begin(), list.end());
}

struct SidCase {
    const char16_t* szText;
    std::vector<BYTE> binary;
    const char16_t* szCanonical;  // what converting back gives
};

class SidStringTest : public ::testing::TestWithParam<SidCase> {};

TEST_P(SidStringTest, ConvertsBothWays) {
    const SidCase& row = GetParam();
    std::vector<BYTE> sid;
    ASSERT_TRUE(platform::ConvertStringSidToSid(row.szText, &sid)) << platform::GetLastError();
    EXPECT_EQ(sid, row.binary);
    EXPECT_EQ(platform::GetLengthSid(sid.data()), sid.size());
    std::u16string sBack;
    ASSERT_TRUE(platform::ConvertSidToStringSid(sid.data(), &sBack));
    EXPECT_EQ(sBack, row.szCanonical);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SidStringTest,
    ::testing::Values(
        SidCase{u"S-1-5-18", Bytes({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}), u"S-1-5-18"},
        SidCase{u"S-1-1-0", Bytes({1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}), u"S-1-1-0"},
        SidCase{u"S-1-5-32-544", Bytes({1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0}),
                u"S-1-5-32-544"},
        SidCase{u"S-1-22-1-1000", Bytes({1, 2, 0, 0, 0, 0, 0, 22, 1, 0, 0, 0, 0xE8, 3, 0, 0}),
                u"S-1-22-1-1000"},
        SidCase{u"S-1-22-2-4294967295", Bytes({1, 2, 0, 0, 0, 0, 0, 22, 2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}),
                u"S-1-22-2-4294967295"},
        SidCase{u"S-1-5-21-1-2-3-1001", Bytes({1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0,    0, 1, 0,
                                               0, 0, 2, 0, 0, 0, 3, 0, 0,  0, 0xE9, 3, 0, 0}),
                u"S-1-5-21-1-2-3-1001"},
        // No sub-authority at all is a valid SID (the null authority's own).
        SidCase{u"S-1-0", Bytes({1, 0, 0, 0, 0, 0, 0, 0}), u"S-1-0"},
        // Authorities of 2^32 and above are written in hexadecimal; below, decimal whatever was typed.
        SidCase{u"S-1-0x123456789ABC-7", Bytes({1, 1, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 7, 0, 0, 0}),
                u"S-1-0x123456789ABC-7"},
        SidCase{u"S-1-0x5-18", Bytes({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}), u"S-1-5-18"},
        SidCase{u"s-1-5-19", Bytes({1, 1, 0, 0, 0, 0, 0, 5, 19, 0, 0, 0}), u"S-1-5-19"},
        SidCase{u"SY", Bytes({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}), u"S-1-5-18"},
        SidCase{u"BA", Bytes({1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0}), u"S-1-5-32-544"},
        SidCase{u"WD", Bytes({1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}), u"S-1-1-0"}));

TEST(SidStringTest, RefusesMalformedText) {
    for (const char16_t* szBad :
         {u"", u"S", u"S-", u"S-1", u"S-1-", u"S-2-5-18", u"X-1-5-18", u"S-1-5-", u"S-1-5--18", u"S-1-5-18-",
          u"S-1-5-4294967296", u"S-1-281474976710656", u"S-1-0x1000000000000", u"S-1-5-1x", u"S-1-5- 18",
          u"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16", u"sy", u"S-1-5-+18"}) {
        std::vector<BYTE> sid;
        platform::SetLastError(0);
        EXPECT_FALSE(platform::ConvertStringSidToSid(szBad, &sid)) << platform::ToUtf8(szBad);
        EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_SID) << platform::ToUtf8(szBad);
    }
    // Fifteen sub-authorities are the most a SID holds.
    std::vector<BYTE> sid;
    EXPECT_TRUE(platform::ConvertStringSidToSid(u"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15", &sid));
    EXPECT_EQ(sid.size(), 8u + 4 * 15);
    const BYTE bad[] = {2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    std::u16string sText;
    EXPECT_FALSE(platform::ConvertSidToStringSid(bad, &sText));
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_SID);
}

struct NameCase {
    const char16_t* szName;
    const char16_t* szSid;
    const char16_t* szDomain;
    SID_NAME_USE eUse;
};

class WellKnownAccountTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(WellKnownAccountTest, ResolvesBothWays) {
    const NameCase& row = GetParam();
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD cbSid = sizeof(sid);
    char16_t szDomain[260];
    DWORD cchDomain = 260;
    SID_NAME_USE eUse = SidTypeDomain;
    ASSERT_TRUE(platform::LookupAccountName(nullptr, row.szName, sid, &cbSid, szDomain, &cchDomain, &eUse));
    std::u16string sSid;
    ASSERT_TRUE(platform::ConvertSidToStringSid(sid, &sSid));
    EXPECT_EQ(sSid, row.szSid);
    EXPECT_EQ(cbSid, platform::GetLengthSid(sid));
    EXPECT_EQ(std::u16string(szDomain), row.szDomain);
    EXPECT_EQ(cchDomain, std::u16string(row.szDomain).size());
    EXPECT_EQ(eUse, row.eUse);

    std::u16string sName;
    std::u16string sDomain;
    ASSERT_TRUE(platform::LookupAccountSid(nullptr, sid, &sName, &sDomain, &eUse));
    const std::u16string sTyped(row.szName);
    EXPECT_TRUE(platform::EqualNoCase(sName, sTyped.substr(sTyped.find(u'\\') + 1)))
        << platform::ToUtf8(sName);
    EXPECT_EQ(sDomain, row.szDomain);
}

INSTANTIATE_TEST_SUITE_P(
    Names, WellKnownAccountTest,
    ::testing::Values(NameCase{u"SYSTEM", u"S-1-5-18", u"NT AUTHORITY", SidTypeWellKnownGroup},
                      NameCase{u"system", u"S-1-5-18", u"NT AUTHORITY", SidTypeWellKnownGroup},
                      NameCase{u"NT AUTHORITY\\SYSTEM", u"S-1-5-18", u"NT AUTHORITY", SidTypeWellKnownGroup},
                      NameCase{u"Administrators", u"S-1-5-32-544", u"BUILTIN", SidTypeAlias},
                      NameCase{u"BUILTIN\\administrators", u"S-1-5-32-544", u"BUILTIN", SidTypeAlias},
                      NameCase{u"Everyone", u"S-1-1-0", u"", SidTypeWellKnownGroup},
                      NameCase{u"LOCAL SERVICE", u"S-1-5-19", u"NT AUTHORITY", SidTypeWellKnownGroup},
                      NameCase{u"NETWORK SERVICE", u"S-1-5-20", u"NT AUTHORITY", SidTypeWellKnownGroup}));

TEST(AccountLookupTest, UnknownNamesAndWrongDomainsAreNotMapped) {
    EXPECT_EQ(SidOf(u"no-such-account-krell"), u"error 1332");
    EXPECT_EQ(SidOf(u""), u"error 1332");
    EXPECT_EQ(SidOf(u"BUILTIN\\SYSTEM"), u"error 1332");
    EXPECT_EQ(SidOf(u"NT AUTHORITY\\"), u"error 1332");
    const std::vector<BYTE> sid = {1, 2, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 77, 0, 0, 0};
    std::u16string sName;
    std::u16string sDomain;
    SID_NAME_USE eUse;
    EXPECT_FALSE(platform::LookupAccountSid(nullptr, sid.data(), &sName, &sDomain, &eUse));
    EXPECT_EQ(platform::GetLastError(), ERROR_NONE_MAPPED);
}

// The event log's records carry the SID of the account the process runs as.
TEST(AccountLookupTest, TheProcessAccountHasASid) {
    std::u16string sUser;
    ASSERT_TRUE(platform::GetUserName(&sUser)) << platform::GetLastError();
    ASSERT_FALSE(sUser.empty());
    const std::u16string sSid = SidOf(sUser);
    std::vector<BYTE> sid;
    ASSERT_TRUE(platform::ConvertStringSidToSid(sSid.c_str(), &sid)) << platform::ToUtf8(sSid);
    std::u16string sName;
    std::u16string sDomain;
    SID_NAME_USE eUse;
    ASSERT_TRUE(platform::LookupAccountSid(nullptr, sid.data(), &sName, &sDomain, &eUse));
    EXPECT_EQ(SidOf(sName), sSid);
}

TEST(AccountLookupTest, SmallBuffersReportTheSizesNeeded) {
    BYTE sid[8];
    DWORD cbSid = sizeof(sid);
    char16_t szDomain[4];
    DWORD cchDomain = 4;
    SID_NAME_USE eUse;
    EXPECT_FALSE(
        platform::LookupAccountName(nullptr, u"Administrators", sid, &cbSid, szDomain, &cchDomain, &eUse));
    EXPECT_EQ(platform::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(cbSid, 16u);
    EXPECT_EQ(cchDomain, 8u);  // "BUILTIN" and its terminator
    BYTE big[SECURITY_MAX_SID_SIZE];
    cbSid = sizeof(big);
    EXPECT_FALSE(
        platform::LookupAccountName(u"OTHERHOST", u"SYSTEM", big, &cbSid, szDomain, &cchDomain, &eUse));
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
