#include "compiler/ic_nodes.h"

#include <algorithm>
#include <new>

#include "diagnostics/user_debug_output.h"
#include "platform/strings.h"

// Rule values.

bool CICIntegralRuleValue::IsEquivalentTo(const IRuleValue& other) const {
    const auto* pOther = dynamic_cast<const CICIntegralRuleValue*>(&other);
    if (pOther == nullptr) {
        DebugOut2(DBG_CAT_COMPILER, u"CICIntegralRuleValue::IsEquivalentTo() - type mismatch\n");
        return false;
    }
    return pOther->m_llValue == m_llValue;
}

std::unique_ptr<IRuleValue> CICIntegralRuleValue::Clone() const {
    try {
        return std::make_unique<CICIntegralRuleValue>(*this);
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_COMPILER, u"CICIntegralRuleValue::Clone() - bad alloc (%S)", e.what());
        return nullptr;
    }
}

void CICIntegralRuleValue::Dump() const {
    DebugOut3(DBG_CAT_COMPILER, u"int64 = %#16I64X\n", m_llValue);
}

bool CICStringRuleValue::IsEquivalentTo(const IRuleValue& other) const {
    const auto* pOther = dynamic_cast<const CICStringRuleValue*>(&other);
    if (pOther == nullptr) {
        DebugOut2(DBG_CAT_COMPILER, u"CICStringRuleValue::IsEquivalentTo() - type mismatch\n");
        return false;
    }
    return platform::EqualNoCase(pOther->m_sValue, m_sValue);
}

std::unique_ptr<IRuleValue> CICStringRuleValue::Clone() const {
    try {
        return std::make_unique<CICStringRuleValue>(*this);
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_COMPILER, u"CICStringRuleValue::Clone() - bad alloc(%S)", e.what());
        return nullptr;
    }
}

void CICStringRuleValue::Dump() const {
    DebugOut3(DBG_CAT_COMPILER, u"string = %s\n", m_sValue);
}

bool CICStringDWORDRuleValue::IsEquivalentTo(const IRuleValue& other) const {
    const auto* pOther = dynamic_cast<const CICStringDWORDRuleValue*>(&other);
    if (pOther == nullptr) {
        DebugOut2(DBG_CAT_COMPILER, u"CICStringDWORDRuleValue::IsEquivalentTo() - type mismatch\n");
        return false;
    }
    return pOther->m_dwValue == m_dwValue && platform::EqualNoCase(pOther->m_sValue, m_sValue);
}

std::unique_ptr<IRuleValue> CICStringDWORDRuleValue::Clone() const {
    try {
        return std::make_unique<CICStringDWORDRuleValue>(*this);
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_COMPILER, u"CICStringDWORDRuleValue::Clone() - bad alloc(%S)", e.what());
        return nullptr;
    }
}

void CICStringDWORDRuleValue::Dump() const {
    DebugOut3(DBG_CAT_COMPILER, u"string = %s\ndword = %X\n", m_sValue, m_dwValue);
}

// Shutdown node.

CombineResult CICShutdownNode::Combine(const CICNode& other) {
    return other.GetType() == GetType() ? REPLACE : COMBINE_FAIL;
}

// Never equivalent, so an update always takes the new node.
bool CICShutdownNode::IsEquivalentTo(const CICNode& /*other*/) const {
    return false;
}

bool CICShutdownNode::GetData(const BYTE*& pData, DWORD& cbData, CErrorStack* /*pErrors*/) {
    pData = nullptr;
    cbData = 0;
    return false;
}

std::unique_ptr<CICNode> CICShutdownNode::Clone() const {
    try {
        return std::make_unique<CICShutdownNode>();
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_COMPILER, u"Failed to clone shutdown node (%S)\n", e.what());
        return nullptr;
    }
}

void CICShutdownNode::Dump() const {
    DebugOut3(DBG_CAT_COMPILER, u"Dumping Shutdown Node (no data to dump)\n");
}

// Direct node.

CombineResult CICDirectNode::Combine(const CICNode& other) {
    return other.GetType() == GetType() ? REPLACE : COMBINE_FAIL;
}

bool CICDirectNode::IsEquivalentTo(const CICNode& /*other*/) const {
    return false;
}

bool CICDirectNode::GetData(const BYTE*& pData, DWORD& cbData, CErrorStack* /*pErrors*/) {
    pData = m_pData.get();
    cbData = m_size;
    return m_pData != nullptr && m_size != 0;
}

