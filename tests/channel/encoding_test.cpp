// The byte layouts of the property bag and the fragments, and the decoders' refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "channel/message_channel.h"
#include "platform/foreign_code.h"
#include "support/debug_log.h"

// Arrays in this program start as 0xAB, as recycled heap may: a byte the channel sends or hands on
// without having written it shows as 0xAB instead of a lucky zero. MemorySanitizer's own allocator
// does better, reporting the read itself, and owns these operators there.
#ifndef KRELL_MEMORY_SANITIZER
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // these deletes free what these news got
void* operator new[](std::size_t nSize) {
    void* p = std::malloc(nSize == 0 ? 1 : nSize);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    std::memset(p, 0xAB, nSize);
    return p;
}
void* operator new[](std::size_t nSize, const std::nothrow_t&) noexcept {
    try {
        return operator new[](nSize);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop
#endif

namespace {

using Bytes = std::vector<BYTE>;

void PutLE32(Bytes& bytes, DWORD dw) {
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<BYTE>(dw >> (8 * i)));
    }
}

Bytes Serialized(CKTUPropertyBag& bag) {
    Bytes bytes(bag.GetSerializedSize());
    EXPECT_EQ(bag.Serialize(bytes.data(), static_cast<DWORD>(bytes.size())), KTU_BAG_SUCCESS);
    return bytes;
}

struct MessageDeleter {
    void operator()(CKTUMessage* pMsg) const { CKTUMessageChannel::DestroyKTMessage(pMsg); }
};
using MessagePtr = std::unique_ptr<CKTUMessage, MessageDeleter>;

TEST(PropertyBag, SerializesTheDocumentedFiftyByteBlock) {
    CKTUPropertyBag bag;
    bag.SetDword(0, 4);
    bag.SetString(1, u"abc");
    Bytes expected = {'p', 'b', 'a', 'g'};
    for (DWORD dw : {2u, 6u, 34u, 0u, 0u, 4u, 4u, 1u, 1u, 6u}) {
        PutLE32(expected, dw);
    }
    for (char ch : {'a', 'b', 'c'}) {
        expected.push_back(static_cast<BYTE>(ch));
        expected.push_back(0);
    }
    ASSERT_EQ(expected.size(), 50u);
    EXPECT_EQ(bag.GetSerializedSize(), 50u);
    EXPECT_EQ(Serialized(bag), expected);

    CKTUPropertyBag copy;
    ASSERT_EQ(copy.Deserialize(expected.data(), 50), KTU_BAG_SUCCESS);
    EXPECT_EQ(Serialized(copy), expected);
    Bytes tooSmall(49);
    EXPECT_EQ(bag.Serialize(tooSmall.data(), 49), KTU_BAG_BUFFER_TOO_SMALL);
    EXPECT_EQ(bag.Serialize(nullptr, 50), KTU_BAG_INVALID_ARGUMENT);
}

TEST(PropertyBag, GettersReportSizeTypeAndAbsence) {
    CKTUPropertyBag bag;
    bag.SetString(1, u"0123456789");
    DWORD dwSize = 0;
    EXPECT_EQ(bag.GetString(1, nullptr, &dwSize), KTU_BAG_BUFFER_TOO_SMALL);
    EXPECT_EQ(dwSize, 22u);
    std::u16string sBuffer(11, u'#');
    EXPECT_EQ(bag.GetString(1, sBuffer.data(), &dwSize), KTU_BAG_SUCCESS);
    EXPECT_EQ(sBuffer, std::u16string(u"0123456789") + u'\0');
    EXPECT_EQ(dwSize, 22u);
    DWORD dw = 0;
    EXPECT_EQ(bag.GetDword(1, &dw), KTU_BAG_TYPE_MISMATCH);
    EXPECT_EQ(bag.GetDword(2, &dw), KTU_BAG_NO_VALUE);
    dwSize = 4;
    EXPECT_EQ(bag.GetString(1, nullptr, &dwSize), KTU_BAG_INVALID_ARGUMENT);

    const BYTE bytes[3] = {1, 2, 3};
    bag.SetBinary(5, bytes, 3);
    BYTE out[3] = {};
    dwSize = 2;
    EXPECT_EQ(bag.GetBinary(5, out, &dwSize), KTU_BAG_BUFFER_TOO_SMALL);
    EXPECT_EQ(dwSize, 3u);
    EXPECT_EQ(bag.GetBinary(5, out, &dwSize), KTU_BAG_SUCCESS);
    EXPECT_EQ(std::memcmp(out, bytes, 3), 0);

    // A setter replaces whatever type was there; the largest size is never lowered.
    bag.SetDword(1, 7);
    EXPECT_EQ(bag.GetDword(1, &dw), KTU_BAG_SUCCESS);
    EXPECT_EQ(dw, 7u);
    EXPECT_EQ(bag.GetMaxValueSize(), 20u);
    bag.Remove(1);
    EXPECT_EQ(bag.GetMaxValueSize(), 20u);
    EXPECT_EQ(bag.GetCount(), 1u);
    EXPECT_EQ(bag.SetString(3, nullptr), KTU_BAG_INVALID_ARGUMENT);
    EXPECT_EQ(bag.SetBinary(3, nullptr, 1), KTU_BAG_INVALID_ARGUMENT);
}

// A block: header fields as given, then raw record bytes.
Bytes Block(DWORD dwCount, DWORD dwTotal, const Bytes& records, DWORD dwMagic = KTU_PBAG_MAGIC) {
    Bytes bytes;
    PutLE32(bytes, dwMagic);
    PutLE32(bytes, dwCount);
    PutLE32(bytes, 4);
    PutLE32(bytes, dwTotal);
    bytes.insert(bytes.end(), records.begin(), records.end());
    return bytes;
}
Bytes Record(DWORD dwId, DWORD dwType, DWORD dwSize, const Bytes& value) {
    Bytes bytes;
    PutLE32(bytes, dwId);
    PutLE32(bytes, dwType);
    PutLE32(bytes, dwSize);
    bytes.insert(bytes.end(), value.begin(), value.end());
    return bytes;
}

TEST(PropertyBag, DeserializeRefusesBlocksThatDoNotHoldWhatTheyDeclare) {
    const Bytes dword = Record(0, 0, 4, {4, 0, 0, 0});
    Bytes twoIds = dword;
    const Bytes second = Record(0, 0, 4, {9, 0, 0, 0});
    twoIds.insert(twoIds.end(), second.begin(), second.end());
    struct Case {
        const char* szName;
        Bytes block;
        DWORD dwExpected;
    } cases[] = {
        {"shorter than a header", Bytes(15, 0), KTU_BAG_INVALID_ARGUMENT},
        {"wrong magic", Block(1, 16, dword, 0x12345678), KTU_BAG_BAD_DATA},
        {"total beyond the bytes", Block(1, 17, dword), KTU_BAG_BAD_DATA},
        {"record runs past the block", Block(1, 16, Record(0, 0, 8, {4, 0, 0, 0, 0, 0, 0, 0})),
         KTU_BAG_BAD_DATA},
        {"record header past the block", Block(2, 16, dword), KTU_BAG_BAD_DATA},
        {"unknown value type", Block(1, 16, Record(0, 3, 4, {4, 0, 0, 0})), KTU_BAG_BAD_DATA},
        {"string of odd size", Block(1, 15, Record(1, 1, 3, {'a', 0, 'b'})), KTU_BAG_BAD_DATA},
        {"value size near 4 GiB", Block(1, 16, Record(0, 0, 0xFFFFFFF0, {4, 0, 0, 0})), KTU_BAG_BAD_DATA},
        {"repeated id keeps the first", Block(2, 32, twoIds), KTU_BAG_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        CKTUPropertyBag bag;
        bag.SetDword(42, 1);
        // Exactly the bytes of the block: an overread shows under the sanitizers.
        auto pCopy = std::make_unique<BYTE[]>(c.block.size());
        std::memcpy(pCopy.get(), c.block.data(), c.block.size());
        EXPECT_EQ(bag.Deserialize(pCopy.get(), static_cast<DWORD>(c.block.size())), c.dwExpected);
        DWORD dw = 0;
        if (c.dwExpected == KTU_BAG_SUCCESS) {
            EXPECT_EQ(bag.GetDword(0, &dw), KTU_BAG_SUCCESS);
            EXPECT_EQ(dw, 4u);
        } else if (c.dwExpected == KTU_BAG_BAD_DATA) {
            EXPECT_EQ(bag.GetCount(), 0u);
        }
    }
}

TEST(PropertyBag, DwordValueOfAnotherSizeIsBadData) {
    for (DWORD dwSize : {0u, 2u, 5u}) {
        CKTUPropertyBag bag;
        const Bytes block = Block(1, 12 + dwSize, Record(3, 0, dwSize, Bytes(dwSize, 7)));
        ASSERT_EQ(bag.Deserialize(block.data(), static_cast<DWORD>(block.size())), KTU_BAG_SUCCESS);
        DWORD dw = 0;
        EXPECT_EQ(bag.GetDword(3, &dw), KTU_BAG_BAD_DATA) << dwSize;
    }
}

TEST(Messages, AccessorsFoldBagCodes) {
    MessagePtr pMsg(CKTUMessageChannel::MakeEmptyKTMessage(TYPE_GW_VIOLATION));
    ASSERT_NE(pMsg, nullptr);
    auto* pViolation = static_cast<CKTUViolationMessage*>(pMsg.get());
    DWORD dw = 0;
    EXPECT_EQ(pViolation->GetTargetPID(&dw), NO_VALUE);
    EXPECT_EQ(pViolation->SetActorPath(u"C:\\x.exe"), MSG_SUCCESS);
    EXPECT_EQ(pViolation->GetPropertyBag()->GetDword(1, &dw), KTU_BAG_TYPE_MISMATCH);
    DWORD dwSize = 2;
    char16_t sz[1];
    EXPECT_EQ(pViolation->GetActorPath(sz, &dwSize), BUFFER_TOO_SMALL);
    EXPECT_EQ(dwSize, 18u);
    EXPECT_EQ(pViolation->GetActorPath(nullptr, &dwSize), MSG_INVALID_ARGUMENT);
    pViolation->GetPropertyBag()->SetString(5, u"x");
    EXPECT_EQ(pViolation->GetTargetPID(&dw), MSG_TYPE_MISMATCH);

    CKTUMSIMessage bagless(nullptr);
    EXPECT_EQ(bagless.GetMessageId(&dw), MSG_FAILURE);
    EXPECT_EQ(bagless.SetMSIPath(u"x"), MSG_FAILURE);
    EXPECT_EQ(bagless.GetSerializedSize(), 0u);

    EXPECT_EQ(CKTUMessageChannel::MakeEmptyKTMessage(6), nullptr);
    EXPECT_EQ(CKTUMessageChannel::MakeEmptyKTMessage(0), nullptr);
}

TEST(Messages, EveryTypeRoundTripsAsItsClass) {
    for (DWORD dwType = 1; dwType <= 5; ++dwType) {
        MessagePtr pMsg(CKTUMessageChannel::MakeEmptyKTMessage(dwType));
        ASSERT_NE(pMsg, nullptr);
        pMsg->GetPropertyBag()->SetDword(1, 100 + dwType);
        Bytes bytes(pMsg->GetSerializedSize());
        ASSERT_EQ(pMsg->Serialize(bytes.data(), static_cast<DWORD>(bytes.size())), MSG_SUCCESS);
        CKTUMessage* pRaw = nullptr;
        ASSERT_TRUE(CKTUMessageChannel::Deserialize(bytes.data(), static_cast<DWORD>(bytes.size()), &pRaw));
        MessagePtr pCopy(pRaw);
        EXPECT_EQ(pCopy->GetType(), dwType);
        DWORD dw = 0;
        EXPECT_EQ(pCopy->GetPropertyBag()->GetDword(1, &dw), KTU_BAG_SUCCESS);
        EXPECT_EQ(dw, 100 + dwType);
    }
    // Unknown type and a bag without property 0 are refused.
    CKTUPropertyBag bag;
    bag.SetDword(0, 6);
    Bytes bytes = Serialized(bag);
    CKTUMessage* pRaw = reinterpret_cast<CKTUMessage*>(&bag);
    EXPECT_FALSE(CKTUMessageChannel::Deserialize(bytes.data(), static_cast<DWORD>(bytes.size()), &pRaw));
    EXPECT_EQ(pRaw, nullptr);
    bag.Remove(0);
    bytes = Serialized(bag);
    EXPECT_FALSE(CKTUMessageChannel::Deserialize(bytes.data(), static_cast<DWORD>(bytes.size()), &pRaw));
}

// --- fragments

// A violation message whose serialized block has exactly dwSize bytes (dwSize even, >= 44).
MessagePtr MessageOfSize(DWORD dwSize, char16_t chFill = u'x') {
    MessagePtr pMsg(CKTUMessageChannel::MakeEmptyKTMessage(TYPE_GW_VIOLATION));
    const DWORD dwChars = (dwSize - 16 - 16 - 12) / 2;
    pMsg->GetPropertyBag()->SetString(1, std::u16string(dwChars, chFill).c_str());
    if (pMsg->GetSerializedSize() != dwSize) {  // odd sizes: one more byte in a binary value
        pMsg->GetPropertyBag()->SetString(1, std::u16string(dwChars - 6, chFill).c_str());
        pMsg->GetPropertyBag()->SetBinary(2, Bytes(dwSize - pMsg->GetSerializedSize() - 12).data(),
                                          dwSize - pMsg->GetSerializedSize() - 12);
    }
    EXPECT_EQ(pMsg->GetSerializedSize(), dwSize);
    return pMsg;
}

std::vector<Bytes> Encode(CKTUMessageCodec& codec, CKTUMessage* pMsg,
                          DWORD dwChunkSize = KTU_CHANNEL_CHUNK_SIZE) {
    CKTUChunk chunk;
    EXPECT_TRUE(chunk.Initialize(dwChunkSize));
    std::memset(chunk.GetBuffer(), 0xEE, dwChunkSize);  // fill that must not leak into fragments
    std::vector<Bytes> chunks;
    EXPECT_EQ(codec.EncodeKTMessage(pMsg, &chunk,
                                    [&](CKTUChunk* p) {
                                        chunks.emplace_back(p->GetBuffer(), p->GetBuffer() + p->GetSize());
                                        return KTU_CHUNK_SUCCESS;
                                    }),
              KTU_CHUNK_SUCCESS);
    return chunks;
}

DWORD Field(const Bytes& chunk, size_t nOffset) {
    return ReadLE32(&chunk[nOffset]);
}

TEST(Fragments, BoundaryOfOneChunk) {
    CKTUMessageCodec codec;
    MessagePtr pFits = MessageOfSize(8096);
    auto chunks = Encode(codec, pFits.get());
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(Field(chunks[0], 0), KTU_PBAG_MAGIC);

    MessagePtr pOver = MessageOfSize(8097);
    Bytes block(8097);
    pOver->Serialize(block.data(), 8097);
    chunks = Encode(codec, pOver.get());
    ASSERT_EQ(chunks.size(), 2u);
    for (DWORD i = 0; i < 2; ++i) {
        EXPECT_EQ(Field(chunks[i], 0), KTU_CMUX_MAGIC);
        EXPECT_EQ(Field(chunks[i], 4), 1u) << "the first fragmented message of a channel has id 1";
        EXPECT_EQ(Field(chunks[i], 8), i);
        EXPECT_EQ(Field(chunks[i], 12), 2u);
        EXPECT_EQ(Field(chunks[i], 16), 8076u);
    }
    EXPECT_TRUE(std::equal(block.begin(), block.begin() + 8076, chunks[0].begin() + 20));
    EXPECT_TRUE(std::equal(block.begin() + 8076, block.end(), chunks[1].begin() + 20));
    EXPECT_TRUE(std::all_of(chunks[1].begin() + 20 + 21, chunks[1].end(), [](BYTE b) { return b == 0; }))
        << "the last fragment's payload is zero-filled after the 21 remaining bytes";

    chunks = Encode(codec, pOver.get());
    EXPECT_EQ(Field(chunks[0], 4), 2u);
}

TEST(Fragments, ReassembledInAnyOrder) {
    CKTUMessageCodec sender;
    MessagePtr pMsg = MessageOfSize(3 * 8076 + 100, u'r');
    auto chunks = Encode(sender, pMsg.get());
    ASSERT_EQ(chunks.size(), 4u);
    for (const std::vector<int>& order : {std::vector<int>{3, 2, 1, 0}, std::vector<int>{2, 0, 3, 1}}) {
        CKTUMessageCodec receiver;
        CKTUMessage* pRaw = nullptr;
        for (size_t i = 0; i < order.size(); ++i) {
            ASSERT_TRUE(receiver.ProcessChunk(chunks[order[i]].data(), 8096, &pRaw));
            EXPECT_EQ(pRaw == nullptr, i + 1 < order.size());
        }
        MessagePtr pGot(pRaw);
        EXPECT_EQ(receiver.PendingReassemblies(), 0u);
        DWORD dwSize = 0;
        auto* pViolation = static_cast<CKTUViolationMessage*>(pGot.get());
        EXPECT_EQ(pViolation->GetActorPath(nullptr, &dwSize), BUFFER_TOO_SMALL);
        std::u16string sPath(dwSize / 2, u'\0');
        ASSERT_EQ(pViolation->GetActorPath(sPath.data(), &dwSize), MSG_SUCCESS);
        sPath.pop_back();
        EXPECT_EQ(sPath, std::u16string(sPath.size(), u'r'));
    }
}

TEST(Fragments, TwoSendersInterleaveAndEachMessageComesOutWhole) {
    CKTUMessageCodec sender;
    constexpr int MESSAGES = 20;
    std::vector<std::vector<Bytes>> perThread(2);
    std::thread threads[2];
    for (int t = 0; t < 2; ++t) {
        threads[t] = std::thread([&, t] {
            for (int i = 0; i < MESSAGES; ++i) {
                MessagePtr pMsg = MessageOfSize(2 * 8076 + 2 * i + 50, static_cast<char16_t>(u'a' + t));
                pMsg->GetPropertyBag()->SetDword(9, static_cast<DWORD>(t * 1000 + i));
                for (Bytes& chunk : Encode(sender, pMsg.get())) {
                    perThread[t].push_back(std::move(chunk));
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    // Interleave the two streams, each in its own order, and hand them to one receiver.
    CKTUMessageCodec receiver;
    std::vector<DWORD> seen;
    for (size_t i = 0; i < perThread[0].size() || i < perThread[1].size(); ++i) {
        for (int t = 1; t >= 0; --t) {
            if (i < perThread[t].size()) {
                CKTUMessage* pRaw = nullptr;
                ASSERT_TRUE(receiver.ProcessChunk(perThread[t][i].data(), 8096, &pRaw));
                MessagePtr pGot(pRaw);
                DWORD dw = 0;
                if (pGot != nullptr && pGot->GetPropertyBag()->GetDword(9, &dw) == KTU_BAG_SUCCESS) {
                    seen.push_back(dw);
                }
            }
        }
    }
    std::sort(seen.begin(), seen.end());
    std::vector<DWORD> expected;
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < MESSAGES; ++i) {
            expected.push_back(static_cast<DWORD>(t * 1000 + i));
        }
    }
    EXPECT_EQ(seen, expected);
}

// The chunk tail after a whole message, and the part of a fragmented message no fragment wrote (a
// duplicated fragment completes it, since fragments are counted), carry zeros, never old heap.
TEST(Fragments, NoUnwrittenByteCrossesTheChannel) {
    CKTUMessageCodec codec;
    MessagePtr pSmall = MessageOfSize(100);
    auto chunks = Encode(codec, pSmall.get());
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_TRUE(std::all_of(chunks[0].begin() + 100, chunks[0].end(), [](BYTE b) { return b == 0; }));

    MessagePtr pLarge = MessageOfSize(2 * 8076, u'd');
    chunks = Encode(codec, pLarge.get());
    ASSERT_EQ(chunks.size(), 2u);
    CKTUMessageCodec receiver;
    CKTUMessage* pRaw = nullptr;
    ASSERT_TRUE(receiver.ProcessChunk(chunks[0].data(), 8096, &pRaw));
    ASSERT_EQ(pRaw, nullptr);
    ASSERT_TRUE(receiver.ProcessChunk(chunks[0].data(), 8096, &pRaw));
    MessagePtr pGot(pRaw);
    ASSERT_NE(pGot, nullptr);
    DWORD dwSize = 0;
    ASSERT_EQ(pGot->GetPropertyBag()->GetString(1, nullptr, &dwSize), KTU_BAG_BUFFER_TOO_SMALL);
    std::u16string sValue(dwSize / 2, u'?');
    ASSERT_EQ(pGot->GetPropertyBag()->GetString(1, sValue.data(), &dwSize), KTU_BAG_SUCCESS);
    const size_t nWritten = sValue.find_first_not_of(u'd');
    ASSERT_NE(nWritten, std::u16string::npos);
    EXPECT_GT(nWritten, 3000u);
    EXPECT_TRUE(std::all_of(sValue.begin() + nWritten, sValue.end(), [](char16_t ch) { return ch == 0; }));
}

Bytes Fragment(DWORD dwId, DWORD dwIndex, DWORD dwCount, DWORD dwPayload, DWORD dwChunk = 8096) {
    Bytes bytes;
    PutLE32(bytes, KTU_CMUX_MAGIC);
    PutLE32(bytes, dwId);
    PutLE32(bytes, dwIndex);
    PutLE32(bytes, dwCount);
    PutLE32(bytes, dwPayload);
    bytes.resize(dwChunk, 0);
    return bytes;
}

TEST(Fragments, RefusedChunks) {
    struct Case {
        const char* szName;
        std::vector<Bytes> before;  // accepted first
        Bytes chunk;
        size_t nPendingAfter;
    } cases[] = {
        {"shorter than a fragment header", {}, Bytes(19, 0), 0},
        {"index equal to count", {}, Fragment(1, 2, 2, 8076), 0},
        {"payload size beyond the chunk", {}, Fragment(1, 0, 2, 8077), 0},
        {"payload size differs from the first", {Fragment(1, 0, 3, 8076)}, Fragment(1, 1, 3, 8000), 1},
        {"count differs from the first", {Fragment(1, 0, 3, 8076)}, Fragment(1, 1, 4, 8076), 1},
        {"zero-sized payload", {}, Fragment(1, 0, 2, 0), 0},
        {"message beyond the reassembly limit", {}, Fragment(1, 0, 0xFFFFFFFF, 8076), 0},
        {"single fragment that holds no block", {}, Fragment(1, 0, 1, 16), 0},
        {"whole block of an unknown type",
         {},
         [] {
             CKTUPropertyBag bag;
             bag.SetDword(0, 9);
             Bytes b = Serialized(bag);
             b.resize(8096);
             return b;
         }(),
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        CKTUMessageCodec receiver;
        CKTUMessage* pRaw = nullptr;
        for (const Bytes& chunk : c.before) {
            ASSERT_TRUE(receiver.ProcessChunk(chunk.data(), static_cast<DWORD>(chunk.size()), &pRaw));
        }
        auto pExact = std::make_unique<BYTE[]>(c.chunk.size());
        std::memcpy(pExact.get(), c.chunk.data(), c.chunk.size());
        EXPECT_FALSE(receiver.ProcessChunk(pExact.get(), static_cast<DWORD>(c.chunk.size()), &pRaw));
        EXPECT_EQ(pRaw, nullptr);
        EXPECT_EQ(receiver.PendingReassemblies(), c.nPendingAfter);
    }
}

}  // namespace

namespace {

// --- reassembly bounds

// Partial messages whose remaining fragments never come do not shut out later messages: the oldest
// make room, their drop is counted, and every complete message still comes out.
TEST(Reassembly, BrokenFirstFragmentsNeverStarveCompleteMessages) {
    struct Case {
        const char* szName;
        DWORD dwBroken;  // first fragments sent, each followed by one complete message
        DWORD dwCount;   // of each broken message
        DWORD dwPayload;
        size_t nMaxPending;
    } cases[] = {
        {"messages of nearly the largest size use up the bytes", 12, 8309, 8076, 4},
        {"tiny messages use up the entries", KTU_MAX_PENDING_MESSAGES + 100, 2, 1, KTU_MAX_PENDING_MESSAGES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        CKTUMessageCodec sender;
        CKTUMessageCodec receiver;
        for (DWORD i = 0; i < c.dwBroken; ++i) {
            const Bytes broken = Fragment(0x80000000 + i, 0, c.dwCount, c.dwPayload);
            CKTUMessage* pRaw = nullptr;
            ASSERT_TRUE(receiver.ProcessChunk(broken.data(), 8096, &pRaw)) << i;
            MessagePtr pMsg = MessageOfSize(2 * 8076 + 50);
            pMsg->GetPropertyBag()->SetDword(9, i);
            for (const Bytes& chunk : Encode(sender, pMsg.get())) {
                ASSERT_TRUE(receiver.ProcessChunk(chunk.data(), 8096, &pRaw)) << i;
            }
            MessagePtr pGot(pRaw);
            ASSERT_NE(pGot, nullptr) << i;
            DWORD dw = 0;
            EXPECT_EQ(pGot->GetPropertyBag()->GetDword(9, &dw), KTU_BAG_SUCCESS);
            EXPECT_EQ(dw, i);
        }
        EXPECT_LE(receiver.PendingReassemblies(), c.nMaxPending);
        EXPECT_EQ(receiver.DroppedReassemblies() + receiver.PendingReassemblies(), c.dwBroken);
    }
}

// A partial message that hears nothing for the stale time is dropped at the next first fragment; one
// whose fragments keep coming is kept, however old it is.
TEST(Reassembly, SilentPartialMessagesAgeOut) {
    DWORD dwNow = 0xFFFFF000;  // the tick count wraps in the middle of it
    CKTUMessageCodec receiver([&] { return dwNow; });
    CKTUMessage* pRaw = nullptr;
    for (DWORD dwId : {1u, 2u, 3u}) {
        ASSERT_TRUE(receiver.ProcessChunk(Fragment(dwId, 0, 3, 8076).data(), 8096, &pRaw));
    }
    dwNow += KTU_REASSEMBLY_STALE_MS - 1;
    ASSERT_TRUE(receiver.ProcessChunk(Fragment(2, 1, 3, 8076).data(), 8096, &pRaw));
    EXPECT_EQ(receiver.PendingReassemblies(), 3u);
    EXPECT_EQ(receiver.DroppedReassemblies(), 0u);

    dwNow += 2;
    krelltest::CDebugLog log;
    ASSERT_TRUE(receiver.ProcessChunk(Fragment(9, 0, 2, 8076).data(), 8096, &pRaw));
    EXPECT_EQ(receiver.PendingReassemblies(), 2u) << "2, still receiving, and 9";
    EXPECT_EQ(receiver.DroppedReassemblies(), 2u);
    EXPECT_EQ(receiver.DroppedReassemblyBytes(), 2u * 3 * 8076);
    EXPECT_EQ(log.Count("CKTUMessageCodec::ProcessChunk - dropped 2 partial message(s), 48456 bytes, silent "
                        "for over 30000 ms"),
              1u)
        << log.Since();

    // Message 2 completes; its missing fragment in time, the late ones of a dropped message start over.
    EXPECT_FALSE(receiver.ProcessChunk(Fragment(2, 2, 3, 8076).data(), 8096, &pRaw))
        << "complete, and its zeros decode to no message";
    EXPECT_EQ(receiver.PendingReassemblies(), 1u);
    ASSERT_TRUE(receiver.ProcessChunk(Fragment(1, 1, 3, 8076).data(), 8096, &pRaw));
    EXPECT_EQ(pRaw, nullptr);
    EXPECT_EQ(receiver.PendingReassemblies(), 2u);
}

}  // namespace
