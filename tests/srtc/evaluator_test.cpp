// Verdicts of the three rule sets for tables of accesses, through compiled and re-read rules.
#include <gtest/gtest.h>

#include "rule_documents.h"
#include "srtc_test_util.h"

namespace {

using srtc::Access;
using srtc::Effect;
using srtc::TargetKind;
using srtctest::FileTime;

struct Case {
    const char* szName;
    Access access;
    Effect effect;
    const char16_t* szRule;  // nullptr: the default effect
};

void Check(const srtc::RuleSet& ruleSet, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        const srtc::Verdict verdict = srtc::Evaluate(ruleSet, c.access);
        EXPECT_EQ(verdict.effect, c.effect);
        if (c.szRule == nullptr) {
            EXPECT_EQ(verdict.nRule, srtc::SRTC_NO_RULE);
        } else {
            ASSERT_GE(verdict.nRule, 0);
            EXPECT_EQ(ruleSet.rules[static_cast<std::size_t>(verdict.nRule)].sId, c.szRule);
        }
    }
}

Access Actor(std::u16string sPath) {
    Access access;
    access.sActorPath = std::move(sPath);
    access.sActorSid = u"S-1-5-21-9999";
    access.qwTime = FileTime("2025-06-01T12:00:00Z");
    return access;
}

TEST(Evaluator, AuthorizationRuleSet) {
    const srtc::RuleSet ruleSet = srtctest::CompileAndRead(srtctest::AUTHORIZATION_DOCUMENT);
    ASSERT_EQ(ruleSet.kind, srtc::RuleSetKind::Authorization);

    auto with = [](Access access, auto set) {
        set(access);
        return access;
    };
    const Access plain = Actor(u"C:\\Users\\bob\\setup.exe");
    const std::vector<Case> cases = {
        {"nothing authorized", plain, Effect::Deny, nullptr},
        {"authorized device, other case",
         with(plain, [](Access& a) { a.sActorDevice = u"usb\\vid_0781&pid_5567"; }), Effect::Allow,
         u"authorized-device"},
        {"other device", with(plain, [](Access& a) { a.sActorDevice = u"USB\\VID_0781&PID_5568"; }),
         Effect::Deny, nullptr},
        {"the placeholder location is no real location",
         with(plain, [](Access& a) { a.sActorLocation = u"?x"; }), Effect::Deny, nullptr},
        {"authorized folder tree", Actor(u"c:\\program files\\vendor\\bin\\app.exe"), Effect::Allow,
         u"authorized-folder"},
        {"second folder tree", Actor(u"D:\\TOOLS\\x.exe"), Effect::Allow, u"authorized-folder"},
        {"folder name without its separator", Actor(u"C:\\Program Files\\Vendor"), Effect::Deny, nullptr},
        {"sibling folder sharing a prefix", Actor(u"C:\\Program Files\\VendorX\\a.exe"), Effect::Deny,
         nullptr},
        {"authorized user context", with(plain, [](Access& a) { a.sActorSid = u"s-1-5-21-1000"; }),
         Effect::Allow, u"authorized-user-context"},
        {"md5 and path",
         with(Actor(u"C:\\SETUP\\install.exe"),
              [](Access& a) { a.sActorMd5 = u"0123456789ABCDEF0123456789ABCDEF"; }),
         Effect::Allow, u"authorized-hash"},
        {"md5 of another path",
         with(Actor(u"C:\\Setup\\other.exe"),
              [](Access& a) { a.sActorMd5 = u"0123456789abcdef0123456789abcdef"; }),
         Effect::Deny, nullptr},
        {"sha1 and length",
         with(plain,
              [](Access& a) {
                  a.sActorSha1 = u"DA39A3EE5E6B4B0D3255BFEF95601890AFD80709";
                  a.dwActorFileLength = 4096;
              }),
         Effect::Allow, u"authorized-hash"},
        {"sha1 with another length",
         with(plain,
              [](Access& a) {
                  a.sActorSha1 = u"da39a3ee5e6b4b0d3255bfef95601890afd80709";
                  a.dwActorFileLength = 4097;
              }),
         Effect::Deny, nullptr},
    };
    Check(ruleSet, cases);
}

