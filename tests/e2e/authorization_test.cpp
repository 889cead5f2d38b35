// Who may act despite the protection, seen from outside: what krellctl authorizes reaches the driver's
// configuration and turns a violation into a permitted access, and removing it brings the alert back;
// the legacy install description reaches the driver as its own section.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/root.h"
#include "platform/strings.h"
#include "support/files.h"
#include "support/protection_root.h"
#include "support/test_root.h"

namespace {

using krelltest::DriverStatus;
using krelltest::ProgramPath;
using krelltest::PROTECTED_TARGET;
using krelltest::ReadText;
using krelltest::RunCommand;
using krelltest::WaitForDriverStatus;

constexpr auto npos = std::string::npos;
constexpr const char* TOOL = "C:\\Temp\\tool.exe";

std::string HostPath(const char* szWindowsPath) {
    std::string sHost;
    EXPECT_TRUE(platform::MapPath(platform::FromUtf8(szWindowsPath), &sHost));
    return sHost;
}

void WriteFile(const char* szWindowsPath, const std::string& sContent) {
    const std::string sHost = HostPath(szWindowsPath);
    std::filesystem::create_directories(std::filesystem::path(sHost).parent_path());
    std::ofstream(sHost, std::ios::binary) << sContent;
}

class Authorization : public krelltest::ProtectionRootTest {
protected:
    // krellctl's printed answer; the command must succeed.
    std::string Ctl(const std::string& sWords) {
        std::string sOutput;
        EXPECT_EQ(RunCommand(m_sCtl + " " + sWords, &sOutput), 0) << sWords << "\n" << sOutput;
        return sOutput;
    }
    // A write to a protected file, as the driver judges it.
    std::string Write(const std::string& sActor, const std::string& sMore = "") {
        return Ctl("driver access --actor '" + sActor + "' --pid 31 --action 1 --target '" +
                   PROTECTED_TARGET + "' " + sMore);
    }
    // Authorizes, checks the access passes silently, removes and checks the violation is back: two
    // alerts in all, one before and one after.
    void AuthorizeThenRemove(const std::string& sActor, const std::string& sMore, const std::string& sAdd,
                             const std::string& sRemove) {
        const pid_t alerts = StartWatcher("alerts", "alerts watch --json --count 2 --timeout 60");
        ASSERT_GT(alerts, 0);
        std::string sDecision = Write(sActor, sMore);
        EXPECT_NE(sDecision.find("violation"), npos) << sDecision;

        std::string sAnswer = Ctl("authorize " + sAdd);
        EXPECT_NE(sAnswer.find("\"Result\":\"0x00000000\""), npos) << sAnswer;
        sDecision = Write(sActor, sMore);
        EXPECT_EQ(sDecision.find("violation"), npos) << sDecision;
        EXPECT_NE(sDecision.find("(section 0x202)"), npos) << sDecision;

        sAnswer = Ctl("authorize remove " + sRemove);
        EXPECT_NE(sAnswer.find("\"Result\":\"0x00000000\""), npos) << sAnswer;
        sDecision = Write(sActor, sMore);
        EXPECT_NE(sDecision.find("violation"), npos) << sDecision;

        EXPECT_EQ(WaitWatcher(alerts), 0);
        EXPECT_EQ(krelltest::NonEmptyLines(ReadText(m_sRun + "/alerts.out")).size(), 2u);
        EXPECT_NE(DriverStatus().find(" violations=2 "), npos) << DriverStatus();
    }
};

TEST_F(Authorization, AnAuthorizedLocationSilencesTheViolationUntilRemoved) {
    Boot();
    AuthorizeThenRemove(TOOL, "", std::string("location '") + TOOL + "'",
                        std::string("location '") + TOOL + "'");
}

TEST_F(Authorization, AnAuthorizedFolderTreeCoversWhatLiesBelowIt) {
    Boot();
    AuthorizeThenRemove("C:\\Tools\\bin\\x.exe", "", "location 'C:\\Tools\\' --tree",
                        "location 'C:\\Tools\\'");
}

TEST_F(Authorization, AnAuthorizedLocalAccountSilencesTheViolationUntilRemoved) {
    const std::string sAdded = Ctl("accounts add Operator");
    const std::string sSid = sAdded.substr(sAdded.find('\t') + 1, sAdded.find('\n') - sAdded.find('\t') - 1);
    ASSERT_EQ(sSid.rfind("S-1-5-21-", 0), 0u) << sAdded;
    EXPECT_EQ(Ctl("accounts list"), "Operator\t" + sSid + "\n");
    const std::string sByName = Ctl("accounts lookup operator");
    EXPECT_EQ(sByName.rfind(sSid + "\t", 0), 0u) << sByName;
    EXPECT_NE(sByName.find("\\Operator\n"), npos) << sByName;
    EXPECT_EQ(Ctl("accounts lookup " + sSid), sByName);
    Boot();
    AuthorizeThenRemove(TOOL, "--sid " + sSid, "user Operator", "user Operator");
}

TEST_F(Authorization, AnAuthorizedDeviceSilencesTheViolationUntilRemoved) {
    Boot();
    AuthorizeThenRemove(TOOL, "--device CDROM", "device cdrom", "device cdrom");
}

TEST_F(Authorization, AnAuthorizedHashSilencesTheViolationOfThatFileOnly) {
    WriteFile(TOOL, "the tool's image, version 1\n");
    WriteFile("C:\\Temp\\other.exe", "another image\n");
    Boot();
    const std::string sAnswer = Ctl(std::string("authorize hash '") + TOOL + "'");
    EXPECT_NE(sAnswer.find("\"Result\":\"0x00000000\""), npos) << sAnswer;
    std::string sDecision = Write(TOOL);
    EXPECT_EQ(sDecision.find("violation"), npos) << sDecision;
    EXPECT_NE(sDecision.find("authorized-anonymous-hash"), npos) << sDecision;
    sDecision = Write("C:\\Temp\\other.exe");
    EXPECT_NE(sDecision.find("violation"), npos) << sDecision;

    // The same bytes under another length are another file.
    const std::string sList = Ctl("authorize list");
    const std::size_t nHash = sList.find("hash sha1 ");
    ASSERT_NE(nHash, npos) << sList;
    const std::string sHex = sList.substr(nHash + 10, 40);
    Ctl("authorize remove hash " + sHex);
    EXPECT_NE(Write(TOOL).find("violation"), npos);
    Ctl("authorize hash --hex " + sHex + " --length 5");
    EXPECT_NE(Write(TOOL).find("violation"), npos);
    Ctl("authorize hash --hex " + sHex + " --length 28");
    EXPECT_EQ(Write(TOOL).find("violation"), npos);
    // A changed image no longer matches.
    WriteFile(TOOL, "the tool's image, version 2\n");
    EXPECT_NE(Write(TOOL).find("violation"), npos);
}

TEST_F(Authorization, ThePluginsMessagesReachTheAnswerAndTheRestIsCompiled) {
    Boot();
    Ctl("settings set 'GATEWARDEN\\PRIVATE\\Authorization Module\\Devices' 2 --dword 1");
    std::string sAnswer = Ctl("authorize device cdrom");
    EXPECT_NE(sAnswer.find("{\"severity\":1,\"text\":\"Configuration update failed\"}"), npos) << sAnswer;
    sAnswer = Ctl("authorize user no-such-account-here");
    EXPECT_NE(sAnswer.find("{\"severity\":2,\"text\":\"User account lookup failed for account "
                           "\\\"no-such-account-here\\\"\"}"),
              npos)
        << sAnswer;
    sAnswer = Ctl("authorize hash --hex 000102030405060708090a0b0c0d0e0f1011 --length 9");
    sAnswer = Ctl(std::string("authorize location '") + TOOL + "'");
    EXPECT_NE(sAnswer.find("\"Result\":\"0x00000000\""), npos) << sAnswer;
    EXPECT_EQ(Write(TOOL).find("violation"), npos);

    // The file in force shows what was compiled, with the values' types.
    const std::string sStatus = DriverStatus();
    const std::size_t nKc = sStatus.find("\nkc ");
    ASSERT_NE(nKc, npos) << sStatus;
    const std::string sKc = sStatus.substr(nKc + 4, sStatus.find('\n', nKc + 4) - nKc - 4);
    std::string sHost;
    ASSERT_TRUE(platform::MapPath(platform::FromUtf8(sKc), &sHost));
    std::string sDump;
    ASSERT_EQ(RunCommand(ProgramPath("kctool") + " dump '" + sHost + "'", &sDump), 0) << sDump;
    EXPECT_NE(sDump.find("exact \"CDROM\""), npos) << sDump;
    EXPECT_NE(sDump.find("exact \"C:\\TEMP\\TOOL.EXE\""), npos) << sDump;
    EXPECT_EQ(sDump.find("000102030405060708090A0B0C0D0E0F1011"), npos) << sDump;
    EXPECT_NE(sDump.find("0 legacy install executable(s)"), npos) << sDump;
}

TEST_F(Authorization, CommandsRefuseWhatTheyCannotStore) {
    struct {
        const char* szWords;
        int nExit;
    } const rows[] = {
        {"authorize", 2},
        {"authorize location", 2},
        {"authorize location 'C:\\a' --md5", 2},
        {"authorize device floppy", 2},
        {"authorize hash --hex 0g --length 5", 2},
        {"authorize hash --hex 012 --length 5", 2},
        {"authorize hash --hex 0102 --length -5", 2},
        {"authorize hash --hex 0102 --length 4294967296", 2},
        {"authorize hash 'C:\\no\\such.exe'", 1},
        {"authorize remove user", 2},
        {"authorize remove hash 0102", 1},
        {"authorize user x --wait 0", 2},
        {"legacy add setup.exe 'C:\\a.dll'", 2},
        {"legacy add 'a\\b.exe' 'C:\\a.dll' 'C:\\a.dll'", 2},
        {"legacy add setup.exe 'C:\\a.dll' 'C:\\no\\such.dll'", 1},
        {"accounts add 'a\\b' S-1-5-18", 1},
        {"accounts add bob S-1-5-0x12", 1},
        {"accounts remove nobody-known", 1},
    };
    for (const auto& row : rows) {
        std::string sOutput;
        EXPECT_EQ(RunCommand(m_sCtl + " " + row.szWords, &sOutput), row.nExit) << row.szWords << "\n"
                                                                               << sOutput;
    }
    // Nothing of the refused commands was stored.
    EXPECT_EQ(Ctl("authorize list"), "");
    EXPECT_EQ(Ctl("legacy list"), "");
    EXPECT_EQ(Ctl("accounts list"), "");
}

TEST_F(Authorization, LegacyInstallsReachTheDriverWhenTheServiceStarts) {
    WriteFile("C:\\Temp\\a-v1.dll", "version one");
    WriteFile("C:\\Temp\\a-v2.dll", "version two, longer");
    // Before the boot nobody answers the configuration change; the settings are written all the same.
    RunCommand(m_sCtl +
               " legacy add setup.exe 'C:\\Program Files\\App\\a.dll' 'C:\\Temp\\a-v1.dll' "
               "'C:\\Temp\\a-v2.dll' --wait 1");
    const std::string sList = Ctl("legacy list");
    EXPECT_NE(sList.find("setup.exe\n  C:\\Program Files\\App\\a.dll\n"), npos) << sList;
    EXPECT_NE(sList.find(" size=11\n"), npos) << sList;
    EXPECT_NE(sList.find(" size=19\n"), npos) << sList;
    Boot();
    const std::string sStatus = DriverStatus();
    EXPECT_NE(sStatus.find("section 0x401 length=138 executables=1 companions=1 versions=2"), npos)
        << sStatus;
    EXPECT_NE(sStatus.find("legacy setup.exe\n  C:\\Program Files\\App\\a.dll versions=2"), npos) << sStatus;
}

}  // namespace
