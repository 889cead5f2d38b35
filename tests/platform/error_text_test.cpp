#include "platform/error_text.h"

#include <gtest/gtest.h>

#include "platform/service_control.h"

namespace {

TEST(ErrorText, NumbersComeWithThePlatformsText) {
    struct Case {
        DWORD dwError;
        const char* szExpected;
    };
    const Case cases[] = {
        {ERROR_INVALID_SERVICE_CONTROL, "1052 (The requested control is not valid for this service)"},
        {ERROR_SERVICE_DOES_NOT_EXIST, "1060 (The specified service does not exist as an installed service)"},
        {ERROR_SERVICE_ALREADY_RUNNING, "1056 (An instance of the service is already running)"},
        {ERROR_PROCESS_ABORTED, "1067 (The process terminated unexpectedly)"},
        {ERROR_FILE_NOT_FOUND, "2 (The system cannot find the file specified)"},
        {ERROR_ACCESS_DENIED, "5 (Access is denied)"},
        {ERROR_LOCK_VIOLATION,
         "33 (The process cannot access the file because another process has locked a portion of the "
         "file)"},
        {ERROR_SUCCESS, "0 (The operation completed successfully)"},
        // Codes outside the table keep their number alone.
        {4242, "4242"},
        {0xFFFFFFFF, "4294967295"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::DescribeError(c.dwError), c.szExpected);
    }
}

TEST(ErrorText, TextsHaveNeitherFinalPeriodNorLineBreak) {
    for (DWORD dwError = 0; dwError < 2000; ++dwError) {
        const char* szText = platform::SystemErrorText(dwError);
        if (szText == nullptr) {
            continue;
        }
        const std::string sText(szText);
        ASSERT_FALSE(sText.empty()) << dwError;
        EXPECT_NE(sText.back(), '.') << dwError;
        EXPECT_EQ(sText.find_first_of("\r\n"), std::string::npos) << dwError;
    }
}

}  // namespace
