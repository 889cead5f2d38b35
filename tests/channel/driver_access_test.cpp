// The stand-in driver as the source of violations and install queries: accesses judged against rule
// sets of every kind (in process), and against a loaded KC file by a real krelldrv that sends what it
// found to a service side connected here; install queries held, answered, expired and answered late.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <thread>

#include "channel_harness.h"
#include "compiler/kt_data_file.h"
#include "driver_access.h"
#include "kcfile/kc_format.h"
#include "platform/strings.h"
#include "srtc/srtc.h"

namespace {

using krelltest::CDriverProcess;

// Rule sets shaped like the templates' (docs/rules.md): the protected-resources one denies write-type
// accesses to protected files, keys and processes unless the actor runs as LocalSystem.
struct CRuleBuilder {
    srtc::RuleSet rules;

    std::uint32_t Set(const char16_t* szId, std::vector<std::u16string> exact,
                      std::vector<std::u16string> prefix) {
        rules.sets.push_back({szId, std::move(exact), std::move(prefix)});
        return static_cast<std::uint32_t>(rules.sets.size() - 1);
    }
    std::uint32_t Node(srtc::Node node) {
        rules.nodes.push_back(std::move(node));
        return static_cast<std::uint32_t>(rules.nodes.size() - 1);
    }
    std::uint32_t InSet(srtc::Attribute attribute, std::uint32_t dwSet) {
        srtc::Node node;
        node.function = srtc::Function::InSet;
        node.attribute = attribute;
        node.operandKind = srtc::OperandKind::Set;
        node.dwIndex = dwSet;
        return Node(node);
    }
    std::uint32_t Literal(srtc::Function function, srtc::Attribute attribute, srtc::LiteralType type,
                          std::uint64_t qwValue, std::u16string sText = u"") {
        rules.literals.push_back({u"", type, qwValue, std::move(sText)});
        srtc::Node node;
        node.function = function;
        node.attribute = attribute;
        node.dwIndex = static_cast<std::uint32_t>(rules.literals.size() - 1);
        return Node(node);
    }
    std::uint32_t And(std::vector<std::uint32_t> children) {
        srtc::Node node;
        node.kind = srtc::NodeKind::And;
        node.children = std::move(children);
        return Node(node);
    }
    void Rule(const char16_t* szId, srtc::Effect effect, std::uint32_t dwRoot) {
        rules.rules.push_back({szId, effect, dwRoot});
    }
    // As the driver holds it: written and read back.
    std::vector<BYTE> Blob() const { return srtc::Write(rules); }
    srtc::RuleSet Read() const {
        srtc::RuleSet read;
        std::string sError;
        EXPECT_TRUE(srtc::Read(Blob(), read, sError)) << sError;
        return read;
    }
};

CRuleBuilder ProtectedResources() {
    CRuleBuilder b;
    b.rules.kind = srtc::RuleSetKind::ProtectedResources;
    b.rules.defaultEffect = srtc::Effect::Allow;
    const struct {
        const char16_t* szKind;
        std::vector<std::u16string> exact;
        std::vector<std::u16string> prefix;
        DWORD dwWriteMask;
        const char16_t* szRule;
    } kinds[] = {
        {u"file", {}, {u"C:\\Protected\\"}, 0x500D0116, u"deny-protected-file"},
        {u"registry",
         {},
         {u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Protected\\"},
         0x500D0026,
         u"deny-protected-regkey"},
        {u"process", {u"C:\\Protected\\svc.exe"}, {}, 0x500D0A6B, u"deny-protected-process"},
    };
    const std::uint32_t dwSystemSet = b.Set(u"authorized-user-contexts", {u"S-1-5-18"}, {});
    b.Rule(u"allow-system-context", srtc::Effect::Allow, b.InSet(srtc::Attribute::ActorSid, dwSystemSet));
    for (const auto& kind : kinds) {
        const std::uint32_t dwSet = b.Set(kind.szRule, kind.exact, kind.prefix);
        const std::uint32_t dwKind = b.Literal(srtc::Function::Equals, srtc::Attribute::TargetKind,
                                               srtc::LiteralType::Str, 0, kind.szKind);
        const std::uint32_t dwPath = b.InSet(srtc::Attribute::TargetPath, dwSet);
        const std::uint32_t dwWrite =
            b.Literal(srtc::Function::BinaryAnd, srtc::Attribute::ActionDesiredAccess,
                      srtc::LiteralType::Hex32, kind.dwWriteMask);
        b.Rule(kind.szRule, srtc::Effect::Deny, b.And({dwKind, dwPath, dwWrite}));
    }
    return b;
}

CRuleBuilder Authorization() {
    CRuleBuilder b;
    b.rules.kind = srtc::RuleSetKind::Authorization;
    b.rules.defaultEffect = srtc::Effect::Deny;
    const std::uint32_t dwSet = b.Set(u"authorized-locations", {u"C:\\Trusted\\tool.exe"}, {});
    b.Rule(u"allow-authorized-location", srtc::Effect::Allow, b.InSet(srtc::Attribute::ActorPath, dwSet));
    return b;
}

CRuleBuilder Exclusions() {
    CRuleBuilder b;
    b.rules.kind = srtc::RuleSetKind::Exclusion;
    b.rules.defaultEffect = srtc::Effect::Deny;
    const std::uint32_t dwActors = b.Set(u"excluded-actors", {u"C:\\Backup\\agent.exe"}, {});
    const std::uint32_t dwTargets = b.Set(u"excluded-targets", {}, {u"C:\\Protected\\Logs\\"});
    b.Rule(u"allow-excluded-access", srtc::Effect::Allow,
           b.And({b.InSet(srtc::Attribute::ActorPath, dwActors),
                  b.InSet(srtc::Attribute::TargetPath, dwTargets)}));
    return b;
}

// The exclusion rule set has no section id of its own: the driver knows it by its magic.
constexpr DWORD EXCLUSION_SECTION = 0x300;

krelldrv::CDriverConfiguration FullConfiguration() {
    krelldrv::CDriverConfiguration config;
    config.sPath = u"C:\\KC\\rules.kc";
    config.rules[kcfile::KC_SECTION_GATEWARDEN_RULES] = ProtectedResources().Read();
    config.rules[kcfile::KC_SECTION_AUTHORIZATION_RULES] = Authorization().Read();
    config.rules[EXCLUSION_SECTION] = Exclusions().Read();
    return config;
}

krelldrv::CAccess Access(const char16_t* szActor, DWORD dwAction, const char16_t* szTarget,
                         std::optional<DWORD> targetPid = std::nullopt, const char16_t* szSid = u"") {
    krelldrv::CAccess access;
    access.sActorPath = szActor;
    access.dwActorPid = 4321;
    access.dwAction = dwAction;
    access.sTargetPath = szTarget;
    access.targetPid = targetPid;
    access.dwSession = 1;
    access.sActorSid = szSid;
    return access;
}

TEST(DriverAccessJudgment, EveryActionMeetsTheRulesOfItsKind) {
    const krelldrv::CDriverConfiguration config = FullConfiguration();
    const std::uint64_t qwNow = krelldrv::FileTimeNow();
    const char16_t* szUser = u"C:\\Users\\x\\tool.exe";
    const char16_t* szFile = u"c:\\protected\\data.bin";
    const char16_t* szKey = u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Protected\\Settings";
    const char16_t* szProcess = u"C:\\Protected\\svc.exe";
    const struct {
        const char* szName;
        krelldrv::CAccess access;
        const char* szReason;  // a violation when it starts with "deny"
    } cases[] = {
        {"file read", Access(szUser, 0, szFile), "default effect (section 0x201)"},
        {"file write data", Access(szUser, 1, szFile),
         "deny by rule \"deny-protected-file\" (section 0x201)"},
        {"file append", Access(szUser, 2, szFile), "deny by rule \"deny-protected-file\" (section 0x201)"},
        {"file delete", Access(szUser, 3, szFile), "deny by rule \"deny-protected-file\" (section 0x201)"},
        {"file attributes", Access(szUser, 4, szFile),
         "deny by rule \"deny-protected-file\" (section 0x201)"},
        {"file permissions", Access(szUser, 5, szFile),
         "deny by rule \"deny-protected-file\" (section 0x201)"},
        {"registry set", Access(szUser, 6, szKey), "deny by rule \"deny-protected-regkey\" (section 0x201)"},
        {"registry create", Access(szUser, 7, szKey),
         "deny by rule \"deny-protected-regkey\" (section 0x201)"},
        {"registry delete", Access(szUser, 8, szKey),
         "deny by rule \"deny-protected-regkey\" (section 0x201)"},
        {"registry permissions", Access(szUser, 9, szKey),
         "deny by rule \"deny-protected-regkey\" (section 0x201)"},
        {"process terminate", Access(szUser, 10, szProcess, 88),
         "deny by rule \"deny-protected-process\" (section 0x201)"},
        {"process memory write", Access(szUser, 11, szProcess, 88),
         "deny by rule \"deny-protected-process\" (section 0x201)"},
        // A registry action names a key: a protected file's path is not one.
        {"registry action on a file path", Access(szUser, 6, szFile), "default effect (section 0x201)"},
        {"unprotected file", Access(szUser, 1, u"C:\\Temp\\x.txt"), "default effect (section 0x201)"},
        {"LocalSystem", Access(szUser, 1, szFile, std::nullopt, u"S-1-5-18"),
         "rule \"allow-system-context\" (section 0x201)"},
        {"authorized actor", Access(u"C:\\TRUSTED\\TOOL.EXE", 3, szFile),
         "rule \"allow-authorized-location\" (section 0x202)"},
        {"excluded access", Access(u"C:\\Backup\\agent.exe", 1, u"C:\\Protected\\Logs\\a.log"),
         "rule \"allow-excluded-access\" (section 0x300)"},
        {"excluded actor outside its exclusion", Access(u"C:\\Backup\\agent.exe", 1, szFile),
         "deny by rule \"deny-protected-file\" (section 0x201)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        const krelldrv::CJudgment judgment = krelldrv::Judge(config, c.access, qwNow);
        EXPECT_EQ(judgment.sReason, c.szReason);
        EXPECT_EQ(judgment.bViolation, std::string(c.szReason).starts_with("deny"));
    }
}

TEST(DriverAccessJudgment, MissingRuleSetsAndDefaultEffects) {
    const krelldrv::CAccess write = Access(u"C:\\x.exe", 1, u"C:\\Protected\\a");
    const std::uint64_t qwNow = krelldrv::FileTimeNow();
    krelldrv::CDriverConfiguration config;
    EXPECT_EQ(krelldrv::Judge(config, write, qwNow).sReason, "no rules loaded");

    config.rules[kcfile::KC_SECTION_AUTHORIZATION_RULES] = Authorization().Read();
    const krelldrv::CJudgment noProtection = krelldrv::Judge(config, write, qwNow);
    EXPECT_FALSE(noProtection.bViolation);
    EXPECT_EQ(noProtection.sReason, "no protected-resources rules");

    // A protected-resources set that denies by default makes every access it reaches a violation.
    CRuleBuilder denyAll;
    denyAll.rules.defaultEffect = srtc::Effect::Deny;
    config.rules[0x203] = denyAll.Read();
    const krelldrv::CJudgment denied = krelldrv::Judge(config, Access(u"C:\\x.exe", 0, u"C:\\y"), qwNow);
    EXPECT_TRUE(denied.bViolation);
    EXPECT_EQ(denied.sReason, "deny by default effect (section 0x203)");
    // ... unless an authorization set allows the actor first.
    EXPECT_FALSE(krelldrv::Judge(config, Access(u"C:\\Trusted\\tool.exe", 0, u"C:\\y"), qwNow).bViolation);
}

TEST(DriverAccessJudgment, AccessJsonIsCheckedWhole) {
    const struct {
        const char* szJson;
        const char* szError;  // contained in the error; nullptr: accepted
    } cases[] = {
        {R"({"actor":"C:\\a b\\x.exe","pid":1,"action":3,"target":"C:\\t"})", nullptr},
        {R"( { "actor" : "C:\\x" , "pid" : 0 , "action" : 10 , "target" : "C:\\p.exe" , "targetPid" : 4294967295 ,
              "session" : 2 , "sid" : "S-1-5-21-1" } )",
         nullptr},
        {R"({"actor":"C:\\x\u00e9\ud83d\ude00","pid":1,"action":0,"target":"\/t\"\t"})", nullptr},
        {"", "JSON offset 0: expected '{'"},
        {R"({"actor":"C:\\x","pid":1,"action":3,"target":"C:\\t"} x)", "text after the object"},
        {R"({"actor":"C:\\x","pid":1,"action":3,"target":"C:\\t")", "expected ',' or '}'"},
        {R"({"actor" "C:\\x"})", "JSON offset 9: expected ':'"},
        {R"({"actor":"C:\x","pid":1,"action":3,"target":"C:\\t"})", "unknown escape"},
        {R"({"actor":"C:\\x","pid":-1,"action":3,"target":"C:\\t"})",
         "expected a string or an unsigned number"},
        {R"({"actor":"C:\\x","pid":1.5,"action":3,"target":"C:\\t"})", "expected an unsigned integer"},
        {R"({"actor":"C:\\x","pid":01,"action":3,"target":"C:\\t"})", "leading zero"},
        {R"({"actor":"C:\\x","pid":4294967296,"action":3,"target":"C:\\t"})",
         "\"pid\": expected an unsigned 32-bit"},
        {R"({"actor":"C:\\x","pid":99999999999999999999,"action":3,"target":"C:\\t"})", "number too large"},
        {R"({"actor":"C:\\x","pid":1,"pid":2,"action":3,"target":"C:\\t"})", "\"pid\" given twice"},
        {R"({"actor":7,"pid":1,"action":3,"target":"C:\\t"})", "\"actor\": expected a string"},
        {R"({"actor":"\ud800","pid":1,"action":3,"target":"C:\\t"})", "high surrogate without a low one"},
        {R"({"actor":"\u12G4","pid":1,"action":3,"target":"C:\\t"})", "four hexadecimal digits"},
        {R"({"actor":"\ud800\u0041","pid":1,"action":3,"target":"C:\\t"})", "JSON offset 10: high surrogate"},
        {R"({"actor":"\udc00","pid":1,"action":3,"target":"C:\\t"})", "low surrogate without a high one"},
        {"{\"actor\":\"C:\\\\x\ty\",\"pid\":1,\"action\":3,\"target\":\"C:\\\\t\"}", "control character"},
        {R"({"actor":"C:\\x","pid":1,"action":3,"target":"C:\\t)", "unterminated string"},
        {R"({"actor":"C:\\x","pid":1,"action":3,"target":"C:\\t","user":"me"})", "unknown member \"user\""},
        {R"({"actor":"C:\\x","pid":1,"action":3})", "missing \"target\""},
        {R"({"actor":"","pid":1,"action":3,"target":"C:\\t"})", "\"actor\" is empty"},
        {R"({"actor":"C:\\x","pid":1,"action":12,"target":"C:\\t"})",
         "action 12 is no action type (0 to 11)"},
        {R"({"actor":"C:\\x","pid":1,"action":10,"target":"C:\\p.exe"})",
         "action 10 (process terminate) needs \"targetPid\""},
        {R"({"actor":"C:\\x","pid":1,"action":11,"target":"C:\\p.exe"})",
         "action 11 (process memory write) needs \"targetPid\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szJson);
        krelldrv::CAccess access;
        std::string sError;
        const bool bParsed = krelldrv::ParseAccess(c.szJson, access, sError);
        if (c.szError == nullptr) {
            EXPECT_TRUE(bParsed) << sError;
            // What the tools send reads back the same.
            krelldrv::CAccess again;
            ASSERT_TRUE(krelldrv::ParseAccess(krelldrv::AccessJson(access), again, sError)) << sError;
            EXPECT_EQ(again.sActorPath, access.sActorPath);
            EXPECT_EQ(again.sTargetPath, access.sTargetPath);
            EXPECT_EQ(again.targetPid, access.targetPid);
            EXPECT_EQ(again.sActorSid, access.sActorSid);
        } else {
            EXPECT_FALSE(bParsed);
            EXPECT_NE(sError.find(c.szError), std::string::npos) << sError;
        }
    }
    krelldrv::CAccess access;
    std::string sError;
    ASSERT_TRUE(krelldrv::ParseAccess(R"({"actor":"C:\\x\u00e9\ud83d\ude00","pid":7,"action":10,"target":"T",
                                          "targetPid":9,"session":3,"sid":"S-1","device":"CDROM"})",
                                      access, sError));
    EXPECT_EQ(access.sActorPath, u"C:\\x\u00e9\U0001F600");
    EXPECT_EQ(access.dwActorPid, 7u);
    EXPECT_EQ(access.targetPid, 9u);
    EXPECT_EQ(access.dwSession, 3u);
    EXPECT_EQ(access.sActorSid, u"S-1");
    EXPECT_EQ(access.sActorDevice, u"CDROM");
    krelldrv::CAccess again;
    ASSERT_TRUE(krelldrv::ParseAccess(krelldrv::AccessJson(access), again, sError)) << sError;
    EXPECT_EQ(again.sActorDevice, u"CDROM");
}

