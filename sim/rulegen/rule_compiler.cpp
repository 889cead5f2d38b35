// The document compiler. Identifiers are collected first so references may point forward; set items
// are decoded straight into their set's packed units in one pass and sorted once by the writer's
// canonical form, so large sets stay n log n and in contiguous memory.
#include "rule_compiler.h"

#include <optional>
#include <unordered_map>
#include <vector>

#include "rule_tree.h"

namespace rulegen {

namespace {

using srtc::Attribute;
using srtc::Function;
using srtc::LiteralType;
using srtc::NodeKind;
using tree::Node;

std::string NameOf(Node pNode) {
    return tree::Name(pNode);
}

bool Is(Node pNode, const char* szName) {
    return tree::NameIs(pNode, szName);
}

bool InNamespace(Node pNode) {
    return tree::InNamespace(pNode, RULES_NAMESPACE);
}

std::string Trim(std::string s) {
    const char* szBlank = " \t\r\n";
    const std::size_t nFirst = s.find_first_not_of(szBlank);
    if (nFirst == std::string::npos) {
        return {};
    }
    return s.substr(nFirst, s.find_last_not_of(szBlank) - nFirst + 1);
}

bool Attr(Node pNode, const char* szName, std::string& sValue) {
    return tree::Attribute(pNode, szName, sValue);
}

std::string Text(Node pNode) {
    std::string s;
    for (Node p = tree::FirstChild(pNode); p; p = tree::NextSibling(p)) {
        if (tree::IsText(p)) {
            tree::AppendText(p, s);
        }
    }
    return s;
}

bool AttributeOf(const std::string& sOp, const std::string& sAttr, Attribute& attribute) {
    static const struct {
        const char* szOp;
        const char* szAttr;
        Attribute attribute;
    } kAttributes[] = {
        {"actor", "path", Attribute::ActorPath},
        {"actor", "sid", Attribute::ActorSid},
        {"actor", "md5-hash", Attribute::ActorMd5},
        {"actor", "sha1-hash", Attribute::ActorSha1},
        {"actor", "file-length", Attribute::ActorFileLength},
        {"actor", "device", Attribute::ActorDevice},
        {"actor", "location", Attribute::ActorLocation},
        {"target", "path", Attribute::TargetPath},
        {"target", "kind", Attribute::TargetKind},
        {"action", "desired-access", Attribute::ActionDesiredAccess},
        {"env", "time", Attribute::EnvTime},
    };
    for (const auto& entry : kAttributes) {
        if (sOp == entry.szOp && sAttr == entry.szAttr) {
            attribute = entry.attribute;
            return true;
        }
    }
    return false;
}

bool FunctionOf(const std::string& sName, Function& function) {
    static const struct {
        const char* szName;
        Function function;
    } kFunctions[] = {{"equals", Function::Equals},
                      {"binary-and", Function::BinaryAnd},
                      {"in-set", Function::InSet},
                      {"before", Function::Before}};
    for (const auto& entry : kFunctions) {
        if (sName == entry.szName) {
            function = entry.function;
            return true;
        }
    }
    return false;
}

bool ParseNumber(const std::string& sText, bool bHex, std::uint64_t& qwValue) {
    const std::string s = Trim(sText);
    std::size_t i = 0;
    bool bNegative = false;
    std::uint64_t q = 0;
    if (bHex) {
        if (s.size() < 3 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X') || s.size() > 10) {
            return false;
        }
        for (i = 2; i < s.size(); ++i) {
            const char c = s[i];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) {
                return false;
            }
            q = q * 16 + static_cast<std::uint64_t>(d);
        }
        qwValue = q;
        return true;
    }
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        bNegative = s[0] == '-';
        i = 1;
    }
    if (i == s.size() || s.size() - i > 10) {
        return false;
    }
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return false;
        }
        q = q * 10 + static_cast<std::uint64_t>(s[i] - '0');
    }
    if (bNegative ? q > 0x80000000ULL : q > 0x7FFFFFFFULL) {
        return false;
    }
    qwValue = bNegative ? static_cast<std::uint32_t>(-static_cast<std::int64_t>(q)) : q;
    return true;
}

