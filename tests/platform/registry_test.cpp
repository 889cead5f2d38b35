#include "platform/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/root.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "support/test_root.h"

namespace {

using platform::RegCloseKey;
using platform::RegCreateKeyEx;
using platform::RegDeleteKey;
using platform::RegDeleteTree;
using platform::RegDeleteValue;
using platform::RegEnumKeyEx;
using platform::RegEnumValue;
using platform::RegOpenKeyEx;
using platform::RegQueryInfoKey;
using platform::RegQueryValueEx;
using platform::RegSetValueEx;

// Closes the key when the test leaves its scope.
class CKey {
public:
    CKey() = default;
    explicit CKey(HKEY h) : m_h(h) {}
    ~CKey() {
        if (m_h != nullptr) {
            RegCloseKey(m_h);
        }
    }
    CKey(const CKey&) = delete;
    CKey& operator=(const CKey&) = delete;
    HKEY* operator&() { return &m_h; }
    operator HKEY() const { return m_h; }

private:
    HKEY m_h = nullptr;
};

// Every test works below a key of its own, as the tests of one program share a root.
std::u16string TestPath(const char16_t* szSuffix = u"") {
    const auto* pInfo = testing::UnitTest::GetInstance()->current_test_info();
    return u"Software\\Tests\\" + platform::FromUtf8(pInfo->name()) + szSuffix;
}

LONG CreateKey(HKEY hParent, const std::u16string& sPath, HKEY* phKey, REGSAM sam = KEY_ALL_ACCESS,
               DWORD* pdwDisposition = nullptr) {
    return RegCreateKeyEx(hParent, sPath.c_str(), 0, sam, phKey, pdwDisposition);
}

bool KeyExists(HKEY hParent, const std::u16string& sPath) {
    HKEY h = nullptr;
    const LONG lResult = RegOpenKeyEx(hParent, sPath.c_str(), 0, KEY_READ, &h);
    if (h != nullptr) {
        RegCloseKey(h);
    }
    return lResult == ERROR_SUCCESS;
}

std::vector<BYTE> Bytes(const void* p, std::size_t cb) {
    const auto* pb = static_cast<const BYTE*>(p);
    return std::vector<BYTE>(pb, pb + cb);
}

template <std::size_t N>
std::vector<BYTE> WideBytes(const char16_t (&sz)[N]) {
    return Bytes(sz, sizeof(sz));  // with the terminator(s), as callers pass strings
}

std::vector<std::u16string> EnumKeys(HKEY hKey) {
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        char16_t szName[256];
        DWORD cch = 256;
        const LONG lResult = RegEnumKeyEx(hKey, i, szName, &cch);
        if (lResult == ERROR_NO_MORE_ITEMS) {
            return names;
        }
        EXPECT_EQ(lResult, ERROR_SUCCESS);
        if (lResult != ERROR_SUCCESS) {
            return names;
        }
        names.emplace_back(szName, cch);
    }
}

std::vector<std::u16string> EnumValueNames(HKEY hKey) {
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        char16_t szName[256];
        DWORD cch = 256;
        const LONG lResult = RegEnumValue(hKey, i, szName, &cch, nullptr, nullptr, nullptr);
        if (lResult == ERROR_NO_MORE_ITEMS) {
            return names;
        }
        EXPECT_EQ(lResult, ERROR_SUCCESS);
        if (lResult != ERROR_SUCCESS) {
            return names;
        }
        names.emplace_back(szName, cch);
    }
}

