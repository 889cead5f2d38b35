// The writer: lays a rule set out as docs/srtc.md describes, strings interned in a fixed walk so the
// same rule set always gives the same bytes.
#include <unordered_map>

#include "srtc/srtc.h"
#include "srtc/srtc_layout.h"

namespace srtc {

namespace {

class CStringTable {
public:
    std::uint32_t Intern(const std::u16string& s) {
        const auto [it, bInserted] = m_index.try_emplace(s, static_cast<std::uint32_t>(m_entries.size()));
        if (bInserted) {
            m_entries.push_back(
                {static_cast<std::uint32_t>(m_units.size()), static_cast<std::uint32_t>(s.size())});
            m_units.append(s);
        }
        return it->second;
    }
    std::uint32_t InternId(const std::u16string& s) { return s.empty() ? SRTC_NO_STRING : Intern(s); }

    struct Entry {
        std::uint32_t dwOffset;
        std::uint32_t dwLength;
    };
    const std::vector<Entry>& Entries() const { return m_entries; }
    const std::u16string& Units() const { return m_units; }

private:
    std::unordered_map<std::u16string, std::uint32_t> m_index;
    std::vector<Entry> m_entries;
    std::u16string m_units;
};

void Put32(std::vector<std::uint8_t>& out, std::uint32_t dw) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(dw >> (8 * i)));
    }
}

template <class E>
std::uint32_t U(E e) {
    return static_cast<std::uint32_t>(e);
}

}  // namespace

