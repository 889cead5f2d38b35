#include "compiler/converter_values.h"

#include <new>

#include "diagnostics/user_debug_output.h"
#include "platform/strings.h"

bool CICStringPairRuleValue::IsEquivalentTo(const IRuleValue& other) const {
    const auto* pOther = dynamic_cast<const CICStringPairRuleValue*>(&other);
    return pOther != nullptr && platform::EqualNoCase(m_sFirst, pOther->m_sFirst) &&
           platform::EqualNoCase(m_sSecond, pOther->m_sSecond);
}

std::unique_ptr<IRuleValue> CICStringPairRuleValue::Clone() const {
    try {
        return std::make_unique<CICStringPairRuleValue>(*this);
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"CICStringPairRuleValue::Clone() - bad alloc(%S)", e.what());
        return nullptr;
    }
}

void CICStringPairRuleValue::Dump() const {
    DebugOut3(DBG_CAT_COMPILER, u"string = %s\nstring = %s\n", m_sFirst, m_sSecond);
}

bool CICExclusionRuleValue::IsEquivalentTo(const IRuleValue& other) const {
    const auto* pOther = dynamic_cast<const CICExclusionRuleValue*>(&other);
    return pOther != nullptr && m_dwAccessMask == pOther->m_dwAccessMask &&
           platform::EqualNoCase(m_sActorPath, pOther->m_sActorPath) &&
           platform::EqualNoCase(m_sTargetPath, pOther->m_sTargetPath) &&
           platform::EqualNoCase(m_sActorSid, pOther->m_sActorSid);
}

std::unique_ptr<IRuleValue> CICExclusionRuleValue::Clone() const {
    try {
        return std::make_unique<CICExclusionRuleValue>(*this);
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"CICExclusionRuleValue::Clone() - bad alloc(%S)", e.what());
        return nullptr;
    }
}

void CICExclusionRuleValue::Dump() const {
    DebugOut3(DBG_CAT_COMPILER, u"string = %s\nstring = %s\nstring = %s\ndword = %X\n", m_sActorPath,
              m_sTargetPath, m_sActorSid, m_dwAccessMask);
}