TEST(Registry, EveryValueTypeRoundTripsWithItsExactSize) {
    const DWORD dwValue = 0xFFFFFFFD;
    const ULONGLONG ullValue = 0x0123456789ABCDEFull;
    const char16_t szNoTerminator[] = {u'a', u'b'};
    struct Case {
        const char16_t* szName;
        DWORD dwType;
        std::vector<BYTE> data;
    };
    const Case cases[] = {
        {u"DebugType", REG_DWORD, Bytes(&dwValue, sizeof(dwValue))},
        {u"Directory", REG_SZ, WideBytes(u"C:\\Program Files\\Quillon\\")},
        {u"EventMessageFile", REG_EXPAND_SZ, WideBytes(u"%SystemRoot%\\krell.exe")},
        {u"Dependencies", REG_MULTI_SZ, WideBytes(u"first\0second\0")},
        {u"Blob", REG_BINARY, {0x00, 0xFF, 0x00, 0x7F, 0x80}},
        {u"Big", REG_QWORD, Bytes(&ullValue, sizeof(ullValue))},
        {u"Marker", REG_NONE, {}},
        {u"EmptyString", REG_SZ, WideBytes(u"")},
        {u"Unterminated", REG_SZ, Bytes(szNoTerminator, sizeof(szNoTerminator))},  // stored as given
        {u"ShortDword", REG_DWORD, {1, 2, 3}},                                     // stored as given
        {nullptr, REG_SZ, WideBytes(u"default value")},
    };
    CKey hKey;
    ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, TestPath(), &hKey), ERROR_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName == nullptr ? std::string("(default)") : platform::ToUtf8(c.szName));
        const DWORD cb = static_cast<DWORD>(c.data.size());
        ASSERT_EQ(RegSetValueEx(hKey, c.szName, c.dwType, c.data.data(), cb), ERROR_SUCCESS);

        DWORD dwType = 0xDEAD;
        DWORD cbSize = 0;
        ASSERT_EQ(RegQueryValueEx(hKey, c.szName, &dwType, nullptr, &cbSize), ERROR_SUCCESS);
        EXPECT_EQ(dwType, c.dwType);
        EXPECT_EQ(cbSize, cb);

        std::vector<BYTE> buffer(cb + 4, 0xCC);
        DWORD cbBuffer = static_cast<DWORD>(buffer.size());
        ASSERT_EQ(RegQueryValueEx(hKey, c.szName, nullptr, buffer.data(), &cbBuffer), ERROR_SUCCESS);
        ASSERT_EQ(cbBuffer, cb);
        EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + cb), c.data);
        EXPECT_EQ(buffer[cb], 0xCC);  // nothing written past the value

        if (cb > 0) {
            DWORD cbSmall = cb - 1;
            dwType = 0xDEAD;
            EXPECT_EQ(RegQueryValueEx(hKey, c.szName, &dwType, buffer.data(), &cbSmall), ERROR_MORE_DATA);
            EXPECT_EQ(cbSmall, cb);
            EXPECT_EQ(dwType, c.dwType);
        }
    }
    // The empty name and the null name are the same (default) value.
    DWORD cbDefault = 0;
    EXPECT_EQ(RegQueryValueEx(hKey, u"", nullptr, nullptr, &cbDefault), ERROR_SUCCESS);
    EXPECT_EQ(cbDefault, sizeof(u"default value"));
}

