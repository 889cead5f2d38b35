#include "settings/settings_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "settings_fixture.h"
#include "support/debug_log.h"

namespace {

using krelltest::CDebugLog;
using settingstest::StoreTest;

// What the counting doubles answer, and how many of their objects are alive.
struct FakeBehaviour {
    ZELRESULT zrCreate = ZEL_SUCCESS;
    ZELRESULT zrGet = ZEL_SUCCESS;
    ZELRESULT zrPut = ZEL_SUCCESS;
    ZELRESULT zrPutValue = ZEL_SUCCESS;
    ZELRESULT zrGetDword = ZEL_SUCCESS;
    DWORD dwValue = 42;
    ZELRESULT zrGetString = ZEL_SUCCESS;
    std::u16string sText = u"stored text";
    std::vector<std::u16string> valueNames = {u"first", u"second", u"third"};
    int nFailingItem = -1;
    ZELRESULT zrItem = ZEL_SUCCESS;
    int nLiveObjects = 0;
};

ZELRESULT CopyOut(const std::u16string& s, char16_t* sz, DWORD* pcch) {
    if (sz == nullptr || *pcch < s.size() + 1) {
        *pcch = static_cast<DWORD>(s.size() + 1);
        return ZEL_E_BUFFER_TOO_SMALL;
    }
    std::copy(s.begin(), s.end(), sz);
    sz[s.size()] = u'\0';
    *pcch = static_cast<DWORD>(s.size());
    return ZEL_SUCCESS;
}

class CFakeObject : public CRefCounted {
protected:
    explicit CFakeObject(FakeBehaviour* p) : m_p(p) { ++m_p->nLiveObjects; }
    ~CFakeObject() override { --m_p->nLiveObjects; }
    FakeBehaviour* m_p;
};

class CFakeEnum final : public ISettingsEnum, public CFakeObject {
public:
    explicit CFakeEnum(FakeBehaviour* p) : CFakeObject(p) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    ZELRESULT STDMETHODCALLTYPE GetCount(DWORD* pdw) override {
        *pdw = static_cast<DWORD>(m_p->valueNames.size());
        return ZEL_SUCCESS;
    }
    ZELRESULT STDMETHODCALLTYPE GetItem(DWORD i, char16_t* sz, DWORD* pcch, DWORD*) override {
        if (static_cast<int>(i) == m_p->nFailingItem) {
            return m_p->zrItem;
        }
        return CopyOut(m_p->valueNames.at(i), sz, pcch);
    }
};

class CFakeSettings final : public ISettings, public CFakeObject {
public:
    explicit CFakeSettings(FakeBehaviour* p) : CFakeObject(p) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    ZELRESULT STDMETHODCALLTYPE GetDword(const char16_t*, DWORD* pdw) override {
        if (ZEL_SUCCEEDED(m_p->zrGetDword)) {
            *pdw = m_p->dwValue;
        }
        return m_p->zrGetDword;
    }
    ZELRESULT STDMETHODCALLTYPE GetString(const char16_t*, char16_t* sz, DWORD* pcch) override {
        return ZEL_SUCCEEDED(m_p->zrGetString) ? CopyOut(m_p->sText, sz, pcch) : m_p->zrGetString;
    }
    ZELRESULT STDMETHODCALLTYPE PutDword(const char16_t*, DWORD) override { return m_p->zrPutValue; }
    ZELRESULT STDMETHODCALLTYPE GetBinary(const char16_t*, BYTE*, DWORD*) override { return ZEL_E_NOT_FOUND; }
    ZELRESULT STDMETHODCALLTYPE PutBinary(const char16_t*, const BYTE*, DWORD) override {
        return m_p->zrPutValue;
    }
    ZELRESULT STDMETHODCALLTYPE DeleteValue(const char16_t*) override { return ZEL_SUCCESS; }
    ZELRESULT STDMETHODCALLTYPE PutString(const char16_t*, const char16_t*) override {
        return m_p->zrPutValue;
    }
    ZELRESULT STDMETHODCALLTYPE GetValueType(const char16_t*, DWORD*) override { return ZEL_E_NOT_FOUND; }
    ZELRESULT STDMETHODCALLTYPE GetValues(ISettingsEnum** pp) override {
        *pp = new CFakeEnum(m_p);
        return ZEL_SUCCESS;
    }
    ZELRESULT STDMETHODCALLTYPE GetMaxValueNameLength(DWORD* pcch) override {
        std::size_t cch = 0;
        for (const auto& s : m_p->valueNames) {
            cch = std::max(cch, s.size());
        }
        *pcch = static_cast<DWORD>(cch);
        return ZEL_SUCCESS;
    }
};

// Counts its references instead of deleting itself, so a test can see every one come back.
class CCountingManager final : public ISettingsManager {
public:
    explicit CCountingManager(FakeBehaviour* p) : m_p(p) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_ulRefs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_ulRefs; }
    ZELRESULT STDMETHODCALLTYPE CreateSettings(const char16_t*, ISettings** pp) override {
        return Open(m_p->zrCreate, pp);
    }
    ZELRESULT STDMETHODCALLTYPE GetSettings(const char16_t*, ISettings** pp) override {
        return Open(m_p->zrGet, pp);
    }
    ZELRESULT STDMETHODCALLTYPE PutSettings(ISettings*) override { return m_p->zrPut; }
    ZELRESULT STDMETHODCALLTYPE GetSubKeys(const char16_t*, ISettingsEnum**) override {
        return ZEL_E_NOT_FOUND;
    }
    ZELRESULT STDMETHODCALLTYPE DeleteSettings(const char16_t*) override { return ZEL_SUCCESS; }
    ZELRESULT STDMETHODCALLTYPE GetChangeCount(ULONGLONG*) override { return ZEL_SUCCESS; }
    ULONG Refs() const { return m_ulRefs; }

