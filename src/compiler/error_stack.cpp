#include "compiler/error_stack.h"

DWORD CErrorStack::Fold(DWORD dwStatus, DWORD dwSeverity) {
    if (dwStatus == ERROR_STACK_ERROR || dwSeverity == ERROR_STACK_ERROR) {
        return ERROR_STACK_ERROR;
    }
    if (dwStatus == ERROR_STACK_WARNING || dwSeverity == ERROR_STACK_WARNING) {
        return ERROR_STACK_WARNING;
    }
    return ERROR_STACK_INFO;
}

void CErrorStack::Add(DWORD dwSeverity, const std::u16string& sText) {
    m_Entries.push_back({dwSeverity, sText});
    m_dwStatus = Fold(m_dwStatus, dwSeverity);
}

void CErrorStack::Merge(const CErrorStack& other) {
    if (&other == this) {
        const std::vector<Entry> copy = m_Entries;
        m_Entries.insert(m_Entries.end(), copy.begin(), copy.end());
        return;
    }
    m_Entries.insert(m_Entries.end(), other.m_Entries.begin(), other.m_Entries.end());
    m_dwStatus = Fold(m_dwStatus, other.m_dwStatus);
}