TEST(Registry, ValueNamesMatchWithoutCaseAndKeepTheirFirstSpelling) {
    CKey hKey;
    ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, TestPath(), &hKey), ERROR_SUCCESS);
    const DWORD dwOne = 1;
    const DWORD dwTwo = 2;
    ASSERT_EQ(RegSetValueEx(hKey, u"DebugType", REG_DWORD, reinterpret_cast<const BYTE*>(&dwOne), 4),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(hKey, u"DEBUGTYPE", REG_DWORD, reinterpret_cast<const BYTE*>(&dwTwo), 4),
              ERROR_SUCCESS);

    DWORD dwRead = 0;
    DWORD cb = sizeof(dwRead);
    ASSERT_EQ(RegQueryValueEx(hKey, u"debugtype", nullptr, reinterpret_cast<BYTE*>(&dwRead), &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(dwRead, 2u);
    EXPECT_EQ(EnumValueNames(hKey), std::vector<std::u16string>{u"DebugType"});

    EXPECT_EQ(RegQueryValueEx(hKey, u"Missing", nullptr, nullptr, &cb), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueEx(hKey, u"DebugType", nullptr, reinterpret_cast<BYTE*>(&dwRead), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueEx(hKey, u"NoData", REG_BINARY, nullptr, 4), ERROR_NOACCESS);

    EXPECT_EQ(RegDeleteValue(hKey, u"dEBUGtYPE"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValue(hKey, u"DebugType"), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(EnumValueNames(hKey).empty());
}

TEST(Registry, CreateMakesMissingParentsAndReportsTheDisposition) {
    const std::u16string sBase = TestPath();
    DWORD dwDisposition = 0;
    {
        CKey hKey;
        ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, sBase + u"\\Quillon\\Loom Core\\Debug", &hKey, KEY_ALL_ACCESS,
                            &dwDisposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(dwDisposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    }
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, sBase + u"\\Quillon"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, sBase + u"\\Quillon\\Loom Core"));
    {
        CKey hKey;
        ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, sBase + u"\\QUILLON\\loom core\\DEBUG", &hKey, KEY_ALL_ACCESS,
                            &dwDisposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(dwDisposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    }
    // Names keep the spelling of their creation, whatever the later paths said.
    CKey hBase;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, (sBase + u"\\quillon").c_str(), 0, KEY_READ, &hBase),
              ERROR_SUCCESS);
    EXPECT_EQ(EnumKeys(hBase), std::vector<std::u16string>{u"Loom Core"});

    HKEY hMissing = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, (sBase + u"\\Nope\\Deeper").c_str(), 0, KEY_READ, &hMissing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(hMissing, nullptr);
}

TEST(Registry, PathSyntaxFollowsTheKeyParser) {
    const std::u16string sBase = TestPath();
    const std::u16string s255(255, u'n');
    const std::u16string s256(256, u'n');
    struct Case {
        std::u16string sPath;
        LONG lExpected;
        std::u16string sSameAs;  // the key the path must name, when it succeeds
    };
    const Case cases[] = {
        {u"\\Leading", ERROR_BAD_PATHNAME, u""},
        {u"Trailing\\\\", ERROR_SUCCESS, u"Trailing"},
        {u"Double\\\\Separator", ERROR_SUCCESS, u"Double\\Separator"},
        {s255, ERROR_SUCCESS, s255},
        {s256, ERROR_INVALID_NAME, u""},
        {u"Partial\\" + s256, ERROR_INVALID_NAME, u""},
    };
    CKey hBase;
    ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, sBase, &hBase), ERROR_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(platform::ToUtf8(c.sPath.substr(0, 40)));
        CKey hKey;
        ASSERT_EQ(CreateKey(hBase, c.sPath, &hKey), c.lExpected);
        if (c.lExpected == ERROR_SUCCESS) {
            EXPECT_TRUE(KeyExists(hBase, c.sSameAs));
            HKEY hOpen = nullptr;
            EXPECT_EQ(RegOpenKeyEx(hBase, c.sPath.c_str(), 0, KEY_READ, &hOpen), ERROR_SUCCESS);
            RegCloseKey(hOpen);
        } else {
            HKEY hOpen = nullptr;
            EXPECT_EQ(RegOpenKeyEx(hBase, c.sPath.c_str(), 0, KEY_READ, &hOpen), c.lExpected);
        }
    }
    // A rejected path creates none of its parts.
    EXPECT_FALSE(KeyExists(hBase, u"Partial"));
    EXPECT_EQ(RegCreateKeyEx(hBase, nullptr, 0, KEY_READ, nullptr, nullptr), ERROR_INVALID_PARAMETER);
}