class CCompiler {
public:
    // Sets go to sets, packed, rather than to ruleSet.sets.
    CCompiler(srtc::RuleSet& ruleSet, std::vector<srtc::PackedStringSet>& sets, std::string& sError)
        : m_ruleSet(ruleSet), m_packedSets(sets), m_sError(sError) {}

    bool Run(Node pRoot);

private:
    bool Fail(std::string sReason) {
        m_sError = std::move(sReason);
        return false;
    }
    // The element children of a container; text other than white space is refused.
    bool Children(Node pParent, std::vector<Node>& children) {
        children.clear();
        return EachChild(pParent, [&](Node p) { children.push_back(p); });
    }
    // The same, handing each element to onElement as it goes.
    template <class F>
    bool EachChild(Node pParent, F onElement) {
        for (Node p = tree::FirstChild(pParent); p; p = tree::NextSibling(p)) {
            if (tree::IsElement(p)) {
                if (!InNamespace(p)) {
                    return Fail("unknown element '" + NameOf(p) + "' in '" + NameOf(pParent) +
                                "' (not in the rules namespace)");
                }
                onElement(p);
            } else if (tree::IsText(p) && !tree::IsBlank(p)) {
                return Fail("unexpected text in '" + NameOf(pParent) + "'");
            }
        }
        return true;
    }
    bool Id(Node pNode, const char* szAttr, std::string& sId) {
        if (!Attr(pNode, szAttr, sId) || sId.empty()) {
            return Fail("'" + NameOf(pNode) + "' without " + szAttr);
        }
        return true;
    }

    bool Collect(Node pDefinitions);
    bool SetItems(Node pDef, srtc::PackedStringSet& set);
    bool Value(Node pValue, const std::string& sWhere, srtc::Literal& literal);
    bool Condition(Node pNode, const std::string& sWhere, std::uint32_t& dwNode);
    bool FunEval(Node pNode, const std::string& sWhere, std::uint32_t& dwNode);
    std::uint32_t AddNode(srtc::Node node) {
        m_ruleSet.nodes.push_back(std::move(node));
        return static_cast<std::uint32_t>(m_ruleSet.nodes.size() - 1);
    }
    bool NoCycles();

    srtc::RuleSet& m_ruleSet;
    std::vector<srtc::PackedStringSet>& m_packedSets;
    std::string& m_sError;
    std::unordered_map<std::string, std::uint32_t> m_sets, m_literals, m_expressions;
    std::vector<Node> m_exprDefs;
    // Expressions each expression refers to directly, for the cycle check.
    std::vector<std::vector<std::uint32_t>> m_exprRefs;
    std::uint32_t m_dwCurrentExpr = 0;
    bool m_bInExpr = false;
};

// One walk over a set's items, which a large document's tree spreads over more memory than the caches
// hold. A misnamed item is reported after the walk, so that the container's own refusals come first.
bool CCompiler::SetItems(Node pDef, srtc::PackedStringSet& set) {
    Node pUnknown{};
    const bool bChildren = EachChild(pDef, [&](Node pItem) {
        const bool bPrefix = Is(pItem, "prefixStr");
        if (!bPrefix && !Is(pItem, "exactStr")) {
            pUnknown = pUnknown ? pUnknown : pItem;
            return;
        }
        // Decoded straight into the set's units: the parser never splits a character between nodes.
        const std::size_t nStart = set.units.size();
        for (Node p = tree::FirstChild(pItem); p; p = tree::NextSibling(p)) {
            if (tree::IsText(p)) {
                tree::AppendUnits(p, set.units);
            }
        }
        (bPrefix ? set.prefix : set.exact)
            .push_back(
                {static_cast<std::uint32_t>(nStart), static_cast<std::uint32_t>(set.units.size() - nStart)});
    });
    if (!bChildren) {
        return false;
    }
    if (pUnknown) {
        return Fail("unknown element '" + NameOf(pUnknown) + "' in set '" + srtc::ToUtf8(set.sId) + "'");
    }
    return true;
}

