// krellctl registry: the root's registry as an operator sees it. KEY is a full path that begins with
// a hive (HKEY_LOCAL_MACHINE or HKLM, HKEY_CLASSES_ROOT or HKCR, HKEY_CURRENT_USER or HKCU, HKEY_USERS
// or HKU, in any case), or a path below HKEY_LOCAL_MACHINE.
//   registry get KEY [VALUE]               a key's values (or one value)
//   registry list KEY                      a key's sub-keys
//   registry set KEY VALUE dword|sz DATA   creates the key when missing
//   registry delete KEY                    the key with its sub-keys
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "arguments.h"
#include "krellctl_commands.h"
#include "platform/error_text.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "service/registry_key.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: krellctl [--root DIR] registry get KEY [VALUE] | registry list KEY\n"
                 "       krellctl [--root DIR] registry set KEY VALUE dword|sz DATA | registry delete KEY\n"
                 "KEY is HKEY_LOCAL_MACHINE\\PATH or HKLM\\PATH (also HKEY_CLASSES_ROOT/HKCR, "
                 "HKEY_CURRENT_USER/HKCU,\n"
                 "HKEY_USERS/HKU), or a PATH below HKEY_LOCAL_MACHINE, e.g. "
                 "\"HKLM\\Software\\Quillon\\Loom Core\\Debug\\DebugOutput\".\n");
    return 2;
}

struct CHive {
    const char16_t* szName;
    const char16_t* szShortName;
    HKEY hKey;
};

const CHive HIVES[] = {
    {u"HKEY_CLASSES_ROOT", u"HKCR", HKEY_CLASSES_ROOT},
    {u"HKEY_CURRENT_USER", u"HKCU", HKEY_CURRENT_USER},
    {u"HKEY_LOCAL_MACHINE", u"HKLM", HKEY_LOCAL_MACHINE},
    {u"HKEY_USERS", u"HKU", HKEY_USERS},
};

// A key as typed: its hive and the path below it.
struct CKeyPath {
    const CHive* pHive;
    std::u16string sSubKey;

    std::string Text() const {
        return platform::ToUtf8(sSubKey.empty() ? std::u16string(pHive->szName)
                                                : pHive->szName + (u"\\" + sSubKey));
    }
};

CKeyPath ParseKey(const std::string& sKey) {
    const std::u16string sWide = platform::FromUtf8(sKey);
    const std::size_t nEnd = std::min(sWide.find(u'\\'), sWide.size());
    const std::u16string_view sFirst(sWide.data(), nEnd);
    for (const CHive& hive : HIVES) {
        if (platform::EqualNoCase(sFirst, hive.szName) || platform::EqualNoCase(sFirst, hive.szShortName)) {
            return {&hive, sWide.substr(std::min(nEnd + 1, sWide.size()))};
        }
    }
    return {&HIVES[2], sWide};
}

int Fail(const char* szWhat, const std::string& sName) {
    std::fprintf(stderr, "krellctl: cannot %s %s: error %s\n", szWhat, sName.c_str(),
                 platform::DescribeError(platform::GetLastError()).c_str());
    return 1;
}

void PrintValue(const std::u16string& sName, DWORD dwType, const std::vector<BYTE>& data) {
    std::string sText;
    if (dwType == REG_DWORD && data.size() == sizeof(DWORD)) {
        DWORD dwValue;
        std::memcpy(&dwValue, data.data(), sizeof(dwValue));
        char szNumber[32];
        std::snprintf(szNumber, sizeof(szNumber), "REG_DWORD 0x%08X (%u)", dwValue, dwValue);
        sText = szNumber;
    } else if (dwType == REG_SZ || dwType == REG_EXPAND_SZ) {
        std::u16string sValue(reinterpret_cast<const char16_t*>(data.data()), data.size() / sizeof(char16_t));
        sValue.erase(std::min(sValue.find(u'\0'), sValue.size()));
        sText = (dwType == REG_SZ ? "REG_SZ \"" : "REG_EXPAND_SZ \"") + platform::ToUtf8(sValue) + "\"";
    } else if (dwType == REG_MULTI_SZ) {
        std::u16string sValue(reinterpret_cast<const char16_t*>(data.data()), data.size() / sizeof(char16_t));
        sText = "REG_MULTI_SZ";
        for (std::size_t nPos = 0; nPos < sValue.size() && sValue[nPos] != u'\0';) {
            const std::size_t nEnd = std::min(sValue.find(u'\0', nPos), sValue.size());
            sText += " \"" + platform::ToUtf8(sValue.substr(nPos, nEnd - nPos)) + "\"";
            nPos = nEnd + 1;
        }
    } else {
        sText = "type " + std::to_string(dwType) + ", " + std::to_string(data.size()) + " bytes";
    }
    std::printf("  %s = %s\n", sName.empty() ? "(default)" : platform::ToUtf8(sName).c_str(), sText.c_str());
}