std::unique_ptr<CICNode> CICDirectNode::Clone() const {
    try {
        auto pClone = std::make_unique<CICDirectNode>();
        if (m_pData) {
            pClone->m_pData = std::make_unique<BYTE[]>(m_size);
            std::copy_n(m_pData.get(), m_size, pClone->m_pData.get());
            pClone->m_size = m_size;
        }
        return pClone;
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_COMPILER, u"Failed to clone direct node (%S)\n", e.what());
        return nullptr;
    }
}

void CICDirectNode::Dump() const {
    try {
        static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
        std::u16string sHex;
        for (DWORD i = 0; i < m_size; ++i) {
            const BYTE b = m_pData[i];
            if (b >= 0x10) {
                sHex += kDigits[b >> 4];
            }
            sHex += kDigits[b & 0x0F];
        }
        DebugOut3(DBG_CAT_COMPILER, u"Dumping Direct Node (m_size = %u):\n%s", m_size, sHex);
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_COMPILER, u"Memory error while attempting to dump Direct Node\n");
    }
}

bool CICDirectNode::SetData(const BYTE* pData, DWORD cbData) {
    m_pData.reset();
    m_size = 0;
    try {
        m_pData = std::make_unique<BYTE[]>(cbData);
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_COMPILER, u"Failed to allocate space for Direct Node data\n");
        return false;
    }
    std::copy_n(pData, cbData, m_pData.get());
    m_size = cbData;
    return true;
}

// Rule node.

namespace {

// A value's key for Append's look-up: its primitive type and class, then its contents, strings
// upper-cased as EqualNoCase compares them. Values of another class get no key (class '?').
std::u16string ValueKey(DWORD dwPrimitiveType, const IRuleValue& value, char16_t* pchClass) {
    const auto withNumber = [dwPrimitiveType](char16_t chClass, ULONGLONG ullNumber) {
        std::u16string sKey{static_cast<char16_t>(dwPrimitiveType >> 16),
                            static_cast<char16_t>(dwPrimitiveType), chClass};
        for (int nShift = 48; nShift >= 0; nShift -= 16) {
            sKey.push_back(static_cast<char16_t>(ullNumber >> nShift));
        }
        return sKey;
    };
    if (const auto* pIntegral = dynamic_cast<const CICIntegralRuleValue*>(&value)) {
        *pchClass = u'I';
        return withNumber(u'I', static_cast<ULONGLONG>(pIntegral->Value()));
    }
    if (const auto* pString = dynamic_cast<const CICStringRuleValue*>(&value)) {
        *pchClass = u'S';
        return withNumber(u'S', 0) + platform::ToUpper(pString->Value());
    }
    if (const auto* pPair = dynamic_cast<const CICStringDWORDRuleValue*>(&value)) {
        *pchClass = u'D';
        return withNumber(u'D', pPair->Number()) + platform::ToUpper(pPair->String());
    }
    *pchClass = u'?';
    return {};
}

}  // namespace

CICRuleNode::CICRuleNode(const CICRuleNode& other) : m_dwRSType(other.m_dwRSType) {
    *this = other;
}

CICRuleNode& CICRuleNode::operator=(const CICRuleNode& other) {
    if (this == &other) {
        return *this;
    }
    m_values.clear();
    m_valueKeys.clear();
    m_typeClasses.clear();
    m_bDirty = true;
    m_dwRSType = other.m_dwRSType;
    for (const auto& [dwType, pValue] : other.m_values) {
        if (!Append(dwType, *pValue)) {
            DebugOut1(DBG_CAT_COMPILER, u"Append() returned false\n");
        }
    }
    m_ruleConverter = other.m_ruleConverter;
    if (other.m_ruleConverter.IsInitialized() && !m_ruleConverter.IsInitialized()) {
        // The converter reports its own failure; the node regenerates its rules when asked.
        DebugOut2(DBG_CAT_COMPILER, u"Rule converter cache copy failed (%S)\n", std::bad_alloc().what());
        m_bDirty = true;
    } else {
        m_bDirty = other.m_bDirty;
    }
    return *this;
}

bool CICRuleNode::HasEquivalent(DWORD dwPrimitiveType, const IRuleValue& value, const std::u16string& sKey,
                                char16_t chClass) const {
    const auto itClass = m_typeClasses.find(dwPrimitiveType);
    if (itClass == m_typeClasses.end()) {
        return false;
    }
    // Values of one class are told apart by their keys alone.
    if (chClass != MIXED_CLASSES && itClass->second == chClass) {
        return m_valueKeys.contains(sKey);
    }
    const auto [itBegin, itEnd] = m_values.equal_range(dwPrimitiveType);
    return std::any_of(itBegin, itEnd,
                       [&](const auto& entry) { return value.IsEquivalentTo(*entry.second); });
}

