// The chunk transport and the message channel against the stand-in driver.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "channel/message_channel.h"
#include "channel_harness.h"
#include "platform/file.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "support/sanitizers.h"

namespace {

using krelltest::CDebugLog;
using krelltest::CDriverProcess;

struct MessageDeleter {
    void operator()(CKTUMessage* pMsg) const { CKTUMessageChannel::DestroyKTMessage(pMsg); }
};
using MessagePtr = std::unique_ptr<CKTUMessage, MessageDeleter>;

// A second connection to the device, negotiated for 64-byte chunks: the chunk channel's handle is
// private, this one shows the seam's own behaviour. INVALID_HANDLE_VALUE when either step fails.
HANDLE OpenNegotiatedDevice() {
    const HANDLE hDevice = platform::CreateFile(KTU_CHANNEL_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0,
                                                platform::OPEN_EXISTING, platform::FILE_FLAG_OVERLAPPED);
    if (hDevice == INVALID_HANDLE_VALUE) {
        return hDevice;
    }
    const DWORD request[2] = {1, 64};
    DWORD reply[2] = {};
    DWORD dwReturned = 0;
    if (!platform::DeviceIoControl(hDevice, IOCTL_KTDRV_NEGOTIATE, request, 8, reply, 8, &dwReturned,
                                   nullptr) ||
        dwReturned != 8 || reply[1] != 64) {
        platform::CloseHandle(hDevice);
        return INVALID_HANDLE_VALUE;
    }
    return hDevice;
}

TEST(Device, MissingServerIsFileNotFound) {
    const HANDLE hDevice = platform::CreateFile(KTU_CHANNEL_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0,
                                                platform::OPEN_EXISTING, platform::FILE_FLAG_OVERLAPPED);
    EXPECT_EQ(hDevice, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::GetLastError(), ERROR_FILE_NOT_FOUND);
    {
        CDriverProcess driver;  // after it ends the socket file is gone, and a killed one's is stale
        EXPECT_EQ(driver.Stop(), 0);
    }
    EXPECT_FALSE(krelltest::FileExists(u"\\\\.\\KTDRVCHANNEL"));
    CKTUChunkChannel channel(KTU_CHANNEL_DEVICE_NAME);
    DWORD dwChunkSize = 99;
    EXPECT_EQ(channel.Open(8096, &dwChunkSize), KTU_CHUNK_FAILURE);
    EXPECT_EQ(dwChunkSize, 0u);
}

TEST(Device, OverlappedReadPendsAndCompletesNoWaitReportsIncomplete) {
    CDriverProcess driver;
    CKTUChunkChannel channel(KTU_CHANNEL_DEVICE_NAME);
    DWORD dwChunkSize = 0;
    ASSERT_EQ(channel.Open(8096, &dwChunkSize), KTU_CHUNK_SUCCESS);
    const HANDLE hDevice = OpenNegotiatedDevice();
    ASSERT_NE(hDevice, INVALID_HANDLE_VALUE);
    std::vector<BYTE> buffer(64);
    platform::OVERLAPPED overlapped{};
    overlapped.hEvent = platform::CreateEvent(true, true, nullptr);
    DWORD dwRead = 0;
    EXPECT_FALSE(platform::ReadFile(hDevice, buffer.data(), 64, &dwRead, &overlapped));
    EXPECT_EQ(platform::GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(platform::WaitForSingleObject(overlapped.hEvent, 0), WAIT_TIMEOUT) << "reset at the start";
    EXPECT_FALSE(platform::GetOverlappedResult(hDevice, &overlapped, &dwRead, false));
    EXPECT_EQ(platform::GetLastError(), ERROR_IO_INCOMPLETE);
    ASSERT_EQ(driver.Command("raw 01020304 size=64"), "ok");
    EXPECT_EQ(platform::WaitForSingleObject(overlapped.hEvent, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(platform::GetOverlappedResult(hDevice, &overlapped, &dwRead, false));
    EXPECT_EQ(dwRead, 64u);
    EXPECT_EQ(buffer[3], 4);
    // A packet larger than the read is refused, not cut.
    ASSERT_EQ(driver.Command("raw 05 size=65"), "ok");
    EXPECT_FALSE(platform::ReadFile(hDevice, buffer.data(), 64, &dwRead, nullptr));
    EXPECT_EQ(platform::GetLastError(), ERROR_MORE_DATA);
    platform::CloseHandle(overlapped.hEvent);
    platform::CloseHandle(hDevice);
    EXPECT_EQ(channel.Close(), KTU_CHUNK_SUCCESS);
    EXPECT_EQ(channel.Close(), KTU_CHUNK_NOT_OPEN);
}

// A thread ended by force after its read was started but before it waited for it: the read ends with
// the thread, aborted, and the next packet goes to the next reader.
TEST(Device, ReadOfAThreadEndedByForceEndsWithIt) {
    // Under ThreadSanitizer the forced end of this thread sometimes never takes effect (the thread
    // still runs 20 s later); the cause is not found yet, so the other builds prove this case.
    if (THREAD_SANITIZER) {
        GTEST_SKIP() << "the forced end sometimes never takes effect under ThreadSanitizer";
    }
    CDriverProcess driver;
    CKTUChunkChannel channel(KTU_CHANNEL_DEVICE_NAME);
    DWORD dwChunkSize = 0;
    ASSERT_EQ(channel.Open(8096, &dwChunkSize), KTU_CHUNK_SUCCESS);
    const HANDLE hDevice = OpenNegotiatedDevice();
    ASSERT_NE(hDevice, INVALID_HANDLE_VALUE);
    // The dead thread's read lives here, so that what the device does with it after the end shows.
    struct CDeadRead {
        HANDLE hDevice;
        std::vector<BYTE> buffer = std::vector<BYTE>(64);
        platform::OVERLAPPED overlapped{};
        HANDLE hIssued = platform::CreateEvent(true, false, nullptr);
    } dead{hDevice};
    const HANDLE hThread = platform::CreateThread(
        0,
        [](void* pv) -> DWORD {
            auto* pRead = static_cast<CDeadRead*>(pv);
            DWORD dwRead = 0;
            platform::ReadFile(pRead->hDevice, pRead->buffer.data(), 64, &dwRead, &pRead->overlapped);
            platform::SetEvent(pRead->hIssued);
            platform::Sleep(INFINITE);
            return 0;
        },
        &dead, 0, nullptr);
    ASSERT_NE(hThread, nullptr);
    ASSERT_EQ(platform::WaitForSingleObject(dead.hIssued, 20000), WAIT_OBJECT_0);
    ASSERT_TRUE(platform::TerminateThread(hThread, 1));
    ASSERT_EQ(platform::WaitForSingleObject(hThread, 20000), WAIT_OBJECT_0);
    platform::CloseHandle(hThread);
    EXPECT_EQ(dead.overlapped.Internal, ERROR_OPERATION_ABORTED);

    ASSERT_EQ(driver.Command("raw 01020304 size=64"), "ok");
    std::vector<BYTE> buffer(64);
    platform::OVERLAPPED overlapped{};
    overlapped.hEvent = platform::CreateEvent(true, false, nullptr);
    DWORD dwRead = 0;
    if (!platform::ReadFile(hDevice, buffer.data(), 64, &dwRead, &overlapped)) {
        ASSERT_EQ(platform::GetLastError(), ERROR_IO_PENDING);
        EXPECT_EQ(platform::WaitForSingleObject(overlapped.hEvent, 20000), WAIT_OBJECT_0);
        EXPECT_TRUE(platform::GetOverlappedResult(hDevice, &overlapped, &dwRead, false));
    }
    EXPECT_EQ(dwRead, 64u);
    EXPECT_EQ(buffer[3], 4);
    EXPECT_EQ(dead.buffer[3], 0);
    platform::CloseHandle(overlapped.hEvent);
    platform::CloseHandle(dead.hIssued);
    platform::CloseHandle(hDevice);
    EXPECT_EQ(channel.Close(), KTU_CHUNK_SUCCESS);
}

// A driver that hangs up costs nothing: the device stops watching a socket that can say no more.
TEST(Device, PeerThatHangsUpLeavesNothingSpinning) {
    CDriverProcess driver;
    CKTUChunkChannel channel(KTU_CHANNEL_DEVICE_NAME);
    DWORD dwChunkSize = 0;
    ASSERT_EQ(channel.Open(8096, &dwChunkSize), KTU_CHUNK_SUCCESS);
    std::unique_ptr<CKTUChunk> pChunk(channel.MakeEmptyChunk());
    DWORD dwResult = 99;
    // A read that waits, so that the device's worker runs, completed by a chunk from the driver.
    std::thread reader([&] { dwResult = channel.WaitForChunk(pChunk.get()); });
    platform::Sleep(100);
    ASSERT_EQ(driver.Command("raw 70626167 size=8096"), "ok");
    reader.join();
    EXPECT_EQ(dwResult, KTU_CHUNK_SUCCESS);
    ASSERT_TRUE(driver.Command("close").starts_with("ok"));
    EXPECT_EQ(channel.WaitForChunk(pChunk.get()), KTU_CHUNK_FAILURE);

    const auto cpuMs = [] {
        timespec time{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
        return time.tv_sec * 1000 + time.tv_nsec / 1000000;
    };
    const auto msBefore = cpuMs();
    platform::Sleep(1000);
    EXPECT_LT(cpuMs() - msBefore, 150) << "processor time used in a second of waiting for nothing";
    EXPECT_EQ(channel.WaitForChunk(pChunk.get()), KTU_CHUNK_FAILURE);
    EXPECT_EQ(channel.Close(), KTU_CHUNK_SUCCESS);
}

TEST(ChunkChannel, NegotiationAnswers) {
    struct Case {
        const char* szAnswer;
        DWORD dwExpected;
        DWORD dwOut;
    } cases[] = {
        {"negotiate version=1 chunk=0 short=0", KTU_CHUNK_SUCCESS, 8096},
        {"negotiate chunk=4096", KTU_CHUNK_SIZE_MISMATCH, 4096},
        {"negotiate chunk=0 version=2", KTU_CHUNK_VERSION_MISMATCH, 0},
        {"negotiate version=1 short=1", KTU_CHUNK_FAILURE, 0},
    };
    CDriverProcess driver;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szAnswer);
        ASSERT_EQ(driver.Command(c.szAnswer), "ok");
        CKTUChunkChannel channel(KTU_CHANNEL_DEVICE_NAME);
        DWORD dwChunkSize = 1;
        EXPECT_EQ(channel.Open(8096, &dwChunkSize), c.dwExpected);
        EXPECT_EQ(dwChunkSize, c.dwOut);
        if (c.dwExpected == KTU_CHUNK_SUCCESS) {
            EXPECT_EQ(channel.Open(8096, &dwChunkSize), KTU_CHUNK_ALREADY_OPEN);
            EXPECT_TRUE(driver.WaitForStatus("connections", 1)) << "the first handle still works";
            std::unique_ptr<CKTUChunk> pChunk(channel.MakeEmptyChunk());
            ASSERT_NE(pChunk, nullptr);
            EXPECT_EQ(channel.SendChunk(pChunk.get()), KTU_CHUNK_SUCCESS);
            EXPECT_TRUE(driver.WaitForStatus("refused", 1)) << "an empty chunk holds no message";
            EXPECT_EQ(channel.Close(), KTU_CHUNK_SUCCESS);
            EXPECT_EQ(channel.GetChunkSize(), 8096u) << "kept after Close";
        } else {
            EXPECT_EQ(channel.MakeEmptyChunk(), nullptr);
        }
        EXPECT_TRUE(driver.WaitForStatus("connections", 0)) << "no half-open handle is left";
    }
}

TEST(ChunkChannel, ChunkSizesAreChecked) {
    CDebugLog log;
    CKTUChunkChannel channel(KTU_CHANNEL_DEVICE_NAME);
    EXPECT_EQ(channel.MakeEmptyChunk(), nullptr);
    EXPECT_EQ(log.Count("CKTUChunkChannel::MakeEmptyChunk - chunk size not yet set"), 1u);

    CDriverProcess driver;
    DWORD dwChunkSize = 0;
    ASSERT_EQ(channel.Open(8096, &dwChunkSize), KTU_CHUNK_SUCCESS);
    CKTUChunk small;
    ASSERT_TRUE(small.Initialize(100));
    BYTE* pBuffer = small.GetBuffer();
    EXPECT_FALSE(small.Initialize(200));
    EXPECT_EQ(small.GetBuffer(), pBuffer);
    EXPECT_EQ(small.GetSize(), 100u);
    EXPECT_EQ(log.Count("CKTUChunk::Initialize - tried to reinitialize chunk"), 1u);
    EXPECT_EQ(channel.SendChunk(&small), KTU_CHUNK_SIZE_MISMATCH);
    EXPECT_EQ(channel.WaitForChunk(&small), KTU_CHUNK_SIZE_MISMATCH);

    std::unique_ptr<CKTUChunk> pChunk(channel.MakeEmptyChunk());
    ASSERT_EQ(driver.Command("raw 70626167 size=100"), "ok");
    EXPECT_EQ(channel.WaitForChunk(pChunk.get()), KTU_CHUNK_FAILURE);
    EXPECT_EQ(
        log.Count("CKTUChunkChannel::WaitForChunk - received wrong-sized chunk: expected 8096, got 100"), 1u);
    EXPECT_EQ(driver.Status("received"), 0u);
    EXPECT_EQ(driver.Status("refused"), 0u) << "the wrong-sized send wrote nothing";
}

TEST(ChunkChannel, CloseEndsTwoWaitingReadersWithoutALogLine) {
    CDriverProcess driver;
    CKTUChunkChannel channel(KTU_CHANNEL_DEVICE_NAME);
    DWORD dwChunkSize = 0;
    ASSERT_EQ(channel.Open(8096, &dwChunkSize), KTU_CHUNK_SUCCESS);
    CDebugLog log;
    std::atomic<int> nWaiting{0};
    DWORD dwResults[2] = {99, 99};
    std::thread readers[2];
    for (int i = 0; i < 2; ++i) {
        readers[i] = std::thread([&, i] {
            std::unique_ptr<CKTUChunk> pChunk(channel.MakeEmptyChunk());
            ++nWaiting;
            dwResults[i] = channel.WaitForChunk(pChunk.get());
        });
    }
    while (nWaiting < 2) {
        platform::Sleep(1);
    }
    platform::Sleep(50);
    const DWORD dwStart = platform::GetTickCount();
    EXPECT_EQ(channel.Close(), KTU_CHUNK_SUCCESS);
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_LT(platform::GetTickCount() - dwStart, 1000u);
    EXPECT_EQ(dwResults[0], KTU_CHUNK_NOT_OPEN);
    EXPECT_EQ(dwResults[1], KTU_CHUNK_NOT_OPEN);
    std::unique_ptr<CKTUChunk> pChunk(new CKTUChunk);
    pChunk->Initialize(8096);
    EXPECT_EQ(channel.WaitForChunk(pChunk.get()), KTU_CHUNK_NOT_OPEN);
    EXPECT_EQ(channel.SendChunk(pChunk.get()), KTU_CHUNK_NOT_OPEN);
    EXPECT_EQ(log.Since(), "");
}

TEST(MessageChannel, RoundTripsWholeAndFragmentedMessagesThroughTheDriver) {
    CDriverProcess driver({"--echo"});
    CKTUMessageChannel channel(KTU_CHANNEL_DEVICE_NAME);
    ASSERT_EQ(channel.Open(), 0u);
    for (DWORD dwChars : {4u, 4026u, 4027u, 512u * 1024u}) {
        SCOPED_TRACE(dwChars);
        CKTUMessage* pMsg = CKTUMessageChannel::MakeEmptyKTMessage(TYPE_QUERY_MSI);
        static_cast<CKTUMSIMessage*>(pMsg)->SetMessageId(dwChars);
        static_cast<CKTUMSIMessage*>(pMsg)->SetMSIPath(std::u16string(dwChars, u'm').c_str());
        ASSERT_EQ(channel.SendKTMessage(pMsg), 0u);
        CKTUMessage* pRaw = nullptr;
        ASSERT_EQ(channel.ReceiveKTMessage(&pRaw), 0u);
        MessagePtr pGot(pRaw);
        ASSERT_EQ(pGot->GetType(), TYPE_QUERY_MSI);
        DWORD dwId = 0;
        DWORD dwSize = 0;
        auto* pMsi = static_cast<CKTUMSIMessage*>(pGot.get());
        EXPECT_EQ(pMsi->GetMessageId(&dwId), MSG_SUCCESS);
        EXPECT_EQ(dwId, dwChars);
        EXPECT_EQ(pMsi->GetMSIPath(nullptr, &dwSize), BUFFER_TOO_SMALL);
        EXPECT_EQ(dwSize, dwChars * 2 + 2);
    }
    // The driver answers settings messages with a type-2 message; this file does not exist.
    auto* pSettings =
        static_cast<CKTUSettingsMessage*>(CKTUMessageChannel::MakeEmptyKTMessage(TYPE_GW_SETTINGS));
    pSettings->SetSettingsPath(u"C:\\Program Files\\Quillon\\KRELL\\kc1.kc");
    ASSERT_EQ(driver.Command("echo off"), "ok");
    ASSERT_EQ(channel.SendKTMessage(pSettings), 0u);
    CKTUMessage* pRaw = nullptr;
    ASSERT_EQ(channel.ReceiveKTMessage(&pRaw), 0u);
    MessagePtr pReply(pRaw);
    DWORD dwCode = 0;
    ASSERT_EQ(pReply->GetType(), TYPE_GW_ACTIVATION);
    EXPECT_EQ(static_cast<CKTUReplyMessage*>(pReply.get())->GetReplyCode(&dwCode), MSG_SUCCESS);
    EXPECT_EQ(dwCode & CKTUReplyMessage::REPLY_SUCCESS, 0u);
    EXPECT_NE(driver.Command("received").find("type=1 1:str:C:\\Program Files\\Quillon\\KRELL\\kc1.kc"),
              std::string::npos);

    // After Close a send fails with 3 and the message stays with the caller.
    EXPECT_EQ(channel.Close(), 0u);
    EXPECT_EQ(channel.Close(), 1u);
    MessagePtr pKept(CKTUMessageChannel::MakeEmptyKTMessage(TYPE_GW_ACTIVATION_REQUEST));
    EXPECT_EQ(channel.SendKTMessage(pKept.get()), 3u);
    DWORD dwActivation = 5;
    EXPECT_EQ(static_cast<CKTUActivationMessage*>(pKept.get())->SetActivation(1), MSG_SUCCESS);
    EXPECT_EQ(static_cast<CKTUActivationMessage*>(pKept.get())->GetActivation(&dwActivation), MSG_SUCCESS);
    EXPECT_EQ(channel.ReceiveKTMessage(&pRaw), 3u);
}

TEST(MessageChannel, ReceivePathRefusals) {
    struct Case {
        const char* szName;
        std::vector<std::string> commands;
        DWORD dwExpected;
    } cases[] = {
        {"fragments in reversed order", {"send 4 1:fill:9000 2:dw:7 order=reverse"}, 0},
        {"fragment index equal to count", {"raw 636d75780100000002000000020000008c1f0000"}, 1},
        {"payload size differs from the first",
         {"raw 636d75780100000000000000020000008c1f0000", "raw 636d757801000000010000000200000010000000"},
         1},
        {"unknown message type", {"send 9 1:dw:1"}, 1},
        {"peer closes mid-message", {"send 4 1:fill:9000 order=0", "close"}, 1},
        {"peer closes between messages", {"close"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        CDriverProcess driver;
        CKTUMessageChannel channel(KTU_CHANNEL_DEVICE_NAME);
        ASSERT_EQ(channel.Open(), 0u);
        ASSERT_TRUE(driver.WaitForStatus("chunk", 8096));
        for (const std::string& sCommand : c.commands) {
            ASSERT_TRUE(driver.Command(sCommand).starts_with("ok")) << sCommand;
        }
        CKTUMessage* pRaw = nullptr;
        EXPECT_EQ(channel.ReceiveKTMessage(&pRaw), c.dwExpected);
        MessagePtr pGot(pRaw);
        EXPECT_EQ(pGot != nullptr, c.dwExpected == 0);
        // Where the channel is still there, the next message flows.
        if (std::string(c.szName).find("closes") == std::string::npos) {
            ASSERT_TRUE(driver.Command("send 5 1:dw:77").starts_with("ok"));
            ASSERT_EQ(channel.ReceiveKTMessage(&pRaw), 0u);
            MessagePtr pNext(pRaw);
            EXPECT_EQ(pNext->GetType(), TYPE_QUERY_MSI);
        }
    }
}

}  // namespace
