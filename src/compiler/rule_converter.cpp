#include "compiler/rule_converter.h"

#include <algorithm>
#include <new>

#include "diagnostics/user_debug_output.h"

CRuleConverter::CRuleConverter(const CRuleConverter& other) {
    *this = other;
}

CRuleConverter& CRuleConverter::operator=(const CRuleConverter& other) {
    if (this == &other) {
        return *this;
    }
    Clear();
    try {
        m_sName = other.m_sName;
        if (other.m_pSRTC) {
            m_pSRTC = std::make_unique<BYTE[]>(other.m_cbSRTC);
            std::copy_n(other.m_pSRTC.get(), other.m_cbSRTC, m_pSRTC.get());
            m_cbSRTC = other.m_cbSRTC;
        }
        m_bInitialized = other.m_bInitialized;
    } catch (const std::bad_alloc&) {
        Clear();
        DebugOut1(DBG_CAT_RULE_CONVERTER,
                  u"CRuleConverter::operator`=' - Out of memory; no output file will be generated (%#08X)\n",
                  static_cast<DWORD>(E_OUTOFMEMORY));
    }
    return *this;
}

bool CRuleConverter::GenerateSRTC(const CICRuleNode& /*node*/, CErrorStack* /*pErrors*/) {
    DebugOut3(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::GenerateSRTC - Entry\n");
    Clear();
    return false;
}

const BYTE* CRuleConverter::GetSerializedRulesData() const {
    if (!m_bInitialized) {
        DebugOut2(DBG_CAT_RULE_CONVERTER,
                  u"CRuleConverter::GetSerializedRulesData - m_bInitialized != TRUE\n");
        return nullptr;
    }
    return m_pSRTC.get();
}

DWORD CRuleConverter::GetSerializedRulesLength() const {
    if (!m_bInitialized) {
        DebugOut2(DBG_CAT_RULE_CONVERTER,
                  u"CRuleConverter::GetSerializedRulesLength - m_bInitialized != TRUE\n");
        return 0;
    }
    return m_cbSRTC;
}

bool CRuleConverter::SetSerializedRules(const BYTE* pData, DWORD cbData) {
    Clear();
    try {
        m_pSRTC = std::make_unique<BYTE[]>(cbData);
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::copy_n(pData, cbData, m_pSRTC.get());
    m_cbSRTC = cbData;
    m_bInitialized = true;
    return true;
}

void CRuleConverter::Clear() {
    m_pSRTC.reset();
    m_cbSRTC = 0;
    m_bInitialized = false;
}
