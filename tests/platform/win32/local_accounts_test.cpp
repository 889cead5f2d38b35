// The machine's own user list: the process's account is among the users, each with the SID its name
// resolves to.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/strings.h"
#include "platform/system.h"

namespace {

TEST(LocalAccounts, ListTheMachineUsersWithTheirSids) {
    std::vector<platform::LocalAccount> accounts;
    ASSERT_TRUE(platform::ListLocalAccounts(&accounts)) << platform::GetLastError();
    std::u16string sUser;
    ASSERT_TRUE(platform::GetUserName(&sUser));
    bool bSelf = false;
    for (const platform::LocalAccount& account : accounts) {
        std::u16string sSid;
        ASSERT_TRUE(platform::LookupAccountName(account.sName, &sSid)) << platform::ToUtf8(account.sName);
        EXPECT_EQ(sSid, account.sSid) << platform::ToUtf8(account.sName);
        bSelf = bSelf || platform::EqualNoCase(account.sName, sUser);
    }
    EXPECT_TRUE(bSelf) << platform::ToUtf8(sUser) << " is not among " << accounts.size() << " accounts";
}

}  // namespace
