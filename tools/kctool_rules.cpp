#include "kctool_rules.h"

#include <cstdio>

#include "json_text.h"

namespace kctool {

namespace {

constexpr std::uint32_t KC_SECTION_GATEWARDEN_RULES = 0x201;
constexpr std::uint32_t KC_SECTION_AUTHORIZATION_RULES = 0x202;

std::string Quoted(const std::u16string& s) {
    return "\"" + srtc::ToUtf8(s) + "\"";
}

std::string ValueText(const srtc::Literal& literal) {
    char sz[32];
    switch (literal.type) {
        case srtc::LiteralType::Bool:
            return literal.qwValue != 0 ? "true" : "false";
        case srtc::LiteralType::Date:
            return srtc::FormatDate(literal.qwValue);
        case srtc::LiteralType::Str:
            return Quoted(literal.sText);
        case srtc::LiteralType::Int32:
            std::snprintf(sz, sizeof(sz), "%d", static_cast<std::int32_t>(literal.qwValue));
            return sz;
        case srtc::LiteralType::Hex32:
            std::snprintf(sz, sizeof(sz), "0x%08X", static_cast<std::uint32_t>(literal.qwValue));
            return sz;
    }
    return "?";
}

std::string LiteralText(const srtc::Literal& literal) {
    return literal.sId.empty() ? std::string(srtc::NameOf(literal.type)) + " " + ValueText(literal)
                               : "literal " + Quoted(literal.sId);
}

std::string AttributeText(srtc::Attribute attribute) {
    const char* szOp = nullptr;
    const char* szAttr = nullptr;
    srtc::NameOf(attribute, &szOp, &szAttr);
    return std::string(szOp) + "/" + szAttr;
}

std::string LiteralJson(const srtc::Literal& literal) {
    std::string s =
        "{\"id\":" + (literal.sId.empty() ? std::string("null") : JsonString(srtc::ToUtf8(literal.sId))) +
        ",\"type\":\"" + srtc::NameOf(literal.type) + "\",\"value\":";
    switch (literal.type) {
        case srtc::LiteralType::Bool:
            return s + (literal.qwValue != 0 ? "true" : "false") + "}";
        case srtc::LiteralType::Int32:
            return s + std::to_string(static_cast<std::int32_t>(literal.qwValue)) + "}";
        case srtc::LiteralType::Str:
            return s + JsonString(srtc::ToUtf8(literal.sText)) + "}";
        default:
            return s + JsonString(ValueText(literal)) + "}";
    }
}

std::string NodeJson(const srtc::Node& node) {
    std::string s = "{\"kind\":\"" + std::string(srtc::NameOf(node.kind)) + "\"";
    switch (node.kind) {
        case srtc::NodeKind::FunEval:
            s += ",\"function\":\"" + std::string(srtc::NameOf(node.function)) + "\",\"attribute\":\"" +
                 AttributeText(node.attribute) + "\"," +
                 (node.operandKind == srtc::OperandKind::Set ? "\"set\":" : "\"literal\":") +
                 std::to_string(node.dwIndex);
            break;
        case srtc::NodeKind::And:
        case srtc::NodeKind::Or: {
            s += ",\"children\":[";
            for (std::size_t i = 0; i < node.children.size(); ++i) {
                s += (i == 0 ? "" : ",") + std::to_string(node.children[i]);
            }
            s += "]";
            break;
        }
        case srtc::NodeKind::Not:
            s += ",\"child\":" + std::to_string(node.dwIndex);
            break;
        case srtc::NodeKind::ExprRef:
            s += ",\"expression\":" + std::to_string(node.dwIndex);
            break;
        case srtc::NodeKind::LiteralRef:
            s += ",\"literal\":" + std::to_string(node.dwIndex);
            break;
    }
    return s + "}";
}

std::string ItemsJson(const std::vector<std::u16string>& items) {
    std::string s = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        s += (i == 0 ? "" : ",") + JsonString(srtc::ToUtf8(items[i]));
    }
    return s + "]";
}

}  // namespace

bool IsRuleSection(std::uint32_t dwId, std::span<const std::uint8_t> data) {
    return dwId == KC_SECTION_GATEWARDEN_RULES || dwId == KC_SECTION_AUTHORIZATION_RULES ||
           (data.size() >= 4 && data[0] == 'S' && data[1] == 'R' && data[2] == 'T' && data[3] == 'C');
}