    ISettingsManager* Handed() {
        AddRef();
        return this;
    }

private:
    ZELRESULT Open(ZELRESULT zr, ISettings** pp) {
        *pp = ZEL_SUCCEEDED(zr) ? new CFakeSettings(m_p) : nullptr;
        return zr;
    }
    FakeBehaviour* m_p;
    ULONG m_ulRefs = 1;
};

constexpr ZELRESULT ZEL_E_SOME_FAILURE = ZEL_E_STORE_BUSY;
constexpr const char16_t* KEY = u"GATEWARDEN\\PRIVATE";

struct HelperCase {
    const char* szName;
    std::function<void(FakeBehaviour*)> fnSetup;
    // The helper's result; a bool result is ZEL_SUCCESS or E_FAIL.
    std::function<ZELRESULT(ISettingsManager*)> fnCall;
    ZELRESULT zrExpected;
    std::vector<std::string> log;
};

ZELRESULT FromBool(bool b) {
    return b ? ZEL_SUCCESS : E_FAIL;
}

class SettingsHelpers : public testing::Test {
protected:
    void SetUp() override { CDebugLog::Enable(); }
};

TEST_F(SettingsHelpers, ResultsLogLinesAndReleasesOnEveryPath) {
    DWORD dwValue = 0;
    const DWORD dwDefault = 5;
    std::u16string sText;
    std::vector<std::u16string> names;
    const auto putDword = [](ISettingsManager* p) {
        return CLcSettingsHelper::PutDword(p, KEY, u"CurrentState", 5);
    };
    const auto putString = [](ISettingsManager* p) {
        return CLcSettingsHelper::PutString(p, KEY, u"Name", u"Text");
    };
    const auto getDword = [&](ISettingsManager* p) {
        return CLcSettingsHelper::GetDword(p, KEY, u"CurrentState", &dwValue);
    };
    const auto getDwordDefault = [&](ISettingsManager* p) {
        return CLcSettingsHelper::GetDword(p, KEY, u"CurrentState", &dwValue, &dwDefault);
    };
    const auto getString = [&](ISettingsManager* p) {
        return CLcSettingsHelper::GetString(p, KEY, u"Name", &sText);
    };
    const auto getStringDefault = [&](ISettingsManager* p) {
        return CLcSettingsHelper::GetString(p, KEY, u"Name", &sText, u"fallback");
    };
    const auto loadStrings = [&](ISettingsManager* p) {
        return FromBool(CLcSettingsHelper::LoadStringsFromKey(p, KEY, &names));
    };
    const auto none = [](FakeBehaviour*) {};
    const HelperCase cases[] = {
        {"PutDword", none, putDword, ZEL_SUCCESS, {}},
        {"PutDword, key not created",
         [](FakeBehaviour* p) { p->zrCreate = ZEL_E_SOME_FAILURE; },
         putDword,
         ZEL_E_SOME_FAILURE,
         {"CLcSettingsHelper::PutDword() - pSetMgr->CreateSettings(GATEWARDEN\\PRIVATE) failed: 0X80000300"}},
        {"PutDword, value refused",
         [](FakeBehaviour* p) { p->zrPutValue = ZEL_E_SOME_FAILURE; },
         putDword,
         ZEL_E_SOME_FAILURE,
         {"CLcSettingsHelper::PutDword() - pSettings->PutDword(\"CurrentState\", 0X000005) failed: "
          "0X80000300"}},
        {"PutDword, commit fails",
         [](FakeBehaviour* p) { p->zrPut = ZEL_E_SOME_FAILURE; },
         putDword,
         ZEL_E_SOME_FAILURE,
         {"CLcSettingsHelper::PutDword() - pSetMgr->PutSettings() failed: 0X80000300"}},
        {"PutString", none, putString, ZEL_SUCCESS, {}},
        {"PutString, key not created",
         [](FakeBehaviour* p) { p->zrCreate = ZEL_E_SOME_FAILURE; },
         putString,
         ZEL_E_SOME_FAILURE,
         {"CLcSettingsHelper::PutString() - pSetMgr->CreateSettings(GATEWARDEN\\PRIVATE) failed: "
          "0X80000300"}},
        {"PutString, value refused",
         [](FakeBehaviour* p) { p->zrPutValue = ZEL_E_SOME_FAILURE; },
         putString,
         ZEL_E_SOME_FAILURE,
         {"CLcSettingsHelper::PutString() - pSettings->PutString(\"Name\", \"Text\") failed: 0X80000300"}},
        {"PutString, commit fails with the PutDword message",
         [](FakeBehaviour* p) { p->zrPut = ZEL_E_SOME_FAILURE; },
         putString,
         ZEL_E_SOME_FAILURE,
         {"CLcSettingsHelper::PutDword() - pSetMgr->PutSettings() failed: 0X80000300"}},
        {"GetDword", none, getDword, ZEL_SUCCESS, {}},
        {"GetDword, key absent, default",
         [](FakeBehaviour* p) { p->zrGet = ZEL_E_NOT_FOUND; },
         getDwordDefault,
         ZEL_SUCCESS_DEFAULT,
         {}},
        {"GetDword, value absent, default",
         [](FakeBehaviour* p) { p->zrGetDword = ZEL_E_NOT_FOUND; },
         getDwordDefault,
         ZEL_SUCCESS_DEFAULT,
         {}},
        {"GetDword, key absent, no default",
         [](FakeBehaviour* p) { p->zrGet = ZEL_E_NOT_FOUND; },
         getDword,
         ZEL_E_NOT_FOUND,
         {"CLcSettingsHelper::GetDword() - pSetMgr->GetSettings(GATEWARDEN\\PRIVATE) failed: 0X80000100"}},
        {"GetDword, value absent, no default",
         [](FakeBehaviour* p) { p->zrGetDword = ZEL_E_NOT_FOUND; },
         getDword,
         ZEL_E_NOT_FOUND,
         {"CLcSettingsHelper::GetDword() - pSettings->GetDword(CurrentState) failed: 0X80000100"}},
        {"GetDword, other failure despite a default",
         [](FakeBehaviour* p) { p->zrGetDword = ZEL_E_WRONG_TYPE; },
         getDwordDefault,
         ZEL_E_WRONG_TYPE,
         {"CLcSettingsHelper::GetDword() - pSettings->GetDword(CurrentState) failed: 0X80000101"}},
        {"GetString", none, getString, ZEL_SUCCESS, {}},
        {"GetString, key absent, default",
         [](FakeBehaviour* p) { p->zrGet = ZEL_E_NOT_FOUND; },
         getStringDefault,
         ZEL_SUCCESS_DEFAULT,
         {}},
        {"GetString, value absent, default",
         [](FakeBehaviour* p) { p->zrGetString = ZEL_E_NOT_FOUND; },
         getStringDefault,
         ZEL_SUCCESS_DEFAULT,
         {}},
        {"GetString, key fails",
         [](FakeBehaviour* p) { p->zrGet = ZEL_E_SOME_FAILURE; },
         getStringDefault,
         ZEL_E_SOME_FAILURE,
         {"CLcSettingsHelper::GetString() - pSetMgr->GetSettings(GATEWARDEN\\PRIVATE) failed: 0X80000300"}},
        {"GetString, value absent, no default",
         [](FakeBehaviour* p) { p->zrGetString = ZEL_E_NOT_FOUND; },
         getString,
         ZEL_E_NOT_FOUND,
         {"CLcSettingsHelper::GetString() - pSettings->GetString(Name) failed: 0X80000100"}},
        {"LoadStringsFromKey", none, loadStrings, ZEL_SUCCESS, {}},
        {"LoadStringsFromKey, key absent",
         [](FakeBehaviour* p) { p->zrGet = ZEL_E_NOT_FOUND; },
         loadStrings,
         ZEL_SUCCESS,
         {}},
        {"LoadStringsFromKey, key fails",
         [](FakeBehaviour* p) { p->zrGet = ZEL_E_SOME_FAILURE; },
         loadStrings,
         E_FAIL,
         {"CLcSettingsHelper::LoadStringsFromKey - pSettings->GetSettings(GATEWARDEN\\PRIVATE) failed: "
          "0X80000300"}},
        {"LoadStringsFromKey, an item fails",
         [](FakeBehaviour* p) {
             p->nFailingItem = 1;
             p->zrItem = ZEL_E_SOME_FAILURE;
         },
         loadStrings,
         E_FAIL,
         {"CSettingsValuesIterator::GetNextValue(): pValues->GetItem() failed (0x80000300).",
          "CLcSettingsHelper::LoadStringsFromKey - SettingsValues.GetNextValue() failed: 0X80000300"}},
        {"LoadStringsFromKey, no key name",
         none,
         [&](ISettingsManager* p) {
             return FromBool(CLcSettingsHelper::LoadStringsFromKey(p, nullptr, &names));
         },
         E_FAIL,
         {"CLcSettingsHelper::LoadStringsFromKey - szKeyName==NULL"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        FakeBehaviour behaviour;
        c.fnSetup(&behaviour);
        CCountingManager manager(&behaviour);
        dwValue = 0;
        sText = u"untouched";
        names = {u"old"};
        CDebugLog log;
        EXPECT_EQ(c.fnCall(manager.Handed()), c.zrExpected);
        EXPECT_EQ(log.Messages(), c.log);
        EXPECT_EQ(manager.Refs(), 1u) << "the handed reference was not released exactly once";
        EXPECT_EQ(behaviour.nLiveObjects, 0) << "a key or enumerator was not released";
    }
}

TEST_F(SettingsHelpers, ResultsCarryTheValueOrTheDefault) {
    FakeBehaviour behaviour;
    CCountingManager manager(&behaviour);
    DWORD dwValue = 0;
    const DWORD dwDefault = 9;
    EXPECT_EQ(CLcSettingsHelper::GetDword(manager.Handed(), KEY, u"V", &dwValue, &dwDefault), ZEL_SUCCESS);
    EXPECT_EQ(dwValue, 42u);
    behaviour.zrGetDword = ZEL_E_NOT_FOUND;
    EXPECT_EQ(CLcSettingsHelper::GetDword(manager.Handed(), KEY, u"V", &dwValue, &dwDefault),
              ZEL_SUCCESS_DEFAULT);
    EXPECT_EQ(dwValue, 9u);
    // A failure with a default leaves the default in place.
    behaviour.zrGetDword = ZEL_E_SOME_FAILURE;
    dwValue = 0;
    EXPECT_EQ(CLcSettingsHelper::GetDword(manager.Handed(), KEY, u"V", &dwValue, &dwDefault),
              ZEL_E_SOME_FAILURE);
    EXPECT_EQ(dwValue, 9u);

    std::u16string sText;
    behaviour.sText = std::u16string(1000, u'x');  // longer than any first guess
    EXPECT_EQ(CLcSettingsHelper::GetString(manager.Handed(), KEY, u"S", &sText, u"def"), ZEL_SUCCESS);
    EXPECT_EQ(sText, behaviour.sText);
    behaviour.zrGet = ZEL_E_NOT_FOUND;
    EXPECT_EQ(CLcSettingsHelper::GetString(manager.Handed(), KEY, u"S", &sText, u"def"), ZEL_SUCCESS_DEFAULT);
    EXPECT_EQ(sText, u"def");

    std::vector<std::u16string> names{u"stale"};
    behaviour.zrGet = ZEL_SUCCESS;
    EXPECT_TRUE(CLcSettingsHelper::LoadStringsFromKey(manager.Handed(), KEY, &names));
    EXPECT_EQ(names, behaviour.valueNames);
    behaviour.zrGet = ZEL_E_NOT_FOUND;
    EXPECT_TRUE(CLcSettingsHelper::LoadStringsFromKey(manager.Handed(), KEY, &names));
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(manager.Refs(), 1u);
}

TEST_F(SettingsHelpers, ANullManagerIsAnInvalidArgument) {
    DWORD dwValue = 0;
    std::u16string sText;
    std::vector<std::u16string> names;
    EXPECT_EQ(CLcSettingsHelper::PutDword(nullptr, KEY, u"V", 1), ZEL_E_INVALID_ARGUMENT);
    EXPECT_EQ(CLcSettingsHelper::PutString(nullptr, KEY, u"V", u"T"), ZEL_E_INVALID_ARGUMENT);
    EXPECT_EQ(CLcSettingsHelper::GetDword(nullptr, KEY, u"V", &dwValue), ZEL_E_INVALID_ARGUMENT);
    EXPECT_EQ(CLcSettingsHelper::GetString(nullptr, KEY, u"V", &sText), ZEL_E_INVALID_ARGUMENT);
    EXPECT_FALSE(CLcSettingsHelper::LoadStringsFromKey(nullptr, KEY, &names));
}

TEST_F(SettingsHelpers, IteratorsReportReadingPastTheEnd) {
    FakeBehaviour behaviour;
    CCountingManager manager(&behaviour);
    {
        CFakeSettings* pKey = new CFakeSettings(&behaviour);
        CSettingsValuesIterator values;
        ASSERT_EQ(values.Init(pKey), ZEL_SUCCESS);
        pKey->Release();  // the iterator holds the enumerator, not the key
        std::vector<std::u16string> seen;
        while (values.HasMoreValues()) {
            const char16_t* szName = nullptr;
            ASSERT_EQ(values.GetNextValue(&szName), ZEL_SUCCESS);
            seen.emplace_back(szName);
        }
        EXPECT_EQ(seen, behaviour.valueNames);
        CDebugLog log;
        const char16_t* szName = nullptr;
        EXPECT_EQ(values.GetNextValue(&szName), ZEL_E_CONSISTENCY);
        EXPECT_EQ(log.Messages(),
                  std::vector<std::string>{"CSettingsValuesIterator::GetNextValue(): Consistency error, "
                                           "m_iCurrentIndex >= m_dwMaxItems"});
    }
    {
        CSettingsKeysIterator keys;
        EXPECT_EQ(keys.Init(&manager, KEY), ZEL_SUCCESS_DEFAULT);  // the double has no sub-keys
        EXPECT_FALSE(keys.HasMoreValues());
        CDebugLog log;
        const char16_t* szName = nullptr;
        EXPECT_EQ(keys.GetNextValue(&szName), ZEL_E_CONSISTENCY);
        EXPECT_EQ(log.Messages(),
                  std::vector<std::string>{"CSettingsKeysIterator::GetNextValue(): Consistency error, "
                                           "m_iCurrentIndex >= m_dwMaxItems"});
    }
    EXPECT_EQ(behaviour.nLiveObjects, 0);
    EXPECT_EQ(manager.Refs(), 1u);
}

// The helpers over the real store.
class SettingsHelpersOnStore : public StoreTest {
protected:
    void SetUp() override {
        CDebugLog::Enable();
        StoreTest::SetUp();
    }
};

TEST_F(SettingsHelpersOnStore, WritesCreateKeysAndReadsFindThem) {
    CDebugLog log;
    DWORD dwValue = 0;
    const DWORD dwDefault = 5;
    EXPECT_EQ(CLcSettingsHelper::GetDword(Ref(), KEY, u"CurrentState", &dwValue, &dwDefault),
              ZEL_SUCCESS_DEFAULT);
    EXPECT_EQ(dwValue, 5u);
    EXPECT_TRUE(log.Messages().empty()) << "an absent value with a default is no failure";

    EXPECT_EQ(CLcSettingsHelper::PutDword(Ref(), KEY, u"CurrentState", 1), ZEL_SUCCESS);
    EXPECT_EQ(CLcSettingsHelper::PutString(Ref(), u"GATEWARDEN\\PRIVATE\\Manifest", u"Folder", u"C:\\M"),
              ZEL_SUCCESS);
    EXPECT_EQ(CLcSettingsHelper::GetDword(Ref(), KEY, u"CurrentState", &dwValue, &dwDefault), ZEL_SUCCESS);
    EXPECT_EQ(dwValue, 1u);
    std::u16string sText;
    EXPECT_EQ(CLcSettingsHelper::GetString(Ref(), u"GATEWARDEN\\PRIVATE\\Manifest", u"Folder", &sText),
              ZEL_SUCCESS);
    EXPECT_EQ(sText, u"C:\\M");
    EXPECT_EQ(CLcSettingsHelper::GetString(Ref(), KEY, u"CurrentState", &sText), ZEL_E_WRONG_TYPE);
    EXPECT_EQ(CLcSettingsHelper::GetDword(Ref(), u"GATEWARDEN\\None", u"X", &dwValue), ZEL_E_NOT_FOUND);
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{
                  "CLcSettingsHelper::GetString() - pSettings->GetString(CurrentState) failed: 0X80000101",
                  "CLcSettingsHelper::GetDword() - pSetMgr->GetSettings(GATEWARDEN\\None) failed: 0X80000100",
              }));
}

