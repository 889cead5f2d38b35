// The seam's directory change notification: the records a read returns for each kind of change,
// their layout when several arrive together, the refusals, and a folder that goes away.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/dir_watch.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/types.h"

namespace {

constexpr const char16_t* FOLDER = u"C:\\DirWatch";
constexpr DWORD ALL = platform::FILE_NOTIFY_CHANGE_FILE_NAME | platform::FILE_NOTIFY_CHANGE_DIR_NAME |
                      platform::FILE_NOTIFY_CHANGE_LAST_WRITE;

struct Record {
    DWORD dwAction;
    std::string sName;
    bool operator==(const Record&) const = default;
};

class DirWatch : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(platform::MapPath(FOLDER, &m_sHost));
        std::filesystem::remove_all(m_sHost);
        std::filesystem::create_directories(m_sHost);
        m_hEvent = platform::CreateEvent(false, false, nullptr);
    }
    void TearDown() override {
        if (m_hDir != INVALID_HANDLE_VALUE) {
            platform::CloseHandle(m_hDir);
        }
        platform::CloseHandle(m_hEvent);
        std::filesystem::remove_all(m_sHost);
    }
    void Open(bool bExpectOpen = true) {
        m_hDir = platform::CreateFile(FOLDER, platform::FILE_LIST_DIRECTORY, 7, platform::OPEN_EXISTING,
                                      platform::FILE_FLAG_BACKUP_SEMANTICS | platform::FILE_FLAG_OVERLAPPED);
        ASSERT_EQ(m_hDir != INVALID_HANDLE_VALUE, bExpectOpen);
    }
    bool Start(DWORD cbBuffer, DWORD dwFilter = ALL, bool bSubtree = true) {
        m_Buffer.assign(cbBuffer, 0xEE);
        m_Overlapped = {};
        m_Overlapped.hEvent = m_hEvent;
        return platform::ReadDirectoryChanges(m_hDir, m_Buffer.data(), cbBuffer, bSubtree, dwFilter, nullptr,
                                              &m_Overlapped);
    }
    // The records of the completed read; false when it did not complete in time.
    bool Finish(std::vector<Record>* pRecords, DWORD* pcbBytes = nullptr, DWORD dwTimeoutMs = 2000) {
        if (platform::WaitForSingleObject(m_hEvent, dwTimeoutMs) != WAIT_OBJECT_0) {
            return false;
        }
        DWORD cbBytes = 0;
        platform::GetOverlappedResult(m_hDir, &m_Overlapped, &cbBytes, false);
        if (pcbBytes != nullptr) {
            *pcbBytes = cbBytes;
        }
        pRecords->clear();
        for (DWORD dwOffset = 0; cbBytes != 0;) {
            platform::FILE_NOTIFY_INFORMATION info;
            std::memcpy(&info, m_Buffer.data() + dwOffset, 12);
            std::u16string sName(info.FileNameLength / 2, u'\0');
            std::memcpy(sName.data(), m_Buffer.data() + dwOffset + 12, info.FileNameLength);
            pRecords->push_back({info.Action, platform::ToUtf8(sName)});
            if (info.NextEntryOffset == 0) {
                break;
            }
            EXPECT_EQ(info.NextEntryOffset % 4, 0u);
            dwOffset += info.NextEntryOffset;
        }
        return true;
    }
    // Reads until a quiet half second, all records in order.
    std::vector<Record> ReadAll(DWORD cbBuffer = 4096) {
        std::vector<Record> all;
        for (;;) {
            EXPECT_TRUE(Start(cbBuffer));
            std::vector<Record> some;
            if (!Finish(&some, nullptr, 500)) {
                platform::CloseHandle(m_hDir);  // cancels the read before the buffer goes
                m_hDir = INVALID_HANDLE_VALUE;
                return all;
            }
            all.insert(all.end(), some.begin(), some.end());
        }
    }
    void Write(const std::string& sName, const std::string& sText = "x") {
        std::ofstream(m_sHost + "/" + sName) << sText;
    }

    std::string m_sHost;
    HANDLE m_hDir = INVALID_HANDLE_VALUE;
    HANDLE m_hEvent = nullptr;
    std::vector<BYTE> m_Buffer;
    platform::OVERLAPPED m_Overlapped{};
};