// ---- against a real krelldrv ----

const std::vector<BYTE> STATE = {1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0};
constexpr const char16_t* PARAMETERS = u"SYSTEM\\CurrentControlSet\\Services\\KRELLDrv\\Parameters";

void SetOption(const char16_t* szName, DWORD dwValue) {
    CRegistryKey parameters;
    ASSERT_TRUE(parameters.Create(HKEY_LOCAL_MACHINE, PARAMETERS));
    ASSERT_TRUE(parameters.SetDword(szName, dwValue));
}

// A control connection kept open, for answers that come later.
class CControlClient {
public:
    CControlClient() {
        const std::string sPath = platform::RootSubdirectory("run") + "/krelldrv.ctl";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, sPath.c_str(), sPath.size() + 1);
        m_nSocket = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        EXPECT_EQ(connect(m_nSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    }
    ~CControlClient() { Close(); }
    void Send(const std::string& sLine) {
        ASSERT_EQ(send(m_nSocket, sLine.data(), sLine.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(sLine.size()));
    }
    // "" when nothing came in time.
    std::string Receive(int nTimeoutMs) {
        pollfd fd{m_nSocket, POLLIN, 0};
        if (poll(&fd, 1, nTimeoutMs) != 1) {
            return "";
        }
        std::vector<char> buffer(64 * 1024);
        const ssize_t n = recv(m_nSocket, buffer.data(), buffer.size(), 0);
        return n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : "";
    }
    void Close() {
        if (m_nSocket >= 0) {
            close(m_nSocket);
            m_nSocket = -1;
        }
    }

private:
    int m_nSocket = -1;
};

struct CViolation {
    std::u16string sActor;
    DWORD dwActorPid = 0;
    DWORD dwAction = 0;
    std::u16string sTarget;
    std::optional<DWORD> targetPid;
    DWORD dwSession = 0;
    DWORD dwBlocked = 0;
};

std::u16string ReadString(CKTUViolationMessage* pMsg,
                          DWORD (CKTUViolationMessage::*pfnGet)(char16_t*, DWORD*)) {
    DWORD cbSize = 0;
    EXPECT_EQ((pMsg->*pfnGet)(nullptr, &cbSize), BUFFER_TOO_SMALL);
    std::u16string sValue(cbSize / 2, u'\0');
    EXPECT_EQ((pMsg->*pfnGet)(sValue.data(), &cbSize), MSG_SUCCESS);
    sValue.resize(sValue.size() - 1);
    return sValue;
}

class DriverAccesses : public ::testing::Test {
protected:
    void SetUp() override {
        platform::CreateDirectory(u"C:\\KC");
        CKTDataFile file;
        ASSERT_EQ(file.Open(u"C:\\KC\\rules.kc", platform::CREATE_ALWAYS), KTDATAFILE_S_OK);
        const std::pair<DWORD, std::vector<BYTE>> sections[] = {
            {kcfile::KC_SECTION_PROTECTION_STATE, STATE},
            {kcfile::KC_SECTION_GATEWARDEN_RULES, ProtectedResources().Blob()},
            {kcfile::KC_SECTION_AUTHORIZATION_RULES, Authorization().Blob()},
            {EXCLUSION_SECTION, Exclusions().Blob()},
        };
        for (const auto& [dwId, data] : sections) {
            ASSERT_EQ(file.AddSection(dwId, data.data(), static_cast<DWORD>(data.size())), KTDATAFILE_S_OK);
        }
        ASSERT_EQ(file.Close(), KTDATAFILE_S_OK);
        ASSERT_EQ(m_Channel.Open(), 0u);
        auto* pSettings =
            static_cast<CKTUSettingsMessage*>(CKTUMessageChannel::MakeEmptyKTMessage(TYPE_GW_SETTINGS));
        ASSERT_EQ(pSettings->SetSettingsPath(u"C:\\KC\\rules.kc"), MSG_SUCCESS);
        ASSERT_EQ(m_Channel.SendKTMessage(pSettings), 0u);
        ExpectReply(TYPE_GW_SETTINGS);
    }
    void TearDown() override {
        m_Channel.Close();
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, PARAMETERS);
    }

    void ExpectReply(DWORD dwReplyType) {
        CKTUMessage* pMsg = Receive();
        ASSERT_NE(pMsg, nullptr);
        ASSERT_EQ(pMsg->GetType(), TYPE_GW_ACTIVATION);
        DWORD dwType = 0;
        DWORD dwCode = 0;
        static_cast<CKTUReplyMessage*>(pMsg)->GetReplyType(&dwType);
        static_cast<CKTUReplyMessage*>(pMsg)->GetReplyCode(&dwCode);
        EXPECT_EQ(dwType, dwReplyType);
        EXPECT_EQ(dwCode, 0x80000000u);
        CKTUMessageChannel::DestroyKTMessage(pMsg);
    }
    void Activate(DWORD dwActivation) {
        auto* pMsg = static_cast<CKTUActivationMessage*>(
            CKTUMessageChannel::MakeEmptyKTMessage(TYPE_GW_ACTIVATION_REQUEST));
        ASSERT_EQ(pMsg->SetActivation(dwActivation), MSG_SUCCESS);
        ASSERT_EQ(m_Channel.SendKTMessage(pMsg), 0u);
        ExpectReply(TYPE_GW_ACTIVATION_REQUEST);
    }
    CKTUMessage* Receive() {
        CKTUMessage* pMsg = nullptr;
        EXPECT_EQ(m_Channel.ReceiveKTMessage(&pMsg), 0u);
        return pMsg;
    }
    CViolation ReceiveViolation() {
        CViolation violation;
        CKTUMessage* pRaw = Receive();
        if (pRaw == nullptr) {
            ADD_FAILURE() << "no message";
            return violation;
        }
        EXPECT_EQ(pRaw->GetType(), TYPE_GW_VIOLATION);
        if (pRaw->GetType() == TYPE_GW_VIOLATION) {
            auto* pMsg = static_cast<CKTUViolationMessage*>(pRaw);
            violation.sActor = ReadString(pMsg, &CKTUViolationMessage::GetActorPath);
            violation.sTarget = ReadString(pMsg, &CKTUViolationMessage::GetTargetPath);
            EXPECT_EQ(pMsg->GetActorPID(&violation.dwActorPid), MSG_SUCCESS);
            EXPECT_EQ(pMsg->GetAction(&violation.dwAction), MSG_SUCCESS);
            DWORD dwTargetPid = 0;
            const DWORD dwResult = pMsg->GetTargetPID(&dwTargetPid);
            if (dwResult == MSG_SUCCESS) {
                violation.targetPid = dwTargetPid;
            } else {
                EXPECT_EQ(dwResult, NO_VALUE);
            }
            EXPECT_EQ(pMsg->GetSessionID(&violation.dwSession), MSG_SUCCESS);
            EXPECT_EQ(pMsg->GetBlockedStatus(&violation.dwBlocked), MSG_SUCCESS);
        }
        CKTUMessageChannel::DestroyKTMessage(pRaw);
        return violation;
    }
    // The next install query: its id and package path.
    std::pair<DWORD, std::u16string> ReceiveQuery() {
        CKTUMessage* pRaw = Receive();
        if (pRaw == nullptr || pRaw->GetType() != TYPE_QUERY_MSI) {
            ADD_FAILURE() << "no install query";
            CKTUMessageChannel::DestroyKTMessage(pRaw);
            return {0, u""};
        }
        auto* pMsg = static_cast<CKTUMSIMessage*>(pRaw);
        DWORD dwId = 0;
        EXPECT_EQ(pMsg->GetMessageId(&dwId), MSG_SUCCESS);
        char16_t szPath[260] = {};
        DWORD cbPath = sizeof(szPath);
        EXPECT_EQ(pMsg->GetMSIPath(szPath, &cbPath), MSG_SUCCESS);
        DWORD dwReply = 0;
        EXPECT_EQ(pMsg->GetAuthorizationReply(&dwReply), NO_VALUE) << "a query carries no answer";
        CKTUMessageChannel::DestroyKTMessage(pRaw);
        return {dwId, szPath};
    }
    void Answer(DWORD dwId, DWORD dwReply) {
        auto* pMsg = static_cast<CKTUMSIMessage*>(CKTUMessageChannel::MakeEmptyKTMessage(TYPE_QUERY_MSI));
        ASSERT_EQ(pMsg->SetMessageId(dwId), MSG_SUCCESS);
        ASSERT_EQ(pMsg->SetAuthorizationReply(dwReply), MSG_SUCCESS);
        ASSERT_EQ(m_Channel.SendKTMessage(pMsg), 0u);
    }

    CDriverProcess m_Driver;
    CKTUMessageChannel m_Channel{KTU_CHANNEL_DEVICE_NAME};
};

TEST_F(DriverAccesses, ViolationsCarryEveryFieldAndBlockedFollowsTheEnforcingState) {
    const struct {
        const char* szName;
        DWORD dwActivation;  // 2: leave as it is
        std::optional<DWORD> monitorOnly;
        DWORD dwBlocked;
    } cases[] = {
        {"never activated", 2, std::nullopt, 0}, {"activated", 1, std::nullopt, 1},
        {"activated, MonitorOnly", 2, 1, 0},     {"activated, MonitorOnly off again", 2, 0, 1},
        {"deactivated", 0, std::nullopt, 0},
    };
    DWORD dwSent = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        if (c.dwActivation != 2) {
            Activate(c.dwActivation);
        }
        if (c.monitorOnly.has_value()) {
            SetOption(u"MonitorOnly", *c.monitorOnly);
        }
        const std::string sBlocked = c.dwBlocked != 0 ? "blocked" : "not-blocked";
        EXPECT_EQ(m_Driver.Command(R"(access {"actor":"C:\\Program Files\\x y.exe","pid":4321,"action":1,)"
                                   R"("target":"C:\\Protected\\data.bin","session":3})"),
                  "ok violation " + sBlocked + ": deny by rule \"deny-protected-file\" (section 0x201)");
        CViolation file = ReceiveViolation();
        EXPECT_EQ(file.sActor, u"C:\\Program Files\\x y.exe");
        EXPECT_EQ(file.dwActorPid, 4321u);
        EXPECT_EQ(file.dwAction, 1u);
        EXPECT_EQ(file.sTarget, u"C:\\Protected\\data.bin");
        EXPECT_FALSE(file.targetPid.has_value());
        EXPECT_EQ(file.dwSession, 3u);
        EXPECT_EQ(file.dwBlocked, c.dwBlocked);

        EXPECT_EQ(m_Driver.Command(R"(access {"actor":"C:\\evil.exe","pid":77,"action":10,)"
                                   R"("target":"C:\\Protected\\svc.exe","targetPid":1200})"),
                  "ok violation " + sBlocked + ": deny by rule \"deny-protected-process\" (section 0x201)");
        CViolation process = ReceiveViolation();
        EXPECT_EQ(process.dwAction, 10u);
        EXPECT_EQ(process.targetPid, 1200u);
        EXPECT_EQ(process.dwSession, 0u);
        EXPECT_EQ(process.dwBlocked, c.dwBlocked);
        dwSent += 2;
    }
    EXPECT_EQ(m_Driver.Status("violations"), dwSent);
    EXPECT_EQ(m_Driver.Status("judged"), dwSent);
}

