// A name's SID as text, or "error N" with the lookup's last error, so a table row shows either.
#pragma once

#include <string>

#include "platform/accounts.h"
#include "platform/strings.h"
#include "platform/system.h"

inline std::u16string SidOf(const std::u16string& sName) {
    std::u16string sSid;
    platform::SetLastError(0);
    return platform::LookupAccountName(sName, &sSid)
               ? sSid
               : u"error " + platform::FromUtf8(std::to_string(platform::GetLastError()));
}
