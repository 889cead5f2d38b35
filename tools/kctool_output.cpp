#include "kctool_output.h"
#include "json_text.h"

#include <cstdio>
#include <vector>

#include "kcfile/kc_sections.h"
#include "kctool_rules.h"
#include "platform/strings.h"

namespace kctool {

namespace {

std::string Hex32(DWORD dw) {
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "0x%X", dw);
    return buffer;
}

std::string HexBytes(const BYTE* p, std::size_t cb) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string s;
    s.reserve(cb * 2);
    for (std::size_t i = 0; i < cb; ++i) {
        s += HEX[p[i] >> 4];
        s += HEX[p[i] & 0xF];
    }
    return s;
}

std::string MagicText(const kcfile::KCFileInfo& info) {
    std::string s;
    for (BYTE b : info.magic) {
        s += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
    }
    return s;
}

// The decoded content of the sections the tool knows, as lines of text or one JSON value.
struct Decoded {
    std::vector<std::string> lines;
    std::string sJson;  // empty when nothing was decoded
};

Decoded DecodeSection(const kcfile::KCSection& section) {
    Decoded decoded;
    if (!section.bDataValid) {
        return decoded;
    }
    std::string sError;
    if (section.dwId == kcfile::KC_SECTION_PROTECTION_STATE) {
        kcfile::ProtectionStateData state;
        if (!kcfile::DecodeProtectionState(section.data, state, sError)) {
            decoded.lines.push_back("protection state not decodable: " + sError);
            decoded.sJson = "{\"error\":" + JsonString(sError) + "}";
            return decoded;
        }
        decoded.lines.push_back("file protection " + std::to_string(state.dwFileProtectState) +
                                ", registry protection " + std::to_string(state.dwRegProtectState) +
                                ", process protection " + std::to_string(state.dwProcessProtectState) +
                                ", debug log mask " + Hex32(state.dwDebugLogMask));
        decoded.sJson = "{\"fileProtectState\":" + std::to_string(state.dwFileProtectState) +
                        ",\"regProtectState\":" + std::to_string(state.dwRegProtectState) +
                        ",\"processProtectState\":" + std::to_string(state.dwProcessProtectState) +
                        ",\"debugLogMask\":" + std::to_string(state.dwDebugLogMask) + "}";
    } else if (section.dwId == kcfile::KC_SECTION_LEGACY_INSTALL) {
        std::vector<kcfile::LegacyExecutable> executables;
        if (!kcfile::DecodeLegacyInstall(section.data, executables, sError)) {
            decoded.lines.push_back("legacy install block not decodable: " + sError);
            decoded.sJson = "{\"error\":" + JsonString(sError) + "}";
            return decoded;
        }
        decoded.lines.push_back(std::to_string(executables.size()) + " legacy install executable(s)");
        std::string sExes;
        for (const auto& exe : executables) {
            const std::string sName = platform::ToUtf8(exe.sName);
            decoded.lines.push_back("executable \"" + sName + "\": " + std::to_string(exe.companions.size()) +
                                    " companion file(s)");
            std::string sCompanions;
            for (const auto& companion : exe.companions) {
                const std::string sPath = platform::ToUtf8(companion.sPath);
                decoded.lines.push_back("  companion \"" + sPath +
                                        "\": " + std::to_string(companion.versions.size()) + " version(s)");
                std::string sVersions;
                for (const auto& version : companion.versions) {
                    const std::string sHash = HexBytes(version.hash.data(), version.hash.size());
                    decoded.lines.push_back("    size " + std::to_string(version.dwFileSize) + ", hash " +
                                            sHash);
                    sVersions += std::string(sVersions.empty() ? "" : ",") +
                                 "{\"size\":" + std::to_string(version.dwFileSize) + ",\"hash\":\"" + sHash +
                                 "\"}";
                }
                sCompanions += std::string(sCompanions.empty() ? "" : ",") +
                               "{\"path\":" + JsonString(sPath) + ",\"versions\":[" + sVersions + "]}";
            }
            sExes += std::string(sExes.empty() ? "" : ",") + "{\"name\":" + JsonString(sName) +
                     ",\"companions\":[" + sCompanions + "]}";
        }
        decoded.sJson = "{\"executables\":[" + sExes + "]}";
    } else if (IsRuleSection(section.dwId, section.data)) {
        DescribeRules(section.data, decoded.lines, decoded.sJson);
    }
    return decoded;
}

