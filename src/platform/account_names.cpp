// What both halves build on their own lookup: a name's SID as text.
#include "platform/accounts.h"

namespace platform {

bool LookupAccountName(const std::u16string& sName, std::u16string* psSid) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD cbSid = sizeof(sid);
    char16_t szDomain[260];
    DWORD cchDomain = 260;
    SID_NAME_USE eUse = SidTypeUser;
    return LookupAccountName(nullptr, sName.c_str(), sid, &cbSid, szDomain, &cchDomain, &eUse) &&
           ConvertSidToStringSid(sid, psSid);
}

}  // namespace platform