bool CCompiler::Value(Node pValue, const std::string& sWhere, srtc::Literal& literal) {
    const std::string sText = Text(pValue);
    if (Is(pValue, "bool")) {
        const std::string s = Trim(sText);
        if (s != "true" && s != "false") {
            return Fail(sWhere + ": bad bool '" + sText + "'");
        }
        literal.type = LiteralType::Bool;
        literal.qwValue = s == "true" ? 1 : 0;
    } else if (Is(pValue, "date")) {
        literal.type = LiteralType::Date;
        if (!srtc::ParseDate(Trim(sText), literal.qwValue)) {
            return Fail(sWhere + ": bad date '" + sText + "' (expected YYYY-MM-DDThh:mm:ssZ)");
        }
    } else if (Is(pValue, "str")) {
        literal.type = LiteralType::Str;
        literal.sText = srtc::FromUtf8(sText);
    } else if (Is(pValue, "int32")) {
        literal.type = LiteralType::Int32;
        if (!ParseNumber(sText, false, literal.qwValue)) {
            return Fail(sWhere + ": bad int32 '" + sText + "'");
        }
    } else if (Is(pValue, "hex32")) {
        literal.type = LiteralType::Hex32;
        if (!ParseNumber(sText, true, literal.qwValue)) {
            return Fail(sWhere + ": bad hex32 '" + sText + "' (expected 0x and up to 8 hexadecimal digits)");
        }
    } else {
        return Fail(sWhere + ": unknown element '" + NameOf(pValue) + "'");
    }
    return true;
}

bool CCompiler::Collect(Node pDefinitions) {
    std::vector<Node> defs;
    if (!Children(pDefinitions, defs)) {
        return false;
    }
    for (Node pDef : defs) {
        std::string sId;
        if (Is(pDef, "setLiteralDef")) {
            if (!Id(pDef, "setLiteralId", sId)) {
                return false;
            }
            if (!m_sets.emplace(sId, static_cast<std::uint32_t>(m_packedSets.size())).second) {
                return Fail("set '" + sId + "' defined twice");
            }
            srtc::PackedStringSet& set = m_packedSets.emplace_back();
            set.sId = srtc::FromUtf8(sId);
            if (!SetItems(pDef, set)) {
                return false;
            }
        } else if (Is(pDef, "singleLiteralDef")) {
            if (!Id(pDef, "literalId", sId)) {
                return false;
            }
            if (!m_literals.emplace(sId, static_cast<std::uint32_t>(m_ruleSet.literals.size())).second) {
                return Fail("literal '" + sId + "' defined twice");
            }
            std::vector<Node> values;
            if (!Children(pDef, values)) {
                return false;
            }
            if (values.size() != 1) {
                return Fail("literal '" + sId + "' has " + std::to_string(values.size()) +
                            " values, expected 1");
            }
            srtc::Literal& literal = m_ruleSet.literals.emplace_back();
            literal.sId = srtc::FromUtf8(sId);
            if (!Value(values[0], "literal '" + sId + "'", literal)) {
                return false;
            }
        } else if (Is(pDef, "exprDef")) {
            if (!Id(pDef, "exprId", sId)) {
                return false;
            }
            if (!m_expressions.emplace(sId, static_cast<std::uint32_t>(m_ruleSet.expressions.size()))
                     .second) {
                return Fail("expression '" + sId + "' defined twice");
            }
            m_ruleSet.expressions.push_back({srtc::FromUtf8(sId), 0});
            m_exprDefs.push_back(pDef);
        } else {
            return Fail("unknown element '" + NameOf(pDef) + "' in 'definitions'");
        }
    }
    return true;
}

