// The POSIX half's own accounts: users and groups of the user database, and the local account table
// the root keeps in its registry.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "support/account_lookup.h"
#include "support/test_root.h"

namespace {

using platform::FromUtf8;

TEST(AccountLookupTest, PosixUsersAndGroupsMapToTheirIds) {
    passwd* pUser = getpwuid(geteuid());
    ASSERT_NE(pUser, nullptr);
    const std::u16string sExpected =
        pUser->pw_uid == 0 ? u"S-1-5-18" : u"S-1-22-1-" + FromUtf8(std::to_string(pUser->pw_uid));
    EXPECT_EQ(SidOf(FromUtf8(pUser->pw_name)), sExpected);

    // A group whose name is no user's name shows the group mapping.
    group* pGroup = nullptr;
    for (gid_t gid : {getegid(), gid_t{0}, gid_t{65534}}) {
        group* pCandidate = getgrgid(gid);
        if (pCandidate != nullptr && getpwnam(pCandidate->gr_name) == nullptr) {
            pGroup = pCandidate;
            break;
        }
    }
    if (pGroup == nullptr) {
        GTEST_SKIP() << "every group shares its name with a user";
    }
    const std::u16string sGroupSid = u"S-1-22-2-" + FromUtf8(std::to_string(pGroup->gr_gid));
    EXPECT_EQ(SidOf(FromUtf8(pGroup->gr_name)), sGroupSid);
    std::vector<BYTE> sid;
    ASSERT_TRUE(platform::ConvertStringSidToSid(sGroupSid.c_str(), &sid));
    std::u16string sName;
    std::u16string sDomain;
    SID_NAME_USE eUse;
    ASSERT_TRUE(platform::LookupAccountSid(nullptr, sid.data(), &sName, &sDomain, &eUse));
    EXPECT_EQ(platform::ToUtf8(sName), pGroup->gr_name);
    EXPECT_EQ(sDomain, u"Unix Group");
    EXPECT_EQ(eUse, SidTypeGroup);
}

TEST(LocalAccountTableTest, AddedAccountsResolveUntilRemoved) {
    std::u16string sFirst;
    ASSERT_TRUE(platform::NewLocalAccountSid(&sFirst));
    ASSERT_TRUE(sFirst.starts_with(u"S-1-5-21-")) << platform::ToUtf8(sFirst);
    ASSERT_TRUE(sFirst.ends_with(u"-1000")) << platform::ToUtf8(sFirst);
    ASSERT_TRUE(platform::AddLocalAccount(u"Alice", sFirst));
    std::u16string sSecond;
    ASSERT_TRUE(platform::NewLocalAccountSid(&sSecond));
    EXPECT_EQ(sSecond.substr(0, sSecond.size() - 4), sFirst.substr(0, sFirst.size() - 4));
    EXPECT_TRUE(sSecond.ends_with(u"-1001"));
    // A local account shadows a POSIX user of the same name.
    passwd* pUser = getpwuid(geteuid());
    ASSERT_NE(pUser, nullptr);
    EXPECT_FALSE(platform::AddLocalAccount(FromUtf8(pUser->pw_name), u"S-1-5-21-9-9-9-0x3E9"));
    ASSERT_TRUE(platform::AddLocalAccount(FromUtf8(pUser->pw_name), u"S-1-5-21-9-9-9-1001"));

    EXPECT_EQ(SidOf(u"alice"), sFirst);
    EXPECT_EQ(SidOf(FromUtf8(pUser->pw_name)), u"S-1-5-21-9-9-9-1001");
    std::vector<BYTE> sid;
    ASSERT_TRUE(platform::ConvertStringSidToSid(sFirst.c_str(), &sid));
    std::u16string sName;
    std::u16string sDomain;
    SID_NAME_USE eUse;
    ASSERT_TRUE(platform::LookupAccountSid(nullptr, sid.data(), &sName, &sDomain, &eUse));
    EXPECT_EQ(sName, u"Alice");
    EXPECT_EQ(eUse, SidTypeUser);
    EXPECT_EQ(SidOf(sDomain + u"\\Alice"), sFirst);

    std::vector<platform::LocalAccount> accounts;
    ASSERT_TRUE(platform::ListLocalAccounts(&accounts));
    ASSERT_EQ(accounts.size(), 2u);

    ASSERT_TRUE(platform::RemoveLocalAccount(u"ALICE"));
    EXPECT_EQ(SidOf(u"Alice"), u"error 1332");
    EXPECT_FALSE(platform::RemoveLocalAccount(u"Alice"));
    EXPECT_EQ(platform::GetLastError(), ERROR_NONE_MAPPED);
    EXPECT_FALSE(platform::AddLocalAccount(u"a\\b", sFirst));
    EXPECT_FALSE(platform::AddLocalAccount(u"Bob", u"not a sid"));
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_SID);
}

// Lookups keep the table between calls; a change by another process must still be seen.
TEST(LocalAccountTableTest, ARemovalByAnotherProcessIsSeen) {
    ASSERT_TRUE(platform::AddLocalAccount(u"Transient", u"S-1-5-21-4-5-6-1007"));
    ASSERT_EQ(SidOf(u"Transient"), u"S-1-5-21-4-5-6-1007");
    const pid_t pid = krelltest::StartChild(
        {krelltest::TestBinary("krell_child_registry"), "delete", "SAM\\Accounts\\Transient"});
    ASSERT_GT(pid, 0);
    ASSERT_EQ(krelltest::WaitChild(pid, 30000), 0);
    EXPECT_EQ(SidOf(u"Transient"), u"error 1332");
}

}  // namespace
