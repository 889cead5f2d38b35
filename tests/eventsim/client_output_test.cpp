// The event manager's queue of what a client has not taken yet, written to a real socket pair.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "client_output.h"
#include "manager_protocol.h"

namespace {

using zuzazezi::CClientOutput;

class ClientOutput : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, m_fds), 0);
        // A small buffer, so the socket is full after a few messages.
        const int cbBuffer = 16 * 1024;
        setsockopt(m_fds[0], SOL_SOCKET, SO_SNDBUF, &cbBuffer, sizeof(cbBuffer));
    }
    void TearDown() override {
        for (const int fd : m_fds) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    // The packets waiting on the reading end, decoded.
    std::vector<zuzazezi::CMessage> ReadAll() {
        std::vector<zuzazezi::CMessage> messages;
        std::vector<std::uint8_t> buffer(zuzazezi::MAX_MESSAGE_SIZE);
        for (;;) {
            const ssize_t cb = recv(m_fds[1], buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (cb <= 0) {
                return messages;
            }
            zuzazezi::CMessage message;
            EXPECT_TRUE(zuzazezi::DecodeMessage(buffer.data(), static_cast<std::size_t>(cb), &message));
            messages.push_back(std::move(message));
        }
    }
    static bool Queue(CClientOutput& output, std::uint32_t nSeq, std::size_t cbBlob, bool bDelivery) {
        const std::vector<std::uint8_t> blob(cbBlob, static_cast<std::uint8_t>(nSeq));
        const std::int32_t fields[] = {7, static_cast<std::int32_t>(nSeq)};
        return output.Queue(bDelivery ? zuzazezi::MSG_DELIVER_SUBSCRIBER : zuzazezi::MSG_ANSWER, nSeq, fields,
                            blob, bDelivery);
    }

    int m_fds[2] = {-1, -1};
};

TEST_F(ClientOutput, WhatTheSocketCannotTakeWaitsAndGoesOutWholeAndInOrder) {
    CClientOutput output(64 * 1024 * 1024);
    constexpr std::uint32_t MESSAGES = 300;
    for (std::uint32_t n = 1; n <= MESSAGES; ++n) {
        ASSERT_TRUE(Queue(output, n, 1000 + n, true));
    }
    std::vector<zuzazezi::CMessage> received;
    // The socket takes a part at a time; the rest waits for the next flush.
    ASSERT_EQ(output.Flush(m_fds[0]), CClientOutput::FlushResult::Pending);
    EXPECT_GT(output.WaitingBytes(), 0u);
    for (int nRound = 0; nRound < 1000 && !output.IsEmpty(); ++nRound) {
        for (auto& message : ReadAll()) {
            received.push_back(std::move(message));
        }
        output.Flush(m_fds[0]);
    }
    for (auto& message : ReadAll()) {
        received.push_back(std::move(message));
    }
    EXPECT_TRUE(output.IsEmpty());
    EXPECT_EQ(output.Flush(m_fds[0]), CClientOutput::FlushResult::Done);
    ASSERT_EQ(received.size(), MESSAGES);
    for (std::uint32_t n = 1; n <= MESSAGES; ++n) {
        const auto& message = received[n - 1];
        EXPECT_EQ(message.nKind, zuzazezi::MSG_DELIVER_SUBSCRIBER);
        EXPECT_EQ(message.nSeq, n);
        EXPECT_EQ(message.fields, (std::vector<std::int32_t>{7, static_cast<std::int32_t>(n)}));
        ASSERT_EQ(message.blob.size(), 1000 + n);
        EXPECT_EQ(message.blob.front(), static_cast<std::uint8_t>(n));
        EXPECT_EQ(message.blob.back(), static_cast<std::uint8_t>(n));
    }
    EXPECT_EQ(output.Dropped(), 0u);
}

TEST_F(ClientOutput, DeliveriesPastTheLimitAreDroppedAndCountedAnswersAreKept) {
    CClientOutput output(10 * 1000);
    std::uint32_t nAccepted = 0;
    for (std::uint32_t n = 1; n <= 50; ++n) {
        nAccepted += Queue(output, n, 1000, true) ? 1 : 0;
    }
    // Accepted while less than the limit waited: ten messages of 1000 bytes and their headers.
    EXPECT_EQ(nAccepted, 10u);
    EXPECT_EQ(output.Dropped(), 40u);
    EXPECT_TRUE(Queue(output, 100, 0, false));
    EXPECT_EQ(output.Dropped(), 40u);
    std::vector<zuzazezi::CMessage> received;
    for (int nRound = 0; nRound < 100 && !output.IsEmpty(); ++nRound) {
        output.Flush(m_fds[0]);
        for (auto& message : ReadAll()) {
            received.push_back(std::move(message));
        }
    }
    ASSERT_EQ(received.size(), 11u);
    EXPECT_EQ(received[9].nSeq, 10u);
    EXPECT_EQ(received[10].nKind, zuzazezi::MSG_ANSWER);
    // Once it has caught up, deliveries are taken again.
    EXPECT_TRUE(Queue(output, 101, 1000, true));
}

TEST_F(ClientOutput, FlushFailsOnceTheClientIsGone) {
    CClientOutput output(1024 * 1024);
    close(m_fds[1]);
    m_fds[1] = -1;
    ASSERT_TRUE(Queue(output, 1, 10, false));
    EXPECT_EQ(output.Flush(m_fds[0]), CClientOutput::FlushResult::Failed);
}

}  // namespace