TEST_F(DriverAccesses, AllowedAndRefusedAccessesSendNothing) {
    const struct {
        const char* szJson;
        const char* szAnswer;
    } cases[] = {
        {R"({"actor":"C:\\x.exe","pid":1,"action":0,"target":"C:\\Protected\\data.bin"})",
         "ok allowed: default effect (section 0x201)"},
        {R"({"actor":"C:\\x.exe","pid":1,"action":1,"target":"C:\\Temp\\data.bin"})",
         "ok allowed: default effect (section 0x201)"},
        {R"({"actor":"C:\\x.exe","pid":1,"action":1,"target":"C:\\Protected\\data.bin","sid":"S-1-5-18"})",
         "ok allowed: rule \"allow-system-context\" (section 0x201)"},
        {R"({"actor":"C:\\Trusted\\tool.exe","pid":1,"action":8,"target":"HKEY_LOCAL_MACHINE\\SOFTWARE\\Protected\\k"})",
         "ok allowed: rule \"allow-authorized-location\" (section 0x202)"},
        {R"({"actor":"C:\\Backup\\agent.exe","pid":1,"action":3,"target":"C:\\Protected\\Logs\\old.log"})",
         "ok allowed: rule \"allow-excluded-access\" (section 0x300)"},
        {R"({"actor":"C:\\x.exe","pid":1,"action":10,"target":"C:\\Protected\\svc.exe"})",
         "error action 10 (process terminate) needs \"targetPid\""},
        {R"({"actor":"C:\\x.exe","pid":1,"action":1})", "error missing \"target\""},
        {R"(["C:\\x.exe"])", "error JSON offset 0: expected '{'"},
    };
    Activate(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szJson);
        EXPECT_EQ(m_Driver.Command(std::string("access ") + c.szJson), c.szAnswer);
    }
    EXPECT_EQ(m_Driver.Status("judged"), 5u) << "refused accesses are not judged";
    EXPECT_EQ(m_Driver.Status("violations"), 0u);
    // Nothing went out before the violation that follows.
    EXPECT_TRUE(m_Driver
                    .Command(R"(access {"actor":"C:\\x.exe","pid":1,"action":6,)"
                             R"("target":"HKEY_LOCAL_MACHINE\\SOFTWARE\\Protected\\k"})")
                    .starts_with("ok violation blocked"));
    EXPECT_EQ(ReceiveViolation().dwAction, 6u);
}

