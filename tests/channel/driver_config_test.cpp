// The stand-in driver's configuration loading: what it accepts and refuses, decoded in process, and
// the settings exchange with the real krelldrv, its status and its test options.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>

#include "channel_harness.h"
#include "compiler/file.h"
#include "compiler/kt_data_file.h"
#include "driver_config.h"
#include "kcfile/kc_format.h"
#include "kcfile/kc_reader.h"
#include "platform/strings.h"
#include "srtc/srtc.h"
#include "support/protection_root.h"

namespace {

using krelltest::CDriverProcess;

// A protected-resources rule set of nRules deny rules, all on one set of target paths.
std::vector<BYTE> RuleBlob(size_t nRules) {
    srtc::RuleSet rules;
    rules.sets.push_back({u"files", {u"C:\\SECRET.TXT", u"C:\\OTHER.TXT"}, {}});
    srtc::Node node;
    node.function = srtc::Function::InSet;
    node.attribute = srtc::Attribute::TargetPath;
    node.operandKind = srtc::OperandKind::Set;
    rules.nodes.push_back(node);
    for (size_t i = 0; i < nRules; ++i) {
        rules.rules.push_back({u"deny-" + platform::FromUtf8(std::to_string(i)), srtc::Effect::Deny, 0});
    }
    return srtc::Write(rules);
}

const std::vector<BYTE> STATE = {1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0};

using Sections = std::vector<std::pair<DWORD, std::vector<BYTE>>>;

Sections ValidSections() {
    return {{kcfile::KC_SECTION_PROTECTION_STATE, STATE}, {kcfile::KC_SECTION_GATEWARDEN_RULES, RuleBlob(3)}};
}

// Writes a KC file the way the compiler does, replacing one the test wrote before.
void WriteKC(const std::u16string& sPath, const Sections& sections) {
    CKTDataFile file;
    ASSERT_EQ(file.Open(sPath.c_str(), platform::CREATE_ALWAYS), KTDATAFILE_S_OK);
    for (const auto& [dwId, data] : sections) {
        ASSERT_EQ(file.AddSection(dwId, data.data(), static_cast<DWORD>(data.size())), KTDATAFILE_S_OK);
    }
    ASSERT_EQ(file.Close(), KTDATAFILE_S_OK);
}

std::vector<BYTE> KCBytes(const Sections& sections) {
    platform::CreateDirectory(u"C:\\KC");
    WriteKC(u"C:\\KC\\scratch.kc", sections);
    const std::string sBytes = krelltest::ReadFileBytes(u"C:\\KC\\scratch.kc");
    return {sBytes.begin(), sBytes.end()};
}

TEST(DriverConfiguration, DecodesSectionsAndCountsRules) {
    Sections sections = ValidSections();
    sections.push_back({0x300, RuleBlob(5)});  // rules outside the rule sections are known by their magic
    const std::vector<BYTE> file = KCBytes(sections);
    krelldrv::CDriverConfiguration config;
    std::string sError;
    ASSERT_EQ(krelldrv::DecodeConfiguration(file, u"C:\\KC\\a.kc", config, sError), krelldrv::CONFIG_ACCEPTED)
        << sError;
    EXPECT_EQ(config.sPath, u"C:\\KC\\a.kc");
    EXPECT_EQ(std::memcmp(config.headerDigest.data(), file.data() + kcfile::KC_HEADER_DIGEST, 20), 0);
    ASSERT_EQ(config.sections.size(), 3u);
    EXPECT_EQ(config.sections[0].dwId, 0x102u);
    EXPECT_EQ(config.sections[0].dwLength, 16u);
    EXPECT_FALSE(config.sections[0].bRules);
    EXPECT_EQ(config.sections[1].dwId, 0x201u);
    EXPECT_EQ(config.sections[1].dwLength, RuleBlob(3).size());
    EXPECT_EQ(config.sections[1].dwRuleCount, 3u);
    EXPECT_EQ(config.sections[2].dwRuleCount, 5u);
    EXPECT_EQ(config.state.dwDebugLogMask, 3u);
    ASSERT_EQ(config.rules.count(0x201), 1u);
    srtc::Access access;
    access.sTargetPath = u"c:\\secret.txt";
    EXPECT_EQ(srtc::Evaluate(config.rules.at(0x201), access).effect, srtc::Effect::Deny);
}

TEST(DriverConfiguration, RefusesBadContentAndKeepsTheConfigurationInForce) {
    std::vector<BYTE> brokenRules = RuleBlob(2);
    brokenRules[4] = 9;  // version
    const struct {
        const char* szName;
        Sections sections;
        DWORD dwExpected;
    } cases[] = {
        {"no protection state", {{0x201, RuleBlob(1)}}, krelldrv::CONFIG_E_NO_CONFIG_SECTION},
        {"short protection state", {{0x102, {1, 0, 0, 0}}}, krelldrv::CONFIG_E_BAD_SECTION},
        {"rule section not SRTC", {{0x102, STATE}, {0x202, {'x', 'y', 'z'}}}, krelldrv::CONFIG_E_BAD_SECTION},
        {"SRTC of another version", {{0x102, STATE}, {0x300, brokenRules}}, krelldrv::CONFIG_E_BAD_SECTION},
    };
    krelldrv::CDriverConfiguration config;
    std::string sError;
    ASSERT_EQ(krelldrv::DecodeConfiguration(KCBytes(ValidSections()), u"C:\\KC\\good.kc", config, sError),
              krelldrv::CONFIG_ACCEPTED);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        sError.clear();
        EXPECT_EQ(krelldrv::DecodeConfiguration(KCBytes(c.sections), u"C:\\KC\\bad.kc", config, sError),
                  c.dwExpected);
        EXPECT_NE(sError, "");
        EXPECT_EQ(config.sPath, u"C:\\KC\\good.kc");
        EXPECT_EQ(config.sections.size(), 2u);
    }
}

