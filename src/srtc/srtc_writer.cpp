// The writer: lays a rule set out as docs/srtc.md describes, strings interned in a fixed walk so the
// same rule set always gives the same bytes.
#include <algorithm>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "srtc/srtc.h"
#include "srtc/srtc_layout.h"

namespace srtc {

namespace {

// Open addressing over one flat array of (hash, index) slots: an insert touches one slot and the
// string itself only when the hashes agree. Entries point into the rule set's own strings, which
// outlive the writing, so the table owns no copies and the units are copied once, into the blob.
class CStringTable {
public:
    explicit CStringTable(std::size_t nExpected) {
        m_entries.reserve(nExpected);
        std::size_t nSlots = 16;
        while (nSlots < 2 * nExpected) {
            nSlots *= 2;
        }
        m_slots.assign(nSlots, {0, EMPTY});
    }
    static std::uint64_t Hash(std::u16string_view s) { return std::hash<std::u16string_view>{}(s); }
    std::uint32_t Intern(std::u16string_view s) { return Intern(s, Hash(s)); }
    std::uint32_t Intern(std::u16string_view s, std::uint64_t qwHash) {
        if (2 * (m_entries.size() + 1) > m_slots.size()) {
            Grow();
        }
        const std::size_t nMask = m_slots.size() - 1;
        for (std::size_t i = qwHash & nMask;; i = (i + 1) & nMask) {
            Slot& slot = m_slots[i];
            if (slot.dwIndex == EMPTY) {
                slot = {qwHash, static_cast<std::uint32_t>(m_entries.size())};
                m_entries.push_back(
                    {s.data(), static_cast<std::uint32_t>(m_nUnits), static_cast<std::uint32_t>(s.size())});
                m_nUnits += s.size();
                return slot.dwIndex;
            }
            if (slot.qwHash == qwHash && View(slot.dwIndex) == s) {
                return slot.dwIndex;
            }
        }
    }
    std::uint32_t InternId(std::u16string_view s) { return s.empty() ? SRTC_NO_STRING : Intern(s); }

    struct Entry {
        const char16_t* pUnits;
        std::uint32_t dwOffset;
        std::uint32_t dwLength;
    };
    const std::vector<Entry>& Entries() const { return m_entries; }
    std::size_t UnitCount() const { return m_nUnits; }

private:
    static constexpr std::uint32_t EMPTY = 0xFFFFFFFF;
    struct Slot {
        std::uint64_t qwHash;
        std::uint32_t dwIndex;
    };

    std::u16string_view View(std::uint32_t dwIndex) const {
        return std::u16string_view(m_entries[dwIndex].pUnits, m_entries[dwIndex].dwLength);
    }
    void Grow() {
        std::vector<Slot> old(2 * m_slots.size(), Slot{0, EMPTY});
        old.swap(m_slots);
        const std::size_t nMask = m_slots.size() - 1;
        for (const Slot& slot : old) {
            if (slot.dwIndex != EMPTY) {
                std::size_t i = slot.qwHash & nMask;
                while (m_slots[i].dwIndex != EMPTY) {
                    i = (i + 1) & nMask;
                }
                m_slots[i] = slot;
            }
        }
    }

    std::vector<Slot> m_slots;
    std::vector<Entry> m_entries;
    std::size_t m_nUnits = 0;
};

void Put32(std::vector<std::uint8_t>& out, std::uint32_t dw) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(dw), static_cast<std::uint8_t>(dw >> 8),
                                   static_cast<std::uint8_t>(dw >> 16), static_cast<std::uint8_t>(dw >> 24)};
    out.insert(out.end(), bytes, bytes + 4);
}

template <class E>
std::uint32_t U(E e) {
    return static_cast<std::uint32_t>(e);
}

// Sets as the rule set holds them, or packed; both give their items as views in canonical order.
std::u16string_view IdOf(const StringSet& set) {
    return set.sId;
}
std::u16string_view IdOf(const PackedStringSet& set) {
    return set.sId;
}
std::size_t ItemCount(const StringSet& set, bool bPrefix) {
    return (bPrefix ? set.prefix : set.exact).size();
}
std::size_t ItemCount(const PackedStringSet& set, bool bPrefix) {
    return (bPrefix ? set.prefix : set.exact).size();
}
std::u16string_view ItemAt(const StringSet& set, bool bPrefix, std::size_t k) {
    return (bPrefix ? set.prefix : set.exact)[k];
}
std::u16string_view ItemAt(const PackedStringSet& set, bool bPrefix, std::size_t k) {
    return set.View((bPrefix ? set.prefix : set.exact)[k]);
}
// Without touching the units.
std::size_t ItemLength(const StringSet& set, bool bPrefix, std::size_t k) {
    return (bPrefix ? set.prefix : set.exact)[k].size();
}
std::size_t ItemLength(const PackedStringSet& set, bool bPrefix, std::size_t k) {
    return (bPrefix ? set.prefix : set.exact)[k].dwLength;
}

void PutVarint(std::uint8_t*& p, std::uint32_t dw) {
    while (dw >= 0x80) {
        *p++ = static_cast<std::uint8_t>(dw | 0x80);
        dw >>= 7;
    }
    *p++ = static_cast<std::uint8_t>(dw);
}

