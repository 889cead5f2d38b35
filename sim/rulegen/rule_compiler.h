// Compiles a rule document (docs/rules.md) into a rule set ready for the SRTC writer. Shared by
// ktRGen.dll, its tests and the rules benchmark.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "srtc/srtc.h"

namespace rulegen {

inline constexpr const char* RULES_NAMESPACE = "urn:quillon:gatewarden:rules:1";

class CRuleDocument {
public:
    CRuleDocument();
    ~CRuleDocument();
    CRuleDocument(const CRuleDocument&) = delete;
    CRuleDocument& operator=(const CRuleDocument&) = delete;

    // Parses the document's text; false with the parser's reason when it is not well-formed XML.
    bool Parse(std::u16string_view sXml, std::string& sError);
    bool IsParsed() const;
    // Compiles the parsed document; false with the first reason it cannot be compiled.
    bool Compile(srtc::RuleSet& ruleSet, std::string& sError) const;
    // Compiles and writes the serialized rules, the sets packed all the way (what srtc::Write gives
    // for the rule set Compile makes).
    bool CompileSerialized(std::vector<std::uint8_t>& blob, std::string& sError) const;
    void Clear();

private:
    bool Compile(srtc::RuleSet& ruleSet, std::vector<srtc::PackedStringSet>& sets, std::string& sError) const;

    struct CDoc;
    std::unique_ptr<CDoc> m_pDoc;
};

}  // namespace rulegen
