// The RPC UUID functions: the one text form they take, and their field-by-field order.
#include "platform/uuid.h"

#include <gtest/gtest.h>

#include "platform/strings.h"

namespace {

struct UuidTextCase {
    const char16_t* szText;
    RPC_STATUS expected;
};

TEST(UuidFromString, AcceptsOnlyTheBareThirtySixCharacterForm) {
    const UuidTextCase cases[] = {
        {u"3F2504E0-4F89-11D3-9A0C-0305E82C3301", RPC_S_OK},
        {u"3f2504e0-4f89-11d3-9a0c-0305e82c3301", RPC_S_OK},
        {u"{3F2504E0-4F89-11D3-9A0C-0305E82C3301}", RPC_S_INVALID_STRING_UUID},
        {u"3F2504E0-4F89-11D3-9A0C-0305E82C330", RPC_S_INVALID_STRING_UUID},
        {u"3F2504E0-4F89-11D3-9A0C-0305E82C33011", RPC_S_INVALID_STRING_UUID},
        {u"3F2504E0-4F89-11D3-9A0C-0305E82C330G", RPC_S_INVALID_STRING_UUID},
        {u"3F2504E04-F89-11D3-9A0C-0305E82C3301", RPC_S_INVALID_STRING_UUID},
        {u"3F2504E0 4F89 11D3 9A0C 0305E82C3301", RPC_S_INVALID_STRING_UUID},
        {u"", RPC_S_INVALID_STRING_UUID},
    };
    for (const UuidTextCase& c : cases) {
        UUID uuid{0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
        const UUID before = uuid;
        EXPECT_EQ(platform::UuidFromString(c.szText, &uuid), c.expected) << platform::ToUtf8(c.szText);
        if (c.expected != RPC_S_OK) {
            EXPECT_EQ(uuid, before) << "a refused text leaves the UUID alone";
        }
    }
    UUID uuid{};
    ASSERT_EQ(platform::UuidFromString(u"3f2504e0-4f89-11d3-9a0c-0305e82c3301", &uuid), RPC_S_OK);
    EXPECT_EQ(uuid, (UUID{0x3F2504E0, 0x4F89, 0x11D3, {0x9A, 0x0C, 0x03, 0x05, 0xE8, 0x2C, 0x33, 0x01}}));
    ASSERT_EQ(platform::UuidFromString(nullptr, &uuid), RPC_S_OK);
    EXPECT_EQ(uuid, UUID{});
}

struct UuidOrderCase {
    const char16_t* szLess;
    const char16_t* szGreater;
};

TEST(UuidCompare, OrdersFieldByFieldUnsigned) {
    const UuidOrderCase cases[] = {
        {u"7FFFFFFF-0000-0000-0000-000000000000", u"80000000-0000-0000-0000-000000000000"},
        {u"00000001-FFFF-FFFF-FFFF-FFFFFFFFFFFF", u"00000002-0000-0000-0000-000000000000"},
        {u"00000000-7FFF-0000-0000-000000000000", u"00000000-8000-0000-0000-000000000000"},
        {u"00000000-0000-0001-FFFF-000000000000", u"00000000-0000-0002-0000-000000000000"},
        {u"00000000-0000-0000-7F00-000000000000", u"00000000-0000-0000-8000-000000000000"},
        {u"00000000-0000-0000-0000-0000000000FE", u"00000000-0000-0000-0000-0000000000FF"},
        // Data1 is compared as a number, not as the bytes of a little-endian machine.
        {u"000000FF-0000-0000-0000-000000000000", u"00000100-0000-0000-0000-000000000000"},
    };
    for (const UuidOrderCase& c : cases) {
        UUID less{};
        UUID greater{};
        ASSERT_EQ(platform::UuidFromString(c.szLess, &less), RPC_S_OK);
        ASSERT_EQ(platform::UuidFromString(c.szGreater, &greater), RPC_S_OK);
        RPC_STATUS status = -1;
        EXPECT_EQ(platform::UuidCompare(&less, &greater, &status), -1) << platform::ToUtf8(c.szLess);
        EXPECT_EQ(status, RPC_S_OK);
        EXPECT_EQ(platform::UuidCompare(&greater, &less, &status), 1) << platform::ToUtf8(c.szLess);
        EXPECT_EQ(platform::UuidCompare(&less, &less, &status), 0);
    }
    const UUID nil{};
    UUID some{};
    ASSERT_EQ(platform::UuidFromString(u"00000000-0000-0000-0000-000000000001", &some), RPC_S_OK);
    RPC_STATUS status = -1;
    EXPECT_EQ(platform::UuidCompare(nullptr, &nil, &status), 0);
    EXPECT_EQ(platform::UuidCompare(nullptr, &some, &status), -1);
}

}  // namespace
