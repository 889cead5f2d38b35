// Rule nodes compiled the way the service compiles them: the converter fills the image's enciphered
// templates, the real ktRGen.dll from the product directory compiles the documents, and the driver's
// reader and evaluator judge accesses against the bytes. kctool then reads them back from a KC file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "compiler/converter_values.h"
#include "compiler/error_stack.h"
#include "compiler/ic_nodes.h"
#include "compiler/intermediate_configuration.h"
#include "compiler/kt_data_file.h"
#include "compiler/rule_converter.h"
#include "settings/settings_fixture.h"
#include "srtc/srtc.h"
#include "support/test_root.h"

namespace {

using srtc::Effect;
using srtc::TargetKind;

using Values = std::vector<std::pair<DWORD, std::shared_ptr<IRuleValue>>>;

std::shared_ptr<IRuleValue> Str(std::u16string s) {
    return std::make_shared<CICStringRuleValue>(std::move(s));
}
std::shared_ptr<IRuleValue> Int(LONGLONG ll) {
    return std::make_shared<CICIntegralRuleValue>(ll);
}
std::shared_ptr<IRuleValue> HashWithPath(std::u16string sHash, std::u16string sPath) {
    return std::make_shared<CICStringPairRuleValue>(std::move(sHash), std::move(sPath));
}
std::shared_ptr<IRuleValue> HashWithLength(std::u16string sHash, DWORD dwLength) {
    return std::make_shared<CICStringDWORDRuleValue>(std::move(sHash), dwLength);
}
std::shared_ptr<IRuleValue> Exclusion(std::u16string sActor, std::u16string sTarget, std::u16string sSid,
                                      DWORD dwMask) {
    return std::make_shared<CICExclusionRuleValue>(std::move(sActor), std::move(sTarget), std::move(sSid),
                                                   dwMask);
}

std::uint64_t Time(const char* szIso) {
    std::uint64_t q = 0;
    EXPECT_TRUE(srtc::ParseDate(szIso, q)) << szIso;
    return q;
}

// Access masks as the platform asks for them.
constexpr std::uint32_t FILE_READ = 0x00120089;  // read data, EA, attributes, READ_CONTROL, SYNCHRONIZE
constexpr std::uint32_t FILE_WRITE_DATA = 0x00000002;
constexpr std::uint32_t FILE_DELETE = 0x00010000;
constexpr std::uint32_t KEY_READ_ONLY = 0x00020019;  // query value, enumerate, notify, READ_CONTROL
constexpr std::uint32_t KEY_SET_VALUE = 0x00000002;
constexpr std::uint32_t PROCESS_TERMINATE = 0x00000001;
constexpr std::uint32_t PROCESS_QUERY = 0x00000400;

constexpr const char16_t* OUTSIDER = u"S-1-5-21-100-200-300-1001";
constexpr const char* AFTER = "2024-02-01T00:00:00Z";

// One access and the verdict the template means for it: the rule that decides, or "" for the
// rule set's default effect.
struct Check {
    const char* szName;
    srtc::Access access;
    Effect effect;
    const char* szRule;
};

srtc::Access Write(std::u16string sActorSid, std::u16string sTarget, TargetKind kind, std::uint32_t dwMask,
                   const char* szTime = AFTER) {
    srtc::Access access;
    access.sActorPath = u"C:\\Windows\\explorer.exe";
    access.sActorSid = std::move(sActorSid);
    access.sTargetPath = std::move(sTarget);
    access.targetKind = kind;
    access.dwDesiredAccess = dwMask;
    access.qwTime = Time(szTime);
    return access;
}

srtc::Access Actor(std::u16string sPath, std::u16string sSid = OUTSIDER) {
    srtc::Access access;
    access.sActorPath = std::move(sPath);
    access.sActorSid = std::move(sSid);
    access.sTargetPath = u"C:\\Data\\file.txt";
    access.dwDesiredAccess = FILE_WRITE_DATA;
    access.qwTime = Time(AFTER);
    return access;
}

srtc::Access WithHash(std::u16string sPath, std::u16string sMd5, std::u16string sSha1,
                      std::uint32_t dwLength) {
    srtc::Access access = Actor(std::move(sPath));
    access.sActorMd5 = std::move(sMd5);
    access.sActorSha1 = std::move(sSha1);
    access.dwActorFileLength = dwLength;
    return access;
}

srtc::Access OnDevice(std::u16string sDevice) {
    srtc::Access access = Actor(u"D:\\setup.exe");
    access.sActorDevice = std::move(sDevice);
    return access;
}

srtc::Access Excluding(std::u16string sActor, std::u16string sTarget, std::u16string sSid,
                       std::uint32_t dwMask) {
    srtc::Access access = Actor(std::move(sActor), std::move(sSid));
    access.sTargetPath = std::move(sTarget);
    access.dwDesiredAccess = dwMask;
    return access;
}

struct Scenario {
    const char* szName;
    DWORD dwRSType;
    Values values;
    std::vector<Check> checks;
};

class RulePipelineTest : public testing::Test {
protected:
    void SetUp() override {
        std::error_code ec;
        std::filesystem::create_directories(settingstest::HostPath(settingstest::PRODUCT_DIRECTORY), ec);
        CRegistryKey reg;
        ASSERT_TRUE(reg.Create(HKEY_LOCAL_MACHINE, CInstalledApps::INSTALLED_APPS_KEY));
        ASSERT_TRUE(reg.SetString(u"KRELL", settingstest::PRODUCT_DIRECTORY));
        settingstest::PlaceLibrary(krelltest::ProgramPath("ktRGen.dll"), u"ktRGen.dll");
        CRuleConverter::SetTemplateModule(nullptr);
    }

