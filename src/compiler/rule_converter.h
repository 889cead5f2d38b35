// The serialized rules ("SRTC") of one rule node. The converter fills the rule template of the node's
// rule set with the node's values and has the rule preprocessor (ktRGen.dll) compile the document;
// the node hands out the bytes kept here until its values change.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/library.h"
#include "platform/types.h"
#include "platform/xml_dom.h"

class CErrorStack;
class CICRuleNode;

// Resource ids of the rule templates in the service's image.
constexpr DWORD IDR_AUTHORIZATION_TEMPLATE = 1601;
constexpr DWORD IDR_EXCLUSION_TEMPLATE = 1602;
constexpr DWORD IDR_PROTECTED_RESOURCES_TEMPLATE = 1603;

class CRuleConverter {
public:
    CRuleConverter() = default;
    explicit CRuleConverter(std::u16string sName) : m_sName(std::move(sName)) {}
    virtual ~CRuleConverter() = default;
    CRuleConverter(const CRuleConverter& other);
    // On a memory failure the target keeps no rules; check IsInitialized() afterwards.
    CRuleConverter& operator=(const CRuleConverter& other);

    // Replaces the rules with new ones for the node; false leaves none.
    bool GenerateSRTC(const CICRuleNode& node, CErrorStack* pErrors);

    // The current rules; none / 0 before any were produced.
    const BYTE* GetSerializedRulesData() const;
    DWORD GetSerializedRulesLength() const;
    bool IsInitialized() const { return m_bInitialized; }
    const std::u16string& Name() const { return m_sName; }

    // Stores a copy of serialized rules as if they had just been generated.
    bool SetSerializedRules(const BYTE* pData, DWORD cbData);

    // Where the templates are read from: null (the default) for the service's own image, otherwise a
    // loaded library that carries resources. For tests.
    static void SetTemplateModule(HMODULE hModule);

protected:
    // One condition: function, subject, subject attribute, constant type, constant.
    struct FunctionNodeSpec {
        std::u16string sFunction;
        std::u16string sSubject;
        std::u16string sAttribute;
        std::u16string sType;
        std::u16string sConstant;
    };

    bool ReadXmlFromResource(DWORD dwResourceId, platform::CXmlDocument* pXML);
    bool CreateAuthRules(const CICRuleNode& node, platform::CXmlDocument* pXML, CErrorStack* pErrors);
    bool CreateExclusionRules(const CICRuleNode& node, platform::CXmlDocument* pXML, CErrorStack* pErrors);
    bool CreateGatewardenRules(const CICRuleNode& node, platform::CXmlDocument* pXML, CErrorStack* pErrors);
    bool SaveRSDocument(platform::CXmlDocument* pXML);

    platform::CXmlNode GetConfigNode(platform::CXmlDocument* pXML, const char16_t* szParent,
                                     const char16_t* szProp, const std::u16string& sVal);
    bool RemoveMatchingSubNode(platform::CXmlNode node, const char16_t* szName);
    bool SetSingleLiteralValue(platform::CXmlDocument* pXML, const char16_t* szId,
                               const std::u16string& sValue, const char16_t* szType);
    bool AddStringsToSet(platform::CXmlDocument* pXML, const char16_t* szLiteralId, const CICRuleNode& node,
                         DWORD dwPrimitiveType, bool bExact, bool bRemovePlaceholder);
    bool AddAuthorizedHashRules(platform::CXmlDocument* pXML, const char16_t* szExprId, bool bAppend,
                                const CICRuleNode& node, DWORD dwPrimitiveType, const char16_t* szSubject,
                                const char16_t* szHashAttribute, const char16_t* szParamType,
                                const char16_t* szParamAttribute);
    bool AddMultipleFunctionNodes(platform::CXmlDocument* pXML, platform::CXmlNode parent,
                                  const FunctionNodeSpec* pSpecs, std::size_t nCount);

private:
    void Clear();
    // Loads the template again after a failed fill; true when the unchanged template is in place.
    bool Recover(DWORD dwResourceId, platform::CXmlDocument* pXML, CErrorStack* pErrors,
                 const char16_t* szFallback, const char16_t* szMethod);

    std::unique_ptr<BYTE[]> m_pSRTC;
    DWORD m_cbSRTC = 0;
    bool m_bInitialized = false;
    std::u16string m_sName;
};
