// The nodes of an intermediate configuration: each holds one section of the KC file. A rule node
// collects typed values and has them turned into serialized rules; a direct node carries raw bytes;
// a shutdown node carries nothing and asks the compiler to stop the service.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <unordered_set>

#include "compiler/rule_converter.h"
#include "platform/types.h"

class CErrorStack;

constexpr DWORD IC_NODE_DIRECT = 0;
constexpr DWORD IC_NODE_RULE = 1;
constexpr DWORD IC_NODE_SHUTDOWN = 2;

enum CombineResult : DWORD {
    COMBINE_OK = 0,  // this node has absorbed the other
    REPLACE = 1,     // the other node takes this node's place
    COMBINE_FAIL = 2,
};

// Rule set types of a rule node; each selects a rule template.
constexpr DWORD RS_TYPE_AUTHORIZATION = 0;
constexpr DWORD RS_TYPE_EXCLUSION = 1;
constexpr DWORD RS_TYPE_PROTECTED_RESOURCES = 2;

// Primitive types: the number under which a value is filed in a rule node.
constexpr DWORD PT_AUTHORIZED_DEVICE = 1;
constexpr DWORD PT_AUTHORIZED_LOCATION = 2;
constexpr DWORD PT_AUTHORIZED_USER_CONTEXT = 3;
constexpr DWORD PT_AUTHORIZED_SHA1_WITH_LENGTH = 4;
constexpr DWORD PT_AUTHORIZED_MD5_WITH_LENGTH = 5;
constexpr DWORD PT_AUTHORIZED_SHA1_WITH_PATH = 6;
constexpr DWORD PT_AUTHORIZED_MD5_WITH_PATH = 7;
constexpr DWORD PT_AUTHORIZED_FOLDER_TREE = 8;
constexpr DWORD PT_PROTECTED_FILE = 9;
constexpr DWORD PT_PROTECTED_FOLDER_TREE = 10;
constexpr DWORD PT_PROTECTED_REGKEY = 11;
constexpr DWORD PT_PROTECTED_REGKEY_TREE = 12;
constexpr DWORD PT_PROTECTED_PROCESS = 13;
constexpr DWORD PT_EXCLUDED_FOLDER = 14;
constexpr DWORD PT_EXCLUDED_REGKEY = 15;
constexpr DWORD PT_FILE_PROTECTION_ENABLED = 16;
constexpr DWORD PT_REGISTRY_PROTECTION_ENABLED = 17;
constexpr DWORD PT_PROCESS_PROTECTION_ENABLED = 18;
constexpr DWORD PT_DISABLED_PROTECTION_EXPIRES = 19;
constexpr DWORD PT_EXCLUSION = 20;

class IRuleValue {
public:
    virtual ~IRuleValue() = default;
    virtual bool IsEquivalentTo(const IRuleValue& other) const = 0;
    virtual std::unique_ptr<IRuleValue> Clone() const = 0;
    virtual void Dump() const = 0;
};

class CICIntegralRuleValue : public IRuleValue {
public:
    explicit CICIntegralRuleValue(LONGLONG llValue) : m_llValue(llValue) {}
    bool IsEquivalentTo(const IRuleValue& other) const override;
    std::unique_ptr<IRuleValue> Clone() const override;
    void Dump() const override;
    LONGLONG Value() const { return m_llValue; }

private:
    LONGLONG m_llValue;
};

class CICStringRuleValue : public IRuleValue {
public:
    explicit CICStringRuleValue(std::u16string sValue) : m_sValue(std::move(sValue)) {}
    bool IsEquivalentTo(const IRuleValue& other) const override;
    std::unique_ptr<IRuleValue> Clone() const override;
    void Dump() const override;
    const std::u16string& Value() const { return m_sValue; }

private:
    std::u16string m_sValue;
};