TEST_F(DriverAccesses, ReplayJudgesABatchOrNothing) {
    const std::string sGood = R"({"actor":"C:\\x.exe","pid":1,"action":2,"target":"C:\\Protected\\a"})";
    const std::string sAllowed = R"({"actor":"C:\\x.exe","pid":1,"action":0,"target":"C:\\Protected\\a"})";
    EXPECT_EQ(m_Driver.Command("replay\n" + sGood + "\n" + sAllowed + "\r\n\n" + sGood + "\n"),
              "ok judged=3 violations=2");
    EXPECT_EQ(ReceiveViolation().dwAction, 2u);
    EXPECT_EQ(ReceiveViolation().dwAction, 2u);
    EXPECT_EQ(m_Driver.Command("replay\n" + sGood + "\n" + sGood + "\n{\"actor\":1}\n" + sGood),
              "error line 3: \"actor\": expected a string");
    EXPECT_EQ(m_Driver.Command("replay\n\n"), "error replay takes accesses, one JSON object a line");
    EXPECT_EQ(m_Driver.Status("judged"), 3u);
    EXPECT_EQ(m_Driver.Status("violations"), 2u);
}

TEST_F(DriverAccesses, InstallQueriesAreAnsweredByTheService) {
    const struct {
        DWORD dwReply;
        const char* szAnswer;
    } cases[] = {{0, "ok authorized"}, {1, "ok not-authorized"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szAnswer);
        CControlClient client;
        client.Send(R"(install {"path":"C:\\Setup Files\\app.msi","timeout":10})");
        const auto [dwId, sPath] = ReceiveQuery();
        EXPECT_EQ(sPath, u"C:\\Setup Files\\app.msi");
        EXPECT_EQ(client.Receive(50), "") << "the answer waits for the service";
        Answer(dwId, c.dwReply);
        EXPECT_EQ(client.Receive(2000), c.szAnswer);
    }
    EXPECT_EQ(m_Driver.Status("installs"), 2u);
    EXPECT_EQ(m_Driver.Status("authorized"), 1u);
    EXPECT_EQ(m_Driver.Status("not-authorized"), 1u);
    EXPECT_EQ(m_Driver.Status("waiting"), 0u);
    for (const char* szBad : {R"(install {"timeout":3})", R"(install {"path":"C:\\a.msi","timeout":0})",
                              R"(install {"path":"C:\\a.msi","size":1})", "install C:\\a.msi"}) {
        SCOPED_TRACE(szBad);
        EXPECT_TRUE(m_Driver.Command(szBad).starts_with("error ")) << m_Driver.Command(szBad);
    }
    EXPECT_EQ(m_Driver.Status("installs"), 2u);
}

