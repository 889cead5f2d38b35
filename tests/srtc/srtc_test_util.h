// Compiling test documents through the document compiler, the writer and the reader, as a driver
// would get them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rule_compiler.h"
#include "srtc/srtc.h"
#include "srtc/srtc_layout.h"

namespace srtctest {

inline std::vector<std::uint8_t> CompileToBlob(std::u16string_view sXml) {
    rulegen::CRuleDocument document;
    std::string sError;
    srtc::RuleSet ruleSet;
    EXPECT_TRUE(document.Parse(sXml, sError)) << sError;
    EXPECT_TRUE(document.Compile(ruleSet, sError)) << sError;
    return srtc::Write(ruleSet);
}

inline srtc::RuleSet CompileAndRead(std::u16string_view sXml) {
    const std::vector<std::uint8_t> blob = CompileToBlob(sXml);
    srtc::RuleSet ruleSet;
    std::string sError;
    EXPECT_TRUE(srtc::Read(blob, ruleSet, sError)) << sError;
    return ruleSet;
}

// A rule set of one set, tested by one rule on the target path.
inline srtc::RuleSet InSetRuleSet(std::vector<std::u16string> exact, std::vector<std::u16string> prefix) {
    srtc::RuleSet ruleSet;
    ruleSet.sets.push_back({u"s", std::move(exact), std::move(prefix)});
    ruleSet.nodes.push_back({srtc::NodeKind::FunEval,
                             srtc::Function::InSet,
                             srtc::Attribute::TargetPath,
                             srtc::OperandKind::Set,
                             0,
                             {}});
    ruleSet.rules.push_back({u"r", srtc::Effect::Deny, 0});
    return ruleSet;
}

// Little-endian words of a blob, and the layout its header's counts give.
inline std::uint32_t Word(const std::vector<std::uint8_t>& blob, std::size_t nAt) {
    return blob[nAt] | blob[nAt + 1] << 8 | blob[nAt + 2] << 16 |
           static_cast<std::uint32_t>(blob[nAt + 3]) << 24;
}

inline void SetWord(std::vector<std::uint8_t>& blob, std::size_t nAt, std::uint32_t dw) {
    for (int i = 0; i < 4; ++i) {
        blob[nAt + i] = static_cast<std::uint8_t>(dw >> (8 * i));
    }
}

inline srtc::Layout LayoutOfBlob(const std::vector<std::uint8_t>& blob) {
    return srtc::LayoutOf({Word(blob, 20), Word(blob, 24), Word(blob, 28), Word(blob, 32), Word(blob, 36),
                           Word(blob, 40), Word(blob, 44), Word(blob, 48), Word(blob, 52)});
}

// A set packed as the rule compiler packs it, items in the order given.
inline srtc::PackedStringSet Packed(const srtc::StringSet& set) {
    srtc::PackedStringSet packed;
    packed.sId = set.sId;
    for (const bool bPrefix : {false, true}) {
        for (const std::u16string& item : bPrefix ? set.prefix : set.exact) {
            (bPrefix ? packed.prefix : packed.exact)
                .push_back({static_cast<std::uint32_t>(packed.units.size()),
                            static_cast<std::uint32_t>(item.size())});
            packed.units += item;
        }
    }
    return packed;
}

inline std::uint64_t FileTime(const char* szIso) {
    std::uint64_t q = 0;
    EXPECT_TRUE(srtc::ParseDate(szIso, q)) << szIso;
    return q;
}

}  // namespace srtctest
