#include "driver_access.h"

#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "json_reader.h"
#include "json_text.h"
#include "platform/paths.h"
#include "platform/strings.h"

namespace krelldrv {
namespace {

// Each action is one access a driver would see, with the mask it would ask for: only the bits of the
// write-type masks the protected-resources rules test (docs/rules.md) make it a write, and reading
// asks for none of them.
constexpr CActionType ACTION_TYPES[ACTION_TYPE_COUNT] = {
    {0, srtc::TargetKind::File, 0x00120089, false, "file read"},  // FILE_GENERIC_READ
    {1, srtc::TargetKind::File, 0x00000002, false, "file write data"},
    {2, srtc::TargetKind::File, 0x00000004, false, "file append"},
    {3, srtc::TargetKind::File, 0x00010000, false, "file delete"},  // DELETE
    {4, srtc::TargetKind::File, 0x00000100, false, "file write attributes"},
    {5, srtc::TargetKind::File, 0x00040000, false, "file change permissions"},  // WRITE_DAC
    {6, srtc::TargetKind::Registry, 0x00000002, false, "registry set value"},
    {7, srtc::TargetKind::Registry, 0x00000004, false, "registry create sub-key"},
    {8, srtc::TargetKind::Registry, 0x00010000, false, "registry delete key"},
    {9, srtc::TargetKind::Registry, 0x00040000, false, "registry change permissions"},
    {10, srtc::TargetKind::Process, 0x00000001, true, "process terminate"},
    {11, srtc::TargetKind::Process, 0x00000028, true, "process memory write"},  // VM operation + write
};

constexpr std::uint64_t FILETIME_UNIX_EPOCH = 116444736000000000ull;  // 1970-01-01 in 100 ns since 1601

// The actor's image as the authorization rules compare it: digests in upper-case hexadecimal and its
// length. An image that cannot be read leaves them empty, which no authorized hash equals.
void HashActor(const std::u16string& sActorPath, srtc::Access& subject) {
    std::string sHost;
    if (!platform::MapPath(sActorPath, &sHost)) {
        return;
    }
    std::ifstream file(sHost, std::ios::binary);
    if (!file) {
        return;
    }
    EVP_MD_CTX* pMd5 = EVP_MD_CTX_new();
    EVP_MD_CTX* pSha1 = EVP_MD_CTX_new();
    bool bOk = pMd5 != nullptr && pSha1 != nullptr && EVP_DigestInit_ex(pMd5, EVP_md5(), nullptr) == 1 &&
               EVP_DigestInit_ex(pSha1, EVP_sha1(), nullptr) == 1;
    std::uint64_t qwLength = 0;
    char buffer[65536];
    while (bOk && file) {
        file.read(buffer, sizeof(buffer));
        const auto cbRead = static_cast<size_t>(file.gcount());
        qwLength += cbRead;
        bOk = EVP_DigestUpdate(pMd5, buffer, cbRead) == 1 && EVP_DigestUpdate(pSha1, buffer, cbRead) == 1;
    }
    unsigned char md5[EVP_MAX_MD_SIZE];
    unsigned char sha1[EVP_MAX_MD_SIZE];
    unsigned int cbMd5 = 0;
    unsigned int cbSha1 = 0;
    bOk = bOk && file.eof() && EVP_DigestFinal_ex(pMd5, md5, &cbMd5) == 1 &&
          EVP_DigestFinal_ex(pSha1, sha1, &cbSha1) == 1 && qwLength <= 0xFFFFFFFFull;
    EVP_MD_CTX_free(pMd5);
    EVP_MD_CTX_free(pSha1);
    if (!bOk) {
        return;
    }
    const auto hex = [](const unsigned char* p, unsigned int cb) {
        static constexpr char16_t DIGITS[] = u"0123456789ABCDEF";
        std::u16string s;
        for (unsigned int i = 0; i < cb; ++i) {
            s += DIGITS[p[i] >> 4];
            s += DIGITS[p[i] & 0xF];
        }
        return s;
    };
    subject.sActorMd5 = hex(md5, cbMd5);
    subject.sActorSha1 = hex(sha1, cbSha1);
    subject.dwActorFileLength = static_cast<std::uint32_t>(qwLength);
}

std::string SectionText(DWORD dwId) {
    char szText[32];
    std::snprintf(szText, sizeof(szText), "(section 0x%X)", dwId);
    return szText;
}

std::string VerdictText(const srtc::RuleSet& rules, const srtc::Verdict& verdict, DWORD dwSection) {
    if (verdict.nRule == srtc::SRTC_NO_RULE) {
        return "default effect " + SectionText(dwSection);
    }
    return "rule " + JsonString(rules.rules[static_cast<size_t>(verdict.nRule)].sId) + " " +
           SectionText(dwSection);
}

bool TakeDword(const CJsonMember& member, DWORD& dwValue, std::string& sError) {
    if (member.bString || member.qwNumber > 0xFFFFFFFFull) {
        sError = "\"" + member.sName + "\": expected an unsigned 32-bit number";
        return false;
    }
    dwValue = static_cast<DWORD>(member.qwNumber);
    return true;
}

bool TakeString(const CJsonMember& member, std::u16string& sValue, std::string& sError) {
    if (!member.bString) {
        sError = "\"" + member.sName + "\": expected a string";
        return false;
    }
    sValue = platform::FromUtf8(member.sText);
    return true;
}

}  // namespace

const CActionType* FindAction(DWORD dwAction) {
    return dwAction < ACTION_TYPE_COUNT ? &ACTION_TYPES[dwAction] : nullptr;
}

bool ParseAccess(std::string_view sJson, CAccess& access, std::string& sError) {
    CJsonObject object;
    if (!object.Parse(sJson, sError)) {
        return false;
    }
    access = CAccess{};
    bool bActor = false, bPid = false, bAction = false, bTarget = false;
    for (const CJsonMember& member : object.Members()) {
        bool bOk;
        if (member.sName == "actor") {
            bOk = bActor = TakeString(member, access.sActorPath, sError);
        } else if (member.sName == "pid") {
            bOk = bPid = TakeDword(member, access.dwActorPid, sError);
        } else if (member.sName == "action") {
            bOk = bAction = TakeDword(member, access.dwAction, sError);
        } else if (member.sName == "target") {
            bOk = bTarget = TakeString(member, access.sTargetPath, sError);
        } else if (member.sName == "targetPid") {
            DWORD dwPid = 0;
            bOk = TakeDword(member, dwPid, sError);
            access.targetPid = dwPid;
        } else if (member.sName == "session") {
            bOk = TakeDword(member, access.dwSession, sError);
        } else if (member.sName == "sid") {
            bOk = TakeString(member, access.sActorSid, sError);
        } else if (member.sName == "device") {
            bOk = TakeString(member, access.sActorDevice, sError);
        } else {
            sError = "unknown member \"" + member.sName + "\"";
            bOk = false;
        }
        if (!bOk) {
            return false;
        }
    }
    for (const auto& [bGiven, szName] : {std::pair{bActor, "actor"}, std::pair{bPid, "pid"},
                                         std::pair{bAction, "action"}, std::pair{bTarget, "target"}}) {
        if (!bGiven) {
            sError = std::string("missing \"") + szName + "\"";
            return false;
        }
    }
    if (access.sActorPath.empty() || access.sTargetPath.empty()) {
        sError = access.sActorPath.empty() ? "\"actor\" is empty" : "\"target\" is empty";
        return false;
    }
    const CActionType* pAction = FindAction(access.dwAction);
    if (pAction == nullptr) {
        sError = "action " + std::to_string(access.dwAction) + " is no action type (0 to " +
                 std::to_string(ACTION_TYPE_COUNT - 1) + ")";
        return false;
    }
    if (pAction->bNeedsTargetPid && !access.targetPid.has_value()) {
        sError =
            "action " + std::to_string(access.dwAction) + " (" + pAction->szMeaning + ") needs \"targetPid\"";
        return false;
    }
    return true;
}

std::string AccessJson(const CAccess& access) {
    std::string sJson =
        "{\"actor\":" + JsonString(access.sActorPath) + ",\"pid\":" + std::to_string(access.dwActorPid) +
        ",\"action\":" + std::to_string(access.dwAction) + ",\"target\":" + JsonString(access.sTargetPath);
    if (access.targetPid.has_value()) {
        sJson += ",\"targetPid\":" + std::to_string(*access.targetPid);
    }
    sJson += ",\"session\":" + std::to_string(access.dwSession);
    if (!access.sActorSid.empty()) {
        sJson += ",\"sid\":" + JsonString(access.sActorSid);
    }
    if (!access.sActorDevice.empty()) {
        sJson += ",\"device\":" + JsonString(access.sActorDevice);
    }
    return sJson + "}";
}

CJudgment Judge(const CDriverConfiguration& config, const CAccess& access, std::uint64_t qwTime) {
    if (config.rules.empty()) {
        return {false, "no rules loaded"};
    }
    const CActionType* pAction = FindAction(access.dwAction);
    srtc::Access subject;
    subject.sActorPath = access.sActorPath;
    subject.sActorSid = access.sActorSid;
    subject.sActorDevice = access.sActorDevice;
    subject.sTargetPath = access.sTargetPath;
    subject.targetKind = pAction != nullptr ? pAction->kind : srtc::TargetKind::File;
    subject.dwDesiredAccess = pAction != nullptr ? pAction->dwDesiredAccess : 0;
    subject.qwTime = qwTime;
    if (config.bHashRules) {
        HashActor(access.sActorPath, subject);
    }
    // Authorized actors first, then exempt accesses: either one ends the judgment, whatever the
    // protected resources say.
    for (const srtc::RuleSetKind kind : {srtc::RuleSetKind::Authorization, srtc::RuleSetKind::Exclusion}) {
        for (const auto& [dwSection, rules] : config.rules) {
            if (rules.kind != kind) {
                continue;
            }
            const srtc::Verdict verdict = srtc::Evaluate(rules, subject);
            if (verdict.effect == srtc::Effect::Allow) {
                return {false, VerdictText(rules, verdict, dwSection)};
            }
        }
    }
    std::optional<CJudgment> allowed;
    for (const auto& [dwSection, rules] : config.rules) {
        if (rules.kind != srtc::RuleSetKind::ProtectedResources) {
            continue;
        }
        const srtc::Verdict verdict = srtc::Evaluate(rules, subject);
        if (verdict.effect == srtc::Effect::Deny) {
            return {true, "deny by " + VerdictText(rules, verdict, dwSection)};
        }
        if (!allowed.has_value()) {
            allowed = CJudgment{false, VerdictText(rules, verdict, dwSection)};
        }
    }
    return allowed.value_or(CJudgment{false, "no protected-resources rules"});
}

std::uint64_t FileTimeNow() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return FILETIME_UNIX_EPOCH +
           static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() /
                                      100);
}

}  // namespace krelldrv