TEST_F(SettingsHelpersOnStore, LoadStringsFromKeyListsValueNamesInOrder) {
    constexpr const char16_t* LIST = u"GATEWARDEN\\MSIAuthorization\\Products";
    std::vector<std::u16string> names{u"stale"};
    EXPECT_TRUE(CLcSettingsHelper::LoadStringsFromKey(Ref(), LIST, &names));
    EXPECT_TRUE(names.empty());
    const std::vector<std::u16string> expected = {u"{B}", u"{A}", std::u16string(300, u'n'), u"{C}"};
    for (const auto& sName : expected) {
        ASSERT_EQ(CLcSettingsHelper::PutDword(Ref(), LIST, sName.c_str(), 1), ZEL_SUCCESS);
    }
    EXPECT_TRUE(CLcSettingsHelper::LoadStringsFromKey(Ref(), LIST, &names));
    EXPECT_EQ(names, expected);
}

TEST_F(SettingsHelpersOnStore, KeysIteratorGrowsItsBufferForALongName) {
    const std::u16string sLong(CSettingsKeysIterator::INITIAL_NAME_LENGTH * 3, u'L');
    for (const std::u16string& sName : {std::u16string(u"a"), sLong, std::u16string(u"z")}) {
        ASSERT_EQ(CLcSettingsHelper::PutDword(Ref(), (u"Root\\" + sName).c_str(), u"V", 1), ZEL_SUCCESS);
    }
    CSettingsKeysIterator keys;
    ASSERT_EQ(keys.Init(m_pMgr.Get(), u"Root"), ZEL_SUCCESS);
    EXPECT_EQ(keys.GetCount(), 3u);
    std::vector<std::u16string> seen;
    while (keys.HasMoreValues()) {
        const char16_t* szName = nullptr;
        ASSERT_EQ(keys.GetNextValue(&szName), ZEL_SUCCESS);
        seen.emplace_back(szName);
    }
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"a", sLong, u"z"}));
    CSettingsKeysIterator missing;
    EXPECT_EQ(missing.Init(m_pMgr.Get(), u"Root\\None"), ZEL_SUCCESS_DEFAULT);
    EXPECT_FALSE(missing.HasMoreValues());
}

}  // namespace