bool CCompiler::FunEval(Node pNode, const std::string& sWhere, std::uint32_t& dwNode) {
    std::string sFunction;
    srtc::Node node;
    node.kind = NodeKind::FunEval;
    if (!Attr(pNode, "funRef", sFunction)) {
        return Fail(sWhere + ": funEval without funRef");
    }
    if (!FunctionOf(sFunction, node.function)) {
        return Fail(sWhere + ": unknown function '" + sFunction + "'");
    }
    const std::string sFun = sWhere + ": " + sFunction;
    std::vector<Node> children;
    if (!Children(pNode, children)) {
        return false;
    }
    if (children.size() != 2 || !Is(children[0], "attr")) {
        return Fail(sFun + " needs an attr element and one operand");
    }
    std::string sOp, sAttr;
    Attr(children[0], "opRef", sOp);
    Attr(children[0], "attrRef", sAttr);
    if (!AttributeOf(sOp, sAttr, node.attribute)) {
        return Fail(sFun + ": unknown attribute '" + sOp + "/" + sAttr + "'");
    }
    Node pOperand = children[1];
    std::string sRef;
    if (Is(pOperand, "setRef")) {
        if (!Id(pOperand, "setLiteralId", sRef)) {
            return false;
        }
        const auto it = m_sets.find(sRef);
        if (it == m_sets.end()) {
            return Fail(sFun + ": reference to undefined set '" + sRef + "'");
        }
        if (node.function != Function::InSet || srtc::ClassOf(node.attribute) != srtc::ValueClass::String) {
            return Fail(sFun + ": wrong operand type, set '" + sRef + "' for attribute '" + sOp + "/" +
                        sAttr + "'");
        }
        node.operandKind = srtc::OperandKind::Set;
        node.dwIndex = it->second;
    } else {
        if (Is(pOperand, "literalRef")) {
            if (!Id(pOperand, "literalId", sRef)) {
                return false;
            }
            const auto it = m_literals.find(sRef);
            if (it == m_literals.end()) {
                return Fail(sFun + ": reference to undefined literal '" + sRef + "'");
            }
            node.dwIndex = it->second;
        } else {
            srtc::Literal literal;
            if (!Value(pOperand, sFun, literal)) {
                return false;
            }
            m_ruleSet.literals.push_back(std::move(literal));
            node.dwIndex = static_cast<std::uint32_t>(m_ruleSet.literals.size() - 1);
        }
        const LiteralType type = m_ruleSet.literals[node.dwIndex].type;
        if (!srtc::OperandFits(node.function, node.attribute, type)) {
            return Fail(sFun + ": wrong operand type, " + srtc::NameOf(type) + " for attribute '" + sOp +
                        "/" + sAttr + "'");
        }
        node.operandKind = srtc::OperandKind::Literal;
    }
    dwNode = AddNode(std::move(node));
    return true;
}

bool CCompiler::Condition(Node pNode, const std::string& sWhere, std::uint32_t& dwNode) {
    if (Is(pNode, "funEval")) {
        return FunEval(pNode, sWhere, dwNode);
    }
    std::vector<Node> children;
    if (Is(pNode, "and") || Is(pNode, "or")) {
        if (!Children(pNode, children)) {
            return false;
        }
        // The service leaves an 'or' empty when none of its values was usable: it never holds.
        if (children.empty() && Is(pNode, "and")) {
            return Fail(sWhere + ": empty 'and'");
        }
        srtc::Node node;
        node.kind = Is(pNode, "and") ? NodeKind::And : NodeKind::Or;
        for (Node pChild : children) {
            std::uint32_t dwChild = 0;
            if (!Condition(pChild, sWhere, dwChild)) {
                return false;
            }
            node.children.push_back(dwChild);
        }
        dwNode = AddNode(std::move(node));
        return true;
    }
    if (Is(pNode, "not")) {
        if (!Children(pNode, children)) {
            return false;
        }
        if (children.size() != 1) {
            return Fail(sWhere + ": 'not' holds " + std::to_string(children.size()) +
                        " conditions, expected 1");
        }
        srtc::Node node;
        node.kind = NodeKind::Not;
        if (!Condition(children[0], sWhere, node.dwIndex)) {
            return false;
        }
        dwNode = AddNode(std::move(node));
        return true;
    }
    std::string sRef;
    if (Is(pNode, "exprRef")) {
        if (!Id(pNode, "exprId", sRef)) {
            return false;
        }
        const auto it = m_expressions.find(sRef);
        if (it == m_expressions.end()) {
            return Fail(sWhere + ": reference to undefined expression '" + sRef + "'");
        }
        if (m_bInExpr) {
            m_exprRefs[m_dwCurrentExpr].push_back(it->second);
        }
        srtc::Node node;
        node.kind = NodeKind::ExprRef;
        node.dwIndex = it->second;
        dwNode = AddNode(std::move(node));
        return true;
    }
    if (Is(pNode, "literalRef")) {
        if (!Id(pNode, "literalId", sRef)) {
            return false;
        }
        const auto it = m_literals.find(sRef);
        if (it == m_literals.end()) {
            return Fail(sWhere + ": reference to undefined literal '" + sRef + "'");
        }
        if (m_ruleSet.literals[it->second].type != LiteralType::Bool) {
            return Fail(sWhere + ": wrong operand type, literal '" + sRef +
                        "' used as a condition is not a bool");
        }
        srtc::Node node;
        node.kind = NodeKind::LiteralRef;
        node.dwIndex = it->second;
        dwNode = AddNode(std::move(node));
        return true;
    }
    return Fail(sWhere + ": unknown element '" + NameOf(pNode) + "'");
}