TEST_F(DriverAccesses, UnansweredQueriesLetTheInstallGoAndLateRepliesAreCounted) {
    // One deadline given, one from the driver's Parameters key: both held at once.
    SetOption(u"InstallQueryTimeout", 1);
    CControlClient given;
    CControlClient configured;
    const auto start = std::chrono::steady_clock::now();
    given.Send(R"(install {"path":"C:\\a.msi","timeout":1})");
    const DWORD dwFirst = ReceiveQuery().first;
    configured.Send(R"(install {"path":"C:\\b.msi"})");
    const DWORD dwSecond = ReceiveQuery().first;
    EXPECT_NE(dwFirst, dwSecond);
    // The loop serves other requests while both wait.
    EXPECT_EQ(m_Driver.Status("waiting"), 2u);
    EXPECT_EQ(given.Receive(2500), "ok no-answer");
    EXPECT_EQ(configured.Receive(2500), "ok no-answer");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(950));
    EXPECT_LT(elapsed, std::chrono::milliseconds(2500));
    EXPECT_EQ(m_Driver.Status("unanswered"), 2u);

    Answer(dwFirst, 0);         // expired
    Answer(dwSecond + 100, 0);  // never asked
    ASSERT_TRUE(m_Driver.WaitForStatus("late", 2));
    EXPECT_EQ(m_Driver.Status("authorized"), 0u);
    const std::string sJson = m_Driver.Command("status json");
    EXPECT_NE(
        sJson.find(R"("installQueries":2,"installAuthorized":0,"installRefused":0,"installUnanswered":2,)"
                   R"("installLate":2)"),
        std::string::npos)
        << sJson;
}

