// The serialized rules ("SRTC") of one rule node. The node asks the converter to regenerate them when
// its values changed and otherwise hands out the bytes kept here.
#pragma once

#include <memory>
#include <string>

#include "platform/types.h"

class CErrorStack;
class CICRuleNode;

class CRuleConverter {
public:
    CRuleConverter() = default;
    explicit CRuleConverter(std::u16string sName) : m_sName(std::move(sName)) {}
    virtual ~CRuleConverter() = default;
    CRuleConverter(const CRuleConverter& other);
    // On a memory failure the target keeps no rules; check IsInitialized() afterwards.
    CRuleConverter& operator=(const CRuleConverter& other);

    // Replaces the rules with new ones for the node. Template filling and the rule preprocessor are
    // not part of this build yet, so it produces nothing and answers false.
    bool GenerateSRTC(const CICRuleNode& node, CErrorStack* pErrors);

    // The current rules; none / 0 before any were produced.
    const BYTE* GetSerializedRulesData() const;
    DWORD GetSerializedRulesLength() const;
    bool IsInitialized() const { return m_bInitialized; }
    const std::u16string& Name() const { return m_sName; }

    // Stores a copy of serialized rules as if they had just been generated: the way a generation step
    // hands its result to the converter.
    bool SetSerializedRules(const BYTE* pData, DWORD cbData);

private:
    void Clear();

    std::unique_ptr<BYTE[]> m_pSRTC;
    DWORD m_cbSRTC = 0;
    bool m_bInitialized = false;
    std::u16string m_sName;
};
