// The event log over the platform's own: a source opens only once installed, a record carries the SID
// given as text, and what was reported can be read back from the Application log.
#include "platform/event_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/format.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/win32/win32_api.h"

namespace {

constexpr const char16_t* SOURCE = u"KRELLEventLogTest";
const std::u16string SOURCE_KEY =
    std::u16string(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + SOURCE;

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override { platform::RegDeleteTree(HKEY_LOCAL_MACHINE, SOURCE_KEY.c_str()); }
    void TearDown() override { platform::RegDeleteTree(HKEY_LOCAL_MACHINE, SOURCE_KEY.c_str()); }

    static void Install() {
        HKEY hKey = nullptr;
        ASSERT_EQ(
            platform::RegCreateKeyEx(HKEY_LOCAL_MACHINE, SOURCE_KEY.c_str(), 0, KEY_WRITE, &hKey, nullptr),
            0);
        platform::RegCloseKey(hKey);
    }
};

TEST_F(EventLogTest, OpensOnlyAnInstalledSource) {
    struct Case {
        const char16_t* szSource;
        DWORD dwError;
    };
    for (const Case& row : {Case{SOURCE, ERROR_FILE_NOT_FOUND}, Case{u"", ERROR_INVALID_PARAMETER},
                            Case{nullptr, ERROR_INVALID_PARAMETER}}) {
        platform::SetLastError(0);
        EXPECT_EQ(platform::RegisterEventSource(nullptr, row.szSource), nullptr);
        EXPECT_EQ(platform::GetLastError(), row.dwError);
    }
    Install();
    const HANDLE hSource = platform::RegisterEventSource(nullptr, SOURCE);
    ASSERT_NE(hSource, nullptr) << platform::GetLastError();
    EXPECT_TRUE(platform::DeregisterEventSource(hSource));
}

TEST_F(EventLogTest, ReportsWithTheSidGivenAsText) {
    Install();
    const HANDLE hSource = platform::RegisterEventSource(nullptr, SOURCE);
    ASSERT_NE(hSource, nullptr);
    const char16_t* strings[] = {u"KRELLSvc 1.0 Type Library", u"second"};
    EXPECT_TRUE(platform::ReportEvent(hSource, platform::EVENTLOG_INFORMATION_TYPE, 0, 0x40000020,
                                      u"S-1-5-18", 2, 0, strings, nullptr));
    EXPECT_TRUE(platform::ReportEvent(hSource, platform::EVENTLOG_ERROR_TYPE, 3, 0xC0000021, nullptr, 1, 0,
                                      strings, nullptr));
    platform::SetLastError(0);
    EXPECT_FALSE(platform::ReportEvent(hSource, platform::EVENTLOG_ERROR_TYPE, 0, 0xC0000021, u"S-1-5-x", 1,
                                       0, strings, nullptr));
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_SID);
    EXPECT_TRUE(platform::DeregisterEventSource(hSource));
}

// The fixed part of a record as the platform stores it; the source name follows it.
struct EventLogRecord {
    DWORD Length;
    DWORD Reserved;
    DWORD RecordNumber;
    DWORD TimeGenerated;
    DWORD TimeWritten;
    DWORD EventID;
    WORD EventType;
    WORD NumStrings;
    WORD EventCategory;
    WORD ReservedFlags;
    DWORD ClosingRecordNumber;
    DWORD StringOffset;
    DWORD UserSidLength;
    DWORD UserSidOffset;
    DWORD DataLength;
    DWORD DataOffset;
};

TEST_F(EventLogTest, ReadsTheRecordBack) {
    Install();
    const HANDLE hSource = platform::RegisterEventSource(nullptr, SOURCE);
    ASSERT_NE(hSource, nullptr);
    // A text no earlier run wrote.
    const std::u16string sText =
        platform::Format(u"read back %u-%u", platform::GetCurrentProcessId(), platform::GetTickCount());
    const char16_t* strings[] = {sText.c_str()};
    ASSERT_TRUE(platform::ReportEvent(hSource, platform::EVENTLOG_WARNING_TYPE, 7, 0x80000022,
                                      u"S-1-5-32-544", 1, 0, strings, nullptr));
    platform::DeregisterEventSource(hSource);

    const HANDLE hLog = win32::OpenEventLogW(nullptr, L"Application");
    ASSERT_NE(hLog, nullptr) << platform::GetLastError();
    std::vector<BYTE> buffer(0x10000);
    bool bFound = false;
    DWORD cbRead = 0;
    DWORD cbNeeded = 0;
    while (!bFound &&
           win32::ReadEventLogW(hLog, win32::EVENTLOG_SEQUENTIAL_READ | win32::EVENTLOG_BACKWARDS_READ, 0,
                                buffer.data(), static_cast<DWORD>(buffer.size()), &cbRead, &cbNeeded)) {
        for (DWORD cbAt = 0; cbAt + sizeof(EventLogRecord) <= cbRead && !bFound;) {
            EventLogRecord record;
            std::memcpy(&record, buffer.data() + cbAt, sizeof(record));
            const auto* szSource = reinterpret_cast<const char16_t*>(buffer.data() + cbAt + sizeof(record));
            const auto* szFirst =
                reinterpret_cast<const char16_t*>(buffer.data() + cbAt + record.StringOffset);
            if (std::u16string(szSource) == SOURCE && record.NumStrings == 1 && sText == szFirst) {
                bFound = true;
                EXPECT_EQ(record.EventID, 0x80000022u);
                EXPECT_EQ(record.EventType, platform::EVENTLOG_WARNING_TYPE);
                EXPECT_EQ(record.EventCategory, 7);
                std::u16string sSid;
                ASSERT_TRUE(
                    platform::ConvertSidToStringSid(buffer.data() + cbAt + record.UserSidOffset, &sSid));
                EXPECT_EQ(sSid, u"S-1-5-32-544");
            }
            cbAt += record.Length != 0 ? record.Length : cbRead;
        }
    }
    const DWORD dwError = platform::GetLastError();
    win32::CloseEventLog(hLog);
    EXPECT_TRUE(bFound) << "ReadEventLogW ended with " << dwError;
}

}  // namespace