TEST(Registry, HandlesRefuseWhatTheirAccessMaskDoesNotGrant) {
    const std::u16string sBase = TestPath();
    {
        CKey hSetup;
        ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, sBase + u"\\Existing", &hSetup), ERROR_SUCCESS);
    }
    const DWORD dwValue = 7;
    const BYTE* pValue = reinterpret_cast<const BYTE*>(&dwValue);
    struct Case {
        const char* szCall;
        REGSAM sam;
        LONG (*pfnCall)(HKEY, const BYTE*);
        LONG lExpected;
    };
    const auto fnSet = [](HKEY h, const BYTE* p) -> LONG { return RegSetValueEx(h, u"V", REG_DWORD, p, 4); };
    const auto fnQuery = [](HKEY h, const BYTE*) -> LONG {
        DWORD cb = 0;
        const LONG l = RegQueryValueEx(h, u"V", nullptr, nullptr, &cb);
        return l == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : l;
    };
    const auto fnDeleteValue = [](HKEY h, const BYTE*) -> LONG {
        const LONG l = RegDeleteValue(h, u"V");
        return l == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : l;
    };
    const auto fnEnumKeys = [](HKEY h, const BYTE*) -> LONG {
        char16_t sz[64];
        DWORD cch = 64;
        return RegEnumKeyEx(h, 0, sz, &cch);
    };
    const auto fnEnumValues = [](HKEY h, const BYTE*) -> LONG {
        char16_t sz[64];
        DWORD cch = 64;
        const LONG l = RegEnumValue(h, 0, sz, &cch, nullptr, nullptr, nullptr);
        return l == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : l;
    };
    const auto fnInfo = [](HKEY h, const BYTE*) -> LONG {
        DWORD c = 0;
        return RegQueryInfoKey(h, &c, &c);
    };
    const auto fnCreateNew = [](HKEY h, const BYTE*) -> LONG {
        HKEY hNew = nullptr;
        const LONG l = RegCreateKeyEx(h, u"New", 0, KEY_READ, &hNew, nullptr);
        RegCloseKey(hNew);
        return l;
    };
    const auto fnCreateExisting = [](HKEY h, const BYTE*) -> LONG {
        HKEY hOld = nullptr;
        const LONG l = RegCreateKeyEx(h, u"Existing", 0, KEY_READ, &hOld, nullptr);
        RegCloseKey(hOld);
        return l;
    };
    const auto fnClearTree = [](HKEY h, const BYTE*) -> LONG { return RegDeleteTree(h, nullptr); };
    const Case cases[] = {
        {"set with KEY_READ", KEY_READ, fnSet, ERROR_ACCESS_DENIED},
        {"delete value with KEY_READ", KEY_READ, fnDeleteValue, ERROR_ACCESS_DENIED},
        {"create new with KEY_READ", KEY_READ, fnCreateNew, ERROR_ACCESS_DENIED},
        {"create existing with KEY_READ", KEY_READ, fnCreateExisting, ERROR_SUCCESS},
        {"clear tree with KEY_READ", KEY_READ, fnClearTree, ERROR_ACCESS_DENIED},
        {"query with KEY_READ", KEY_READ, fnQuery, ERROR_SUCCESS},
        {"enumerate keys with KEY_READ", KEY_READ, fnEnumKeys, ERROR_SUCCESS},
        {"set with GENERIC_READ", GENERIC_READ, fnSet, ERROR_ACCESS_DENIED},
        {"query with GENERIC_READ", GENERIC_READ, fnQuery, ERROR_SUCCESS},
        {"query with KEY_SET_VALUE", KEY_SET_VALUE, fnQuery, ERROR_ACCESS_DENIED},
        {"enumerate values with KEY_SET_VALUE", KEY_SET_VALUE, fnEnumValues, ERROR_ACCESS_DENIED},
        {"info with KEY_SET_VALUE", KEY_SET_VALUE, fnInfo, ERROR_ACCESS_DENIED},
        {"enumerate keys with KEY_QUERY_VALUE", KEY_QUERY_VALUE, fnEnumKeys, ERROR_ACCESS_DENIED},
        {"set with KEY_WRITE", KEY_WRITE, fnSet, ERROR_SUCCESS},
        {"create new with KEY_CREATE_SUB_KEY", KEY_CREATE_SUB_KEY, fnCreateNew, ERROR_SUCCESS},
        {"set with KEY_ALL_ACCESS|KEY_WOW64_64KEY", KEY_ALL_ACCESS | KEY_WOW64_64KEY, fnSet, ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szCall);
        CKey hKey;
        ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, sBase.c_str(), 0, c.sam, &hKey), ERROR_SUCCESS);
        EXPECT_EQ(c.pfnCall(hKey, pValue), c.lExpected);
    }
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, sBase + u"\\Existing"));  // the refused clear removed nothing
}

