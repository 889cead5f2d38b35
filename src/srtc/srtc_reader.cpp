// The reader: checks a blob table by table before anything of it is used. Every table's place comes
// from the header's counts, and the sum must be the blob's length, so no later read can leave it.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "srtc/srtc.h"
#include "srtc/srtc_layout.h"

namespace srtc {

namespace {

class CReader {
public:
    CReader(std::span<const std::uint8_t> blob, RuleSet& ruleSet, std::string& sError, bool bKeepItems)
        : m_blob(blob), m_ruleSet(ruleSet), m_sError(sError), m_bKeepItems(bKeepItems) {}

    bool Run();

private:
    std::uint32_t At(std::uint64_t qwOffset) const {
        const std::uint8_t* p = m_blob.data() + qwOffset;
        return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
               std::uint32_t{p[3]} << 24;
    }
    bool Fail(const std::string& sWhere, const char* szField, std::uint64_t qwFound,
              const std::string& sExpected) {
        m_sError = sWhere + ": " + szField + " is " + std::to_string(qwFound) + ", expected " + sExpected;
        return false;
    }
    static std::string Entry(const char* szTable, std::uint64_t i) {
        return std::string(szTable) + " " + std::to_string(i);
    }
    static std::string Below(std::uint64_t n) { return "below " + std::to_string(n); }

    bool Header();
    bool Strings();
    bool String(const std::string& sWhere, const char* szField, std::uint32_t dwIndex, bool bOptional,
                std::u16string& s);
    bool Sets();
    template <class Name>
    bool Varint(const Name& name, std::uint32_t dwMax, std::uint32_t& dwValue);
    bool Items(const std::string& sWhere, std::uint32_t dwCount, std::uint32_t dwBytes, bool bPrefix,
               std::vector<std::u16string>& items);
    bool Literals();
    bool Nodes();
    bool Expressions();
    bool Rules();
    bool Acyclic();
    bool Visit(std::uint32_t dwNode, std::uint32_t dwDepth);