std::vector<std::uint8_t> Write(const RuleSet& source) {
    RuleSet ruleSet = source;
    Canonicalize(ruleSet);

    CStringTable strings;
    struct SetEntry {
        std::uint32_t dwId, dwFirstExact, dwExactCount, dwFirstPrefix, dwPrefixCount;
    };
    std::vector<SetEntry> sets;
    std::vector<std::uint32_t> items;
    for (const StringSet& set : ruleSet.sets) {
        SetEntry entry{strings.Intern(set.sId), static_cast<std::uint32_t>(items.size()),
                       static_cast<std::uint32_t>(set.exact.size()), 0, 0};
        for (const std::u16string& item : set.exact) {
            items.push_back(strings.Intern(item));
        }
        entry.dwFirstPrefix = static_cast<std::uint32_t>(items.size());
        entry.dwPrefixCount = static_cast<std::uint32_t>(set.prefix.size());
        for (const std::u16string& item : set.prefix) {
            items.push_back(strings.Intern(item));
        }
        sets.push_back(entry);
    }
    std::vector<std::uint32_t> literalIds, literalTexts;
    for (const Literal& literal : ruleSet.literals) {
        literalIds.push_back(strings.InternId(literal.sId));
        literalTexts.push_back(literal.type == LiteralType::Str ? strings.Intern(literal.sText) : 0);
    }
    std::vector<std::uint32_t> children;
    std::vector<std::uint32_t> firstChild;
    for (const Node& node : ruleSet.nodes) {
        firstChild.push_back(static_cast<std::uint32_t>(node.children.empty() ? 0 : children.size()));
        children.insert(children.end(), node.children.begin(), node.children.end());
    }
    std::vector<std::uint32_t> expressionIds, ruleIds;
    for (const Expression& expression : ruleSet.expressions) {
        expressionIds.push_back(strings.Intern(expression.sId));
    }
    for (const Rule& rule : ruleSet.rules) {
        ruleIds.push_back(strings.Intern(rule.sId));
    }

    Counts counts;
    counts.dwStrings = static_cast<std::uint32_t>(strings.Entries().size());
    counts.dwStringUnits = static_cast<std::uint32_t>(strings.Units().size());
    counts.dwSets = static_cast<std::uint32_t>(sets.size());
    counts.dwSetItems = static_cast<std::uint32_t>(items.size());
    counts.dwLiterals = static_cast<std::uint32_t>(ruleSet.literals.size());
    counts.dwNodes = static_cast<std::uint32_t>(ruleSet.nodes.size());
    counts.dwChildren = static_cast<std::uint32_t>(children.size());
    counts.dwExpressions = static_cast<std::uint32_t>(ruleSet.expressions.size());
    counts.dwRules = static_cast<std::uint32_t>(ruleSet.rules.size());
    const Layout layout = LayoutOf(counts);

    std::vector<std::uint8_t> out;
    out.reserve(static_cast<std::size_t>(layout.qwTotal));
    Put32(out, SRTC_MAGIC);
    Put32(out, SRTC_VERSION);
    Put32(out, U(ruleSet.kind));
    Put32(out, U(ruleSet.defaultEffect));
    Put32(out, static_cast<std::uint32_t>(layout.qwTotal));
    for (const std::uint32_t dw :
         {counts.dwStrings, counts.dwStringUnits, counts.dwSets, counts.dwSetItems, counts.dwLiterals,
          counts.dwNodes, counts.dwChildren, counts.dwExpressions, counts.dwRules}) {
        Put32(out, dw);
    }
    for (const CStringTable::Entry& entry : strings.Entries()) {
        Put32(out, entry.dwOffset);
        Put32(out, entry.dwLength);
    }
    for (const SetEntry& entry : sets) {
        for (const std::uint32_t dw :
             {entry.dwId, entry.dwFirstExact, entry.dwExactCount, entry.dwFirstPrefix, entry.dwPrefixCount}) {
            Put32(out, dw);
        }
    }
    for (const std::uint32_t dw : items) {
        Put32(out, dw);
    }
    for (std::size_t i = 0; i < ruleSet.literals.size(); ++i) {
        const Literal& literal = ruleSet.literals[i];
        Put32(out, literalIds[i]);
        Put32(out, U(literal.type));
        switch (literal.type) {
            case LiteralType::Str:
                Put32(out, literalTexts[i]);
                Put32(out, 0);
                break;
            case LiteralType::Date:
                Put32(out, static_cast<std::uint32_t>(literal.qwValue));
                Put32(out, static_cast<std::uint32_t>(literal.qwValue >> 32));
                break;
            case LiteralType::Bool:
                Put32(out, literal.qwValue != 0 ? 1 : 0);
                Put32(out, 0);
                break;
            default:
                Put32(out, static_cast<std::uint32_t>(literal.qwValue));
                Put32(out, 0);
                break;
        }
    }
    for (std::size_t i = 0; i < ruleSet.nodes.size(); ++i) {
        const Node& node = ruleSet.nodes[i];
        const bool bFun = node.kind == NodeKind::FunEval;
        const bool bList = node.kind == NodeKind::And || node.kind == NodeKind::Or;
        out.push_back(static_cast<std::uint8_t>(node.kind));
        out.push_back(bFun ? static_cast<std::uint8_t>(node.function) : 0);
        out.push_back(bFun ? static_cast<std::uint8_t>(node.attribute) : 0);
        out.push_back(bFun ? static_cast<std::uint8_t>(node.operandKind) : 0);
        Put32(out, bList ? 0 : node.dwIndex);
        Put32(out, bList ? firstChild[i] : 0);
        Put32(out, bList ? static_cast<std::uint32_t>(node.children.size()) : 0);
    }
    for (const std::uint32_t dw : children) {
        Put32(out, dw);
    }
    for (std::size_t i = 0; i < ruleSet.expressions.size(); ++i) {
        Put32(out, expressionIds[i]);
        Put32(out, ruleSet.expressions[i].dwRoot);
    }
    for (std::size_t i = 0; i < ruleSet.rules.size(); ++i) {
        Put32(out, ruleIds[i]);
        Put32(out, U(ruleSet.rules[i].effect));
        Put32(out, ruleSet.rules[i].dwRoot);
    }
    for (const char16_t ch : strings.Units()) {
        out.push_back(static_cast<std::uint8_t>(ch));
        out.push_back(static_cast<std::uint8_t>(ch >> 8));
    }
    out.resize(static_cast<std::size_t>(layout.qwTotal), 0);
    return out;
}

}  // namespace srtc