TEST(Registry, EnumerationIsOrderedByUpperCaseNameAndEndsCleanly) {
    CKey hKey;
    ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, TestPath(), &hKey), ERROR_SUCCESS);
    for (const char16_t* szName : {u"beta", u"_under", u"Alpha", u"gamma", u"ALPHA2", u"\u00e9t\u00e9"}) {
        CKey hSub;
        ASSERT_EQ(CreateKey(hKey, szName, &hSub), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueEx(hKey, szName, REG_SZ, reinterpret_cast<const BYTE*>(u"xyz"), sizeof(u"xyz")),
                  ERROR_SUCCESS);
    }
    // '_' sorts after the letters once both are upper-cased; U+00C9 after ASCII.
    const std::vector<std::u16string> expected = {u"Alpha", u"ALPHA2", u"beta",
                                                  u"gamma", u"_under", u"\u00e9t\u00e9"};
    EXPECT_EQ(EnumKeys(hKey), expected);
    EXPECT_EQ(EnumValueNames(hKey), expected);

    char16_t szName[8];
    DWORD cch = 6;  // "ALPHA2" needs 7 with its terminator
    EXPECT_EQ(RegEnumKeyEx(hKey, 1, szName, &cch), ERROR_MORE_DATA);
    cch = 7;
    ASSERT_EQ(RegEnumKeyEx(hKey, 1, szName, &cch), ERROR_SUCCESS);
    EXPECT_EQ(cch, 6u);
    EXPECT_EQ(std::u16string(szName), u"ALPHA2");
    cch = 8;
    EXPECT_EQ(RegEnumKeyEx(hKey, 6, szName, &cch), ERROR_NO_MORE_ITEMS);

    // Data that does not fit still reports its type and the size it needs.
    BYTE data[4];
    DWORD cbData = sizeof(data);
    DWORD dwType = 0;
    cch = 8;
    EXPECT_EQ(RegEnumValue(hKey, 0, szName, &cch, &dwType, data, &cbData), ERROR_MORE_DATA);
    EXPECT_EQ(cbData, sizeof(u"xyz"));
    EXPECT_EQ(dwType, static_cast<DWORD>(REG_SZ));
    cch = 8;
    EXPECT_EQ(RegEnumValue(hKey, 6, szName, &cch, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST(Registry, QueryInfoKeyReportsCountsLengthsAndWriteTime) {
    CKey hKey;
    ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, TestPath(), &hKey), ERROR_SUCCESS);
    CKey hSub;
    ASSERT_EQ(CreateKey(hKey, u"Sub\\Deeper", &hSub), ERROR_SUCCESS);  // one direct sub-key
    ASSERT_EQ(CreateKey(hKey, u"LongerName", &hSub), ERROR_SUCCESS);
    FILETIME ftBefore{};
    ASSERT_EQ(RegQueryInfoKey(hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr, &ftBefore),
              ERROR_SUCCESS);
    const BYTE data[300] = {};
    ASSERT_EQ(RegSetValueEx(hKey, u"Data", REG_BINARY, data, sizeof(data)), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(hKey, u"AVeryLongValueName", REG_BINARY, data, 3), ERROR_SUCCESS);

    char16_t szClass[4] = u"zz";
    DWORD cchClass = 4;
    DWORD cSubKeys = 0, cchMaxSubKey = 0, cchMaxClass = 9, cValues = 0, cchMaxValueName = 0, cbMaxValue = 0;
    DWORD cbSecurity = 9;
    FILETIME ftAfter{};
    ASSERT_EQ(RegQueryInfoKey(hKey, szClass, &cchClass, nullptr, &cSubKeys, &cchMaxSubKey, &cchMaxClass,
                              &cValues, &cchMaxValueName, &cbMaxValue, &cbSecurity, &ftAfter),
              ERROR_SUCCESS);
    EXPECT_EQ(cSubKeys, 2u);
    EXPECT_EQ(cchMaxSubKey, 10u);
    EXPECT_EQ(cValues, 2u);
    EXPECT_EQ(cchMaxValueName, 18u);
    EXPECT_EQ(cbMaxValue, 300u);
    EXPECT_EQ(cchClass, 0u);
    EXPECT_EQ(szClass[0], u'\0');
    EXPECT_EQ(cchMaxClass, 0u);
    EXPECT_EQ(cbSecurity, 0u);
    const auto ToUll = [](const FILETIME& ft) {
        return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    };
    EXPECT_GE(ToUll(ftAfter), ToUll(ftBefore));
    EXPECT_GT(ToUll(ftBefore), 116444736000000000ull);  // after 1970, so a real FILETIME count
}

