// The service database: entries as stored in the registry, and the error codes of the calls.
#include <cstring>
#include <functional>

#include "platform/registry.h"
#include "scm_fixture.h"

namespace {

using namespace platform;
using scmtest::ScHandle;

class ScmDatabaseTest : public scmtest::ScmTest {};

std::vector<BYTE> RawValue(const char16_t* szKey, const char16_t* szValue, DWORD* pdwType) {
    HKEY hKey = nullptr;
    std::vector<BYTE> data;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, szKey, 0, KEY_READ, &hKey) != static_cast<LONG>(ERROR_SUCCESS)) {
        return data;
    }
    DWORD cb = 0;
    if (RegQueryValueEx(hKey, szValue, pdwType, nullptr, &cb) == static_cast<LONG>(ERROR_SUCCESS)) {
        data.resize(cb);
        RegQueryValueEx(hKey, szValue, pdwType, data.data(), &cb);
    }
    RegCloseKey(hKey);
    return data;
}

std::u16string AsString(const std::vector<BYTE>& data) {
    return std::u16string(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
}

TEST_F(ScmDatabaseTest, EntryIsStoredAsThePlatformKeepsIt) {
    ScHandle hService(Create(u"KRELLSvc", u"C:\\Program Files\\Quillon\\KRELL\\KRELLSvc.exe",
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, u"RPCSS\0Other\0",
                             u"KRELL Service"));
    ASSERT_TRUE(hService) << GetLastError();
    const char16_t* szKey = u"SYSTEM\\CurrentControlSet\\Services\\KRELLSvc";
    const struct {
        const char16_t* szValue;
        DWORD dwType;
        std::u16string sData;  // strings with their terminators; DWORDs as two code units
    } expected[] = {
        {u"Type", REG_DWORD, std::u16string(u"\x0010\0", 2)},
        {u"Start", REG_DWORD, std::u16string(u"\x0002\0", 2)},
        {u"ErrorControl", REG_DWORD, std::u16string(u"\x0001\0", 2)},
        {u"ImagePath", REG_EXPAND_SZ,
         std::u16string(u"C:\\Program Files\\Quillon\\KRELL\\KRELLSvc.exe\0", 44)},
        {u"DisplayName", REG_SZ, std::u16string(u"KRELL Service\0", 14)},
        {u"DependOnService", REG_MULTI_SZ, std::u16string(u"RPCSS\0Other\0\0", 13)},
        {u"ObjectName", REG_SZ, std::u16string(u"LocalSystem\0", 12)},
    };
    for (const auto& value : expected) {
        DWORD dwType = REG_NONE;
        const std::vector<BYTE> data = RawValue(szKey, value.szValue, &dwType);
        EXPECT_EQ(dwType, value.dwType) << ToUtf8(value.szValue);
        EXPECT_EQ(AsString(data), value.sData) << ToUtf8(value.szValue);
    }

    // The description: set, read back, and removed by an empty text.
    char16_t szText[] = u"Protects resources";
    SERVICE_DESCRIPTION description{szText};
    ASSERT_TRUE(ChangeServiceConfig2(hService.get(), SERVICE_CONFIG_DESCRIPTION, &description));
    scm::ServiceEntry entry;
    ASSERT_TRUE(scm::QueryService(u"krellsvc", &entry));
    EXPECT_EQ(entry.sName, u"KRELLSvc");
    EXPECT_EQ(entry.sDescription, u"Protects resources");
    EXPECT_EQ(entry.dependencies, (std::vector<std::u16string>{u"RPCSS", u"Other"}));
    EXPECT_EQ(entry.status.dwCurrentState, SERVICE_STOPPED);
    char16_t szEmpty[] = u"";
    description.lpDescription = szEmpty;
    ASSERT_TRUE(ChangeServiceConfig2(hService.get(), SERVICE_CONFIG_DESCRIPTION, &description));
    DWORD dwType = REG_NONE;
    EXPECT_TRUE(RawValue(szKey, u"Description", &dwType).empty());

    // A driver entry has no account.
    ScHandle hDriver(
        Create(u"KRELLDrv", u"C:\\Program Files\\Quillon\\KRELL\\KRELLDrv.sys", SERVICE_KERNEL_DRIVER));
    ASSERT_TRUE(hDriver);
    EXPECT_TRUE(RawValue(u"SYSTEM\\CurrentControlSet\\Services\\KRELLDrv", u"ObjectName", &dwType).empty());

    // Deleting a stopped service removes its entry at once.
    ASSERT_TRUE(DeleteService(hService.get()));
    EXPECT_EQ(ScHandle(OpenService(m_hManager, u"KRELLSvc", SERVICE_ALL_ACCESS)).get(), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    HKEY hKey = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, szKey, 0, KEY_READ, &hKey),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