TEST(DriverConfiguration, EveryByteOfTheFileIsCovered) {
    const std::vector<BYTE> file = KCBytes(ValidSections());
    for (size_t i = 0; i < file.size(); ++i) {
        std::vector<BYTE> flipped = file;
        flipped[i] ^= 0x01;
        krelldrv::CDriverConfiguration config;
        std::string sError;
        EXPECT_EQ(krelldrv::DecodeConfiguration(flipped, u"C:\\KC\\x.kc", config, sError),
                  krelldrv::CONFIG_E_INVALID)
            << "byte " << i;
        EXPECT_FALSE(config.IsLoaded());
    }
    std::vector<BYTE> longer = file;
    longer.push_back(0);
    krelldrv::CDriverConfiguration config;
    std::string sError;
    EXPECT_EQ(krelldrv::DecodeConfiguration(longer, u"C:\\KC\\x.kc", config, sError),
              krelldrv::CONFIG_E_INVALID);
}

struct Reply {
    DWORD dwType = 0;
    DWORD dwCode = 0;
    std::optional<std::u16string> oldFile;
};

// The next type-2 message from the driver.
Reply ReceiveReply(CKTUMessageChannel& channel) {
    Reply reply;
    CKTUMessage* pRaw = nullptr;
    EXPECT_EQ(channel.ReceiveKTMessage(&pRaw), 0u);
    if (pRaw == nullptr) {
        return reply;
    }
    EXPECT_EQ(pRaw->GetType(), TYPE_GW_ACTIVATION);
    auto* pReply = static_cast<CKTUReplyMessage*>(pRaw);
    EXPECT_EQ(pReply->GetReplyType(&reply.dwType), MSG_SUCCESS);
    EXPECT_EQ(pReply->GetReplyCode(&reply.dwCode), MSG_SUCCESS);
    char16_t szOld[260] = {};
    DWORD cbOld = sizeof(szOld);
    const DWORD dwResult = pReply->GetOldKCFileName(szOld, &cbOld);
    if (dwResult == MSG_SUCCESS) {
        reply.oldFile = szOld;
    } else {
        EXPECT_EQ(dwResult, NO_VALUE);
    }
    CKTUMessageChannel::DestroyKTMessage(pRaw);
    return reply;
}

void SendSettings(CKTUMessageChannel& channel, const std::u16string& sPath) {
    auto* pMsg = static_cast<CKTUSettingsMessage*>(CKTUMessageChannel::MakeEmptyKTMessage(TYPE_GW_SETTINGS));
    ASSERT_NE(pMsg, nullptr);
    ASSERT_EQ(pMsg->SetSettingsPath(sPath.c_str()), MSG_SUCCESS);
    ASSERT_EQ(channel.SendKTMessage(pMsg), 0u);
}