TEST(Registry, DeletingKeysAndTrees) {
    const std::u16string sBase = TestPath();
    CKey hBase;
    ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, sBase, &hBase), ERROR_SUCCESS);
    {
        CKey hLeaf;
        ASSERT_EQ(CreateKey(hBase, u"Tree\\Branch\\Leaf", &hLeaf), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueEx(hLeaf, u"V", REG_BINARY, reinterpret_cast<const BYTE*>("x"), 1),
                  ERROR_SUCCESS);
    }
    // RegDeleteKey only takes keys without sub-keys.
    EXPECT_EQ(RegDeleteKey(hBase, u"Tree"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(KeyExists(hBase, u"Tree\\Branch\\Leaf"));
    EXPECT_EQ(RegDeleteKey(hBase, u"tree\\branch\\LEAF"), ERROR_SUCCESS);
    EXPECT_FALSE(KeyExists(hBase, u"Tree\\Branch\\Leaf"));
    EXPECT_EQ(RegDeleteKey(hBase, u"Tree\\Branch\\Leaf"), ERROR_FILE_NOT_FOUND);

    // RegDeleteTree takes everything, values included; a key created again starts empty.
    {
        CKey hLeaf;
        ASSERT_EQ(CreateKey(hBase, u"Tree\\Branch\\Leaf", &hLeaf), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueEx(hLeaf, u"V", REG_BINARY, reinterpret_cast<const BYTE*>("x"), 1),
                  ERROR_SUCCESS);
    }
    EXPECT_EQ(RegDeleteTree(hBase, u"TREE"), ERROR_SUCCESS);
    EXPECT_FALSE(KeyExists(hBase, u"Tree"));
    EXPECT_EQ(RegDeleteTree(hBase, u"Tree"), ERROR_FILE_NOT_FOUND);
    {
        CKey hLeaf;
        ASSERT_EQ(CreateKey(hBase, u"Tree\\Branch\\Leaf", &hLeaf), ERROR_SUCCESS);
        DWORD cValues = 9;
        ASSERT_EQ(RegQueryInfoKey(hLeaf, nullptr, &cValues), ERROR_SUCCESS);
        EXPECT_EQ(cValues, 0u);
    }

    // Without a sub-key name the key itself stays, emptied.
    ASSERT_EQ(RegSetValueEx(hBase, u"Own", REG_BINARY, reinterpret_cast<const BYTE*>("x"), 1), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTree(hBase, nullptr), ERROR_SUCCESS);
    DWORD cSubKeys = 9, cValues = 9;
    ASSERT_EQ(RegQueryInfoKey(hBase, &cSubKeys, &cValues), ERROR_SUCCESS);
    EXPECT_EQ(cSubKeys, 0u);
    EXPECT_EQ(cValues, 0u);

    // Hive roots stay.
    EXPECT_EQ(RegDeleteKey(HKEY_USERS, u""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTree(HKEY_CURRENT_USER, u""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKey(hBase, nullptr), ERROR_INVALID_PARAMETER);
}

TEST(Registry, HandlesToDeletedKeysAnswerKeyDeleted) {
    const std::u16string sPath = TestPath();
    CKey hStale;
    ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, sPath, &hStale), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, sPath.c_str()), ERROR_SUCCESS);
    // A key of the same name made afterwards is another key.
    CKey hNew;
    ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, sPath, &hNew), ERROR_SUCCESS);

    const DWORD dwValue = 1;
    DWORD cb = 4;
    DWORD dwCount = 0;
    char16_t szName[16];
    DWORD cch = 16;
    HKEY hSub = nullptr;
    EXPECT_EQ(RegSetValueEx(hStale, u"V", REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue), 4),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryValueEx(hStale, u"V", nullptr, nullptr, &cb), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValue(hStale, u"V"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyEx(hStale, 0, szName, &cch), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumValue(hStale, 0, szName, &cch, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryInfoKey(hStale, &dwCount, &dwCount), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyEx(hStale, u"Sub", 0, KEY_READ, &hSub, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyEx(hStale, u"", 0, KEY_READ, &hSub), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKey(hStale, u""), ERROR_KEY_DELETED);
    // The new key did not get the stale handle's writes.
    EXPECT_TRUE(EnumValueNames(hNew).empty());
    EXPECT_TRUE(EnumKeys(hNew).empty());
}

TEST(Registry, KeyDeletedByAnotherProcess) {
    const std::u16string sPath = TestPath();
    CKey hKey;
    ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, sPath + u"\\Child", &hKey), ERROR_SUCCESS);
    const pid_t pid = krelltest::StartChild(
        {krelltest::TestBinary("krell_child_registry"), "delete", platform::ToUtf8(sPath)});
    ASSERT_GT(pid, 0);
    ASSERT_EQ(krelltest::WaitChild(pid, 30000), 0);
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueEx(hKey, u"V", nullptr, nullptr, &cb), ERROR_KEY_DELETED);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, sPath));
}

TEST(Registry, InvalidHandlesAreRefusedWithoutBeingTouched) {
    HKEY hClosed = nullptr;
    ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, TestPath(), &hClosed), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(hClosed), ERROR_SUCCESS);
    const HKEY handles[] = {
        nullptr,
        hClosed,
        reinterpret_cast<HKEY>(std::uintptr_t{0x12345}),
        reinterpret_cast<HKEY>(std::uintptr_t{0x80000004}),  // a predefined key this registry lacks
        reinterpret_cast<HKEY>(~std::uintptr_t{0}),
    };
    for (const HKEY h : handles) {
        SCOPED_TRACE(reinterpret_cast<std::uintptr_t>(h));
        HKEY hOut = nullptr;
        DWORD cb = 0;
        DWORD dwCount = 0;
        char16_t szName[8];
        DWORD cch = 8;
        EXPECT_EQ(RegOpenKeyEx(h, u"Software", 0, KEY_READ, &hOut), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCreateKeyEx(h, u"Software", 0, KEY_READ, &hOut, nullptr), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegQueryValueEx(h, u"V", nullptr, nullptr, &cb), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegSetValueEx(h, u"V", REG_NONE, nullptr, 0), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegEnumKeyEx(h, 0, szName, &cch), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegQueryInfoKey(h, &dwCount, &dwCount), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteTree(h, u"X"), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // predefined keys stay usable
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, u"Software"));
}