// Read has bounded the depth and excluded cycles, so the recursion ends.
std::string ConditionText(const srtc::RuleSet& ruleSet, std::uint32_t dwNode) {
    const srtc::Node& node = ruleSet.nodes[dwNode];
    switch (node.kind) {
        case srtc::NodeKind::FunEval:
            return std::string(srtc::NameOf(node.function)) + "(" + AttributeText(node.attribute) + ", " +
                   (node.operandKind == srtc::OperandKind::Set
                        ? "set " + Quoted(ruleSet.sets[node.dwIndex].sId)
                        : LiteralText(ruleSet.literals[node.dwIndex])) +
                   ")";
        case srtc::NodeKind::And:
        case srtc::NodeKind::Or: {
            std::string s = std::string(srtc::NameOf(node.kind)) + "(";
            for (std::size_t i = 0; i < node.children.size(); ++i) {
                s += (i == 0 ? "" : ", ") + ConditionText(ruleSet, node.children[i]);
            }
            return s + ")";
        }
        case srtc::NodeKind::Not:
            return "not(" + ConditionText(ruleSet, node.dwIndex) + ")";
        case srtc::NodeKind::ExprRef:
            return "expr " + Quoted(ruleSet.expressions[node.dwIndex].sId);
        case srtc::NodeKind::LiteralRef:
            return "literal " + Quoted(ruleSet.literals[node.dwIndex].sId);
    }
    return "?";
}

void DescribeRules(std::span<const std::uint8_t> data, std::vector<std::string>& lines, std::string& sJson) {
    srtc::RuleSet ruleSet;
    std::string sError;
    if (!srtc::Read(data, ruleSet, sError)) {
        lines.push_back("serialized rules not decodable: " + sError);
        sJson = "{\"error\":" + JsonString(sError) + "}";
        return;
    }
    lines.push_back("serialized rules: " + std::string(srtc::NameOf(ruleSet.kind)) + ", default " +
                    srtc::NameOf(ruleSet.defaultEffect) + ", " + std::to_string(ruleSet.sets.size()) +
                    " set(s), " + std::to_string(ruleSet.literals.size()) + " literal(s), " +
                    std::to_string(ruleSet.expressions.size()) + " expression(s), " +
                    std::to_string(ruleSet.rules.size()) + " rule(s)");
    std::string sSets, sLiterals, sNodes, sExpressions, sRules;
    for (const srtc::StringSet& set : ruleSet.sets) {
        lines.push_back("set " + Quoted(set.sId) + ": " + std::to_string(set.exact.size()) + " exact, " +
                        std::to_string(set.prefix.size()) + " prefix");
        for (const auto& item : set.exact) {
            lines.push_back("  exact " + Quoted(item));
        }
        for (const auto& item : set.prefix) {
            lines.push_back("  prefix " + Quoted(item));
        }
        sSets += (sSets.empty() ? "" : ",") + std::string("{\"id\":") + JsonString(srtc::ToUtf8(set.sId)) +
                 ",\"exact\":" + ItemsJson(set.exact) + ",\"prefix\":" + ItemsJson(set.prefix) + "}";
    }
    for (const srtc::Literal& literal : ruleSet.literals) {
        if (!literal.sId.empty()) {
            lines.push_back("literal " + Quoted(literal.sId) + ": " + srtc::NameOf(literal.type) + " " +
                            ValueText(literal));
        }
        sLiterals += (sLiterals.empty() ? "" : ",") + LiteralJson(literal);
    }
    for (const srtc::Node& node : ruleSet.nodes) {
        sNodes += (sNodes.empty() ? "" : ",") + NodeJson(node);
    }
    for (const srtc::Expression& expression : ruleSet.expressions) {
        const std::string sText = ConditionText(ruleSet, expression.dwRoot);
        lines.push_back("expression " + Quoted(expression.sId) + ": " + sText);
        sExpressions += (sExpressions.empty() ? "" : ",") + std::string("{\"id\":") +
                        JsonString(srtc::ToUtf8(expression.sId)) +
                        ",\"root\":" + std::to_string(expression.dwRoot) + ",\"text\":" + JsonString(sText) +
                        "}";
    }
    for (const srtc::Rule& rule : ruleSet.rules) {
        const std::string sText = ConditionText(ruleSet, rule.dwRoot);
        lines.push_back("rule " + Quoted(rule.sId) + " " + srtc::NameOf(rule.effect) + ": " + sText);
        sRules += (sRules.empty() ? "" : ",") + std::string("{\"id\":") + JsonString(srtc::ToUtf8(rule.sId)) +
                  ",\"effect\":\"" + srtc::NameOf(rule.effect) +
                  "\",\"root\":" + std::to_string(rule.dwRoot) + ",\"text\":" + JsonString(sText) + "}";
    }
    sJson = "{\"ruleSet\":\"" + std::string(srtc::NameOf(ruleSet.kind)) + "\",\"defaultEffect\":\"" +
            srtc::NameOf(ruleSet.defaultEffect) + "\",\"sets\":[" + sSets + "],\"literals\":[" + sLiterals +
            "],\"nodes\":[" + sNodes + "],\"expressions\":[" + sExpressions + "],\"rules\":[" + sRules + "]}";
}

}  // namespace kctool