TEST_F(DriverAccesses, QueriesHeldAtOnceGetTheirOwnAnswers) {
    CControlClient first;
    CControlClient second;
    CControlClient leaving;
    first.Send(R"(install {"path":"C:\\one.msi","timeout":10})");
    const auto [dwFirst, sFirst] = ReceiveQuery();
    second.Send(R"(install {"path":"C:\\two.msi","timeout":10})");
    const auto [dwSecond, sSecond] = ReceiveQuery();
    leaving.Send(R"(install {"path":"C:\\three.msi","timeout":10})");
    const DWORD dwThird = ReceiveQuery().first;
    EXPECT_EQ(sFirst, u"C:\\one.msi");
    EXPECT_EQ(sSecond, u"C:\\two.msi");
    EXPECT_EQ(m_Driver.Status("waiting"), 3u);
    // A client that hangs up gives up its answer, not the query.
    leaving.Close();
    Answer(dwSecond, 1);
    EXPECT_EQ(second.Receive(2000), "ok not-authorized");
    EXPECT_EQ(first.Receive(50), "");
    Answer(dwThird, 0);
    Answer(dwFirst, 0);
    EXPECT_EQ(first.Receive(2000), "ok authorized");
    ASSERT_TRUE(m_Driver.WaitForStatus("waiting", 0));
    EXPECT_EQ(m_Driver.Status("authorized"), 2u);
    EXPECT_EQ(m_Driver.Status("not-authorized"), 1u);
    EXPECT_EQ(m_Driver.Status("late"), 0u);
}