TEST_F(DirWatch, EachChangeAndItsRecords) {
    Open();
    ASSERT_TRUE(Start(4096));  // changes are recorded from the first read on
    Write("a.gwm");
    std::vector<Record> first;
    ASSERT_TRUE(Finish(&first));
    std::vector<Record> records = first;
    const std::vector<Record> rest = ReadAll();
    records.insert(records.end(), rest.begin(), rest.end());
    EXPECT_EQ(records, (std::vector<Record>{{platform::FILE_ACTION_ADDED, "a.gwm"},
                                            {platform::FILE_ACTION_MODIFIED, "a.gwm"}}));

    Open();
    ASSERT_TRUE(Start(4096));
    std::filesystem::rename(m_sHost + "/a.gwm", m_sHost + "/b.gwm");
    std::filesystem::create_directories(m_sHost + "/sub");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Write("sub/c.txt", "");
    { std::ofstream(m_sHost + "/../outside.tmp") << "y"; }
    std::filesystem::rename(m_sHost + "/../outside.tmp", m_sHost + "/moved.gwm");
    std::filesystem::remove(m_sHost + "/b.gwm");
    ASSERT_TRUE(Finish(&records));
    const std::vector<Record> more = ReadAll();
    records.insert(records.end(), more.begin(), more.end());
    EXPECT_EQ(records, (std::vector<Record>{{platform::FILE_ACTION_RENAMED_OLD_NAME, "a.gwm"},
                                            {platform::FILE_ACTION_RENAMED_NEW_NAME, "b.gwm"},
                                            {platform::FILE_ACTION_ADDED, "sub"},
                                            {platform::FILE_ACTION_ADDED, "sub\\c.txt"},
                                            {platform::FILE_ACTION_ADDED, "moved.gwm"},
                                            {platform::FILE_ACTION_REMOVED, "b.gwm"}}));
}

TEST_F(DirWatch, FiltersSubtreeAndBufferSize) {
    std::filesystem::create_directories(m_sHost + "/deep");
    struct Case {
        const char* szName;
        DWORD dwFilter;
        bool bSubtree;
        DWORD cbBuffer;
        std::vector<Record> expected;
    };
    const std::string sLong(100, 'n');  // 12 + 200 bytes: fits 276, not 64
    const Case cases[] = {
        {"names only",
         platform::FILE_NOTIFY_CHANGE_FILE_NAME,
         true,
         4096,
         {{platform::FILE_ACTION_ADDED, "f.txt"}, {platform::FILE_ACTION_ADDED, "deep\\g.txt"}}},
        {"not the sub-tree",
         ALL,
         false,
         4096,
         {{platform::FILE_ACTION_ADDED, "f.txt"}, {platform::FILE_ACTION_MODIFIED, "f.txt"}}},
        {"writes only",
         platform::FILE_NOTIFY_CHANGE_LAST_WRITE,
         true,
         4096,
         {{platform::FILE_ACTION_MODIFIED, "f.txt"}, {platform::FILE_ACTION_MODIFIED, "deep\\g.txt"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        std::filesystem::remove(m_sHost + "/f.txt");
        std::filesystem::remove(m_sHost + "/deep/g.txt");
        Open();
        ASSERT_TRUE(Start(c.cbBuffer, c.dwFilter, c.bSubtree));
        Write("f.txt");
        Write("deep/g.txt");
        std::vector<Record> records;
        ASSERT_TRUE(Finish(&records));
        for (;;) {
            std::vector<Record> some;
            ASSERT_TRUE(Start(c.cbBuffer, c.dwFilter, c.bSubtree));
            if (!Finish(&some, nullptr, 500)) {
                break;
            }
            records.insert(records.end(), some.begin(), some.end());
        }
        platform::CloseHandle(m_hDir);
        m_hDir = INVALID_HANDLE_VALUE;
        EXPECT_EQ(records, c.expected);
    }

    // A name that does not fit the read completes it with nothing.
    Open();
    ASSERT_TRUE(Start(64, platform::FILE_NOTIFY_CHANGE_FILE_NAME));
    Write(sLong);
    std::vector<Record> records;
    DWORD cbBytes = 99;
    ASSERT_TRUE(Finish(&records, &cbBytes));
    EXPECT_EQ(cbBytes, 0u);
}

TEST_F(DirWatch, RefusalsAndAFolderThatGoesAway) {
    Open();
    platform::OVERLAPPED overlapped{};
    BYTE buffer[64];
    EXPECT_FALSE(
        platform::ReadDirectoryChanges(m_hDir, buffer, sizeof(buffer), true, 0, nullptr, &overlapped));
    EXPECT_FALSE(platform::ReadDirectoryChanges(m_hDir, buffer, sizeof(buffer), true, ALL, nullptr, nullptr));
    ASSERT_TRUE(Start(4096));
    EXPECT_FALSE(Start(4096)) << "a second read while one is pending";

    std::filesystem::remove_all(m_sHost);
    std::vector<Record> records;
    // The removal's own records come first; then the read fails for good.
    bool bFailed = false;
    for (int i = 0; i < 10 && !bFailed; ++i) {
        ASSERT_TRUE(Finish(&records));
        if (m_Overlapped.Internal == ERROR_ACCESS_DENIED) {
            bFailed = true;
        } else {
            bFailed = !Start(4096);
        }
    }
    EXPECT_TRUE(bFailed);
    EXPECT_FALSE(Start(4096));

    platform::CloseHandle(m_hDir);
    m_hDir = INVALID_HANDLE_VALUE;
    Open(false);
}

}  // namespace
