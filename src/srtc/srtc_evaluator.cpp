// The evaluator: one access against a rule set, rules in order, first match wins.
#include <algorithm>

#include "srtc/srtc.h"

namespace srtc {

namespace {

bool EqualsIgnoringCase(std::u16string_view upper, std::u16string_view other) {
    if (upper.size() != other.size()) {
        return false;
    }
    for (std::size_t i = 0; i < upper.size(); ++i) {
        if (upper[i] != UpperUnit(other[i])) {
            return false;
        }
    }
    return true;
}

class CEvaluator {
public:
    CEvaluator(const RuleSet& ruleSet, const Access& access) : m_ruleSet(ruleSet), m_access(access) {
        // Upper-cased once, so every comparison is with canonical text.
        m_strings[0] = Upper(access.sActorPath);
        m_strings[1] = Upper(access.sActorSid);
        m_strings[2] = Upper(access.sActorMd5);
        m_strings[3] = Upper(access.sActorSha1);
        m_strings[4] = Upper(access.sActorDevice);
        m_strings[5] = Upper(access.sActorLocation);
        m_strings[6] = Upper(access.sTargetPath);
        m_strings[7] = Upper(FromUtf8(NameOf(access.targetKind)));
    }

    bool Holds(std::uint32_t dwNode, std::uint32_t dwDepth) const;

private:
    const std::u16string& StringOf(Attribute attribute) const {
        switch (attribute) {
            case Attribute::ActorPath:
                return m_strings[0];
            case Attribute::ActorSid:
                return m_strings[1];
            case Attribute::ActorMd5:
                return m_strings[2];
            case Attribute::ActorSha1:
                return m_strings[3];
            case Attribute::ActorDevice:
                return m_strings[4];
            case Attribute::ActorLocation:
                return m_strings[5];
            case Attribute::TargetPath:
                return m_strings[6];
            default:
                return m_strings[7];
        }
    }
    std::uint64_t NumberOf(Attribute attribute) const {
        switch (attribute) {
            case Attribute::ActorFileLength:
                return m_access.dwActorFileLength;
            case Attribute::ActionDesiredAccess:
                return m_access.dwDesiredAccess;
            default:
                return m_access.qwTime;
        }
    }
    bool InSet(const StringSet& set, const std::u16string& value) const;
    bool FunEval(const Node& node) const;

    const RuleSet& m_ruleSet;
    const Access& m_access;
    std::u16string m_strings[8];
};

// Exact items: one binary search. Prefix items are prefix-free, so the only one that can begin the
// value is the greatest item not above it: one more binary search.
bool CEvaluator::InSet(const StringSet& set, const std::u16string& value) const {
    if (std::binary_search(set.exact.begin(), set.exact.end(), value)) {
        return true;
    }
    auto it = std::upper_bound(set.prefix.begin(), set.prefix.end(), value);
    return it != set.prefix.begin() && value.starts_with(*--it);
}

bool CEvaluator::FunEval(const Node& node) const {
    if (node.operandKind == OperandKind::Set) {
        return node.function == Function::InSet && node.dwIndex < m_ruleSet.sets.size() &&
               ClassOf(node.attribute) == ValueClass::String &&
               InSet(m_ruleSet.sets[node.dwIndex], StringOf(node.attribute));
    }
    if (node.dwIndex >= m_ruleSet.literals.size()) {
        return false;
    }
    const Literal& literal = m_ruleSet.literals[node.dwIndex];
    if (!OperandFits(node.function, node.attribute, literal.type)) {
        return false;
    }
    switch (node.function) {
        case Function::Equals:
            if (literal.type == LiteralType::Str) {
                return EqualsIgnoringCase(StringOf(node.attribute), literal.sText);
            }
            if (literal.type == LiteralType::Date) {
                return NumberOf(node.attribute) == literal.qwValue;
            }
            return NumberOf(node.attribute) == (literal.qwValue & 0xFFFFFFFF);
        case Function::BinaryAnd:
            return (NumberOf(node.attribute) & literal.qwValue & 0xFFFFFFFF) != 0;
        case Function::Before:
            return NumberOf(node.attribute) < literal.qwValue;
        case Function::InSet:
            return false;
    }
    return false;
}

// The depth guard matters only for rule sets built in memory; Read refuses deeper ones already.
bool CEvaluator::Holds(std::uint32_t dwNode, std::uint32_t dwDepth) const {
    if (dwNode >= m_ruleSet.nodes.size() || dwDepth >= SRTC_MAX_DEPTH) {
        return false;
    }
    const Node& node = m_ruleSet.nodes[dwNode];
    switch (node.kind) {
        case NodeKind::FunEval:
            return FunEval(node);
        case NodeKind::And:
            return !node.children.empty() &&
                   std::all_of(node.children.begin(), node.children.end(),
                               [&](std::uint32_t c) { return Holds(c, dwDepth + 1); });
        case NodeKind::Or:
            return std::any_of(node.children.begin(), node.children.end(),
                               [&](std::uint32_t c) { return Holds(c, dwDepth + 1); });
        case NodeKind::Not:
            return !Holds(node.dwIndex, dwDepth + 1);
        case NodeKind::ExprRef:
            return node.dwIndex < m_ruleSet.expressions.size() &&
                   Holds(m_ruleSet.expressions[node.dwIndex].dwRoot, dwDepth + 1);
        case NodeKind::LiteralRef:
            return node.dwIndex < m_ruleSet.literals.size() &&
                   m_ruleSet.literals[node.dwIndex].type == LiteralType::Bool &&
                   m_ruleSet.literals[node.dwIndex].qwValue != 0;
    }
    return false;
}

}  // namespace

Verdict Evaluate(const RuleSet& ruleSet, const Access& access) {
    const CEvaluator evaluator(ruleSet, access);
    for (std::size_t i = 0; i < ruleSet.rules.size(); ++i) {
        if (evaluator.Holds(ruleSet.rules[i].dwRoot, 0)) {
            return {ruleSet.rules[i].effect, static_cast<std::int32_t>(i)};
        }
    }
    return {ruleSet.defaultEffect, SRTC_NO_RULE};
}

}  // namespace srtc
