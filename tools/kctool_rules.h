// Renderings of a rule section's serialized rules (docs/srtc.md) for kctool's dump.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "srtc/srtc.h"

namespace kctool {

// Sections whose data are serialized rules: the two rule sections, or any data that starts with the
// format's magic (an exclusion rule set has no section of its own).
bool IsRuleSection(std::uint32_t dwId, std::span<const std::uint8_t> data);

// Lines of text and one JSON value; a blob the reader refuses gives its reason in both.
void DescribeRules(std::span<const std::uint8_t> data, std::vector<std::string>& lines, std::string& sJson);

// One condition in words, e.g. and(literal "on", not(in-set(target/path, set "files"))).
std::string ConditionText(const srtc::RuleSet& ruleSet, std::uint32_t dwNode);

}  // namespace kctool