std::string DumpText(const std::string& sName, const kcfile::KCFileInfo& info, const DumpOptions& options) {
    std::string out = "file " + sName + ": " + std::to_string(info.cbFile) + " bytes, " +
                      (info.IsValid() ? "valid" : std::to_string(info.problems.size()) + " problem(s)") +
                      "\n";
    if (info.bHeaderRead) {
        out += "header: magic \"" + MagicText(info) + "\", version " + std::to_string(info.dwVersion) + ", " +
               std::to_string(info.dwSectionCount) + " section(s), digest " +
               kcfile::DigestToHex(info.storedHeaderDigest) +
               (info.bHeaderDigestValid ? " (valid)" : " (invalid)") + "\n";
    }
    for (const kcfile::KCSection& section : info.sections) {
        out += "section " + Hex32(section.dwId) + ": offset " + std::to_string(section.dwOffset) +
               ", record length " + std::to_string(section.dwRecordLength);
        if (section.bRecordRead) {
            out += ", data length " + std::to_string(section.dwDataLength) + ", digest " +
                   kcfile::DigestToHex(section.storedDigest) +
                   (section.bDigestValid ? " (valid)" : " (invalid)");
        } else {
            out += ", record not readable";
        }
        out += "\n";
        for (const std::string& sLine : DecodeSection(section).lines) {
            out += "  " + sLine + "\n";
        }
        if (options.bHex && section.bDataValid) {
            for (std::size_t i = 0; i < section.data.size(); i += 32) {
                const std::size_t cb = std::min<std::size_t>(32, section.data.size() - i);
                char szOffset[24];
                std::snprintf(szOffset, sizeof(szOffset), "%08zx", i);
                out += std::string("  ") + szOffset + " " + HexBytes(section.data.data() + i, cb) + "\n";
            }
        }
    }
    for (const kcfile::KCProblem& problem : info.problems) {
        out += "problem: " + problem.sText + "\n";
    }
    return out;
}

std::string DumpJson(const std::string& sName, const kcfile::KCFileInfo& info, const DumpOptions& options) {
    std::string out = "{\"file\":" + JsonString(sName) + ",\"size\":" + std::to_string(info.cbFile) +
                      ",\"valid\":" + (info.IsValid() ? "true" : "false");
    if (info.bHeaderRead) {
        out += ",\"header\":{\"magic\":" + JsonString(MagicText(info)) +
               ",\"version\":" + std::to_string(info.dwVersion) +
               ",\"sectionCount\":" + std::to_string(info.dwSectionCount) + ",\"digest\":\"" +
               kcfile::DigestToHex(info.storedHeaderDigest) +
               "\",\"digestValid\":" + (info.bHeaderDigestValid ? "true" : "false") + "}";
    }
    out += ",\"sections\":[";
    for (std::size_t i = 0; i < info.sections.size(); ++i) {
        const kcfile::KCSection& section = info.sections[i];
        out += std::string(i ? "," : "") + "{\"id\":\"" + Hex32(section.dwId) +
               "\",\"offset\":" + std::to_string(section.dwOffset) +
               ",\"recordLength\":" + std::to_string(section.dwRecordLength);
        if (section.bRecordRead) {
            out += ",\"dataLength\":" + std::to_string(section.dwDataLength) + ",\"digest\":\"" +
                   kcfile::DigestToHex(section.storedDigest) +
                   "\",\"digestValid\":" + (section.bDigestValid ? "true" : "false");
        }
        const Decoded decoded = DecodeSection(section);
        if (!decoded.sJson.empty()) {
            out += ",\"decoded\":" + decoded.sJson;
        }
        if (options.bHex && section.bDataValid) {
            out += ",\"data\":\"" + HexBytes(section.data.data(), section.data.size()) + "\"";
        }
        out += "}";
    }
    out += "],\"problems\":[";
    for (std::size_t i = 0; i < info.problems.size(); ++i) {
        const kcfile::KCProblem& problem = info.problems[i];
        out += std::string(i ? "," : "") + "{\"kind\":\"" + kcfile::ProblemName(problem.eKind) + "\"";
        if (problem.bHasSection) {
            out += ",\"entry\":" + std::to_string(problem.nEntry) + ",\"section\":\"" +
                   Hex32(problem.dwSectionId) + "\"";
        }
        out += ",\"text\":" + JsonString(problem.sText) + "}";
    }
    return out + "]}\n";
}

}  // namespace

std::string RenderVerify(const std::string& sName, const kcfile::KCFileInfo& info) {
    if (info.IsValid()) {
        return sName + ": valid, " + std::to_string(info.sections.size()) + " section(s)\n";
    }
    std::string out;
    for (const kcfile::KCProblem& problem : info.problems) {
        out += sName + ": " + problem.sText + "\n";
    }
    return out;
}

std::string RenderDump(const std::string& sName, const kcfile::KCFileInfo& info, const DumpOptions& options) {
    return options.bJson ? DumpJson(sName, info, options) : DumpText(sName, info, options);
}

}  // namespace kctool