    static CICRuleNode MakeNode(DWORD dwRSType, const Values& values) {
        CICRuleNode node(dwRSType);
        for (const auto& [dwType, pValue] : values) {
            EXPECT_TRUE(node.Append(dwType, *pValue));
        }
        return node;
    }

    // The node's serialized rules, as the converter hands them to the KC file.
    static std::vector<std::uint8_t> Generate(const CICRuleNode& node) {
        CErrorStack errors;
        CRuleConverter converter;
        EXPECT_TRUE(converter.GenerateSRTC(node, &errors));
        // A fallback to the template would hide a fill the preprocessor refused.
        EXPECT_TRUE(errors.Entries().empty());
        const BYTE* pData = converter.GetSerializedRulesData();
        if (pData == nullptr) {
            return {};
        }
        return std::vector<std::uint8_t>(pData, pData + converter.GetSerializedRulesLength());
    }

    static srtc::RuleSet ReadRules(const std::vector<std::uint8_t>& blob) {
        srtc::RuleSet rules;
        std::string sError;
        EXPECT_TRUE(srtc::Read(blob, rules, sError)) << sError;
        return rules;
    }

    static void ExpectVerdicts(const srtc::RuleSet& rules, const std::vector<Check>& checks) {
        for (const Check& check : checks) {
            SCOPED_TRACE(check.szName);
            const srtc::Verdict verdict = srtc::Evaluate(rules, check.access);
            EXPECT_EQ(verdict.effect, check.effect);
            const std::string sRule =
                verdict.nRule == srtc::SRTC_NO_RULE
                    ? std::string()
                    : srtc::ToUtf8(rules.rules[static_cast<std::size_t>(verdict.nRule)].sId);
            EXPECT_EQ(sRule, check.szRule);
        }
    }
};

const Values PROTECTED_VALUES = {
    {PT_AUTHORIZED_USER_CONTEXT, Str(u"S-1-5-21-100-200-300-500")},
    {PT_PROTECTED_FOLDER_TREE, Str(u"C:\\Data\\Secret\\")},
    {PT_PROTECTED_FILE, Str(u"C:\\Data\\config.ini")},
    {PT_PROTECTED_FOLDER_TREE, Str(u"C:\\Données\\")},
    {PT_PROTECTED_REGKEY, Str(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme")},
    {PT_PROTECTED_REGKEY_TREE, Str(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\")},
    {PT_PROTECTED_PROCESS, Str(u"C:\\Tools\\agent.exe")},
    {PT_EXCLUDED_FOLDER, Str(u"C:\\Data\\Secret\\Public\\")},
    {PT_EXCLUDED_REGKEY, Str(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\Volatile")},
    {PT_FILE_PROTECTION_ENABLED, Int(1)},
    {PT_PROCESS_PROTECTION_ENABLED, Int(0)},
    // 2024-01-31T08:05:09Z
    {PT_DISABLED_PROTECTION_EXPIRES, Int((1706688309LL + 11644473600LL) * 10000000LL)},
};

const Values AUTHORIZATION_VALUES = {
    {PT_AUTHORIZED_DEVICE, Str(u"CDROM")},
    {PT_AUTHORIZED_LOCATION, Str(u"C:\\Tools\\setup.exe")},
    {PT_AUTHORIZED_FOLDER_TREE, Str(u"C:\\Program Files\\Vendor\\")},
    {PT_AUTHORIZED_USER_CONTEXT, Str(u"S-1-5-21-100-200-300-500")},
    {PT_AUTHORIZED_MD5_WITH_PATH, HashWithPath(u"0123456789abcdef0123456789abcdef", u"C:\\Apps\\x.exe")},
    {PT_AUTHORIZED_SHA1_WITH_PATH,
     HashWithPath(u"00112233445566778899aabbccddeeff00112233", u"C:\\Apps\\y.exe")},
    {PT_AUTHORIZED_MD5_WITH_LENGTH, HashWithLength(u"fedcba9876543210fedcba9876543210", 4096)},
    // A length above 2^31 travels as a negative int32 and must still match.
    {PT_AUTHORIZED_MD5_WITH_LENGTH, HashWithLength(u"aaaabbbbccccddddeeeeffff00001111", 3000000000u)},
    {PT_AUTHORIZED_SHA1_WITH_LENGTH, HashWithLength(u"ffeeddccbbaa99887766554433221100ffeeddcc", 8192)},
};

const Values EXCLUSION_VALUES = {
    {PT_EXCLUSION, Exclusion(u"C:\\Tools\\backup.exe", u"*", u"*", FILE_WRITE_DATA)},
    {PT_EXCLUSION, Exclusion(u"*", u"C:\\Logs\\app.log", u"*", FILE_DELETE)},
    {PT_EXCLUSION, Exclusion(u"*", u"*", u"S-1-5-21-7", 0x6)},
    {PT_EXCLUSION, Exclusion(u"C:\\A\\b.exe", u"C:\\T\\f.txt", u"S-1-5-21-8", 0xFFFFFFFF)},
    // Nothing but a mask would exempt everyone: left out.
    {PT_EXCLUSION, Exclusion(u"*", u"*", u"*", 0xFFFFFFFF)},
};

TEST_F(RulePipelineTest, FilledNodesAreJudgedAsTheTemplatesMean) {
    const char16_t* AUTHORIZED = u"S-1-5-21-100-200-300-500";
    const std::vector<Scenario> scenarios = {
        {"protected resources",
         RS_TYPE_PROTECTED_RESOURCES,
         PROTECTED_VALUES,
         {
             {"protected tree written by an outsider",
              Write(OUTSIDER, u"C:\\Data\\Secret\\a.txt", TargetKind::File, FILE_WRITE_DATA), Effect::Deny,
              "deny-protected-file"},
             {"letter case does not matter",
              Write(OUTSIDER, u"c:\\data\\SECRET\\A.TXT", TargetKind::File, FILE_DELETE), Effect::Deny,
              "deny-protected-file"},
             {"authorized user context",
              Write(AUTHORIZED, u"C:\\Data\\Secret\\a.txt", TargetKind::File, FILE_WRITE_DATA), Effect::Allow,
              "authorized-user-context"},
             {"LocalSystem stays authorized",
              Write(u"S-1-5-18", u"C:\\Data\\Secret\\a.txt", TargetKind::File, FILE_WRITE_DATA),
              Effect::Allow, "authorized-user-context"},
             {"reading is not protected",
              Write(OUTSIDER, u"C:\\Data\\Secret\\a.txt", TargetKind::File, FILE_READ), Effect::Allow, ""},
             {"excluded folder",
              Write(OUTSIDER, u"C:\\Data\\Secret\\Public\\b.txt", TargetKind::File, FILE_WRITE_DATA),
              Effect::Allow, "excluded-folder"},
             {"excluded folder is a file exclusion only",
              Write(OUTSIDER, u"C:\\Data\\Secret\\Public\\b.txt", TargetKind::Registry, KEY_SET_VALUE),
              Effect::Allow, ""},
             {"letters beyond ASCII in another case",
              Write(OUTSIDER, u"c:\\DONNÉES\\été.txt", TargetKind::File, FILE_WRITE_DATA), Effect::Deny,
              "deny-protected-file"},
             {"exact file", Write(OUTSIDER, u"C:\\Data\\config.ini", TargetKind::File, FILE_WRITE_DATA),
              Effect::Deny, "deny-protected-file"},
             {"exact file is no tree",
              Write(OUTSIDER, u"C:\\Data\\config.ini.bak", TargetKind::File, FILE_WRITE_DATA), Effect::Allow,
              ""},
             {"product directory stays protected",
              Write(OUTSIDER, u"C:\\Program Files\\Quillon\\KRELL\\KRELLSvc.exe", TargetKind::File,
                    FILE_DELETE),
              Effect::Deny, "deny-protected-file"},
             {"exact key",
              Write(OUTSIDER, u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme", TargetKind::Registry, KEY_SET_VALUE),
              Effect::Deny, "deny-protected-regkey"},
             {"exact key is no tree",
              Write(OUTSIDER, u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme\\Sub", TargetKind::Registry,
                    KEY_SET_VALUE),
              Effect::Allow, ""},
             {"key prefix",
              Write(OUTSIDER, u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\Other", TargetKind::Registry,
                    KEY_SET_VALUE),
              Effect::Deny, "deny-protected-regkey"},
             {"reading a key",
              Write(OUTSIDER, u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\Other", TargetKind::Registry,
                    KEY_READ_ONLY),
              Effect::Allow, ""},
             {"a file path under a protected key prefix",
              Write(OUTSIDER, u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\Other", TargetKind::File,
                    FILE_WRITE_DATA),
              Effect::Allow, ""},
             {"excluded key",
              Write(OUTSIDER, u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\Volatile\\x", TargetKind::Registry,
                    KEY_SET_VALUE),
              Effect::Allow, "excluded-regkey"},
             {"service key stays protected",
              Write(OUTSIDER,
                    u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KRELLDrv\\Parameters",
                    TargetKind::Registry, KEY_SET_VALUE),
              Effect::Deny, "deny-protected-regkey"},
             {"process protection switched off",
              Write(OUTSIDER, u"C:\\Tools\\agent.exe", TargetKind::Process, PROCESS_TERMINATE), Effect::Allow,
              ""},
             {"before the end of the disabling",
              Write(OUTSIDER, u"C:\\Data\\Secret\\a.txt", TargetKind::File, FILE_WRITE_DATA,
                    "2024-01-31T08:05:08Z"),
              Effect::Allow, "protection-temporarily-disabled"},
             {"at the end of the disabling",
              Write(OUTSIDER, u"C:\\Data\\Secret\\a.txt", TargetKind::File, FILE_WRITE_DATA,
                    "2024-01-31T08:05:09Z"),
              Effect::Deny, "deny-protected-file"},
         }},
        {"protection switches",
         RS_TYPE_PROTECTED_RESOURCES,
         {{PT_PROTECTED_FILE, Str(u"C:\\Data\\config.ini")},
          {PT_PROTECTED_PROCESS, Str(u"C:\\Tools\\agent.exe")},
          {PT_FILE_PROTECTION_ENABLED, Int(0)},
          {PT_REGISTRY_PROTECTION_ENABLED, Int(0)},
          {PT_PROCESS_PROTECTION_ENABLED, Int(1)}},
         {
             {"file protection off",
              Write(OUTSIDER, u"C:\\Data\\config.ini", TargetKind::File, FILE_WRITE_DATA), Effect::Allow, ""},
             {"file protection off for the product directory too",
              Write(OUTSIDER, u"C:\\Program Files\\Quillon\\KRELL\\x.dll", TargetKind::File, FILE_WRITE_DATA),
              Effect::Allow, ""},
             {"registry protection off",
              Write(OUTSIDER, u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KRELLSvc",
                    TargetKind::Registry, KEY_SET_VALUE),
              Effect::Allow, ""},
             {"process protection on",
              Write(OUTSIDER, u"C:\\Tools\\agent.exe", TargetKind::Process, PROCESS_TERMINATE), Effect::Deny,
              "deny-protected-process"},
             {"template's process kept",
              Write(OUTSIDER, u"C:\\Program Files\\Quillon\\KRELL\\KRELLSvc.exe", TargetKind::Process,
                    PROCESS_TERMINATE),
              Effect::Deny, "deny-protected-process"},
             {"querying a process",
              Write(OUTSIDER, u"C:\\Tools\\agent.exe", TargetKind::Process, PROCESS_QUERY), Effect::Allow,
              ""},
         }},
        {"authorization",
         RS_TYPE_AUTHORIZATION,
         AUTHORIZATION_VALUES,
         {
             {"authorized device", OnDevice(u"CDROM"), Effect::Allow, "authorized-device"},
             {"other device", OnDevice(u"USB"), Effect::Deny, ""},
             {"authorized location", Actor(u"C:\\Tools\\setup.exe"), Effect::Allow, "authorized-location"},
             {"location is exact", Actor(u"C:\\Tools\\setup.exe.old"), Effect::Deny, ""},
             {"authorized folder", Actor(u"C:\\Program Files\\Vendor\\bin\\a.exe"), Effect::Allow,
              "authorized-folder"},
             {"sibling of the folder", Actor(u"C:\\Program Files\\Vendor2\\a.exe"), Effect::Deny, ""},
             {"authorized user context", Actor(u"C:\\x.exe", AUTHORIZED), Effect::Allow,
              "authorized-user-context"},
             {"MD5 with its path", WithHash(u"C:\\Apps\\x.exe", u"0123456789ABCDEF0123456789ABCDEF", u"", 1),
              Effect::Allow, "authorized-hash"},
             {"MD5 elsewhere", WithHash(u"C:\\Apps\\z.exe", u"0123456789abcdef0123456789abcdef", u"", 1),
              Effect::Deny, ""},
             {"SHA-1 with its path",
              WithHash(u"c:\\apps\\Y.EXE", u"", u"00112233445566778899aabbccddeeff00112233", 1),
              Effect::Allow, "authorized-hash"},
             {"path without the hash", WithHash(u"C:\\Apps\\y.exe", u"", u"00", 1), Effect::Deny, ""},
             {"MD5 with its length", WithHash(u"C:\\any.exe", u"fedcba9876543210fedcba9876543210", u"", 4096),
              Effect::Allow, "authorized-anonymous-hash"},
             {"MD5 with another length",
              WithHash(u"C:\\any.exe", u"fedcba9876543210fedcba9876543210", u"", 4097), Effect::Deny, ""},
             {"MD5 with a length above 2^31",
              WithHash(u"C:\\any.exe", u"aaaabbbbccccddddeeeeffff00001111", u"", 3000000000u), Effect::Allow,
              "authorized-anonymous-hash"},
             {"SHA-1 with its length",
              WithHash(u"C:\\any.exe", u"", u"ffeeddccbbaa99887766554433221100ffeeddcc", 8192), Effect::Allow,
              "authorized-anonymous-hash"},
         }},
        // One value of each kind: the second kind's alternatives go into an or beside the first.
        {"single hashes",
         RS_TYPE_AUTHORIZATION,
         {{PT_AUTHORIZED_MD5_WITH_PATH, HashWithPath(u"11111111111111111111111111111111", u"C:\\a.exe")},
          {PT_AUTHORIZED_SHA1_WITH_PATH,
           HashWithPath(u"2222222222222222222222222222222222222222", u"C:\\b.exe")},
          {PT_AUTHORIZED_MD5_WITH_LENGTH, HashWithLength(u"33333333333333333333333333333333", 10)},
          {PT_AUTHORIZED_SHA1_WITH_LENGTH, HashWithLength(u"4444444444444444444444444444444444444444", 20)}},
         {
             {"MD5 with path", WithHash(u"C:\\a.exe", u"11111111111111111111111111111111", u"", 0),
              Effect::Allow, "authorized-hash"},
             {"SHA-1 with path", WithHash(u"C:\\b.exe", u"", u"2222222222222222222222222222222222222222", 0),
              Effect::Allow, "authorized-hash"},
             {"hashes crossed over paths",
              WithHash(u"C:\\b.exe", u"11111111111111111111111111111111", u"", 0), Effect::Deny, ""},
             {"MD5 with length", WithHash(u"C:\\c.exe", u"33333333333333333333333333333333", u"", 10),
              Effect::Allow, "authorized-anonymous-hash"},
             {"SHA-1 with length",
              WithHash(u"C:\\c.exe", u"", u"4444444444444444444444444444444444444444", 20), Effect::Allow,
              "authorized-anonymous-hash"},
             {"SHA-1 with the MD5's length",
              WithHash(u"C:\\c.exe", u"", u"4444444444444444444444444444444444444444", 10), Effect::Deny, ""},
         }},
        {"exclusions",
         RS_TYPE_EXCLUSION,
         EXCLUSION_VALUES,
         {
             {"actor", Excluding(u"C:\\Tools\\backup.exe", u"C:\\any", OUTSIDER, FILE_WRITE_DATA),
              Effect::Allow, "excluded-access"},
             {"actor, bits not covered", Excluding(u"C:\\Tools\\backup.exe", u"C:\\any", OUTSIDER, FILE_READ),
              Effect::Deny, ""},
             {"target", Excluding(u"C:\\x.exe", u"c:\\logs\\APP.LOG", OUTSIDER, FILE_DELETE), Effect::Allow,
              "excluded-access"},
             {"target, bits not covered",
              Excluding(u"C:\\x.exe", u"C:\\Logs\\app.log", OUTSIDER, FILE_WRITE_DATA), Effect::Deny, ""},
             {"target is exact", Excluding(u"C:\\x.exe", u"C:\\Logs\\app.log.1", OUTSIDER, FILE_DELETE),
              Effect::Deny, ""},
             {"sid", Excluding(u"C:\\x.exe", u"C:\\any", u"S-1-5-21-7", 0x4), Effect::Allow,
              "excluded-access"},
             {"all three", Excluding(u"C:\\A\\b.exe", u"C:\\T\\f.txt", u"S-1-5-21-8", FILE_READ),
              Effect::Allow, "excluded-access"},
             {"two of three", Excluding(u"C:\\A\\b.exe", u"C:\\T\\f.txt", OUTSIDER, FILE_READ), Effect::Deny,
              ""},
             {"a mask alone excludes nothing", Excluding(u"C:\\x.exe", u"C:\\any", OUTSIDER, 0x1),
              Effect::Deny, ""},
         }},
        {"one exclusion",
         RS_TYPE_EXCLUSION,
         {{PT_EXCLUSION, Exclusion(u"C:\\Tools\\backup.exe", u"C:\\Data\\db", u"*", FILE_WRITE_DATA)}},
         {
             {"matching", Excluding(u"C:\\Tools\\backup.exe", u"C:\\Data\\db", OUTSIDER, FILE_WRITE_DATA),
              Effect::Allow, "excluded-access"},
             {"other target",
              Excluding(u"C:\\Tools\\backup.exe", u"C:\\Data\\db2", OUTSIDER, FILE_WRITE_DATA), Effect::Deny,
              ""},
         }},
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.szName);
        const srtc::RuleSet rules = ReadRules(Generate(MakeNode(scenario.dwRSType, scenario.values)));
        ExpectVerdicts(rules, scenario.checks);
    }
}

// Each rule set's conversion is pinned byte for byte: a change of template, converter or preprocessor
// that changes what reaches the driver shows here (KRELL_UPDATE_GOLDEN=1 writes the files anew for
// review). Inputs given in another order, or twice, compile to the same bytes.
TEST_F(RulePipelineTest, ConversionsMatchTheGoldenRulesAndIgnoreInputOrder) {
    const struct {
        const char* szGolden;
        DWORD dwRSType;
        const Values* pValues;
    } cases[] = {
        {"protected-resources.srtc", RS_TYPE_PROTECTED_RESOURCES, &PROTECTED_VALUES},
        {"authorization.srtc", RS_TYPE_AUTHORIZATION, &AUTHORIZATION_VALUES},
        {"exclusion.srtc", RS_TYPE_EXCLUSION, &EXCLUSION_VALUES},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szGolden);
        const std::vector<std::uint8_t> blob = Generate(MakeNode(c.dwRSType, *c.pValues));
        ASSERT_FALSE(blob.empty());
        const std::string sGolden = std::string(KRELL_RULES_GOLDEN_DIR) + "/" + c.szGolden;
        if (std::getenv("KRELL_UPDATE_GOLDEN") != nullptr) {
            std::ofstream(sGolden, std::ios::binary)
                .write(reinterpret_cast<const char*>(blob.data()), static_cast<std::streamsize>(blob.size()));
        }
        std::ifstream in(sGolden, std::ios::binary);
        const std::vector<std::uint8_t> golden{std::istreambuf_iterator<char>(in), {}};
        EXPECT_EQ(blob, golden);
    }
    // Set items given in reverse, and each twice, compile to the same bytes. (Hash and exclusion
    // alternatives are expressions whose order is the rules' order, so only sets are compared.)
    Values shuffled(PROTECTED_VALUES.rbegin(), PROTECTED_VALUES.rend());
    shuffled.insert(shuffled.end(), PROTECTED_VALUES.begin(), PROTECTED_VALUES.end());
    EXPECT_EQ(Generate(MakeNode(RS_TYPE_PROTECTED_RESOURCES, shuffled)),
              Generate(MakeNode(RS_TYPE_PROTECTED_RESOURCES, PROTECTED_VALUES)));
}

// The end of a temporary disabling as far out as a file time reaches: its year takes five digits.
TEST_F(RulePipelineTest, ProtectionDisabledUntilTheLastFileTime) {
    const Values values = {{PT_DISABLED_PROTECTION_EXPIRES, Int(0x7FFFFFFFFFFFFFFFLL)}};
    const srtc::RuleSet rules = ReadRules(Generate(MakeNode(RS_TYPE_PROTECTED_RESOURCES, values)));
    ExpectVerdicts(rules, {{"far future",
                            Write(OUTSIDER, u"C:\\Program Files\\Quillon\\KRELL\\a.dll", TargetKind::File,
                                  FILE_WRITE_DATA, "9999-12-31T23:59:59Z"),
                            Effect::Allow, "protection-temporarily-disabled"},
                           {"after the end",
                            Write(OUTSIDER, u"C:\\Program Files\\Quillon\\KRELL\\a.dll", TargetKind::File,
                                  FILE_WRITE_DATA, "30828-09-14T02:48:05Z"),
                            Effect::Deny, "deny-protected-file"}});
}

TEST_F(RulePipelineTest, EmptyNodesGetTheTemplatesDefaults) {
    const std::vector<Scenario> scenarios = {
        {"protected resources",
         RS_TYPE_PROTECTED_RESOURCES,
         {},
         {
             {"product directory",
              Write(OUTSIDER, u"C:\\Program Files\\Quillon\\KRELL\\ktRGen.dll", TargetKind::File,
                    FILE_WRITE_DATA),
              Effect::Deny, "deny-protected-file"},
             {"product directory by LocalSystem",
              Write(u"S-1-5-18", u"C:\\Program Files\\Quillon\\KRELL\\ktRGen.dll", TargetKind::File,
                    FILE_WRITE_DATA),
              Effect::Allow, "authorized-user-context"},
             {"service key",
              Write(OUTSIDER,
                    u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KRELLSvc\\Parameters",
                    TargetKind::Registry, KEY_SET_VALUE),
              Effect::Deny, "deny-protected-regkey"},
             {"driver key",
              Write(OUTSIDER, u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KRELLDrv",
                    TargetKind::Registry, KEY_SET_VALUE),
              Effect::Deny, "deny-protected-regkey"},
             {"service process",
              Write(OUTSIDER, u"C:\\Program Files\\Quillon\\KRELL\\KRELLSvc.exe", TargetKind::Process,
                    PROCESS_TERMINATE),
              Effect::Deny, "deny-protected-process"},
             {"other file", Write(OUTSIDER, u"C:\\Data\\a.txt", TargetKind::File, FILE_WRITE_DATA),
              Effect::Allow, ""},
             {"not disabled at the earliest time",
              Write(OUTSIDER, u"C:\\Program Files\\Quillon\\KRELL\\a", TargetKind::File, FILE_WRITE_DATA,
                    "1601-01-01T00:00:00Z"),
              Effect::Deny, "deny-protected-file"},
         }},
        {"authorization",
         RS_TYPE_AUTHORIZATION,
         {},
         {
             {"LocalSystem", Actor(u"C:\\Windows\\system32\\services.exe", u"S-1-5-18"), Effect::Deny, ""},
             {"a device", OnDevice(u"CDROM"), Effect::Deny, ""},
         }},
        {"exclusions",
         RS_TYPE_EXCLUSION,
         {},
         {
             {"anything", Excluding(u"C:\\x.exe", u"C:\\y", u"S-1-5-18", 0xFFFFFFFF), Effect::Deny, ""},
         }},
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.szName);
        const srtc::RuleSet rules = ReadRules(Generate(CICRuleNode(scenario.dwRSType)));
        ExpectVerdicts(rules, scenario.checks);
    }
}

// Values the converter cannot use leave an expression without any alternative.
TEST_F(RulePipelineTest, UnusableValuesLeaveNothingAuthorizedOrExcluded) {
    const std::vector<Scenario> scenarios = {
        {"hash without a path",
         RS_TYPE_AUTHORIZATION,
         {{PT_AUTHORIZED_MD5_WITH_PATH, Str(u"0123")}},
         {{"hash", WithHash(u"C:\\x.exe", u"0123", u"", 1), Effect::Deny, ""}}},
        {"two hashes without a length",
         RS_TYPE_AUTHORIZATION,
         {{PT_AUTHORIZED_MD5_WITH_LENGTH, Str(u"0123")}, {PT_AUTHORIZED_MD5_WITH_LENGTH, Str(u"4567")}},
         {{"hash", WithHash(u"C:\\x.exe", u"0123", u"", 0), Effect::Deny, ""}}},
        {"exclusions of a mask only",
         RS_TYPE_EXCLUSION,
         {{PT_EXCLUSION, Exclusion(u"*", u"*", u"*", 1)}, {PT_EXCLUSION, Exclusion(u"*", u"*", u"*", 2)}},
         {{"anything", Excluding(u"C:\\x.exe", u"C:\\y", OUTSIDER, 3), Effect::Deny, ""}}},
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.szName);
        const srtc::RuleSet rules = ReadRules(Generate(MakeNode(scenario.dwRSType, scenario.values)));
        ExpectVerdicts(rules, scenario.checks);
    }
}

// kctool, run as a program, decodes the sections of a KC file the compiler's writer made.
class RuleSectionDumpTest : public RulePipelineTest {
protected:
    using ToolResult = krelltest::ToolResult;

    static ToolResult RunKCTool(std::vector<std::string> args) {
        args.insert(args.begin(), KRELL_KCTOOL);
        return krelltest::RunTool(args);
    }
};

// Exclusions have no section of their own; the id here is one kctool decodes by the data alone.
constexpr DWORD EXCLUSION_SECTION = 0x203;

TEST_F(RuleSectionDumpTest, KCToolDecodesTheCompiledSections) {
    const std::vector<std::uint8_t> protectedRules =
        Generate(MakeNode(RS_TYPE_PROTECTED_RESOURCES, PROTECTED_VALUES));
    const std::vector<std::uint8_t> authorization =
        Generate(MakeNode(RS_TYPE_AUTHORIZATION, AUTHORIZATION_VALUES));
    const std::vector<std::uint8_t> exclusions = Generate(MakeNode(RS_TYPE_EXCLUSION, EXCLUSION_VALUES));
    CKTDataFile file;
    ASSERT_EQ(file.Open(u"C:\\rules.kc"), KTDATAFILE_S_OK);
    for (const auto& [dwId, blob] : {std::pair{KTDATAFILE_GATEWARDEN_RULES_ID, &protectedRules},
                                     std::pair{KTDATAFILE_AUTHORIZATION_RULES_ID, &authorization},
                                     std::pair{EXCLUSION_SECTION, &exclusions}}) {
        ASSERT_EQ(file.AddSection(dwId, blob->data(), static_cast<DWORD>(blob->size())), KTDATAFILE_S_OK);
    }
    ASSERT_EQ(file.Close(), KTDATAFILE_S_OK);

    const ToolResult dump = RunKCTool({"dump", "C:\\rules.kc"});
    EXPECT_EQ(dump.nExitCode, 0) << dump.sOutput;
    for (const char* sExpected : {
             "serialized rules: protected-resources, default allow, 6 set(s)",
             "set \"protected-files\": 2 exact, 3 prefix",
             "  prefix \"C:\\DONNÉES\\\"",
             "  exact \"C:\\DATA\\CONFIG.INI\"",
             "  prefix \"C:\\DATA\\SECRET\\\"",
             "  prefix \"C:\\PROGRAM FILES\\QUILLON\\KRELL\\\"",
             "set \"authorized-user-contexts\": 2 exact, 0 prefix",
             "literal \"is-process-protection-enabled\": bool false",
             "literal \"disabled-protection-expires-time\": date 2024-01-31T08:05:09Z",
             "rule \"deny-protected-regkey\" deny: and(literal \"is-registry-protection-enabled\", "
             "equals(target/kind, str \"registry\"), in-set(target/path, set \"protected-regkeys\"), "
             "binary-and(action/desired-access, hex32 0x500D0026))",
             "serialized rules: authorization, default deny, 4 set(s), ",
             "set \"authorized-devices\": 1 exact, 0 prefix",
             "expression \"is-authorized-anonymous-hash\": or(",
             "equals(actor/file-length, int32 -1294967296)",
             "rule \"authorized-hash\" allow: expr \"is-authorized-hash\"",
             "serialized rules: exclusion, default deny, 0 set(s)",
             "expression \"is-excluded-access\": or(and(equals(actor/path, str \"C:\\Tools\\backup.exe\"), "
             "binary-and(action/desired-access, hex32 0x00000002)), ",
             "rule \"excluded-access\" allow: expr \"is-excluded-access\"",
         }) {
        EXPECT_NE(dump.sOutput.find(sExpected), std::string::npos) << sExpected << "\n" << dump.sOutput;
    }

    struct Eval {
        std::vector<std::string> args;
        const char* szVerdict;
    };
    const Eval evals[] = {
        {{"--section", "201", "--actor-sid", "S-1-5-21-9", "--target-path", "C:\\Data\\Secret\\a.txt",
          "--kind", "file", "--access", "0x2", "--time", AFTER},
         "deny (rule \"deny-protected-file\":"},
        {{"--section", "201", "--actor-sid", "S-1-5-21-9", "--target-path", "C:\\Data\\Secret\\a.txt",
          "--kind", "file", "--access", "0x1", "--time", AFTER},
         "allow (default effect)"},
        {{"--section", "202", "--actor-path", "C:\\Program Files\\Vendor\\a.exe"},
         "allow (rule \"authorized-folder\":"},
        {{"--section", "203", "--actor-sid", "S-1-5-21-7", "--access", "0x4"},
         "allow (rule \"excluded-access\":"},
    };
    for (const Eval& eval : evals) {
        std::vector<std::string> args = {"eval", "C:\\rules.kc"};
        args.insert(args.end(), eval.args.begin(), eval.args.end());
        const ToolResult result = RunKCTool(args);
        EXPECT_EQ(result.nExitCode, 0) << result.sOutput;
        EXPECT_NE(result.sOutput.find(eval.szVerdict), std::string::npos) << eval.szVerdict << "\n"
                                                                          << result.sOutput;
    }
}

}  // namespace
