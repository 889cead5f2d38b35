#include "driver_config.h"

#include <cstdio>
#include <cstring>
#include <sstream>

#include "compiler/file.h"
#include "json_text.h"
#include "kcfile/kc_format.h"
#include "kcfile/kc_reader.h"
#include "platform/strings.h"
#include "service/registry_key.h"

namespace krelldrv {
namespace {

// Far above what the compiler writes (50 sections of 512 KiB): a larger file is not a KC file.
constexpr size_t MAX_KC_FILE = 64 * 1024 * 1024;

std::string HexId(DWORD dwId) {
    char szId[16];
    std::snprintf(szId, sizeof(szId), "0x%X", dwId);
    return szId;
}

// Templates compare hashes with "?" until values are filled in; only a real one needs hashing.
bool NamesHashes(const srtc::RuleSet& ruleSet) {
    if (ruleSet.kind != srtc::RuleSetKind::Authorization) {
        return false;
    }
    for (const srtc::Node& node : ruleSet.nodes) {
        if (node.kind == srtc::NodeKind::FunEval && node.operandKind == srtc::OperandKind::Literal &&
            (node.attribute == srtc::Attribute::ActorMd5 || node.attribute == srtc::Attribute::ActorSha1) &&
            node.dwIndex < ruleSet.literals.size() && ruleSet.literals[node.dwIndex].sText != u"?") {
            return true;
        }
    }
    return false;
}

// "executables=E companions=C versions=V" of the legacy install block.
std::string LegacyCounts(const std::vector<kcfile::LegacyExecutable>& legacy) {
    size_t nCompanions = 0;
    size_t nVersions = 0;
    for (const kcfile::LegacyExecutable& exe : legacy) {
        nCompanions += exe.companions.size();
        for (const kcfile::LegacyCompanion& companion : exe.companions) {
            nVersions += companion.versions.size();
        }
    }
    return "executables=" + std::to_string(legacy.size()) + " companions=" + std::to_string(nCompanions) +
           " versions=" + std::to_string(nVersions);
}

}  // namespace

bool IsRuleSection(DWORD dwId, std::span<const BYTE> data) {
    return dwId == kcfile::KC_SECTION_GATEWARDEN_RULES || dwId == kcfile::KC_SECTION_AUTHORIZATION_RULES ||
           (data.size() >= 4 && std::memcmp(data.data(), "SRTC", 4) == 0);
}

DWORD DecodeConfiguration(std::span<const BYTE> file, const std::u16string& sPath,
                          CDriverConfiguration& config, std::string& sError) {
    const kcfile::KCFileInfo info = kcfile::ReadKCFile(file);
    if (!info.IsValid()) {
        sError = info.problems.front().sText;
        return CONFIG_E_INVALID;
    }
    CDriverConfiguration loaded;
    loaded.sPath = sPath;
    loaded.headerDigest = info.storedHeaderDigest;
    bool bHasConfig = false;
    for (const kcfile::KCSection& section : info.sections) {
        CConfigSection entry{section.dwId, section.dwDataLength, false, 0};
        std::string sWhy;
        if (section.dwId == kcfile::KC_SECTION_PROTECTION_STATE) {
            if (!kcfile::DecodeProtectionState(section.data, loaded.state, sWhy)) {
                sError = "section " + HexId(section.dwId) + ": " + sWhy;
                return CONFIG_E_BAD_SECTION;
            }
            bHasConfig = true;
        } else if (section.dwId == kcfile::KC_SECTION_LEGACY_INSTALL) {
            if (!kcfile::DecodeLegacyInstall(section.data, loaded.legacy, sWhy)) {
                sError = "section " + HexId(section.dwId) + ": " + sWhy;
                return CONFIG_E_BAD_SECTION;
            }
        } else if (IsRuleSection(section.dwId, section.data)) {
            srtc::RuleSet& ruleSet = loaded.rules[section.dwId];
            if (!srtc::Read(section.data, ruleSet, sWhy)) {
                sError = "section " + HexId(section.dwId) + ": " + sWhy;
                return CONFIG_E_BAD_SECTION;
            }
            entry.bRules = true;
            entry.dwRuleCount = static_cast<DWORD>(ruleSet.rules.size());
            loaded.bHashRules = loaded.bHashRules || NamesHashes(ruleSet);
        }
        loaded.sections.push_back(entry);
    }
    // Without its protection switches the driver would not know what to enforce.
    if (!bHasConfig) {
        sError = "no section " + HexId(kcfile::KC_SECTION_PROTECTION_STATE);
        return CONFIG_E_NO_CONFIG_SECTION;
    }
    config = std::move(loaded);
    return CONFIG_ACCEPTED;
}

DWORD LoadConfiguration(const std::u16string& sPath, CDriverConfiguration& config, std::string& sError) {
    CFile file;
    if (sPath.empty() || !file.Create(sPath.c_str(), GENERIC_READ, platform::FILE_SHARE_READ,
                                      platform::OPEN_EXISTING, platform::FILE_ATTRIBUTE_NORMAL)) {
        sError = "cannot open (error " + std::to_string(file.GetLastError()) + ")";
        return CONFIG_E_UNREADABLE;
    }
    std::vector<BYTE> bytes;
    BYTE buffer[65536];
    for (;;) {
        DWORD cbRead = 0;
        if (!file.Read(buffer, sizeof(buffer), cbRead)) {
            sError = "cannot read (error " + std::to_string(file.GetLastError()) + ")";
            return CONFIG_E_UNREADABLE;
        }
        if (cbRead == 0) {
            break;
        }
        if (bytes.size() + cbRead > MAX_KC_FILE) {
            sError = "larger than " + std::to_string(MAX_KC_FILE) + " bytes";
            return CONFIG_E_INVALID;
        }
        bytes.insert(bytes.end(), buffer, buffer + cbRead);
    }
    return DecodeConfiguration(bytes, sPath, config, sError);
}

bool OpenDriverParameters(CRegistryKey& parameters) {
    return parameters.Open(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\KRELLDrv\\Parameters",
                           KEY_READ);
}

CConfigOptions ReadConfigOptions() {
    CConfigOptions options;
    CRegistryKey parameters;
    if (!OpenDriverParameters(parameters)) {
        return options;
    }
    DWORD dwValue = 0;
    options.bReject = parameters.GetDword(u"ConfigReject", &dwValue) && dwValue != 0;
    dwValue = 0;
    if (parameters.GetDword(u"ConfigDelay", &dwValue)) {
        options.dwDelayMs = dwValue;
    }
    dwValue = 0;
    options.bOtherReplyFirst = parameters.GetDword(u"ConfigOtherReplyFirst", &dwValue) && dwValue != 0;
    dwValue = 0;
    options.bSilent = parameters.GetDword(u"ConfigSilent", &dwValue) && dwValue != 0;
    return options;
}

std::string DescribeConfiguration(const CDriverConfiguration& config) {
    if (!config.IsLoaded()) {
        return "kc (none)";
    }
    std::ostringstream out;
    out << "kc " << platform::ToUtf8(config.sPath) << "\ndigest " << kcfile::DigestToHex(config.headerDigest);
    for (const CConfigSection& section : config.sections) {
        out << "\nsection " << HexId(section.dwId) << " length=" << section.dwLength;
        if (section.bRules) {
            out << " rules=" << section.dwRuleCount;
        }
        if (section.dwId == kcfile::KC_SECTION_LEGACY_INSTALL) {
            out << " " << LegacyCounts(config.legacy);
        }
    }
    for (const kcfile::LegacyExecutable& exe : config.legacy) {
        out << "\nlegacy " << platform::ToUtf8(exe.sName);
        for (const kcfile::LegacyCompanion& companion : exe.companions) {
            out << "\n  " << platform::ToUtf8(companion.sPath) << " versions=" << companion.versions.size();
        }
    }
    return out.str();
}

std::string ConfigurationJson(const CDriverConfiguration& config) {
    if (!config.IsLoaded()) {
        return "null";
    }
    std::ostringstream out;
    out << "{\"path\":" << JsonString(platform::ToUtf8(config.sPath)) << ",\"digest\":\""
        << kcfile::DigestToHex(config.headerDigest) << "\",\"sections\":[";
    for (size_t i = 0; i < config.sections.size(); ++i) {
        const CConfigSection& section = config.sections[i];
        out << (i == 0 ? "" : ",") << "{\"id\":" << section.dwId << ",\"length\":" << section.dwLength;
        if (section.bRules) {
            out << ",\"rules\":" << section.dwRuleCount;
        }
        if (section.dwId == kcfile::KC_SECTION_LEGACY_INSTALL) {
            out << ",\"executables\":" << config.legacy.size();
        }
        out << "}";
    }
    out << "]}";
    return out.str();
}

}  // namespace krelldrv
