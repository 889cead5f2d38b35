// The command line as the platform hands it over splits back into the arguments the program's C
// runtime gave main.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/strings.h"

namespace {

// The platform's rule for arguments without quotes of their own: spaces separate, double quotes
// group.
std::vector<std::string> Split(std::u16string_view sLine) {
    std::vector<std::string> args;
    std::u16string sArg;
    bool bInArg = false;
    bool bQuoted = false;
    for (char16_t ch : sLine) {
        if (ch == u'"') {
            bQuoted = !bQuoted;
            bInArg = true;
        } else if (ch == u' ' && !bQuoted) {
            if (bInArg) {
                args.push_back(platform::ToUtf8(sArg));
            }
            sArg.clear();
            bInArg = false;
        } else {
            sArg += ch;
            bInArg = true;
        }
    }
    if (bInArg) {
        args.push_back(platform::ToUtf8(sArg));
    }
    return args;
}

TEST(CommandLine, SplitsIntoTheArgumentsOfMain) {
    const std::u16string sLine = platform::GetCommandLine();
    ASSERT_FALSE(sLine.empty());
    EXPECT_EQ(Split(sLine), testing::internal::GetArgvs()) << platform::ToUtf8(sLine);
}

}  // namespace
