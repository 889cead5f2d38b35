// Compiling test documents through the document compiler, the writer and the reader, as a driver
// would get them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rule_compiler.h"
#include "srtc/srtc.h"

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
