#include "platform/accounts.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "platform/strings.h"
#include "platform/system.h"

namespace platform {
namespace {

constexpr DWORD ERROR_NONE_MAPPED = 1332;

bool LookupUser(const char* szName, uid_t uid, passwd* pEntry, std::vector<char>* pBuffer) {
    passwd* pResult = nullptr;
    pBuffer->resize(16384);
    const int nError = szName != nullptr
                           ? getpwnam_r(szName, pEntry, pBuffer->data(), pBuffer->size(), &pResult)
                           : getpwuid_r(uid, pEntry, pBuffer->data(), pBuffer->size(), &pResult);
    if (pResult == nullptr) {
        SetLastError(nError != 0 ? ErrorFromErrno(nError) : ERROR_NONE_MAPPED);
        return false;
    }
    return true;
}

}  // namespace

bool GetUserName(std::u16string* psName) {
    passwd entry{};
    std::vector<char> buffer;
    if (!LookupUser(nullptr, geteuid(), &entry, &buffer)) {
        return false;
    }
    *psName = FromUtf8(entry.pw_name);
    return true;
}

bool LookupAccountName(const std::u16string& sName, std::u16string* psSid) {
    passwd entry{};
    std::vector<char> buffer;
    if (!LookupUser(ToUtf8(sName).c_str(), 0, &entry, &buffer)) {
        return false;
    }
    *psSid = entry.pw_uid == 0 ? u"S-1-5-18" : u"S-1-22-1-" + FromUtf8(std::to_string(entry.pw_uid));
    return true;
}

}  // namespace platform