class DriverConfigLoading : public ::testing::Test {
protected:
    void SetUp() override {
        platform::CreateDirectory(u"C:\\KC");
        for (const char16_t* szName : {u"C:\\KC\\kc1.kc", u"C:\\KC\\kc2.kc", u"C:\\KC\\kc3.kc"}) {
            WriteKC(szName, ValidSections());
        }
        ASSERT_EQ(m_Channel.Open(), 0u);
    }
    void TearDown() override {
        m_Channel.Close();
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, PARAMETERS);
    }
    Reply Load(const std::u16string& sPath) {
        SendSettings(m_Channel, sPath);
        Reply reply = ReceiveReply(m_Channel);
        EXPECT_EQ(reply.dwType, TYPE_GW_SETTINGS);
        return reply;
    }
    static void SetOption(const char16_t* szName, DWORD dwValue) {
        CRegistryKey parameters;
        ASSERT_TRUE(parameters.Create(HKEY_LOCAL_MACHINE, PARAMETERS));
        ASSERT_TRUE(parameters.SetDword(szName, dwValue));
    }
    std::string ActiveFile() {
        const std::string sStatus = m_Driver.Command("status");
        const size_t nPos = sStatus.find("\nkc ");
        return nPos == std::string::npos ? ""
                                         : sStatus.substr(nPos + 4, sStatus.find('\n', nPos + 1) - nPos - 4);
    }

    static constexpr const char16_t* PARAMETERS =
        u"SYSTEM\\CurrentControlSet\\Services\\KRELLDrv\\Parameters";
    CDriverProcess m_Driver;
    CKTUMessageChannel m_Channel{KTU_CHANNEL_DEVICE_NAME};
};

TEST_F(DriverConfigLoading, AcceptedFilesNameTheFileTheyReplace) {
    EXPECT_EQ(ActiveFile(), "(none)");
    Reply first = Load(u"C:\\KC\\kc1.kc");
    EXPECT_EQ(first.dwCode, krelldrv::CONFIG_ACCEPTED);
    EXPECT_FALSE(first.oldFile.has_value());
    EXPECT_EQ(ActiveFile(), "C:\\KC\\kc1.kc");

    const std::string sBytes = krelltest::ReadFileBytes(u"C:\\KC\\kc1.kc");
    crypto::Sha1Digest digest{};
    std::memcpy(digest.data(), sBytes.data() + kcfile::KC_HEADER_DIGEST, digest.size());
    const std::string sStatus = m_Driver.Command("status");
    EXPECT_NE(sStatus.find("\ndigest " + kcfile::DigestToHex(digest) + "\n"), std::string::npos) << sStatus;
    EXPECT_NE(sStatus.find("\nsection 0x102 length=16\n"), std::string::npos) << sStatus;
    EXPECT_NE(sStatus.find("\nsection 0x201 length=" + std::to_string(RuleBlob(3).size()) + " rules=3"),
              std::string::npos)
        << sStatus;
    EXPECT_EQ(m_Driver.Status("loaded"), 1u);

    Reply second = Load(u"C:\\KC\\kc2.kc");
    EXPECT_EQ(second.dwCode, krelldrv::CONFIG_ACCEPTED);
    EXPECT_EQ(second.oldFile, u"C:\\KC\\kc1.kc");
    EXPECT_EQ(ActiveFile(), "C:\\KC\\kc2.kc");
    // The file in force, sent again, is not named: the service would delete it.
    Reply again = Load(u"c:\\kc\\KC2.KC");
    EXPECT_EQ(again.dwCode, krelldrv::CONFIG_ACCEPTED);
    EXPECT_FALSE(again.oldFile.has_value());

    const std::string sJson = m_Driver.Command("status json");
    EXPECT_NE(sJson.find("\"path\":\"c:\\\\kc\\\\KC2.KC\""), std::string::npos) << sJson;
    EXPECT_NE(sJson.find("{\"id\":513,\"length\":" + std::to_string(RuleBlob(3).size()) + ",\"rules\":3}"),
              std::string::npos)
        << sJson;
    EXPECT_NE(sJson.find("\"loaded\":3,\"rejected\":0"), std::string::npos) << sJson;
}