bool CICRuleNode::Append(DWORD dwPrimitiveType, const IRuleValue& value) {
    std::u16string sKey;
    char16_t chClass = MIXED_CLASSES;
    try {
        sKey = ValueKey(dwPrimitiveType, value, &chClass);
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_COMPILER, u"CICRuleNode::Append() - Failed to insert into value map (%S)\n",
                  e.what());
        return false;
    }
    if (HasEquivalent(dwPrimitiveType, value, sKey, chClass)) {
        return true;
    }
    std::unique_ptr<IRuleValue> pClone = value.Clone();
    if (!pClone) {
        DebugOut1(DBG_CAT_COMPILER, u"CICRuleNode::Append() - Failed to clone value\n");
        return false;
    }
    try {
        auto& chFiled = m_typeClasses.try_emplace(dwPrimitiveType, chClass).first->second;
        if (chFiled != chClass) {
            chFiled = MIXED_CLASSES;
        }
        if (chClass != MIXED_CLASSES) {
            m_valueKeys.insert(sKey);
        }
        try {
            // A multimap inserts after the values already filed under the same key.
            m_values.emplace(dwPrimitiveType, std::move(pClone));
        } catch (const std::bad_alloc&) {
            m_valueKeys.erase(sKey);
            throw;
        }
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_COMPILER, u"CICRuleNode::Append() - Failed to insert into value map (%S)\n",
                  e.what());
        return false;
    }
    m_bDirty = true;
    return true;
}

CombineResult CICRuleNode::Combine(const CICNode& other) {
    if (other.GetType() != IC_NODE_RULE) {
        DebugOut2(DBG_CAT_COMPILER, u"Attempted to combine rule node with non-rule node\n");
        return COMBINE_FAIL;
    }
    const auto& otherRule = static_cast<const CICRuleNode&>(other);
    for (const auto& [dwType, pValue] : otherRule.m_values) {
        if (!Append(dwType, *pValue)) {
            DebugOut1(DBG_CAT_COMPILER, u"Append() returned false\n");
            return COMBINE_FAIL;
        }
    }
    return COMBINE_OK;
}

bool CICRuleNode::IsEquivalentTo(const CICNode& other) const {
    if (other.GetType() != IC_NODE_RULE) {
        return false;
    }
    const auto& otherRule = static_cast<const CICRuleNode&>(other);
    if (otherRule.m_values.size() != m_values.size()) {
        return false;
    }
    return std::equal(m_values.begin(), m_values.end(), otherRule.m_values.begin(),
                      [](const auto& a, const auto& b) {
                          return a.first == b.first && a.second->IsEquivalentTo(*b.second);
                      });
}

bool CICRuleNode::GetData(const BYTE*& pData, DWORD& cbData, CErrorStack* pErrors) {
    if (!m_bDirty) {
        DebugOut3(DBG_CAT_COMPILER, u"CICRuleNode::GetData() - using cached data\n");
    } else if (!m_ruleConverter.GenerateSRTC(*this, pErrors)) {
        DebugOut1(DBG_CAT_COMPILER, u"m_ruleConverter.GenerateSRTC() returned false\n");
        return false;
    }
    pData = m_ruleConverter.GetSerializedRulesData();
    cbData = m_ruleConverter.GetSerializedRulesLength();
    if (pData == nullptr) {
        DebugOut1(DBG_CAT_COMPILER, u"m_ruleConverter.GetSerializedRulesData() returned NULL\n");
        return false;
    }
    m_bDirty = false;
    return true;
}

std::unique_ptr<CICNode> CICRuleNode::Clone() const {
    try {
        return std::make_unique<CICRuleNode>(*this);
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_COMPILER, u"Failed to clone rule node (%S)\n", e.what());
        return nullptr;
    }
}

void CICRuleNode::Dump() const {
    DebugOut3(DBG_CAT_COMPILER, u"Dumping Rule Node (primitives = %u)\n",
              static_cast<DWORD>(m_values.size()));
    for (const auto& [dwType, pValue] : m_values) {
        DebugOut3(DBG_CAT_COMPILER, u"Rule Primitive Type = %u\n", dwType);
        pValue->Dump();
    }
}

bool CICRuleNode::SetSerializedRules(const BYTE* pData, DWORD cbData) {
    if (!m_ruleConverter.SetSerializedRules(pData, cbData)) {
        return false;
    }
    m_bDirty = false;
    return true;
}