TEST(Registry, ThreadsOfOneProcessShareTheStore) {
    const std::u16string sBase = TestPath();
    constexpr int THREADS = 4;
    constexpr int PER_THREAD = 40;
    std::atomic<int> nFailures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            HKEY hKey = nullptr;
            if (CreateKey(HKEY_LOCAL_MACHINE, sBase + u"\\Shared", &hKey) != ERROR_SUCCESS) {
                ++nFailures;
                return;
            }
            for (int i = 0; i < PER_THREAD; ++i) {
                const std::u16string sName =
                    platform::FromUtf8("t" + std::to_string(t) + "_" + std::to_string(i));
                const DWORD dwValue = static_cast<DWORD>(t * 1000 + i);
                HKEY hSub = nullptr;
                if (RegSetValueEx(hKey, sName.c_str(), REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue),
                                  4) != ERROR_SUCCESS ||
                    CreateKey(hKey, sName, &hSub) != ERROR_SUCCESS || RegCloseKey(hSub) != ERROR_SUCCESS) {
                    ++nFailures;
                }
                DWORD cSubKeys = 0;
                if (RegQueryInfoKey(hKey, &cSubKeys, nullptr) != ERROR_SUCCESS) {
                    ++nFailures;
                }
            }
            RegCloseKey(hKey);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(nFailures.load(), 0);
    CKey hKey;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, (sBase + u"\\Shared").c_str(), 0, KEY_READ, &hKey),
              ERROR_SUCCESS);
    DWORD cSubKeys = 0, cValues = 0;
    ASSERT_EQ(RegQueryInfoKey(hKey, &cSubKeys, &cValues), ERROR_SUCCESS);
    EXPECT_EQ(cSubKeys, static_cast<DWORD>(THREADS * PER_THREAD));
    EXPECT_EQ(cValues, static_cast<DWORD>(THREADS * PER_THREAD));
}

TEST(Registry, ConcurrentWritersInTwoProcessesLoseNothing) {
    const std::string sKey = platform::ToUtf8(TestPath());
    constexpr int COUNT = 150;
    const std::string sChild = krelltest::TestBinary("krell_child_registry");
    const pid_t pidA = krelltest::StartChild({sChild, "write", sKey, "a", std::to_string(COUNT)});
    const pid_t pidB = krelltest::StartChild({sChild, "write", sKey, "b", std::to_string(COUNT)});
    ASSERT_GT(pidA, 0);
    ASSERT_GT(pidB, 0);
    const int nExitA = krelltest::WaitChild(pidA, 60000);
    const int nExitB = krelltest::WaitChild(pidB, 60000);
    if (nExitA < 0) {
        krelltest::KillChild(pidA);
    }
    if (nExitB < 0) {
        krelltest::KillChild(pidB);
    }
    ASSERT_EQ(nExitA, 0);
    ASSERT_EQ(nExitB, 0);

    CKey hKey;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, platform::FromUtf8(sKey).c_str(), 0, KEY_READ, &hKey),
              ERROR_SUCCESS);
    DWORD cSubKeys = 0, cValues = 0;
    ASSERT_EQ(RegQueryInfoKey(hKey, &cSubKeys, &cValues), ERROR_SUCCESS);
    EXPECT_EQ(cSubKeys, 2u * COUNT);
    EXPECT_EQ(cValues, 2u * COUNT);
    for (const char* szPrefix : {"a", "b"}) {
        for (int i = 0; i < COUNT; ++i) {
            const std::u16string sName = platform::FromUtf8(szPrefix + std::to_string(i));
            DWORD dwValue = 0xFFFFFFFF;
            DWORD cb = sizeof(dwValue);
            ASSERT_EQ(RegQueryValueEx(hKey, sName.c_str(), nullptr, reinterpret_cast<BYTE*>(&dwValue), &cb),
                      ERROR_SUCCESS);
            EXPECT_EQ(dwValue, static_cast<DWORD>(i));
        }
    }
}