bool CCompiler::NoCycles() {
    // 0 unvisited, 1 on the path, 2 done; iterative so a long chain of expressions cannot exhaust the stack.
    std::vector<std::uint8_t> state(m_ruleSet.expressions.size(), 0);
    for (std::uint32_t dwStart = 0; dwStart < state.size(); ++dwStart) {
        if (state[dwStart] != 0) {
            continue;
        }
        std::vector<std::pair<std::uint32_t, std::size_t>> stack{{dwStart, 0}};
        state[dwStart] = 1;
        while (!stack.empty()) {
            auto& [dwExpr, nNext] = stack.back();
            if (nNext == m_exprRefs[dwExpr].size()) {
                state[dwExpr] = 2;
                stack.pop_back();
                continue;
            }
            const std::uint32_t dwRef = m_exprRefs[dwExpr][nNext++];
            if (state[dwRef] == 1) {
                return Fail("expression '" + srtc::ToUtf8(m_ruleSet.expressions[dwRef].sId) +
                            "' refers to itself (cycle through '" +
                            srtc::ToUtf8(m_ruleSet.expressions[dwExpr].sId) + "')");
            }
            if (state[dwRef] == 0) {
                state[dwRef] = 1;
                stack.emplace_back(dwRef, 0);
            }
        }
    }
    return true;
}

bool CCompiler::Run(Node pRoot) {
    if (!pRoot || !Is(pRoot, "ruleModule") || !InNamespace(pRoot)) {
        return Fail(!pRoot ? "empty document"
                           : "unknown element '" + NameOf(pRoot) + "' at the root (expected ruleModule)");
    }
    std::string sValue;
    if (!Attr(pRoot, "ruleSet", sValue)) {
        return Fail("ruleModule without ruleSet");
    }
    if (sValue == "authorization") {
        m_ruleSet.kind = srtc::RuleSetKind::Authorization;
    } else if (sValue == "exclusion") {
        m_ruleSet.kind = srtc::RuleSetKind::Exclusion;
    } else if (sValue == "protected-resources") {
        m_ruleSet.kind = srtc::RuleSetKind::ProtectedResources;
    } else {
        return Fail("unknown ruleSet '" + sValue + "'");
    }
    if (!Attr(pRoot, "defaultEffect", sValue)) {
        return Fail("ruleModule without defaultEffect");
    }
    if (sValue != "allow" && sValue != "deny") {
        return Fail("unknown defaultEffect '" + sValue + "'");
    }
    m_ruleSet.defaultEffect = sValue == "deny" ? srtc::Effect::Deny : srtc::Effect::Allow;

    std::vector<Node> sections;
    if (!Children(pRoot, sections)) {
        return false;
    }
    Node pRules{};
    for (Node pSection : sections) {
        if (Is(pSection, "definitions")) {
            if (!Collect(pSection)) {
                return false;
            }
        } else if (Is(pSection, "rules")) {
            pRules = pSection;
        } else {
            return Fail("unknown element '" + NameOf(pSection) + "' in 'ruleModule'");
        }
    }

    m_exprRefs.resize(m_exprDefs.size());
    m_bInExpr = true;
    for (std::uint32_t i = 0; i < m_exprDefs.size(); ++i) {
        const std::string sWhere = "expression '" + srtc::ToUtf8(m_ruleSet.expressions[i].sId) + "'";
        std::vector<Node> children;
        if (!Children(m_exprDefs[i], children)) {
            return false;
        }
        if (children.empty() || !Is(children[0], "expr")) {
            return Fail(sWhere + ": first child is not 'expr'");
        }
        if (children.size() > 1) {
            return Fail(sWhere + ": unknown element '" + NameOf(children[1]) + "' after 'expr'");
        }
        std::vector<Node> conditions;
        if (!Children(children[0], conditions)) {
            return false;
        }
        m_dwCurrentExpr = i;
        srtc::Node alternatives;
        alternatives.kind = NodeKind::Or;
        for (Node pCondition : conditions) {
            std::uint32_t dwNode = 0;
            if (!Condition(pCondition, sWhere, dwNode)) {
                return false;
            }
            alternatives.children.push_back(dwNode);
        }
        // Alternatives appended by the service make an implicit 'or'; none at all, never holds.
        m_ruleSet.expressions[i].dwRoot =
            alternatives.children.size() == 1 ? alternatives.children[0] : AddNode(std::move(alternatives));
    }
    m_bInExpr = false;
    if (!NoCycles()) {
        return false;
    }

    if (!pRules) {
        return true;
    }
    std::vector<Node> rules;
    if (!Children(pRules, rules)) {
        return false;
    }
    std::unordered_map<std::string, bool> ruleIds;
    for (Node pRule : rules) {
        std::string sId, sEffect;
        if (!Is(pRule, "rule")) {
            return Fail("unknown element '" + NameOf(pRule) + "' in 'rules'");
        }
        if (!Id(pRule, "ruleId", sId)) {
            return false;
        }
        if (!ruleIds.emplace(sId, true).second) {
            return Fail("rule '" + sId + "' defined twice");
        }
        const std::string sWhere = "rule '" + sId + "'";
        if (!Attr(pRule, "effect", sEffect) || (sEffect != "allow" && sEffect != "deny")) {
            return Fail(sWhere + ": effect must be allow or deny");
        }
        std::vector<Node> conditions;
        if (!Children(pRule, conditions)) {
            return false;
        }
        if (conditions.size() != 1) {
            return Fail(sWhere + " holds " + std::to_string(conditions.size()) + " conditions, expected 1");
        }
        srtc::Rule rule{srtc::FromUtf8(sId), sEffect == "deny" ? srtc::Effect::Deny : srtc::Effect::Allow, 0};
        if (!Condition(conditions[0], sWhere, rule.dwRoot)) {
            return false;
        }
        m_ruleSet.rules.push_back(std::move(rule));
    }
    return true;
}

}  // namespace