int RegList(const CKeyPath& key) {
    CRegistryKey reg;
    if (!reg.Open(key.pHive->hKey, key.sSubKey.c_str(), KEY_READ)) {
        return Fail("open", key.Text());
    }
    std::vector<char16_t> name(256);
    for (DWORD dwIndex = 0;; ++dwIndex) {
        DWORD cchName = static_cast<DWORD>(name.size());
        if (platform::RegEnumKeyEx(reg.Handle(), dwIndex, name.data(), &cchName) !=
            static_cast<LONG>(ERROR_SUCCESS)) {
            break;
        }
        std::printf("%s\n", platform::ToUtf8(std::u16string(name.data(), cchName)).c_str());
    }
    return 0;
}

int RegGet(const CKeyPath& key, const std::u16string* psValue) {
    CRegistryKey reg;
    if (!reg.Open(key.pHive->hKey, key.sSubKey.c_str(), KEY_READ)) {
        return Fail("open", key.Text());
    }
    std::printf("%s\n", key.Text().c_str());
    std::vector<char16_t> name(16384);
    for (DWORD dwIndex = 0;; ++dwIndex) {
        DWORD cchName = static_cast<DWORD>(name.size());
        DWORD cbData = 0;
        DWORD dwType = REG_NONE;
        if (platform::RegEnumValue(reg.Handle(), dwIndex, name.data(), &cchName, &dwType, nullptr, &cbData) !=
            static_cast<LONG>(ERROR_SUCCESS)) {
            break;
        }
        const std::u16string sName(name.data(), cchName);
        if (psValue != nullptr && !platform::EqualNoCase(sName, *psValue)) {
            continue;
        }
        std::vector<BYTE> data(cbData);
        platform::RegQueryValueEx(reg.Handle(), sName.c_str(), &dwType, data.data(), &cbData);
        PrintValue(sName, dwType, data);
    }
    return 0;
}

int RegSet(const CKeyPath& key, const std::u16string& sValue, const std::string& sType,
           const std::string& sData) {
    DWORD dwValue = 0;
    if (sType == "dword") {
        if (!toolargs::ParseDword(sData, &dwValue)) {
            std::fprintf(stderr, "krellctl: not a 32-bit number: %s\n", sData.c_str());
            return 2;
        }
    } else if (sType != "sz") {
        return Usage();
    }
    CRegistryKey reg;
    if (!reg.Create(key.pHive->hKey, key.sSubKey.c_str())) {
        return Fail("create", key.Text());
    }
    const bool bOk = sType == "dword" ? reg.SetDword(sValue.c_str(), dwValue)
                                      : reg.SetString(sValue.c_str(), platform::FromUtf8(sData));
    return bOk ? 0 : Fail("write", key.Text() + "\\" + platform::ToUtf8(sValue));
}

int RegDelete(const CKeyPath& key) {
    const LONG lResult = platform::RegDeleteTree(key.pHive->hKey, key.sSubKey.c_str());
    if (lResult != static_cast<LONG>(ERROR_SUCCESS)) {
        platform::SetLastError(static_cast<DWORD>(lResult));
        return Fail("delete", key.Text());
    }
    return 0;
}

}  // namespace

int RunRegistryCommand(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        return Usage();
    }
    const CKeyPath key = ParseKey(args[1]);
    if (args[0] == "get" && args.size() <= 3) {
        const std::u16string sValue = args.size() == 3 ? platform::FromUtf8(args[2]) : u"";
        return RegGet(key, args.size() == 3 ? &sValue : nullptr);
    }
    if (args[0] == "set" && args.size() == 5) {
        return RegSet(key, platform::FromUtf8(args[2]), args[3], args[4]);
    }
    if (args[0] == "list" && args.size() == 2) {
        return RegList(key);
    }
    if (args[0] == "delete" && args.size() == 2) {
        return RegDelete(key);
    }
    return Usage();
}
