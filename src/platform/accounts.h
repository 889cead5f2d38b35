// Accounts and security identifiers, as strings ("S-1-5-18"). POSIX users map to S-1-22-1-<uid>,
// the superuser to LocalSystem (S-1-5-18), the account services run as.
#pragma once

#include <string>

namespace platform {

// The name of the account the process runs as.
bool GetUserName(std::u16string* psName);
// The security identifier of an account name; ERROR_NONE_MAPPED when there is no such account.
bool LookupAccountName(const std::u16string& sName, std::u16string* psSid);

}  // namespace platform