TEST_F(DriverAccesses, KrellctlJudgesReplaysAndAsks) {
    const std::string sCtl = krelltest::ProgramPath("krellctl");
    Activate(1);
    const struct {
        std::vector<std::string> args;
        int nExit;
        const char* szOutput;  // the start of what it prints
    } cases[] = {
        {{"--actor", "C:\\a b.exe", "--pid", "9", "--action", "5", "--target", "C:\\Protected\\x",
          "--session", "2"},
         0,
         "violation blocked: deny by rule \"deny-protected-file\" (section 0x201)\n"},
        {{"--actor", "C:\\a.exe", "--pid", "9", "--action", "0", "--target", "C:\\Protected\\x"},
         0,
         "allowed: default effect (section 0x201)\n"},
        {{"--actor", "C:\\a.exe", "--pid", "9", "--action", "11", "--target", "C:\\p.exe"},
         1,
         "krellctl: driver: error action 11 (process memory write) needs \"targetPid\""},
        {{"--actor", "C:\\a.exe", "--pid", "x", "--action", "1", "--target", "C:\\p"},
         2,
         "krellctl: --pid \"x\""},
        {{"--actor", "C:\\a.exe", "--action", "1", "--target", "C:\\p"}, 2, "usage: krellctl driver access"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szOutput);
        std::vector<std::string> args = {sCtl, "driver", "access"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const krelltest::ToolResult result = krelltest::RunTool(args);
        EXPECT_EQ(result.nExitCode, c.nExit) << result.sOutput;
        EXPECT_TRUE(result.sOutput.starts_with(c.szOutput)) << result.sOutput;
    }
    const CViolation violation = ReceiveViolation();
    EXPECT_EQ(violation.sActor, u"C:\\a b.exe");
    EXPECT_EQ(violation.dwAction, 5u);
    EXPECT_EQ(violation.dwSession, 2u);

    // Replay: 2500 accesses go in batches; a bad line refuses the file before anything is sent.
    const std::string sFile = platform::RootSubdirectory("run") + "/accesses.jsonl";
    {
        std::ofstream out(sFile);
        for (int i = 0; i < 2500; ++i) {
            out << R"({"actor":"C:\\a.exe","pid":)" << i << R"(,"action":)" << (i % 2 == 0 ? 1 : 0)
                << R"(,"target":"C:\\Protected\\f)" << i << "\"}\n";
        }
    }
    std::thread reader([this] {
        for (int i = 0; i < 1250; ++i) {
            if (ReceiveViolation().dwAction != 1) {
                break;
            }
        }
    });
    const krelltest::ToolResult replay = krelltest::RunTool({sCtl, "driver", "replay", sFile});
    if (replay.nExitCode != 0) {
        m_Channel.Close();  // ends the reader's wait for violations that will not come
    }
    reader.join();
    EXPECT_EQ(replay.nExitCode, 0) << replay.sOutput;
    EXPECT_TRUE(replay.sOutput.starts_with("accesses=2500 violations=1250 elapsed=")) << replay.sOutput;
    EXPECT_EQ(m_Driver.Status("violations"), 1251u);
    {
        std::ofstream out(sFile, std::ios::app);
        out << "{\"actor\":\"C:\\\\a.exe\",\"pid\":1,\"action\":99,\"target\":\"C:\\\\x\"}\n";
    }
    const krelltest::ToolResult refused = krelltest::RunTool({sCtl, "driver", "replay", sFile});
    EXPECT_EQ(refused.nExitCode, 1);
    EXPECT_NE(refused.sOutput.find("line 2501: action 99 is no action type (0 to 11) (nothing sent)"),
              std::string::npos)
        << refused.sOutput;
    EXPECT_EQ(m_Driver.Status("judged"), 2502u);

    // Paced: 300 accesses at 1000 a second go as three batches a tenth of a second apart.
    const std::string sPaced = platform::RootSubdirectory("run") + "/paced.jsonl";
    {
        std::ofstream out(sPaced);
        for (int i = 0; i < 300; ++i) {
            out << R"({"actor":"C:\\a.exe","pid":1,"action":0,"target":"C:\\Temp\\x"})"
                << "\n";
        }
    }
    const krelltest::ToolResult paced =
        krelltest::RunTool({sCtl, "driver", "replay", sPaced, "--rate", "1000"});
    EXPECT_EQ(paced.nExitCode, 0) << paced.sOutput;
    const size_t nElapsed = paced.sOutput.find("elapsed=");
    ASSERT_NE(nElapsed, std::string::npos) << paced.sOutput;
    const double dElapsed = std::stod(paced.sOutput.substr(nElapsed + 8));
    EXPECT_GE(dElapsed, 0.2) << paced.sOutput;
    EXPECT_LT(dElapsed, 1.5) << paced.sOutput;
    EXPECT_EQ(m_Driver.Status("judged"), 2802u);

    // For a duration: the 300 lines again and again, paced, until the second is up.
    const krelltest::ToolResult timed =
        krelltest::RunTool({sCtl, "driver", "replay", sPaced, "--rate", "1000", "--duration", "1"});
    EXPECT_EQ(timed.nExitCode, 0) << timed.sOutput;
    ASSERT_TRUE(timed.sOutput.starts_with("accesses=")) << timed.sOutput;
    const size_t nTimed = std::stoul(timed.sOutput.substr(9));
    EXPECT_GE(nTimed, 600u) << timed.sOutput;
    EXPECT_LE(nTimed, 1200u) << timed.sOutput;
    EXPECT_EQ(m_Driver.Status("judged"), 2802u + nTimed);

    // Install: a POSIX path goes as its Windows form; the service answers from another thread.
    std::thread service([this] {
        const auto [dwId, sPath] = ReceiveQuery();
        EXPECT_EQ(sPath, u"C:\\Setup\\app.msi");
        Answer(dwId, 0);
    });
    const std::string sPosix = platform::RootSubdirectory("drive_c") + "/Setup/app.msi";
    const krelltest::ToolResult install =
        krelltest::RunTool({sCtl, "driver", "install", sPosix, "--timeout", "5"});
    if (install.nExitCode != 0) {
        m_Channel.Close();
    }
    service.join();
    EXPECT_EQ(install.nExitCode, 0) << install.sOutput;
    EXPECT_EQ(install.sOutput, "authorized\n");
}

TEST_F(DriverAccesses, KrellctlInstallWithoutAnAnswer) {
    const std::string sCtl = krelltest::ProgramPath("krellctl");
    const krelltest::ToolResult result =
        krelltest::RunTool({sCtl, "driver", "install", "C:\\x.msi", "--timeout", "1"});
    EXPECT_EQ(result.nExitCode, 1);
    EXPECT_EQ(result.sOutput, "no answer (the driver let the install go after 1 s)\n");
    CKTUMessage* pQuery = Receive();  // asked, never answered
    ASSERT_NE(pQuery, nullptr);
    EXPECT_EQ(pQuery->GetType(), TYPE_QUERY_MSI);
    CKTUMessageChannel::DestroyKTMessage(pQuery);
    EXPECT_EQ(m_Driver.Status("unanswered"), 1u);
    EXPECT_EQ(krelltest::RunTool({sCtl, "driver", "install", "C:\\x.msi", "--timeout", "0"}).nExitCode, 2);
}

}  // namespace
