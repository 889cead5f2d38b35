// The security the framework gives its named objects, read back from the objects as the platform
// keeps it.
#include <gtest/gtest.h>

#include "platform/sync.h"
#include "service/sync_objects.h"
#include "service/win32/object_dacl.h"

namespace {

using krelltest::ADMIN_DACL;
using krelltest::DaclOf;
using krelltest::NULL_DACL;
using krelltest::READ_CONTROL;

TEST(ObjectSecurity, NamedObjectsCarryTheFrameworksDacls) {
    CNullDacl nullDacl;
    ASSERT_TRUE(nullDacl.Create());
    CAdminDacl adminDacl;
    ASSERT_TRUE(adminDacl.Create());
    struct Case {
        const char* szName;
        const SECURITY_ATTRIBUTES* pSecurity;
        const std::regex* pExpected;
    };
    const Case cases[] = {{"null", nullDacl.Get(), &NULL_DACL}, {"admin", adminDacl.Get(), &ADMIN_DACL}};
    for (const Case& c : cases) {
        CEvent event;
        ASSERT_TRUE(event.Create(c.pSecurity, true, false, u"KRELLTestSecurityEvent", true)) << c.szName;
        HANDLE hEvent = platform::OpenEvent(READ_CONTROL, false, u"Global\\KRELLTestSecurityEvent");
        ASSERT_NE(hEvent, nullptr) << c.szName;
        const std::string sEventDacl = DaclOf(hEvent);
        platform::CloseHandle(hEvent);
        EXPECT_TRUE(std::regex_match(sEventDacl, *c.pExpected)) << c.szName << ": " << sEventDacl;

        CMutex mutex;
        ASSERT_TRUE(mutex.Create(c.pSecurity, false, u"KRELLTestSecurityMutex", true)) << c.szName;
        const std::string sMutexDacl = DaclOf(mutex.Handle());
        EXPECT_TRUE(std::regex_match(sMutexDacl, *c.pExpected)) << c.szName << ": " << sMutexDacl;
    }
}

TEST(ObjectSecurity, DefaultIsNeitherAndAnExistingObjectKeepsItsOwn) {
    CEvent plain;
    ASSERT_TRUE(plain.Create(nullptr, true, false, u"KRELLTestPlainEvent", true));
    HANDLE hPlain = platform::OpenEvent(READ_CONTROL, false, u"Global\\KRELLTestPlainEvent");
    ASSERT_NE(hPlain, nullptr);
    const std::string sDefault = DaclOf(hPlain);
    platform::CloseHandle(hPlain);
    EXPECT_FALSE(std::regex_match(sDefault, NULL_DACL)) << sDefault;
    EXPECT_FALSE(std::regex_match(sDefault, ADMIN_DACL)) << sDefault;

    CAdminDacl adminDacl;
    ASSERT_TRUE(adminDacl.Create());
    CNullDacl nullDacl;
    ASSERT_TRUE(nullDacl.Create());
    CEvent first;
    ASSERT_TRUE(first.Create(adminDacl.Get(), true, false, u"KRELLTestKeptEvent", true));
    CEvent second;
    ASSERT_TRUE(second.Create(nullDacl.Get(), true, false, u"KRELLTestKeptEvent", true));
    HANDLE hKept = platform::OpenEvent(READ_CONTROL, false, u"Global\\KRELLTestKeptEvent");
    ASSERT_NE(hKept, nullptr);
    const std::string sKept = DaclOf(hKept);
    platform::CloseHandle(hKept);
    EXPECT_TRUE(std::regex_match(sKept, ADMIN_DACL)) << sKept;
}

}  // namespace
