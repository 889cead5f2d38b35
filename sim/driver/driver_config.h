// The configuration the stand-in driver enforces: a KC file read, checked and decoded as a whole
// before it replaces the one in force, so a bad file never leaves the driver half-configured.
#pragma once

#include <map>
#include <span>
#include <string>
#include <vector>

#include "crypto/sha1.h"
#include "kcfile/kc_sections.h"
#include "platform/types.h"
#include "service/registry_key.h"
#include "srtc/srtc.h"

namespace krelldrv {

// Reply codes of a settings message. Success names the file the driver used before; a rejection
// (top bit clear) names nothing, so the service never deletes the file still in force.
constexpr DWORD CONFIG_ACCEPTED = 0x80000000;
constexpr DWORD CONFIG_REJECTED = 0x00000000;       // refused by the ConfigReject test option
constexpr DWORD CONFIG_E_UNREADABLE = 0x00000001;   // the file cannot be opened or read
constexpr DWORD CONFIG_E_INVALID = 0x00000002;      // the KC reader found problems
constexpr DWORD CONFIG_E_BAD_SECTION = 0x00000003;  // a section's content cannot be decoded
constexpr DWORD CONFIG_E_NO_CONFIG_SECTION = 0x00000004;

struct CConfigSection {
    DWORD dwId = 0;
    DWORD dwLength = 0;  // data length before padding
    bool bRules = false;
    DWORD dwRuleCount = 0;
};

struct CDriverConfiguration {
    std::u16string sPath;  // as the service named it
    crypto::Sha1Digest headerDigest{};
    std::vector<CConfigSection> sections;  // in file order
    kcfile::ProtectionStateData state{};
    std::map<DWORD, srtc::RuleSet> rules;          // by section id
    std::vector<kcfile::LegacyExecutable> legacy;  // section 0x401, decoded
    // Whether an authorization rule names a file hash, so that an access needs its actor hashed.
    bool bHashRules = false;

    bool IsLoaded() const { return !sPath.empty(); }
};

// Sections holding serialized rules: the two rule sections, or any data starting with the magic
// (an exclusion rule set has no section id of its own).
bool IsRuleSection(DWORD dwId, std::span<const BYTE> data);

// Decodes a KC file held in memory. On failure returns a rejection code and says why in sError;
// config is then left as it was.
DWORD DecodeConfiguration(std::span<const BYTE> file, const std::u16string& sPath,
                          CDriverConfiguration& config, std::string& sError);

// Reads the file (a Windows-form path) through the platform's file layer, then decodes it.
DWORD LoadConfiguration(const std::u16string& sPath, CDriverConfiguration& config, std::string& sError);

// The driver's Parameters key, where its test options live, opened for reading; false when absent.
bool OpenDriverParameters(CRegistryKey& parameters);

// Test options, read from the driver's Parameters key for each settings message.
struct CConfigOptions {
    bool bReject = false;           // ConfigReject: refuse every file
    DWORD dwDelayMs = 0;            // ConfigDelay: answer late
    bool bOtherReplyFirst = false;  // ConfigOtherReplyFirst: answer an activation first
    bool bSilent = false;           // ConfigSilent: never answer (the file is not looked at)
};

CConfigOptions ReadConfigOptions();

// The status lines of a configuration ("kc ...", "digest ...", "section ...") and its JSON object.
std::string DescribeConfiguration(const CDriverConfiguration& config);
std::string ConfigurationJson(const CDriverConfiguration& config);

}  // namespace krelldrv