TEST(Evaluator, ExclusionRuleSet) {
    const srtc::RuleSet ruleSet = srtctest::CompileAndRead(srtctest::EXCLUSION_DOCUMENT);
    auto access = [](const char16_t* szActor, const char16_t* szTarget, const char16_t* szSid,
                     std::uint32_t dwMask) {
        Access a;
        a.sActorPath = szActor;
        a.sTargetPath = szTarget;
        a.sActorSid = szSid;
        a.dwDesiredAccess = dwMask;
        return a;
    };
    const std::vector<Case> cases = {
        {"backup agent reading", access(u"c:\\backup\\AGENT.exe", u"C:\\x", u"S-1-5-21-1", 0x80000001),
         Effect::Allow, u"excluded"},
        {"backup agent without the bit",
         access(u"C:\\Backup\\agent.exe", u"C:\\x", u"S-1-5-21-1", 0x00000002), Effect::Deny, nullptr},
        {"system on the shared database",
         access(u"C:\\any.exe", u"c:\\data\\SHARED.DB", u"S-1-5-18", 0x00010000), Effect::Allow, u"excluded"},
        {"another user on the shared database",
         access(u"C:\\any.exe", u"C:\\Data\\shared.db", u"S-1-5-19", 0x6), Effect::Deny, nullptr},
        {"system, mask shares no bit", access(u"C:\\any.exe", u"C:\\Data\\shared.db", u"S-1-5-18", 0x8),
         Effect::Deny, nullptr},
        {"system on another file", access(u"C:\\any.exe", u"C:\\Data\\shared.db2", u"S-1-5-18", 0x6),
         Effect::Deny, nullptr},
    };
    Check(ruleSet, cases);
}

TEST(Evaluator, ProtectedResourcesRuleSet) {
    const srtc::RuleSet ruleSet = srtctest::CompileAndRead(srtctest::PROTECTED_RESOURCES_DOCUMENT);
    auto access = [](const char16_t* szTarget, TargetKind kind, const char* szTime = "2025-06-01T12:00:00Z",
                     const char16_t* szSid = u"S-1-5-21-1") {
        Access a;
        a.sActorPath = u"C:\\Windows\\explorer.exe";
        a.sActorSid = szSid;
        a.sTargetPath = szTarget;
        a.targetKind = kind;
        a.dwDesiredAccess = 0x1;
        a.qwTime = FileTime(szTime);
        return a;
    };
    const std::vector<Case> cases = {
        {"protected file, exact", access(u"c:\\data\\SECRET.txt", TargetKind::File), Effect::Deny,
         u"deny-protected-file"},
        {"exact item is no prefix", access(u"C:\\Data\\secret.txt.bak", TargetKind::File), Effect::Allow,
         nullptr},
        {"protected folder tree", access(u"C:\\Protected\\a\\b.doc", TargetKind::File), Effect::Deny,
         u"deny-protected-file"},
        {"excluded folder inside the tree", access(u"C:\\protected\\public\\readme.txt", TargetKind::File),
         Effect::Allow, nullptr},
        {"unprotected file", access(u"C:\\Other\\x.txt", TargetKind::File), Effect::Allow, nullptr},
        {"file path asked as a registry key", access(u"C:\\Protected\\a.doc", TargetKind::Registry),
         Effect::Allow, nullptr},
        {"registry key tree", access(u"hklm\\software\\quillon\\krell", TargetKind::Registry), Effect::Deny,
         u"deny-protected-regkey"},
        {"excluded registry key", access(u"HKLM\\Software\\Quillon\\Open\\x", TargetKind::Registry),
         Effect::Allow, nullptr},
        {"protected process, disabled kind",
         access(u"C:\\Program Files\\Quillon\\krellsvc.exe", TargetKind::Process), Effect::Allow, nullptr},
        {"temporarily disabled, one second before the end",
         access(u"C:\\Data\\secret.txt", TargetKind::File, "2024-01-31T08:05:08Z"), Effect::Allow,
         u"protection-temporarily-disabled"},
        {"the end of the temporary disable",
         access(u"C:\\Data\\secret.txt", TargetKind::File, "2024-01-31T08:05:09Z"), Effect::Deny,
         u"deny-protected-file"},
        {"authorized user context",
         access(u"C:\\Data\\secret.txt", TargetKind::File, "2025-01-01T00:00:00Z", u"S-1-5-21-500"),
         Effect::Allow, u"authorized-user-context"},
    };
    Check(ruleSet, cases);
}

// The process kind switched on: the same access is denied, so the bool literal decides it.
// The service leaves an expression, or the 'or' it added, empty when none of its values was usable.
TEST(Evaluator, ExpressionsWithoutAlternativesNeverHold) {
    for (const char16_t* szExpr : {u"<expr/>", u"<expr><or/></expr>"}) {
        SCOPED_TRACE(srtc::ToUtf8(szExpr));
        const std::u16string sXml =
            std::u16string(
                uR"(<ruleModule xmlns="urn:quillon:gatewarden:rules:1" ruleSet="exclusion" defaultEffect="deny">)"
                uR"(<definitions><exprDef exprId="e">)") +
            szExpr +
            uR"(</exprDef></definitions><rules><rule ruleId="r" effect="allow"><not><exprRef exprId="e"/></not></rule>)"
            uR"(<rule ruleId="s" effect="allow"><exprRef exprId="e"/></rule></rules></ruleModule>)";
        const srtc::RuleSet ruleSet = srtctest::CompileAndRead(sXml);
        Check(ruleSet, {{"any access", Actor(u"C:\\a.exe"), Effect::Allow, u"r"}});
        // Written again, the empty alternatives read back the same.
        srtc::RuleSet reread;
        std::string sError;
        EXPECT_TRUE(srtc::Read(srtc::Write(ruleSet), reread, sError)) << sError;
        EXPECT_EQ(reread, ruleSet);
    }
}

