#include "events/object_loader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "settings_fixture.h"

namespace {

using settingstest::HostPath;
using settingstest::InstallProduct;
using settingstest::PlaceLibrary;
using settingstest::PRODUCT_DIRECTORY;

TEST(Guid, ParsesAndFormats) {
    struct Case {
        const char16_t* szText;
        bool bValid;
    };
    const Case cases[] = {
        {u"{4f3e0be1-5fe1-4c22-859b-a6fb7586b828}", true},
        {u"4F3E0BE1-5FE1-4C22-859B-A6FB7586B828", true},
        {u"{4F3E0BE1-5fe1-4C22-859b-A6FB7586B828}", true},
        {u"{4f3e0be1-5fe1-4c22-859b-a6fb7586b828", false},  // unbalanced brace
        {u"4f3e0be1-5fe1-4c22-859b-a6fb7586b828}", false},
        {u"{4f3e0be1-5fe1-4c22-859b-a6fb7586b82}", false},   // short
        {u"{4f3e0be1-5fe1-4c22-859ba-6fb7586b828}", false},  // dash misplaced
        {u"{4f3e0be1-5fe1-4c22-859b-a6fb7586b82g}", false},  // not hex
        {u"{4f3e0be1+5fe1-4c22-859b-a6fb7586b828}", false},
        {u"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(platform::ToUtf8(c.szText));
        GUID guid{};
        ASSERT_EQ(platform::GuidFromString(c.szText, &guid), c.bValid);
        if (c.bValid) {
            EXPECT_EQ(guid, CLSID_SettingsManager);
        }
    }
    EXPECT_EQ(platform::GuidToString(CLSID_SettingsManager), u"{4F3E0BE1-5FE1-4C22-859B-A6FB7586B828}");
    EXPECT_EQ(platform::GuidToString(IID_IClassFactory), u"{00000001-0000-0000-C000-000000000046}");
    GUID back{};
    ASSERT_TRUE(platform::GuidFromString(platform::GuidToString(IID_ISettingsManager), &back));
    EXPECT_EQ(back, IID_ISettingsManager);
}

bool IsMapped(const char* szFileName) {
    std::ifstream maps("/proc/self/maps");
    std::string sLine;
    while (std::getline(maps, sLine)) {
        if (sLine.find(szFileName) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class ObjectLoaderTest : public testing::Test {
protected:
    void SetUp() override { InstallProduct(); }
};

TEST_F(ObjectLoaderTest, LoadAnswersTheDocumentedCodes) {
    {
        std::ofstream(HostPath(std::u16string(PRODUCT_DIRECTORY) + u"\\Garbage.dll"))
            << "not a shared object";
    }
    PlaceLibrary(krelltest::TestBinary("NoExport.dll"), u"NoExport.dll");
    struct Case {
        const char* szName;
        const char16_t* szLibrary;
        ZELRESULT zrExpected;
    };
    const Case cases[] = {
        {"no name", nullptr, ZEL_E_INVALID_ARGUMENT},
        {"empty name", u"", ZEL_E_INVALID_ARGUMENT},
        {"missing file", u"Missing.dll", ZEL_E_LIBRARY_NOT_LOADED},
        {"not a library", u"Garbage.dll", ZEL_E_LIBRARY_NOT_LOADED},
        {"an export missing", u"NoExport.dll", ZEL_E_MISSING_EXPORT},
        {"names are found without regard to case", u"LCSET.DLL", ZEL_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        CObjectLoader loader;
        EXPECT_EQ(loader.Load(c.szLibrary), c.zrExpected);
        EXPECT_EQ(loader.IsLoaded(), c.zrExpected == ZEL_SUCCESS);
        void* pObject = &loader;
        EXPECT_EQ(loader.CreateObject(CLSID_SettingsManager, IID_ISettingsManager, &pObject),
                  c.zrExpected == ZEL_SUCCESS ? ZEL_SUCCESS : ZEL_E_INVALID_ARGUMENT);
        if (pObject != &loader && pObject != nullptr) {
            static_cast<ISettingsManager*>(pObject)->Release();
        }
    }
    // The library that lacked an export was unloaded again.
    EXPECT_FALSE(IsMapped("NoExport.dll"));
}

TEST_F(ObjectLoaderTest, WithoutProductDirectoryThePathCannotBeBuilt) {
    platform::RegDeleteTree(HKEY_LOCAL_MACHINE, CInstalledApps::INSTALLED_APPS_KEY);
    CObjectLoader loader;
    EXPECT_EQ(loader.Load(u"lcSet.dll"), ZEL_E_INVALID_ARGUMENT);
}

TEST_F(ObjectLoaderTest, SecondLoadSucceedsAndDestructionFreesTheLibrary) {
    if (IsMapped("lcSet.dll")) {
        GTEST_SKIP() << "an earlier test of this process keeps lcSet.dll mapped";
    }
    {
        CObjectLoader loader;
        ASSERT_EQ(loader.Load(u"lcSet.dll"), ZEL_SUCCESS);
        EXPECT_EQ(loader.Load(u"lcSet.dll"), ZEL_SUCCESS);
        EXPECT_EQ(loader.Load(u"Missing.dll"), ZEL_SUCCESS);  // something is loaded already
        EXPECT_TRUE(IsMapped("lcSet.dll"));
    }
    EXPECT_FALSE(IsMapped("lcSet.dll"));
}

TEST_F(ObjectLoaderTest, CreateObjectChecksItsArgumentsAndIdentifiers) {
    CObjectLoader loader;
    void* pObject = nullptr;
    EXPECT_EQ(loader.CreateObject(CLSID_SettingsManager, IID_ISettingsManager, &pObject),
              ZEL_E_INVALID_ARGUMENT);
    ASSERT_EQ(loader.Load(u"lcSet.dll"), ZEL_SUCCESS);
    EXPECT_EQ(loader.CreateObject(CLSID_SettingsManager, IID_ISettingsManager, nullptr),
              ZEL_E_INVALID_ARGUMENT);
    EXPECT_EQ(loader.CreateObject(IID_ISettingsManager, IID_ISettingsManager, &pObject),
              static_cast<ZELRESULT>(0x80040111));  // no such class
    EXPECT_EQ(pObject, nullptr);
    EXPECT_EQ(loader.CreateObject(CLSID_SettingsManager, IID_IClassFactory, &pObject), E_NOINTERFACE);
    EXPECT_EQ(pObject, nullptr);
    ASSERT_EQ(loader.CreateObject(CLSID_SettingsManager, IID_IUnknown, &pObject), ZEL_SUCCESS);
    auto pUnknown = CComPtr<IUnknown>::Attach(static_cast<IUnknown*>(pObject));
    CComPtr<ISettingsManager> pMgr;
    ASSERT_EQ(pUnknown->QueryInterface(IID_ISettingsManager, reinterpret_cast<void**>(&pMgr)), S_OK);
    ULONGLONG ullCount = 0;
    EXPECT_EQ(pMgr->GetChangeCount(&ullCount), ZEL_SUCCESS);
}

TEST_F(ObjectLoaderTest, ALiveObjectKeepsItsLibraryMapped) {
    CComPtr<ISettingsManager> pMgr;
    {
        CObjectLoader loader;
        ASSERT_EQ(loader.Load(u"lcSet.dll"), ZEL_SUCCESS);
        ASSERT_EQ(
            loader.CreateObject(CLSID_SettingsManager, IID_ISettingsManager, reinterpret_cast<void**>(&pMgr)),
            ZEL_SUCCESS);
    }
    ASSERT_TRUE(IsMapped("lcSet.dll"));
    ULONGLONG ullCount = 0;
    EXPECT_EQ(pMgr->GetChangeCount(&ullCount), ZEL_SUCCESS);  // its code is still there
}

// A loader with a verifier of its own: the hook sees the full path, and a refusal stops the load.
class CRefusingLoader : public CObjectLoader {
public:
    std::u16string sSeen;

protected:
    ZELRESULT VerifyLibrary(const char16_t* szFullPath) override {
        sSeen = szFullPath;
        return ZEL_E_UNTRUSTED;
    }
};

TEST_F(ObjectLoaderTest, VerificationHookSeesTheFullPathAndCanRefuse) {
    CRefusingLoader loader;
    EXPECT_EQ(loader.Load(u"lcSet.dll"), ZEL_E_UNTRUSTED);
    EXPECT_EQ(loader.sSeen, std::u16string(PRODUCT_DIRECTORY) + u"\\lcSet.dll");
    EXPECT_FALSE(loader.IsLoaded());
}

}  // namespace