// An item takes at most five bytes for each count and three for each unit.
constexpr std::size_t MAX_ITEM_OVERHEAD = 10;
constexpr std::size_t MAX_UNIT_BYTES = 3;

// A run front-coded: per item the units it shares with the item before it, the count of the rest and
// the rest, all as varints. Returns the bytes written.
template <class Set>
std::uint32_t EncodeRun(const Set& set, bool bPrefix, std::uint8_t*& p) {
    const std::uint8_t* const pStart = p;
    std::u16string_view previous;
    const std::size_t nItems = ItemCount(set, bPrefix);
    for (std::size_t k = 0; k < nItems; ++k) {
        const std::u16string_view item = ItemAt(set, bPrefix, k);
        const std::size_t nShared = static_cast<std::size_t>(
            std::mismatch(item.begin(),
                          item.begin() + static_cast<std::ptrdiff_t>(std::min(item.size(), previous.size())),
                          previous.begin())
                .first -
            item.begin());
        PutVarint(p, static_cast<std::uint32_t>(nShared));
        PutVarint(p, static_cast<std::uint32_t>(item.size() - nShared));
        for (const char16_t ch : item.substr(nShared)) {
            PutVarint(p, ch);
        }
        previous = item;
    }
    return static_cast<std::uint32_t>(p - pStart);
}

template <class Set>
std::size_t ItemDataBound(std::span<const Set> sets) {
    std::size_t n = 0;
    for (const Set& set : sets) {
        for (const bool bPrefix : {false, true}) {
            const std::size_t nItems = ItemCount(set, bPrefix);
            n += MAX_ITEM_OVERHEAD * nItems;
            for (std::size_t k = 0; k < nItems; ++k) {
                n += MAX_UNIT_BYTES * ItemLength(set, bPrefix, k);
            }
        }
    }
    return n;
}

template <class Set>
std::vector<std::uint8_t> WriteWith(const RuleSet& ruleSet, std::span<const Set> sourceSets) {
    CStringTable strings(sourceSets.size() + 2 * ruleSet.literals.size() + ruleSet.expressions.size() +
                         ruleSet.rules.size());
    struct SetEntry {
        std::uint32_t dwId, dwExactCount, dwExactBytes, dwPrefixCount, dwPrefixBytes;
    };
    std::vector<SetEntry> sets;
    // Sized for the worst case and left uninitialized, so only the bytes written are touched.
    const auto pItemData = std::make_unique_for_overwrite<std::uint8_t[]>(ItemDataBound(sourceSets));
    std::uint8_t* pItemEnd = pItemData.get();
    for (const Set& set : sourceSets) {
        SetEntry entry{strings.Intern(IdOf(set)), static_cast<std::uint32_t>(ItemCount(set, false)), 0,
                       static_cast<std::uint32_t>(ItemCount(set, true)), 0};
        entry.dwExactBytes = EncodeRun(set, false, pItemEnd);
        entry.dwPrefixBytes = EncodeRun(set, true, pItemEnd);
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
    counts.dwStringUnits = static_cast<std::uint32_t>(strings.UnitCount());
    counts.dwSets = static_cast<std::uint32_t>(sets.size());
    counts.dwItemBytes = static_cast<std::uint32_t>(pItemEnd - pItemData.get());
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
         {counts.dwStrings, counts.dwStringUnits, counts.dwSets, counts.dwItemBytes, counts.dwLiterals,
          counts.dwNodes, counts.dwChildren, counts.dwExpressions, counts.dwRules}) {
        Put32(out, dw);
    }
    for (const CStringTable::Entry& entry : strings.Entries()) {
        Put32(out, entry.dwOffset);
        Put32(out, entry.dwLength);
    }
    for (const SetEntry& entry : sets) {
        for (const std::uint32_t dw :
             {entry.dwId, entry.dwExactCount, entry.dwExactBytes, entry.dwPrefixCount, entry.dwPrefixBytes}) {
            Put32(out, dw);
        }
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
    const std::size_t nData = out.size();
    out.resize(static_cast<std::size_t>(layout.qwTotal), 0);
    std::uint8_t* p = out.data() + nData;
    for (const CStringTable::Entry& entry : strings.Entries()) {
        for (const char16_t ch : std::u16string_view(entry.pUnits, entry.dwLength)) {
            *p++ = static_cast<std::uint8_t>(ch);
            *p++ = static_cast<std::uint8_t>(ch >> 8);
        }
    }
    std::copy(pItemData.get(), pItemEnd, p);
    return out;
}

}  // namespace

std::vector<std::uint8_t> Write(const RuleSet& source) {
    RuleSet ruleSet = source;
    Canonicalize(ruleSet);
    return WriteCanonical(ruleSet);
}

std::vector<std::uint8_t> WriteCanonical(const RuleSet& ruleSet) {
    return WriteWith(ruleSet, std::span<const StringSet>(ruleSet.sets));
}

std::vector<std::uint8_t> WriteCanonical(const RuleSet& ruleSet, std::span<const PackedStringSet> sets) {
    return WriteWith(ruleSet, sets);
}

}  // namespace srtc