TEST(Evaluator, EnabledKindLiteralDecides) {
    std::u16string sXml = srtctest::PROTECTED_RESOURCES_DOCUMENT;
    const std::u16string sOff = u"\"is-process-protection-enabled\"><bool>false</bool>";
    const std::size_t nAt = sXml.find(sOff);
    ASSERT_NE(nAt, std::u16string::npos);
    sXml.replace(nAt, sOff.size(), u"\"is-process-protection-enabled\"><bool>true</bool>");
    const srtc::RuleSet ruleSet = srtctest::CompileAndRead(sXml);
    Access a;
    a.sTargetPath = u"C:\\PROGRAM FILES\\Quillon\\krellsvc.exe";
    a.targetKind = TargetKind::Process;
    a.qwTime = FileTime("2025-01-01T00:00:00Z");
    EXPECT_EQ(srtc::Evaluate(ruleSet, a).effect, Effect::Deny);
}

TEST(Evaluator, PrefixLookupAmongManyPrefixes) {
    srtc::RuleSet ruleSet;
    srtc::StringSet& set = ruleSet.sets.emplace_back();
    set.sId = u"s";
    set.prefix = {u"C:\\A\\", u"C:\\AB\\", u"C:\\B\\", u"c:\\a\\deep\\", u"C:\\", u"D:\\X"};
    ruleSet.nodes.push_back({srtc::NodeKind::FunEval,
                             srtc::Function::InSet,
                             srtc::Attribute::TargetPath,
                             srtc::OperandKind::Set,
                             0,
                             {}});
    ruleSet.rules.push_back({u"r", Effect::Deny, 0});
    std::string sError;
    srtc::RuleSet read;
    ASSERT_TRUE(srtc::Read(srtc::Write(ruleSet), read, sError)) << sError;
    // C:\ covers the other C: prefixes.
    EXPECT_EQ(read.sets[0].prefix, (std::vector<std::u16string>{u"C:\\", u"D:\\X"}));
    const struct {
        const char16_t* szPath;
        Effect effect;
    } cases[] = {{u"C:\\", Effect::Deny},  {u"c:\\zzz", Effect::Deny},
                 {u"D:\\X", Effect::Deny}, {u"d:\\xylophone", Effect::Deny},
                 {u"D:\\", Effect::Allow}, {u"C:", Effect::Allow},
                 {u"", Effect::Allow},     {u"E:\\X", Effect::Allow}};
    for (const auto& c : cases) {
        Access a;
        a.sTargetPath = c.szPath;
        EXPECT_EQ(srtc::Evaluate(read, a).effect, c.effect) << srtc::ToUtf8(c.szPath);
    }
}

TEST(Dates, ParseAndFormatAgree) {
    const struct {
        const char* szText;
        bool bValid;
        std::uint64_t qwFileTime;
    } cases[] = {
        {"1601-01-01T00:00:00Z", true, 0},
        {"1970-01-01T00:00:00Z", true, 116444736000000000ULL},
        {"2024-01-31T08:05:09Z", true, 133511619090000000ULL},
        {"2024-02-29T23:59:59Z", true, 0},
        {"2023-02-29T00:00:00Z", false, 0},
        {"2024-13-01T00:00:00Z", false, 0},
        {"2024-01-31T24:00:00Z", false, 0},
        {"2024-01-31 08:05:09Z", false, 0},
        {"2024-01-31T08:05:09", false, 0},
        {"1600-12-31T23:59:59Z", false, 0},
        // The converter writes the years a FILETIME reaches beyond 9999 with five digits.
        {"10000-01-01T00:00:00Z", true, 0},
        {"30828-09-14T02:48:05Z", true, 0x7FFFFFFFFFFFFFFFULL / 10000000 * 10000000},
        {"09999-12-31T23:59:59Z", false, 0},
        {"30829-01-01T00:00:00Z", false, 0},
        {"2024-01-31T08:05:09ZZ", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szText);
        std::uint64_t q = 0;
        ASSERT_EQ(srtc::ParseDate(c.szText, q), c.bValid);
        if (c.bValid) {
            if (c.qwFileTime != 0 || std::string(c.szText).starts_with("1601")) {
                EXPECT_EQ(q, c.qwFileTime);
            }
            EXPECT_EQ(srtc::FormatDate(q), c.szText);
        }
    }
}

}  // namespace