TEST_F(DriverConfigLoading, KrellctlShowsTheFileInForce) {
    ASSERT_EQ(Load(u"C:\\KC\\kc1.kc").dwCode, krelldrv::CONFIG_ACCEPTED);
    const std::string sCtl = krelltest::ProgramPath("krellctl");
    const struct {
        const char* szArgs;
        std::vector<std::string> expected;  // the first begins the output
    } cases[] = {
        {" driver status", {"ok pid=", " loaded=1 ", "\nkc C:\\KC\\kc1.kc\n", "\nsection 0x201 length="}},
        {" driver status --json",
         {"{\"pid\":", "\"configuration\":{\"path\":\"C:\\\\KC\\\\kc1.kc\"", "\"rules\":3}]}}\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szArgs);
        std::string sOutput;
        EXPECT_EQ(krelltest::RunCommand(sCtl + c.szArgs, &sOutput), 0);
        EXPECT_TRUE(sOutput.starts_with(c.expected[0])) << sOutput;
        for (const std::string& sPart : c.expected) {
            EXPECT_NE(sOutput.find(sPart), std::string::npos) << sPart << " in " << sOutput;
        }
    }
}

TEST_F(DriverConfigLoading, InvalidFilesAreRejectedAndTheOldOneStays) {
    ASSERT_EQ(Load(u"C:\\KC\\kc1.kc").dwCode, krelldrv::CONFIG_ACCEPTED);
    std::string sBytes = krelltest::ReadFileBytes(u"C:\\KC\\kc2.kc");
    sBytes[sBytes.size() - 3] ^= 0x40;  // inside the last record's data
    {
        CFile file;
        ASSERT_TRUE(file.Create(u"C:\\KC\\kc2.kc", GENERIC_WRITE, 0, platform::CREATE_ALWAYS,
                                platform::FILE_ATTRIBUTE_NORMAL));
        ASSERT_TRUE(file.Write(sBytes.data(), static_cast<DWORD>(sBytes.size())));
    }
    const struct {
        const char16_t* szPath;
        DWORD dwExpected;
    } cases[] = {
        {u"C:\\KC\\kc2.kc", krelldrv::CONFIG_E_INVALID},
        {u"C:\\KC\\missing.kc", krelldrv::CONFIG_E_UNREADABLE},
        {u"", krelldrv::CONFIG_E_UNREADABLE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(platform::ToUtf8(c.szPath));
        Reply reply = Load(c.szPath);
        EXPECT_EQ(reply.dwCode, c.dwExpected);
        EXPECT_FALSE(reply.oldFile.has_value());
        EXPECT_EQ(ActiveFile(), "C:\\KC\\kc1.kc");
    }
    EXPECT_EQ(m_Driver.Status("rejected"), 3u);
    // The file kept is the one a later success names.
    EXPECT_EQ(Load(u"C:\\KC\\kc3.kc").oldFile, u"C:\\KC\\kc1.kc");
}

TEST_F(DriverConfigLoading, TestOptionsShapeTheReply) {
    ASSERT_EQ(Load(u"C:\\KC\\kc1.kc").dwCode, krelldrv::CONFIG_ACCEPTED);

    SetOption(u"ConfigReject", 1);
    Reply rejected = Load(u"C:\\KC\\kc2.kc");
    EXPECT_EQ(rejected.dwCode, krelldrv::CONFIG_REJECTED);
    EXPECT_FALSE(rejected.oldFile.has_value());
    EXPECT_EQ(ActiveFile(), "C:\\KC\\kc1.kc");
    SetOption(u"ConfigReject", 0);

    // Silence: no reply and no switch; the next reply answers the next file.
    SetOption(u"ConfigSilent", 1);
    SendSettings(m_Channel, u"C:\\KC\\kc2.kc");
    ASSERT_TRUE(m_Driver.WaitForStatus("received", 3));
    EXPECT_EQ(ActiveFile(), "C:\\KC\\kc1.kc");
    SetOption(u"ConfigSilent", 0);
    EXPECT_EQ(Load(u"C:\\KC\\kc3.kc").oldFile, u"C:\\KC\\kc1.kc");

    SetOption(u"ConfigDelay", 300);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Load(u"C:\\KC\\kc2.kc").oldFile, u"C:\\KC\\kc3.kc");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    SetOption(u"ConfigDelay", 0);

    SetOption(u"ConfigOtherReplyFirst", 1);
    SendSettings(m_Channel, u"C:\\KC\\kc1.kc");
    Reply other = ReceiveReply(m_Channel);
    EXPECT_EQ(other.dwType, TYPE_GW_ACTIVATION_REQUEST);
    Reply settings = ReceiveReply(m_Channel);
    EXPECT_EQ(settings.dwType, TYPE_GW_SETTINGS);
    EXPECT_EQ(settings.dwCode, krelldrv::CONFIG_ACCEPTED);
    EXPECT_EQ(settings.oldFile, u"C:\\KC\\kc2.kc");
}

}  // namespace