std::string ReadFile(const std::string& sPath) {
    std::ifstream file(sPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

struct CProbeResult {
    LONG lCreate = -1;
    DWORD dwCreateMs = 0;
    LONG lOpen = -1;
};

// Runs the probe child with the given options; false if it did not finish.
bool RunProbe(const std::vector<std::string>& options, CProbeResult* pResult) {
    const std::string sResultFile = platform::RootDirectory() + "/probe-result";
    std::filesystem::remove(sResultFile);
    std::vector<std::string> args = {krelltest::TestBinary("krell_child_registry")};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("probe");
    args.push_back(sResultFile);
    const pid_t pid = krelltest::StartChild(args);
    if (pid <= 0) {
        return false;
    }
    const int nExit = krelltest::WaitChild(pid, 30000);
    if (nExit < 0) {
        krelltest::KillChild(pid);
    }
    std::ifstream file(sResultFile);
    return nExit == 0 && static_cast<bool>(file >> pResult->lCreate >> pResult->dwCreateMs >> pResult->lOpen);
}

TEST(Registry, StoreLockedByAnotherProcessFailsWithinTheBusyTimeout) {
    {
        CKey hKey;
        ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, u"Software\\Populated", &hKey), ERROR_SUCCESS);
    }
    const std::string sReady = platform::RootDirectory() + "/holder-ready";
    const pid_t pidHolder =
        krelltest::StartChild({krelltest::TestBinary("krell_child_registry"), "hold", sReady});
    ASSERT_GT(pidHolder, 0);
    for (int i = 0; i < 1000 && !std::filesystem::exists(sReady); ++i) {
        platform::Sleep(10);
    }
    const bool bHolding = std::filesystem::exists(sReady);
    CProbeResult result;
    const bool bProbed = bHolding && RunProbe({"--busy-ms", "300"}, &result);
    krelltest::KillChild(pidHolder);
    ASSERT_TRUE(bHolding);
    ASSERT_TRUE(bProbed);

    EXPECT_EQ(result.lCreate, static_cast<LONG>(ERROR_LOCK_VIOLATION));
    EXPECT_GE(result.dwCreateMs, 250u);      // it did wait for the holder
    EXPECT_LT(result.dwCreateMs, 5000u);     // and gave up near the timeout
    EXPECT_EQ(result.lOpen, ERROR_SUCCESS);  // readers are not blocked by a writer
    // The refused create left no part of its path; with the holder gone, writing works again.
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, u"Probe"));
    CKey hKey;
    EXPECT_EQ(CreateKey(HKEY_LOCAL_MACHINE, u"Probe\\A\\B", &hKey), ERROR_SUCCESS);
}

TEST(Registry, CorruptStoreFailsCleanlyAndIsLeftAsItWas) {
    struct Case {
        const char* szName;
        bool bPopulateFirst;  // damage a real store's pages rather than write a foreign file
    };
    const Case cases[] = {{"foreign file", false}, {"damaged pages", true}};
    const std::string sChild = krelltest::TestBinary("krell_child_registry");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        const std::string sRoot = krelltest::MakeTempDirectory("krell-corrupt");
        const std::string sDb = sRoot + "/registry.db";
        if (c.bPopulateFirst) {
            const pid_t pid = krelltest::StartChild({sChild, "--root", sRoot, "populate"});
            ASSERT_GT(pid, 0);
            ASSERT_EQ(krelltest::WaitChild(pid, 30000), 0);
            std::string sContent = ReadFile(sDb);
            const std::size_t cbPage = (static_cast<unsigned char>(sContent.at(16)) << 8) |
                                       static_cast<unsigned char>(sContent.at(17));
            ASSERT_GT(sContent.size(), cbPage * 2);
            // Keep the header page, so the file still opens as a database; ruin every other page.
            for (std::size_t i = cbPage; i < sContent.size(); ++i) {
                sContent[i] = static_cast<char>(0xA5 ^ (i * 31));
            }
            std::ofstream(sDb, std::ios::binary | std::ios::trunc) << sContent;
        } else {
            std::string sContent;
            for (int i = 0; i < 512; ++i) {
                sContent += "this is not a registry store. ";
            }
            std::ofstream(sDb, std::ios::binary | std::ios::trunc) << sContent;
        }
        const std::string sBefore = ReadFile(sDb);

        CProbeResult result;
        ASSERT_TRUE(RunProbe({"--root", sRoot}, &result));  // no crash
        EXPECT_EQ(result.lCreate, static_cast<LONG>(ERROR_REGISTRY_CORRUPT));
        EXPECT_EQ(result.lOpen, static_cast<LONG>(ERROR_REGISTRY_CORRUPT));
        EXPECT_EQ(ReadFile(sDb), sBefore);

        std::error_code ec;
        std::filesystem::remove_all(sRoot, ec);
    }
}

}  // namespace
