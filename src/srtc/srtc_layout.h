// Where each table of a blob lies, from the header's counts (docs/srtc.md).
#pragma once

#include <cstdint>

namespace srtc {

constexpr std::uint32_t SRTC_STRING_ENTRY_SIZE = 8;
constexpr std::uint32_t SRTC_SET_ENTRY_SIZE = 20;
constexpr std::uint32_t SRTC_LITERAL_ENTRY_SIZE = 16;
constexpr std::uint32_t SRTC_NODE_ENTRY_SIZE = 16;
constexpr std::uint32_t SRTC_CHILD_ENTRY_SIZE = 4;
constexpr std::uint32_t SRTC_EXPRESSION_ENTRY_SIZE = 8;
constexpr std::uint32_t SRTC_RULE_ENTRY_SIZE = 12;
// The fewest bytes a set item takes in the item data: its shared and new unit counts.
constexpr std::uint32_t SRTC_MIN_ITEM_BYTES = 2;
// The most UTF-16 units all set items of a blob may decode to. Front coding lets a few bytes an item
// repeat a long shared start, so a hostile blob could otherwise decode to the square of its size; a
// 512 KiB section of real paths decodes to far less.
constexpr std::uint64_t SRTC_MAX_DECODED_UNITS = std::uint64_t{1} << 26;

struct Counts {
    std::uint32_t dwStrings = 0;
    std::uint32_t dwStringUnits = 0;
    std::uint32_t dwSets = 0;
    std::uint32_t dwItemBytes = 0;
    std::uint32_t dwLiterals = 0;
    std::uint32_t dwNodes = 0;
    std::uint32_t dwChildren = 0;
    std::uint32_t dwExpressions = 0;
    std::uint32_t dwRules = 0;
};

// 64-bit so that no count in a hostile header can wrap the sums.
struct Layout {
    std::uint64_t qwStrings, qwSets, qwLiterals, qwNodes, qwChildren, qwExpressions, qwRules, qwUnits,
        qwItemData, qwPadding, qwTotal;
};

inline Layout LayoutOf(const Counts& c) {
    Layout l{};
    l.qwStrings = 56;
    l.qwSets = l.qwStrings + std::uint64_t{c.dwStrings} * SRTC_STRING_ENTRY_SIZE;
    l.qwLiterals = l.qwSets + std::uint64_t{c.dwSets} * SRTC_SET_ENTRY_SIZE;
    l.qwNodes = l.qwLiterals + std::uint64_t{c.dwLiterals} * SRTC_LITERAL_ENTRY_SIZE;
    l.qwChildren = l.qwNodes + std::uint64_t{c.dwNodes} * SRTC_NODE_ENTRY_SIZE;
    l.qwExpressions = l.qwChildren + std::uint64_t{c.dwChildren} * SRTC_CHILD_ENTRY_SIZE;
    l.qwRules = l.qwExpressions + std::uint64_t{c.dwExpressions} * SRTC_EXPRESSION_ENTRY_SIZE;
    l.qwUnits = l.qwRules + std::uint64_t{c.dwRules} * SRTC_RULE_ENTRY_SIZE;
    l.qwItemData = l.qwUnits + std::uint64_t{c.dwStringUnits} * 2;
    l.qwPadding = l.qwItemData + c.dwItemBytes;
    l.qwTotal = (l.qwPadding + 3) & ~std::uint64_t{3};
    return l;
}

}  // namespace srtc