    std::span<const std::uint8_t> m_blob;
    RuleSet& m_ruleSet;
    std::string& m_sError;
    const bool m_bKeepItems;
    Counts m_counts;
    Layout m_layout{};
    std::u16string m_units;                      // the string data, decoded once
    std::vector<std::u16string_view> m_strings;  // views into m_units
    const std::uint8_t* m_pRun = nullptr;        // the next byte of the set run being decoded
    const std::uint8_t* m_pRunEnd = nullptr;
    std::u16string m_item;                // the set item last decoded
    std::u16string m_added;               // the units the next one puts in place of its tail
    std::uint64_t m_qwDecodedUnits = 0;   // of all set items so far
    std::vector<std::uint8_t> m_state;    // per node: 0 unvisited, 1 on the current path, 2 done
    std::vector<std::uint32_t> m_height;  // per done node: the longest chain below and including it
};

bool CReader::Header() {
    if (m_blob.size() < SRTC_HEADER_SIZE) {
        return Fail("header", "blob length", m_blob.size(), "at least " + std::to_string(SRTC_HEADER_SIZE));
    }
    if (At(0) != SRTC_MAGIC) {
        return Fail("header", "magic", At(0), std::to_string(SRTC_MAGIC) + " (\"SRTC\")");
    }
    if (At(4) != SRTC_VERSION) {
        return Fail("header", "version", At(4), std::to_string(SRTC_VERSION));
    }
    if (At(8) > 2) {
        return Fail("header", "rule set kind", At(8), "0 to 2");
    }
    if (At(12) > 1) {
        return Fail("header", "default effect", At(12), "0 or 1");
    }
    if (At(16) != m_blob.size()) {
        return Fail("header", "total length", At(16), std::to_string(m_blob.size()) + " (the blob's length)");
    }
    m_ruleSet.kind = static_cast<RuleSetKind>(At(8));
    m_ruleSet.defaultEffect = static_cast<Effect>(At(12));
    m_counts = {At(20), At(24), At(28), At(32), At(36), At(40), At(44), At(48), At(52)};
    m_layout = LayoutOf(m_counts);
    if (m_layout.qwTotal != m_blob.size()) {
        return Fail("header", "length the counts give", m_layout.qwTotal,
                    std::to_string(m_blob.size()) + " (the total length)");
    }
    return true;
}

bool CReader::Strings() {
    m_units.resize(m_counts.dwStringUnits);
    const std::uint8_t* p = m_blob.data() + m_layout.qwUnits;
    for (std::size_t k = 0; k < m_units.size(); ++k) {
        m_units[k] = static_cast<char16_t>(p[2 * k] | p[2 * k + 1] << 8);
    }
    m_strings.reserve(m_counts.dwStrings);
    std::uint64_t qwNext = 0;
    for (std::uint32_t i = 0; i < m_counts.dwStrings; ++i) {
        const std::uint64_t qwEntry = m_layout.qwStrings + std::uint64_t{i} * SRTC_STRING_ENTRY_SIZE;
        const std::uint32_t dwOffset = At(qwEntry);
        const std::uint32_t dwLength = At(qwEntry + 4);
        if (dwOffset != qwNext) {
            return Fail(Entry("string", i), "offset", dwOffset, std::to_string(qwNext));
        }
        if (qwNext + dwLength > m_counts.dwStringUnits) {
            return Fail(Entry("string", i), "length", dwLength,
                        "at most " + std::to_string(m_counts.dwStringUnits - qwNext));
        }
        m_strings.emplace_back(m_units.data() + qwNext, dwLength);
        qwNext += dwLength;
    }
    if (qwNext != m_counts.dwStringUnits) {
        return Fail("string table", "units used", qwNext,
                    std::to_string(m_counts.dwStringUnits) + " (the header's count)");
    }
    return true;
}

bool CReader::String(const std::string& sWhere, const char* szField, std::uint32_t dwIndex, bool bOptional,
                     std::u16string& s) {
    if (bOptional && dwIndex == SRTC_NO_STRING) {
        s.clear();
        return true;
    }
    if (dwIndex >= m_strings.size()) {
        return Fail(sWhere, szField, dwIndex, Below(m_strings.size()) + " (a string)");
    }
    s = m_strings[dwIndex];
    return true;
}

// The bulk of a large blob: the entry's name is made only for a refusal.
// One LEB128 varint of the run being decoded. Field names are made only for a problem: the names
// cost an allocation, and a run may hold a hundred thousand items.
template <class Name>
bool CReader::Varint(const Name& name, std::uint32_t dwMax, std::uint32_t& dwValue) {
    if (m_pRun != m_pRunEnd && *m_pRun < 0x80) {
        dwValue = *m_pRun++;
        return true;
    }
    std::uint64_t qwValue = 0;
    for (std::uint32_t n = 0;; ++n) {
        if (m_pRun == m_pRunEnd) {
            m_sError = name() + " runs past the end of the run";
            return false;
        }
        if (n == 5) {
            m_sError = name() + " takes more than 5 bytes";
            return false;
        }
        const std::uint8_t b = *m_pRun++;
        qwValue |= std::uint64_t{b & 0x7Fu} << (7 * n);
        if ((b & 0x80) != 0) {
            continue;
        }
        if (n > 0 && b == 0) {
            std::uint32_t nShortest = 1;
            while (qwValue >> (7 * nShortest) != 0) {
                ++nShortest;
            }
            m_sError = name() + " takes " + std::to_string(n + 1) + " bytes, expected " +
                       std::to_string(nShortest) + " (the shortest form of " + std::to_string(qwValue) + ")";
            return false;
        }
        break;
    }
    if (qwValue > dwMax) {
        m_sError = name() + " is " + std::to_string(qwValue) + ", expected at most " + std::to_string(dwMax);
        return false;
    }
    dwValue = static_cast<std::uint32_t>(qwValue);
    return true;
}

// Decodes a front-coded run item by item in one buffer: each item replaces the tail of the one before
// it, so checking a run costs what its bytes hold, however long the parts its items share. With the
// shared count known to be all the two items have in common, the first new unit decides their order.
bool CReader::Items(const std::string& sWhere, std::uint32_t dwCount, std::uint32_t dwBytes, bool bPrefix,
                    std::vector<std::u16string>& items) {
    if (m_bKeepItems) {
        items.reserve(dwCount);
    }
    const std::uint8_t* const pStart = m_pRun;
    m_pRunEnd = m_pRun + dwBytes;
    std::u16string& item = m_item;
    item.clear();
    for (std::uint32_t k = 0; k < dwCount; ++k) {
        const auto where = [&] {
            return sWhere + (bPrefix ? " prefix item " : " exact item ") + std::to_string(k);
        };
        const std::size_t nPrevious = item.size();
        std::uint32_t dwShared = 0, dwNew = 0;
        if (!Varint([&] { return where() + ": shared prefix"; }, 0xFFFFFFFF, dwShared)) {
            return false;
        }
        if (dwShared > nPrevious) {
            m_sError = where() + ": shared prefix " + std::to_string(dwShared) +
                       " is longer than the item before it (" + std::to_string(nPrevious) + ")";
            return false;
        }
        if (!Varint([&] { return where() + ": new unit count"; }, 0xFFFFFFFF, dwNew)) {
            return false;
        }
        // Every unit takes a byte at least, which bounds what a hostile count can make us allocate.
        const std::uint64_t qwLeft = static_cast<std::uint64_t>(m_pRunEnd - m_pRun);
        if (dwNew > qwLeft) {
            return Fail(where(), "new unit count", dwNew,
                        "at most " + std::to_string(qwLeft) + " (a byte a unit, in what is left of the run)");
        }
        m_qwDecodedUnits += std::uint64_t{dwShared} + dwNew;
        if (m_qwDecodedUnits > SRTC_MAX_DECODED_UNITS) {
            m_sError = where() + ": the set items decode to more than " +
                       std::to_string(SRTC_MAX_DECODED_UNITS) + " units";
            return false;
        }
        // The new units are checked against the item before, still whole, then replace its tail.
        std::u16string& added = m_added;
        added.resize(dwNew);
        for (std::uint32_t i = 0; i < dwNew; ++i) {
            std::uint32_t dwUnit = 0;
            if (!Varint([&] { return where() + ": new unit " + std::to_string(i); }, 0xFFFF, dwUnit)) {
                return false;
            }
            added[i] = static_cast<char16_t>(dwUnit);
        }
        // Most units are ASCII outside a-z, which upper-casing keeps.
        if (std::any_of(added.begin(), added.end(), [](char16_t ch) {
                return !(ch < u'a' || (ch > u'z' && ch < 0x80)) && UpperUnit(ch) != ch;
            })) {
            m_sError = where() + ": not upper-cased";
            return false;
        }
        const std::u16string_view previousTail = std::u16string_view(item).substr(dwShared);
        // The writer shares all it can, so every set has one encoding.
        if (!previousTail.empty() && !added.empty() && added[0] == previousTail[0]) {
            const std::size_t nMore = static_cast<std::size_t>(
                std::mismatch(added.begin(), added.begin() + std::min(added.size(), previousTail.size()),
                              previousTail.begin())
                    .first -
                added.begin());
            return Fail(
                where(), "shared prefix", dwShared,
                std::to_string(dwShared + nMore) + " (the units it has in common with the item before it)");
        }
        if (k > 0 && (added.empty() || (!previousTail.empty() && added[0] < previousTail[0]))) {
            m_sError = where() + ": not above the item before it (items are sorted, without duplicates)";
            return false;
        }
        if (bPrefix && k > 0 && previousTail.empty()) {
            m_sError = where() + ": begins with the prefix item before it";
            return false;
        }
        item.resize(dwShared);
        item += added;
        if (m_bKeepItems) {
            items.push_back(item);
        }
    }
    if (m_pRun != m_pRunEnd) {
        return Fail(sWhere, bPrefix ? "prefix data length" : "exact data length", dwBytes,
                    std::to_string(m_pRun - pStart) + " (what its items take)");
    }
    return true;
}

bool CReader::Sets() {
    std::uint64_t qwNext = 0;
    m_pRun = m_blob.data() + m_layout.qwItemData;
    m_ruleSet.sets.resize(m_counts.dwSets);
    for (std::uint32_t i = 0; i < m_counts.dwSets; ++i) {
        const std::string sWhere = Entry("set", i);
        const std::uint64_t qwEntry = m_layout.qwSets + std::uint64_t{i} * SRTC_SET_ENTRY_SIZE;
        StringSet& set = m_ruleSet.sets[i];
        if (!String(sWhere, "id", At(qwEntry), false, set.sId)) {
            return false;
        }
        for (const bool bPrefix : {false, true}) {
            const std::uint32_t dwCount = At(qwEntry + (bPrefix ? 12 : 4));
            const std::uint32_t dwBytes = At(qwEntry + (bPrefix ? 16 : 8));
            if (qwNext + dwBytes > m_counts.dwItemBytes) {
                return Fail(sWhere, bPrefix ? "prefix data length" : "exact data length", dwBytes,
                            "at most " + std::to_string(m_counts.dwItemBytes - qwNext));
            }
            if (dwCount > dwBytes / SRTC_MIN_ITEM_BYTES) {
                return Fail(sWhere, bPrefix ? "prefix item count" : "exact item count", dwCount,
                            "at most " + std::to_string(dwBytes / SRTC_MIN_ITEM_BYTES) + " (" +
                                std::to_string(SRTC_MIN_ITEM_BYTES) + " bytes an item at least)");
            }
            if (!Items(sWhere, dwCount, dwBytes, bPrefix, bPrefix ? set.prefix : set.exact)) {
                return false;
            }
            qwNext += dwBytes;
        }
    }
    if (qwNext != m_counts.dwItemBytes) {
        return Fail("set table", "item data used", qwNext,
                    std::to_string(m_counts.dwItemBytes) + " (the header's count)");
    }
    for (std::uint64_t q = m_layout.qwPadding; q < m_blob.size(); ++q) {
        if (m_blob[q] != 0) {
            return Fail("item data", "padding byte", m_blob[q], "0");
        }
    }
    return true;
}

bool CReader::Literals() {
    m_ruleSet.literals.resize(m_counts.dwLiterals);
    for (std::uint32_t i = 0; i < m_counts.dwLiterals; ++i) {
        const std::string sWhere = Entry("literal", i);
        const std::uint64_t qwEntry = m_layout.qwLiterals + std::uint64_t{i} * SRTC_LITERAL_ENTRY_SIZE;
        Literal& literal = m_ruleSet.literals[i];
        if (!String(sWhere, "id", At(qwEntry), true, literal.sId)) {
            return false;
        }
        const std::uint32_t dwType = At(qwEntry + 4), dwLow = At(qwEntry + 8), dwHigh = At(qwEntry + 12);
        if (dwType < 1 || dwType > 5) {
            return Fail(sWhere, "type", dwType, "1 to 5");
        }
        literal.type = static_cast<LiteralType>(dwType);
        if (literal.type != LiteralType::Date && dwHigh != 0) {
            return Fail(sWhere, "high value word", dwHigh, "0");
        }
        if (literal.type == LiteralType::Bool && dwLow > 1) {
            return Fail(sWhere, "bool value", dwLow, "0 or 1");
        }
        if (literal.type == LiteralType::Str) {
            if (!String(sWhere, "text", dwLow, false, literal.sText)) {
                return false;
            }
        } else {
            literal.qwValue = std::uint64_t{dwHigh} << 32 | dwLow;
        }
    }
    return true;
}

bool CReader::Nodes() {
    m_ruleSet.nodes.resize(m_counts.dwNodes);
    std::uint64_t qwNext = 0;
    for (std::uint32_t i = 0; i < m_counts.dwNodes; ++i) {
        const std::string sWhere = Entry("node", i);
        const std::uint64_t qwEntry = m_layout.qwNodes + std::uint64_t{i} * SRTC_NODE_ENTRY_SIZE;
        const std::uint8_t* p = m_blob.data() + qwEntry;
        const std::uint32_t dwIndex = At(qwEntry + 4), dwFirst = At(qwEntry + 8), dwCount = At(qwEntry + 12);
        Node& node = m_ruleSet.nodes[i];
        if (p[0] < 1 || p[0] > 6) {
            return Fail(sWhere, "kind", p[0], "1 to 6");
        }
        node.kind = static_cast<NodeKind>(p[0]);
        const bool bList = node.kind == NodeKind::And || node.kind == NodeKind::Or;
        if (node.kind != NodeKind::FunEval) {
            for (int k = 1; k < 4; ++k) {
                if (p[k] != 0) {
                    return Fail(sWhere,
                                k == 1   ? "function"
                                : k == 2 ? "attribute"
                                         : "operand kind",
                                p[k], std::string("0 (a ") + NameOf(node.kind) + " node)");
                }
            }
        }
        if (!bList && (dwFirst != 0 || dwCount != 0)) {
            return Fail(sWhere, dwFirst != 0 ? "first child" : "child count",
                        dwFirst != 0 ? dwFirst : dwCount,
                        std::string("0 (a ") + NameOf(node.kind) + " node)");
        }
        switch (node.kind) {
            case NodeKind::FunEval: {
                if (p[1] < 1 || p[1] > 4) {
                    return Fail(sWhere, "function", p[1], "1 to 4");
                }
                if (p[2] < 1 || p[2] > 11) {
                    return Fail(sWhere, "attribute", p[2], "1 to 11");
                }
                node.function = static_cast<Function>(p[1]);
                node.attribute = static_cast<Attribute>(p[2]);
                node.dwIndex = dwIndex;
                if (node.function == Function::InSet) {
                    if (p[3] != static_cast<std::uint8_t>(OperandKind::Set)) {
                        return Fail(sWhere, "operand kind", p[3], "2 (a set, for in-set)");
                    }
                    if (ClassOf(node.attribute) != ValueClass::String) {
                        return Fail(sWhere, "attribute", p[2], "a string attribute (for in-set)");
                    }
                    if (dwIndex >= m_counts.dwSets) {
                        return Fail(sWhere, "set", dwIndex, Below(m_counts.dwSets));
                    }
                    node.operandKind = OperandKind::Set;
                } else {
                    if (p[3] != static_cast<std::uint8_t>(OperandKind::Literal)) {
                        return Fail(sWhere, "operand kind", p[3],
                                    std::string("1 (a literal, for ") + NameOf(node.function) + ")");
                    }
                    if (dwIndex >= m_counts.dwLiterals) {
                        return Fail(sWhere, "literal", dwIndex, Below(m_counts.dwLiterals));
                    }
                    const LiteralType type = m_ruleSet.literals[dwIndex].type;
                    if (!OperandFits(node.function, node.attribute, type)) {
                        return Fail(sWhere, "literal type", static_cast<std::uint32_t>(type),
                                    std::string("one that fits ") + NameOf(node.function) + " on attribute " +
                                        std::to_string(p[2]));
                    }
                    node.operandKind = OperandKind::Literal;
                }
                break;
            }
            case NodeKind::And:
            case NodeKind::Or:
                if (dwIndex != 0) {
                    return Fail(sWhere, "index", dwIndex, "0 (a list node)");
                }
                // An or of no alternatives never holds; an and of none would always hold.
                if (node.kind == NodeKind::Or && dwCount == 0) {
                    if (dwFirst != 0) {
                        return Fail(sWhere, "first child", dwFirst, "0 (an or without children)");
                    }
                    break;
                }
                if (dwFirst != qwNext) {
                    return Fail(sWhere, "first child", dwFirst, std::to_string(qwNext));
                }
                if (dwCount == 0 || qwNext + dwCount > m_counts.dwChildren) {
                    return Fail(sWhere, "child count", dwCount,
                                "1 to " + std::to_string(m_counts.dwChildren - qwNext));
                }
                node.children.reserve(dwCount);
                for (std::uint32_t k = 0; k < dwCount; ++k) {
                    const std::uint32_t dwChild =
                        At(m_layout.qwChildren + (qwNext + k) * SRTC_CHILD_ENTRY_SIZE);
                    if (dwChild >= m_counts.dwNodes) {
                        return Fail(sWhere + " child " + std::to_string(k), "node", dwChild,
                                    Below(m_counts.dwNodes));
                    }
                    node.children.push_back(dwChild);
                }
                qwNext += dwCount;
                break;
            case NodeKind::Not:
                if (dwIndex >= m_counts.dwNodes) {
                    return Fail(sWhere, "child node", dwIndex, Below(m_counts.dwNodes));
                }
                node.dwIndex = dwIndex;
                break;
            case NodeKind::ExprRef:
                if (dwIndex >= m_counts.dwExpressions) {
                    return Fail(sWhere, "expression", dwIndex, Below(m_counts.dwExpressions));
                }
                node.dwIndex = dwIndex;
                break;
            case NodeKind::LiteralRef:
                if (dwIndex >= m_counts.dwLiterals) {
                    return Fail(sWhere, "literal", dwIndex, Below(m_counts.dwLiterals));
                }
                if (m_ruleSet.literals[dwIndex].type != LiteralType::Bool) {
                    return Fail(sWhere, "literal type",
                                static_cast<std::uint32_t>(m_ruleSet.literals[dwIndex].type), "1 (bool)");
                }
                node.dwIndex = dwIndex;
                break;
        }
    }
    if (qwNext != m_counts.dwChildren) {
        return Fail("child table", "children used", qwNext,
                    std::to_string(m_counts.dwChildren) + " (the header's count)");
    }
    return true;
}

bool CReader::Expressions() {
    m_ruleSet.expressions.resize(m_counts.dwExpressions);
    for (std::uint32_t i = 0; i < m_counts.dwExpressions; ++i) {
        const std::string sWhere = Entry("expression", i);
        const std::uint64_t qwEntry = m_layout.qwExpressions + std::uint64_t{i} * SRTC_EXPRESSION_ENTRY_SIZE;
        Expression& expression = m_ruleSet.expressions[i];
        if (!String(sWhere, "id", At(qwEntry), false, expression.sId)) {
            return false;
        }
        expression.dwRoot = At(qwEntry + 4);
        if (expression.dwRoot >= m_counts.dwNodes) {
            return Fail(sWhere, "root node", expression.dwRoot, Below(m_counts.dwNodes));
        }
    }
    return true;
}

bool CReader::Rules() {
    m_ruleSet.rules.resize(m_counts.dwRules);
    for (std::uint32_t i = 0; i < m_counts.dwRules; ++i) {
        const std::string sWhere = Entry("rule", i);
        const std::uint64_t qwEntry = m_layout.qwRules + std::uint64_t{i} * SRTC_RULE_ENTRY_SIZE;
        Rule& rule = m_ruleSet.rules[i];
        if (!String(sWhere, "id", At(qwEntry), false, rule.sId)) {
            return false;
        }
        if (At(qwEntry + 4) > 1) {
            return Fail(sWhere, "effect", At(qwEntry + 4), "0 or 1");
        }
        rule.effect = static_cast<Effect>(At(qwEntry + 4));
        rule.dwRoot = At(qwEntry + 8);
        if (rule.dwRoot >= m_counts.dwNodes) {
            return Fail(sWhere, "root node", rule.dwRoot, Below(m_counts.dwNodes));
        }
    }
    return true;
}

// Depth-first over nodes and through named expressions; a node met again on the current path is a
// cycle. Heights of finished nodes are kept, so each node is walked once and the recursion never goes
// deeper than SRTC_MAX_DEPTH.
bool CReader::Visit(std::uint32_t dwNode, std::uint32_t dwDepth) {
    if (m_state[dwNode] == 2) {
        if (dwDepth + m_height[dwNode] > SRTC_MAX_DEPTH) {
            return Fail(Entry("node", dwNode), "nesting depth", dwDepth + m_height[dwNode],
                        "at most " + std::to_string(SRTC_MAX_DEPTH));
        }
        return true;
    }
    if (m_state[dwNode] == 1) {
        m_sError = Entry("node", dwNode) + ": part of a cycle";
        return false;
    }
    if (dwDepth + 1 > SRTC_MAX_DEPTH) {
        return Fail(Entry("node", dwNode), "nesting depth", dwDepth + 1,
                    "at most " + std::to_string(SRTC_MAX_DEPTH));
    }
    m_state[dwNode] = 1;
    const Node& node = m_ruleSet.nodes[dwNode];
    std::vector<std::uint32_t> next;
    switch (node.kind) {
        case NodeKind::And:
        case NodeKind::Or:
            next = node.children;
            break;
        case NodeKind::Not:
            next.push_back(node.dwIndex);
            break;
        case NodeKind::ExprRef:
            next.push_back(m_ruleSet.expressions[node.dwIndex].dwRoot);
            break;
        default:
            break;
    }
    std::uint32_t dwHeight = 1;
    for (const std::uint32_t dwChild : next) {
        if (!Visit(dwChild, dwDepth + 1)) {
            return false;
        }
        dwHeight = std::max(dwHeight, m_height[dwChild] + 1);
    }
    m_state[dwNode] = 2;
    m_height[dwNode] = dwHeight;
    return true;
}

bool CReader::Acyclic() {
    m_state.assign(m_counts.dwNodes, 0);
    m_height.assign(m_counts.dwNodes, 0);
    for (std::uint32_t i = 0; i < m_counts.dwNodes; ++i) {
        if (!Visit(i, 0)) {
            return false;
        }
    }
    return true;
}

bool CReader::Run() {
    return Header() && Strings() && Sets() && Literals() && Expressions() && Nodes() && Rules() && Acyclic();
}

}  // namespace

bool Read(std::span<const std::uint8_t> blob, RuleSet& ruleSet, std::string& sError) {
    ruleSet = RuleSet{};
    sError.clear();
    if (CReader(blob, ruleSet, sError, true).Run()) {
        return true;
    }
    ruleSet = RuleSet{};
    return false;
}

bool Check(std::span<const std::uint8_t> blob, std::string& sError) {
    RuleSet ruleSet;
    sError.clear();
    return CReader(blob, ruleSet, sError, false).Run();
}

}  // namespace srtc
