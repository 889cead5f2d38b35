#include "service/event_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/event_log.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "service/registry_key.h"

namespace {

const std::u16string SOURCE_KEY = std::u16string(CEventLog::APPLICATION_KEY) + u"KRELLSvc";

std::string EventLogText() {
    std::ifstream in(platform::RootDirectory() + "/eventlog/Application.log");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(CEventLog, RegisterWritesTheSourceKeyAnew) {
    CEventLog log;
    {
        CRegistryKey stale;
        ASSERT_TRUE(stale.Create(HKEY_LOCAL_MACHINE, (SOURCE_KEY + u"\\Stale").c_str()));
    }
    ASSERT_TRUE(log.Register(u"KRELLSvc", u"C:\\Program Files\\Quillon\\KRELL\\KRELLSvc.exe", 31));
    CRegistryKey reg;
    ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, SOURCE_KEY.c_str()));
    DWORD dwTypes = 0;
    ASSERT_TRUE(reg.GetDword(u"TypesSupported", &dwTypes));
    EXPECT_EQ(dwTypes, 31u);
    std::u16string sFile;
    ASSERT_TRUE(reg.GetString(u"EventMessageFile", &sFile));
    EXPECT_EQ(sFile, u"C:\\Program Files\\Quillon\\KRELL\\KRELLSvc.exe");
    DWORD dwType = 0;
    ASSERT_EQ(platform::RegQueryValueEx(reg.Handle(), u"EventMessageFile", &dwType, nullptr, nullptr), 0);
    EXPECT_EQ(dwType, static_cast<DWORD>(REG_EXPAND_SZ));
    CRegistryKey stale;
    EXPECT_FALSE(
        stale.Open(HKEY_LOCAL_MACHINE, (SOURCE_KEY + u"\\Stale").c_str()));  // deleted with the old key

    // Without a message file the executable itself is the message file.
    ASSERT_TRUE(log.Register(u"KRELLSvc", nullptr, 31));
    ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, SOURCE_KEY.c_str()));
    ASSERT_TRUE(reg.GetString(u"EventMessageFile", &sFile));
    EXPECT_TRUE(sFile.ends_with(u"krell_service_tests"));

    ASSERT_TRUE(log.Unregister(u"KRELLSvc"));
    EXPECT_FALSE(reg.Open(HKEY_LOCAL_MACHINE, SOURCE_KEY.c_str()));
    EXPECT_TRUE(log.Unregister(u"KRELLSvc"));  // already gone counts as done
}

TEST(CEventLog, RecordsCarryTypeIdSidAndFirstString) {
    CEventLog log;
    const char16_t* strings[] = {u"KRELLSvc 1.0 Type Library"};
    EXPECT_FALSE(log.Log(4, 0x40000020, strings, 1));  // not open
    EXPECT_FALSE(log.Open(u"KRELLSvc"));               // not registered
    ASSERT_TRUE(log.Register(u"KRELLSvc", nullptr, 31));
    ASSERT_TRUE(log.Open(u"KRELLSvc"));
    ASSERT_TRUE(log.Log(platform::EVENTLOG_INFORMATION_TYPE, 0x40000020, strings, 1));
    ASSERT_TRUE(
        log.Log(platform::EVENTLOG_ERROR_TYPE, 0x40000021, strings, 1, 0, nullptr, 0, u"S-1-5-32-544"));
    const std::string sText = EventLogText();
    EXPECT_NE(sText.find("\tInformation\tKRELLSvc\t0x40000020\t0\tS-1-"), std::string::npos) << sText;
    EXPECT_NE(sText.find("\tError\tKRELLSvc\t0x40000021\t0\tS-1-5-32-544\tKRELLSvc 1.0 Type Library\n"),
              std::string::npos)
        << sText;
}

}  // namespace
