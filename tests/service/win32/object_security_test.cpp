// The security the framework gives its named objects, read back from the objects as the platform
// keeps it.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "platform/strings.h"
#include "platform/sync.h"
#include "service/sync_objects.h"

extern "C" {
__declspec(dllimport) int __stdcall GetKernelObjectSecurity(void*, DWORD, void*, DWORD, DWORD*);
__declspec(dllimport) int __stdcall ConvertSecurityDescriptorToStringSecurityDescriptorW(void*, DWORD, DWORD,
                                                                                         wchar_t**, DWORD*);
__declspec(dllimport) int __stdcall GetSecurityDescriptorDacl(void*, int*, void**, int*);
__declspec(dllimport) void* __stdcall LocalFree(void*);
}

namespace {

constexpr DWORD READ_CONTROL = 0x00020000;

// The object's DACL as a descriptor string.
std::string DaclOf(HANDLE hObject) {
    constexpr DWORD DACL_SECURITY_INFORMATION = 4, SDDL_REVISION_1 = 1;
    DWORD cbNeeded = 0;
    GetKernelObjectSecurity(hObject, DACL_SECURITY_INFORMATION, nullptr, 0, &cbNeeded);
    std::vector<BYTE> descriptor(cbNeeded);
    if (cbNeeded == 0 || GetKernelObjectSecurity(hObject, DACL_SECURITY_INFORMATION, descriptor.data(),
                                                 cbNeeded, &cbNeeded) == 0) {
        return "(unreadable)";
    }
    // Wine writes a null DACL as "D:", the string of an empty one.
    int bPresent = 0, bDefaulted = 0;
    void* pDacl = nullptr;
    if (GetSecurityDescriptorDacl(descriptor.data(), &bPresent, &pDacl, &bDefaulted) != 0 && bPresent != 0 &&
        pDacl == nullptr) {
        return "D:NO_ACCESS_CONTROL";
    }
    wchar_t* szText = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &szText, nullptr) == 0) {
        return "(unconvertible)";
    }
    const std::string sText = platform::ToUtf8(reinterpret_cast<const char16_t*>(szText));
    LocalFree(szText);
    return sText;
}

const std::regex NULL_DACL("^D:NO_ACCESS_CONTROL$");
// Generic rights may come back mapped to the object's own.
const std::regex ADMIN_DACL(R"(^D:(\(A;;[^;]+;;;BA\)\(A;;[^;]+;;;SY\)|\(A;;[^;]+;;;SY\)\(A;;[^;]+;;;BA\))$)");

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
