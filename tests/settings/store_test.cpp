// The settings store as the system meets it: lcSet.dll loaded from the product directory of the
// test's root, working on the root's database.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "settings_fixture.h"

namespace {

using settingstest::StoreTest;

std::vector<std::u16string> Names(ISettingsEnum* pEnum) {
    std::vector<std::u16string> names;
    DWORD dwCount = 0;
    EXPECT_EQ(pEnum->GetCount(&dwCount), ZEL_SUCCESS);
    for (DWORD i = 0; i < dwCount; ++i) {
        char16_t szName[256];
        DWORD cch = 256;
        EXPECT_EQ(pEnum->GetItem(i, szName, &cch, nullptr), ZEL_SUCCESS);
        names.emplace_back(szName, cch);
    }
    return names;
}

class SettingsStore : public StoreTest {
protected:
    void Commit(const char16_t* szKey, DWORD dwValue) {
        CComPtr<ISettings> pKey;
        ASSERT_EQ(m_pMgr->CreateSettings(szKey, &pKey), ZEL_SUCCESS);
        ASSERT_EQ(pKey->PutDword(u"Value", dwValue), ZEL_SUCCESS);
        ASSERT_EQ(m_pMgr->PutSettings(pKey.Get()), ZEL_SUCCESS);
    }
    ULONGLONG Changes() {
        ULONGLONG ull = 0;
        EXPECT_EQ(m_pMgr->GetChangeCount(&ull), ZEL_SUCCESS);
        return ull;
    }
};

TEST_F(SettingsStore, ValuesOfEveryTypeSurviveACommitAndANewManager) {
    const std::vector<BYTE> binary = {0x00, 0xFF, 0x10, 0x00, 0x7F};
    const std::u16string sText = u"caf\u00E9 \U0001F600 C:\\Path";
    {
        CComPtr<ISettings> pKey;
        ASSERT_EQ(m_pMgr->CreateSettings(u"GATEWARDEN\\PRIVATE", &pKey), ZEL_SUCCESS);
        ASSERT_EQ(pKey->PutDword(u"CurrentState", 0xFFFFFFFF), ZEL_SUCCESS);
        ASSERT_EQ(pKey->PutString(u"Text", sText.c_str()), ZEL_SUCCESS);
        ASSERT_EQ(pKey->PutString(u"Empty", u""), ZEL_SUCCESS);
        ASSERT_EQ(pKey->PutBinary(u"Blob", binary.data(), static_cast<DWORD>(binary.size())), ZEL_SUCCESS);
        ASSERT_EQ(pKey->PutBinary(u"NoBytes", nullptr, 0), ZEL_SUCCESS);
        // Nothing is visible before the commit.
        CComPtr<ISettings> pOther;
        EXPECT_EQ(m_pMgr->GetSettings(u"GATEWARDEN\\PRIVATE", &pOther), ZEL_E_NOT_FOUND);
        ASSERT_EQ(m_pMgr->PutSettings(pKey.Get()), ZEL_SUCCESS);
    }
    auto pMgr = NewManager();
    CComPtr<ISettings> pKey;
    ASSERT_EQ(pMgr->GetSettings(u"gatewarden\\private", &pKey), ZEL_SUCCESS);  // names ignore case
    DWORD dwValue = 0;
    EXPECT_EQ(pKey->GetDword(u"currentstate", &dwValue), ZEL_SUCCESS);
    EXPECT_EQ(dwValue, 0xFFFFFFFFu);
    char16_t szText[64];
    DWORD cch = 64;
    ASSERT_EQ(pKey->GetString(u"Text", szText, &cch), ZEL_SUCCESS);
    EXPECT_EQ(std::u16string(szText, cch), sText);
    cch = 64;
    ASSERT_EQ(pKey->GetString(u"Empty", szText, &cch), ZEL_SUCCESS);
    EXPECT_EQ(cch, 0u);
    BYTE data[16];
    DWORD cb = sizeof(data);
    ASSERT_EQ(pKey->GetBinary(u"Blob", data, &cb), ZEL_SUCCESS);
    EXPECT_EQ(std::vector<BYTE>(data, data + cb), binary);
    cb = sizeof(data);
    ASSERT_EQ(pKey->GetBinary(u"NoBytes", data, &cb), ZEL_SUCCESS);
    EXPECT_EQ(cb, 0u);
    DWORD dwType = 0;
    EXPECT_EQ(pKey->GetValueType(u"Blob", &dwType), ZEL_SUCCESS);
    EXPECT_EQ(dwType, SETTINGS_TYPE_BINARY);
    // A value read as another type, and one that is absent.
    EXPECT_EQ(pKey->GetDword(u"Text", &dwValue), ZEL_E_WRONG_TYPE);
    EXPECT_EQ(pKey->GetDword(u"Nothing", &dwValue), ZEL_E_NOT_FOUND);
    cch = 64;
    EXPECT_EQ(pKey->GetString(u"CurrentState", szText, &cch), ZEL_E_WRONG_TYPE);
}

TEST_F(SettingsStore, TooSmallBuffersAnswerTheRequiredLength) {
    CComPtr<ISettings> pKey;
    ASSERT_EQ(m_pMgr->CreateSettings(u"K", &pKey), ZEL_SUCCESS);
    ASSERT_EQ(pKey->PutString(u"Text", u"12345"), ZEL_SUCCESS);
    const BYTE bytes[3] = {1, 2, 3};
    ASSERT_EQ(pKey->PutBinary(u"Bin", bytes, 3), ZEL_SUCCESS);
    ASSERT_EQ(pKey->PutDword(u"LongerValueName", 1), ZEL_SUCCESS);

    char16_t sz[8];
    DWORD cch = 5;  // room for the text but not its terminator
    EXPECT_EQ(pKey->GetString(u"Text", sz, &cch), ZEL_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(cch, 6u);
    cch = 0;
    EXPECT_EQ(pKey->GetString(u"Text", nullptr, &cch), ZEL_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(cch, 6u);
    cch = 6;
    EXPECT_EQ(pKey->GetString(u"Text", sz, &cch), ZEL_SUCCESS);
    EXPECT_EQ(cch, 5u);
    EXPECT_EQ(std::u16string(sz), u"12345");

    BYTE data[3];
    DWORD cb = 2;
    EXPECT_EQ(pKey->GetBinary(u"Bin", data, &cb), ZEL_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(cb, 3u);

    CComPtr<ISettingsEnum> pValues;
    ASSERT_EQ(pKey->GetValues(&pValues), ZEL_SUCCESS);
    DWORD cchMax = 0;
    ASSERT_EQ(pKey->GetMaxValueNameLength(&cchMax), ZEL_SUCCESS);
    EXPECT_EQ(cchMax, 15u);
    cch = 15;
    EXPECT_EQ(pValues->GetItem(2, sz, &cch, nullptr), ZEL_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(cch, 16u);
    DWORD dwCount = 0;
    ASSERT_EQ(pValues->GetCount(&dwCount), ZEL_SUCCESS);
    cch = 8;
    EXPECT_EQ(pValues->GetItem(dwCount, sz, &cch, nullptr), ZEL_E_NOT_FOUND);
}

TEST_F(SettingsStore, ValuesKeepTheOrderOfTheirFirstWrite) {
    CComPtr<ISettings> pKey;
    ASSERT_EQ(m_pMgr->CreateSettings(u"Order", &pKey), ZEL_SUCCESS);
    for (const char16_t* szName : {u"zeta", u"alpha", u"Mid"}) {
        ASSERT_EQ(pKey->PutDword(szName, 1), ZEL_SUCCESS);
    }
    ASSERT_EQ(m_pMgr->PutSettings(pKey.Get()), ZEL_SUCCESS);
    CComPtr<ISettings> pAgain;
    ASSERT_EQ(m_pMgr->CreateSettings(u"Order", &pAgain), ZEL_SUCCESS);
    ASSERT_EQ(pAgain->PutString(u"ALPHA", u"now a string"), ZEL_SUCCESS);  // rewritten in place
    ASSERT_EQ(pAgain->DeleteValue(u"zeta"), ZEL_SUCCESS);
    ASSERT_EQ(pAgain->PutDword(u"omega", 2), ZEL_SUCCESS);
    EXPECT_EQ(pAgain->DeleteValue(u"never"), ZEL_E_NOT_FOUND);
    ASSERT_EQ(m_pMgr->PutSettings(pAgain.Get()), ZEL_SUCCESS);
    CComPtr<ISettings> pRead;
    ASSERT_EQ(m_pMgr->GetSettings(u"Order", &pRead), ZEL_SUCCESS);
    CComPtr<ISettingsEnum> pValues;
    ASSERT_EQ(pRead->GetValues(&pValues), ZEL_SUCCESS);
    EXPECT_EQ(Names(pValues.Get()), (std::vector<std::u16string>{u"alpha", u"Mid", u"omega"}));
}

// A key object reads the stored values at its first read, under what was put before it: a writer that
// only adds (thousands of values, one manifest after another) never reads them.
TEST_F(SettingsStore, ValuesPutBeforeTheFirstReadStandInTheirStoredPlace) {
    CComPtr<ISettings> pKey;
    ASSERT_EQ(m_pMgr->CreateSettings(u"Lazy", &pKey), ZEL_SUCCESS);
    for (const char16_t* szName : {u"one", u"two", u"three"}) {
        ASSERT_EQ(pKey->PutDword(szName, 1), ZEL_SUCCESS);
    }
    ASSERT_EQ(m_pMgr->PutSettings(pKey.Get()), ZEL_SUCCESS);

    CComPtr<ISettings> pWriter;
    ASSERT_EQ(m_pMgr->CreateSettings(u"Lazy", &pWriter), ZEL_SUCCESS);
    ASSERT_EQ(pWriter->PutString(u"TWO", u"replaced"), ZEL_SUCCESS);
    ASSERT_EQ(pWriter->PutDword(u"four", 4), ZEL_SUCCESS);
    // Committed by another writer after the open and before the first read: part of the snapshot.
    CComPtr<ISettings> pOther;
    ASSERT_EQ(m_pMgr->CreateSettings(u"Lazy", &pOther), ZEL_SUCCESS);
    ASSERT_EQ(pOther->PutDword(u"zero", 0), ZEL_SUCCESS);
    ASSERT_EQ(m_pMgr->PutSettings(pOther.Get()), ZEL_SUCCESS);

    CComPtr<ISettingsEnum> pValues;
    ASSERT_EQ(pWriter->GetValues(&pValues), ZEL_SUCCESS);
    EXPECT_EQ(Names(pValues.Get()),
              (std::vector<std::u16string>{u"one", u"two", u"three", u"zero", u"four"}));
    char16_t szText[32];
    DWORD cch = 32;
    ASSERT_EQ(pWriter->GetString(u"two", szText, &cch), ZEL_SUCCESS);
    EXPECT_EQ(std::u16string(szText, cch), u"replaced");
    DWORD dw = 0;
    EXPECT_EQ(pWriter->GetDword(u"two", &dw), ZEL_E_WRONG_TYPE);
    ASSERT_EQ(pWriter->GetDword(u"zero", &dw), ZEL_SUCCESS);
    ASSERT_EQ(m_pMgr->PutSettings(pWriter.Get()), ZEL_SUCCESS);

    CComPtr<ISettings> pRead;
    ASSERT_EQ(m_pMgr->GetSettings(u"Lazy", &pRead), ZEL_SUCCESS);
    CComPtr<ISettingsEnum> pStored;
    ASSERT_EQ(pRead->GetValues(&pStored), ZEL_SUCCESS);
    EXPECT_EQ(Names(pStored.Get()),
              (std::vector<std::u16string>{u"one", u"two", u"three", u"zero", u"four"}));
}

TEST_F(SettingsStore, KeyNamesAreCheckedNotGuessed) {
    const char16_t* const bad[] = {u"", u"\\A", u"A\\", u"A\\\\B", u"\\", u"A\\B\\"};
    for (const char16_t* szKey : bad) {
        SCOPED_TRACE(platform::ToUtf8(szKey));
        CComPtr<ISettings> pKey;
        EXPECT_EQ(m_pMgr->CreateSettings(szKey, &pKey), ZEL_E_INVALID_ARGUMENT);
        EXPECT_EQ(m_pMgr->GetSettings(szKey, &pKey), ZEL_E_INVALID_ARGUMENT);
        EXPECT_EQ(m_pMgr->DeleteSettings(szKey), ZEL_E_INVALID_ARGUMENT);
        EXPECT_FALSE(pKey);
    }
    CComPtr<ISettings> pKey;
    EXPECT_EQ(m_pMgr->CreateSettings(nullptr, &pKey), ZEL_E_INVALID_ARGUMENT);
    EXPECT_EQ(m_pMgr->CreateSettings(u"A", nullptr), ZEL_E_INVALID_ARGUMENT);
    CComPtr<ISettingsEnum> pEnum;
    EXPECT_EQ(m_pMgr->GetSubKeys(u"A\\", &pEnum), ZEL_E_INVALID_ARGUMENT);
    // The empty name lists the top of the store.
    Commit(u"Top\\Sub", 1);
    ASSERT_EQ(m_pMgr->GetSubKeys(u"", &pEnum), ZEL_SUCCESS);
    EXPECT_EQ(Names(pEnum.Get()), std::vector<std::u16string>{u"Top"});
}

TEST_F(SettingsStore, SubKeysAreListedAndDeletedWithTheirKey) {
    Commit(u"G\\Manifest\\Data\\ProtectedFile", 1);
    Commit(u"G\\Manifest\\Data\\Excluded", 2);
    Commit(u"G\\Manifest\\CSIDLcache", 3);
    Commit(u"G\\PRIVATE", 4);
    CComPtr<ISettingsEnum> pEnum;
    ASSERT_EQ(m_pMgr->GetSubKeys(u"G\\Manifest\\Data", &pEnum), ZEL_SUCCESS);
    EXPECT_EQ(Names(pEnum.Get()), (std::vector<std::u16string>{u"Excluded", u"ProtectedFile"}));
    // Intermediate keys exist, without values.
    CComPtr<ISettings> pKey;
    ASSERT_EQ(m_pMgr->GetSettings(u"G\\Manifest", &pKey), ZEL_SUCCESS);
    DWORD dwCount = 99;
    CComPtr<ISettingsEnum> pValues;
    ASSERT_EQ(pKey->GetValues(&pValues), ZEL_SUCCESS);
    ASSERT_EQ(pValues->GetCount(&dwCount), ZEL_SUCCESS);
    EXPECT_EQ(dwCount, 0u);

    ASSERT_EQ(m_pMgr->DeleteSettings(u"G\\MANIFEST"), ZEL_SUCCESS);
    for (const char16_t* szGone :
         {u"G\\Manifest", u"G\\Manifest\\Data", u"G\\Manifest\\Data\\Excluded", u"G\\Manifest\\CSIDLcache"}) {
        EXPECT_EQ(m_pMgr->GetSettings(szGone, &pKey), ZEL_E_NOT_FOUND) << platform::ToUtf8(szGone);
    }
    EXPECT_EQ(m_pMgr->GetSubKeys(u"G\\Manifest", &pEnum), ZEL_E_NOT_FOUND);
    ASSERT_EQ(m_pMgr->GetSettings(u"G\\PRIVATE", &pKey), ZEL_SUCCESS);
    DWORD dwValue = 0;
    EXPECT_EQ(pKey->GetDword(u"Value", &dwValue), ZEL_SUCCESS);
    EXPECT_EQ(dwValue, 4u);
    EXPECT_EQ(m_pMgr->DeleteSettings(u"G\\Manifest"), ZEL_E_NOT_FOUND);
    // Re-creating a deleted key starts it empty.
    ASSERT_EQ(m_pMgr->CreateSettings(u"G\\Manifest\\Data", &pKey), ZEL_SUCCESS);
    ASSERT_EQ(pKey->GetValues(&pValues), ZEL_SUCCESS);
    ASSERT_EQ(pValues->GetCount(&dwCount), ZEL_SUCCESS);
    EXPECT_EQ(dwCount, 0u);
}

TEST_F(SettingsStore, ChangeCountGrowsWithEveryCommittedChangeOnly) {
    const ULONGLONG ullStart = Changes();
    Commit(u"A", 1);
    EXPECT_EQ(Changes(), ullStart + 1);
    Commit(u"A", 1);  // writing a value again counts, even when it is the same
    const ULONGLONG ullAfterRewrite = Changes();
    EXPECT_EQ(ullAfterRewrite, ullStart + 2);
    {
        CComPtr<ISettings> pKey;
        ASSERT_EQ(m_pMgr->CreateSettings(u"A", &pKey), ZEL_SUCCESS);
        ASSERT_EQ(m_pMgr->PutSettings(pKey.Get()), ZEL_SUCCESS);  // nothing to commit
        EXPECT_EQ(Changes(), ullAfterRewrite);
        ASSERT_EQ(pKey->PutDword(u"Other", 5), ZEL_SUCCESS);  // dropped: never committed
    }
    EXPECT_EQ(Changes(), ullAfterRewrite);
    // Another manager (as another process would) sees the change count of the store, not its own.
    auto pOther = NewManager();
    CComPtr<ISettings> pKey;
    ASSERT_EQ(pOther->CreateSettings(u"B", &pKey), ZEL_SUCCESS);
    ASSERT_EQ(pKey->PutDword(u"V", 1), ZEL_SUCCESS);
    ASSERT_EQ(pOther->PutSettings(pKey.Get()), ZEL_SUCCESS);
    EXPECT_EQ(Changes(), ullAfterRewrite + 1);
    ASSERT_EQ(m_pMgr->DeleteSettings(u"B"), ZEL_SUCCESS);
    EXPECT_EQ(Changes(), ullAfterRewrite + 2);
}

TEST_F(SettingsStore, PutSettingsRefusesNoKey) {
    EXPECT_EQ(m_pMgr->PutSettings(nullptr), ZEL_E_INVALID_ARGUMENT);
}

}  // namespace