struct CRuleDocument::CDoc {
    tree::CDocument document;
};

CRuleDocument::CRuleDocument() = default;
CRuleDocument::~CRuleDocument() = default;

void CRuleDocument::Clear() {
    m_pDoc.reset();
}

bool CRuleDocument::IsParsed() const {
    return m_pDoc != nullptr;
}

bool CRuleDocument::Parse(std::u16string_view sXml, std::string& sError) {
    Clear();
    auto pDoc = std::make_unique<CDoc>();
    std::string sReason;
    std::optional<long> line;
    if (!pDoc->document.Parse(sXml, sReason, line)) {
        sError = "not well-formed XML: " + Trim(sReason) +
                 (line ? " (line " + std::to_string(*line) + ")" : std::string());
        return false;
    }
    m_pDoc = std::move(pDoc);
    return true;
}

bool CRuleDocument::Compile(srtc::RuleSet& ruleSet, std::string& sError) const {
    std::vector<srtc::PackedStringSet> sets;
    if (!Compile(ruleSet, sets, sError)) {
        return false;
    }
    for (const srtc::PackedStringSet& set : sets) {
        ruleSet.sets.push_back(set.Unpacked());
    }
    return true;
}

bool CRuleDocument::CompileSerialized(std::vector<std::uint8_t>& blob, std::string& sError) const {
    blob.clear();
    srtc::RuleSet ruleSet;
    std::vector<srtc::PackedStringSet> sets;
    if (!Compile(ruleSet, sets, sError)) {
        return false;
    }
    for (srtc::PackedStringSet& set : sets) {
        srtc::Canonicalize(set);
    }
    blob = srtc::WriteCanonical(ruleSet, sets);
    return true;
}

bool CRuleDocument::Compile(srtc::RuleSet& ruleSet, std::vector<srtc::PackedStringSet>& sets,
                            std::string& sError) const {
    ruleSet = srtc::RuleSet{};
    sets.clear();
    if (m_pDoc == nullptr) {
        sError = "no document loaded";
        return false;
    }
    // Entities of a document type would reach the text as nodes the compiler does not read.
    if (m_pDoc->document.HasDocumentType()) {
        sError = "document type declarations are not accepted";
        return false;
    }
    CCompiler compiler(ruleSet, sets, sError);
    return compiler.Run(m_pDoc->document.Root());
}

}  // namespace rulegen
