// krellctl accounts: the root's local account table, which account lookups consult before the POSIX
// user database, so that rules can name accounts of the platform the service is built for.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/error_text.h"
#include "platform/strings.h"
#include "platform/system.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: krellctl [--root DIR] accounts add NAME [SID]\n"
                 "       krellctl [--root DIR] accounts list\n"
                 "       krellctl [--root DIR] accounts remove NAME\n"
                 "       krellctl [--root DIR] accounts lookup NAME|SID\n"
                 "Without SID, add gives the account the root's next S-1-5-21 SID.\n");
    return 2;
}

int Failed(const char* szWhat, const std::string& sSubject) {
    std::fprintf(stderr, "krellctl: %s %s: %s\n", szWhat, sSubject.c_str(),
                 platform::DescribeError(platform::GetLastError()).c_str());
    return 1;
}

int Lookup(const std::string& sSubject) {
    const std::u16string sWide = platform::FromUtf8(sSubject);
    std::vector<BYTE> sid;
    std::u16string sName;
    std::u16string sDomain;
    SID_NAME_USE eUse = SidTypeUser;
    if (platform::ConvertStringSidToSid(sWide.c_str(), &sid)) {
        if (!platform::LookupAccountSid(nullptr, sid.data(), &sName, &sDomain, &eUse)) {
            return Failed("no account for", sSubject);
        }
        std::u16string sSid;
        platform::ConvertSidToStringSid(sid.data(), &sSid);
        std::printf("%s\t%s\\%s\n", platform::ToUtf8(sSid).c_str(), platform::ToUtf8(sDomain).c_str(),
                    platform::ToUtf8(sName).c_str());
        return 0;
    }
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD cbSid = sizeof(buffer);
    char16_t szDomain[260];
    DWORD cchDomain = 260;
    std::u16string sSid;
    if (!platform::LookupAccountName(nullptr, sWide.c_str(), buffer, &cbSid, szDomain, &cchDomain, &eUse) ||
        !platform::ConvertSidToStringSid(buffer, &sSid)) {
        return Failed("no account", sSubject);
    }
    // The name as the account table or the system spells it.
    if (!platform::LookupAccountSid(nullptr, buffer, &sName, &sDomain, &eUse)) {
        sName = sWide.substr(sWide.find(u'\\') + 1);
        sDomain = szDomain;
    }
    std::printf("%s\t%s\\%s\n", platform::ToUtf8(sSid).c_str(), platform::ToUtf8(sDomain).c_str(),
                platform::ToUtf8(sName).c_str());
    return 0;
}

}  // namespace

int RunAccountsCommand(const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "list") {
        std::vector<platform::LocalAccount> accounts;
        if (!platform::ListLocalAccounts(&accounts)) {
            return Failed("cannot read", "the account table");
        }
        for (const platform::LocalAccount& account : accounts) {
            std::printf("%s\t%s\n", platform::ToUtf8(account.sName).c_str(),
                        platform::ToUtf8(account.sSid).c_str());
        }
        return 0;
    }
    if ((args.size() == 2 || args.size() == 3) && args[0] == "add") {
        std::u16string sSid;
        if (args.size() == 3) {
            sSid = platform::FromUtf8(args[2]);
        } else if (!platform::NewLocalAccountSid(&sSid)) {
            return Failed("cannot choose a SID for", args[1]);
        }
        if (!platform::AddLocalAccount(platform::FromUtf8(args[1]), sSid)) {
            return Failed("cannot add", args[1]);
        }
        std::printf("%s\t%s\n", args[1].c_str(), platform::ToUtf8(sSid).c_str());
        return 0;
    }
    if (args.size() == 2 && args[0] == "remove") {
        return platform::RemoveLocalAccount(platform::FromUtf8(args[1])) ? 0
                                                                         : Failed("cannot remove", args[1]);
    }
    if (args.size() == 2 && args[0] == "lookup") {
        return Lookup(args[1]);
    }
    return Usage();
}