class CICStringDWORDRuleValue : public IRuleValue {
public:
    CICStringDWORDRuleValue(std::u16string sValue, DWORD dwValue)
        : m_sValue(std::move(sValue)), m_dwValue(dwValue) {}
    bool IsEquivalentTo(const IRuleValue& other) const override;
    std::unique_ptr<IRuleValue> Clone() const override;
    void Dump() const override;
    const std::u16string& String() const { return m_sValue; }
    DWORD Number() const { return m_dwValue; }

private:
    std::u16string m_sValue;
    DWORD m_dwValue;
};

class CICNode {
public:
    virtual ~CICNode() = default;
    virtual DWORD GetType() const = 0;
    virtual CombineResult Combine(const CICNode& other) = 0;
    virtual bool IsEquivalentTo(const CICNode& other) const = 0;
    // The section bytes stay owned by the node, valid until it changes or dies.
    virtual bool GetData(const BYTE*& pData, DWORD& cbData, CErrorStack* pErrors) = 0;
    virtual std::unique_ptr<CICNode> Clone() const = 0;
    virtual void Dump() const = 0;
};

class CICShutdownNode : public CICNode {
public:
    DWORD GetType() const override { return IC_NODE_SHUTDOWN; }
    CombineResult Combine(const CICNode& other) override;
    bool IsEquivalentTo(const CICNode& other) const override;
    bool GetData(const BYTE*& pData, DWORD& cbData, CErrorStack* pErrors) override;
    std::unique_ptr<CICNode> Clone() const override;
    void Dump() const override;
};

class CICDirectNode : public CICNode {
public:
    DWORD GetType() const override { return IC_NODE_DIRECT; }
    CombineResult Combine(const CICNode& other) override;
    bool IsEquivalentTo(const CICNode& other) const override;
    bool GetData(const BYTE*& pData, DWORD& cbData, CErrorStack* pErrors) override;
    std::unique_ptr<CICNode> Clone() const override;
    void Dump() const override;

    bool SetData(const BYTE* pData, DWORD cbData);

private:
    std::unique_ptr<BYTE[]> m_pData;
    DWORD m_size = 0;
};

class CICRuleNode : public CICNode {
public:
    using ValueMap = std::multimap<DWORD, std::unique_ptr<IRuleValue>>;

    explicit CICRuleNode(DWORD dwRSType) : m_dwRSType(dwRSType) {}
    CICRuleNode(const CICRuleNode& other);
    // Values failing to copy are logged and left out; the rule set type is always taken over.
    CICRuleNode& operator=(const CICRuleNode& other);

    DWORD GetType() const override { return IC_NODE_RULE; }
    CombineResult Combine(const CICNode& other) override;
    bool IsEquivalentTo(const CICNode& other) const override;
    bool GetData(const BYTE*& pData, DWORD& cbData, CErrorStack* pErrors) override;
    std::unique_ptr<CICNode> Clone() const override;
    void Dump() const override;
    virtual DWORD GetRSType() const { return m_dwRSType; }

    // Files a clone of the value; an equivalent value already under the type is kept instead.
    bool Append(DWORD dwPrimitiveType, const IRuleValue& value);
    const ValueMap& Values() const { return m_values; }
    bool IsDirty() const { return m_bDirty; }

    // Hands the node serialized rules generated for its current values; GetData then returns them
    // until the next Append.
    bool SetSerializedRules(const BYTE* pData, DWORD cbData);
    const CRuleConverter& RuleConverter() const { return m_ruleConverter; }

private:
    // The one value class filed under a type, or this once there are several or one without a key.
    static constexpr char16_t MIXED_CLASSES = u'?';

    bool HasEquivalent(DWORD dwPrimitiveType, const IRuleValue& value, const std::u16string& sKey,
                       char16_t chClass) const;

    DWORD m_dwRSType;
    ValueMap m_values;
    // Append's look-up, so that a node of many values does not compare each new one with all before
    // it: the keys of the values filed (class and contents), and the class filed under each type.
    std::unordered_set<std::u16string> m_valueKeys;
    std::map<DWORD, char16_t> m_typeClasses;
    CRuleConverter m_ruleConverter;
    bool m_bDirty = true;
};
