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

TEST_F(ScmDatabaseTest, CallsFailWithThePlatformsCodes) {
    ScHandle hExisting(Create(u"Existing", ServiceImage("1 0"), SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, nullptr, u"Existing Display"));
    ASSERT_TRUE(hExisting);
    ScHandle hDisabled(Create(u"Disabled", ServiceImage("1 0"), SERVICE_WIN32_OWN_PROCESS, SERVICE_DISABLED));
    ScHandle hNoImage(Create(u"NoImage", u"C:\\svc\\missing.exe -x"));
    ScHandle hReadOnly(OpenService(m_hManager, u"Existing", GENERIC_READ));
    ScHandle hConnectOnly(OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle hClosed(OpenService(m_hManager, u"Existing", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(hDisabled && hNoImage && hReadOnly && hConnectOnly && hClosed);
    const SC_HANDLE hStale = hClosed.get();
    ASSERT_TRUE(CloseServiceHandle(hStale));
    SC_HANDLE const hInvented = reinterpret_cast<SC_HANDLE>(std::uintptr_t{0x1234});
    SERVICE_STATUS status{};
    SERVICE_DESCRIPTION description{nullptr};

    const struct {
        const char* szCase;
        std::function<bool()> call;  // true when the call succeeded
        DWORD dwError;
    } cases[] = {
        {"database other than ServicesActive",
         [] {
             return ScHandle(OpenSCManager(nullptr, u"ServicesFailed", SC_MANAGER_CONNECT)).get() != nullptr;
         },
         ERROR_DATABASE_DOES_NOT_EXIST},
        {"open a missing service",
         [&] { return ScHandle(OpenService(m_hManager, u"Missing", SERVICE_ALL_ACCESS)).get() != nullptr; },
         ERROR_SERVICE_DOES_NOT_EXIST},
        {"create an existing service (other case)",
         [&] { return ScHandle(Create(u"EXISTING", ServiceImage("1 0"))).get() != nullptr; },
         ERROR_SERVICE_EXISTS},
        {"display name of another service",
         [&] {
             return ScHandle(Create(u"Another", ServiceImage("1 0"), SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, nullptr, u"existing display"))
                        .get() != nullptr;
         },
         ERROR_DUPLICATE_SERVICE_NAME},
        {"name with a backslash",
         [&] { return ScHandle(Create(u"a\\b", ServiceImage("1 0"))).get() != nullptr; }, ERROR_INVALID_NAME},
        {"empty name", [&] { return ScHandle(Create(u"", ServiceImage("1 0"))).get() != nullptr; },
         ERROR_INVALID_NAME},
        {"unknown service type",
         [&] { return ScHandle(Create(u"BadType", ServiceImage("1 0"), 0x40)).get() != nullptr; },
         ERROR_INVALID_PARAMETER},
        {"boot start for an own-process service",
         [&] {
             return ScHandle(Create(u"BadStart", ServiceImage("1 0"), SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_BOOT_START))
                        .get() != nullptr;
         },
         ERROR_INVALID_PARAMETER},
        {"create without SC_MANAGER_CREATE_SERVICE",
         [&] {
             return ScHandle(CreateService(hConnectOnly.get(), u"NoRight", nullptr, SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                           SERVICE_ERROR_NORMAL, u"C:\\x.exe", nullptr, nullptr, nullptr,
                                           nullptr, nullptr))
                        .get() != nullptr;
         },
         ERROR_ACCESS_DENIED},
        {"start with a read-only handle", [&] { return StartService(hReadOnly.get(), 0, nullptr); },
         ERROR_ACCESS_DENIED},
        {"delete with a read-only handle", [&] { return DeleteService(hReadOnly.get()); },
         ERROR_ACCESS_DENIED},
        {"start a disabled service", [&] { return StartService(hDisabled.get(), 0, nullptr); },
         ERROR_SERVICE_DISABLED},
        {"start with a missing image", [&] { return StartService(hNoImage.get(), 0, nullptr); },
         ERROR_FILE_NOT_FOUND},
        {"stop a stopped service",
         [&] { return ControlService(hExisting.get(), SERVICE_CONTROL_STOP, &status); },
         ERROR_SERVICE_NOT_ACTIVE},
        {"a control code nobody may send", [&] { return ControlService(hExisting.get(), 60, &status); },
         ERROR_INVALID_PARAMETER},
        {"unknown configuration level",
         [&] { return ChangeServiceConfig2(hExisting.get(), 99, &description); }, ERROR_INVALID_LEVEL},
        {"query through a closed handle", [&] { return QueryServiceStatus(hStale, &status); },
         ERROR_INVALID_HANDLE},
        {"close a closed handle", [&] { return CloseServiceHandle(hStale); }, ERROR_INVALID_HANDLE},
        {"query through an invented handle", [&] { return QueryServiceStatus(hInvented, &status); },
         ERROR_INVALID_HANDLE},
        {"manager handle used as a service", [&] { return StartService(m_hManager, 0, nullptr); },
         ERROR_INVALID_HANDLE},
        {"service handle used as the manager",
         [&] {
             return ScHandle(OpenService(hExisting.get(), u"Existing", SERVICE_ALL_ACCESS)).get() != nullptr;
         },
         ERROR_INVALID_HANDLE},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.szCase;
        EXPECT_EQ(GetLastError(), c.dwError) << c.szCase;
    }
    // None of the refused calls changed the database.
    std::vector<scm::ServiceEntry> services;
    ASSERT_TRUE(scm::ListServices(&services));
    ASSERT_EQ(services.size(), 3u);
    EXPECT_EQ(services[0].sName, u"Disabled");
    EXPECT_EQ(services[1].sName, u"Existing");
    EXPECT_EQ(services[2].sName, u"NoImage");
}

TEST_F(ScmDatabaseTest, GenericRightsMapToServiceRights) {
    ScHandle hService(Create(u"Rights", ServiceImage("1 0")));
    ASSERT_TRUE(hService);
    SERVICE_STATUS status{};
    const struct {
        DWORD dwAccess;
        bool bMayQuery;
        bool bMayStop;
    } cases[] = {
        {GENERIC_READ, true, false},
        {GENERIC_EXECUTE, false, true},
        {SERVICE_QUERY_STATUS, true, false},
        {GENERIC_ALL, true, true},
    };
    for (const auto& c : cases) {
        ScHandle h(OpenService(m_hManager, u"Rights", c.dwAccess));
        ASSERT_TRUE(h);
        EXPECT_EQ(QueryServiceStatus(h.get(), &status), c.bMayQuery) << std::hex << c.dwAccess;
        // A permitted stop of a stopped service fails for its state, a forbidden one for the right.
        EXPECT_FALSE(ControlService(h.get(), SERVICE_CONTROL_STOP, &status));
        EXPECT_EQ(GetLastError(), c.bMayStop ? ERROR_SERVICE_NOT_ACTIVE : ERROR_ACCESS_DENIED)
            << std::hex << c.dwAccess;
    }
}

}  // namespace
