// The messages that flow through one compilation back to the sender of its event, with an overall
// status: the worst severity seen, where 0 (error) is worst.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

constexpr DWORD ERROR_STACK_ERROR = 0;
constexpr DWORD ERROR_STACK_WARNING = 1;
constexpr DWORD ERROR_STACK_INFO = 2;

class CErrorStack {
public:
    struct Entry {
        DWORD dwSeverity;
        std::u16string sText;
        bool operator==(const Entry&) const = default;
    };

    virtual ~CErrorStack() = default;

    void AddError(const std::u16string& sText) { Add(ERROR_STACK_ERROR, sText); }
    void AddWarning(const std::u16string& sText) { Add(ERROR_STACK_WARNING, sText); }
    void AddInfo(const std::u16string& sText) { Add(ERROR_STACK_INFO, sText); }
    // Appends the other's entries in order, then folds its status into this one.
    void Merge(const CErrorStack& other);

    const std::vector<Entry>& Entries() const { return m_Entries; }
    DWORD Status() const { return m_dwStatus; }

    static DWORD Fold(DWORD dwStatus, DWORD dwSeverity);

private:
    void Add(DWORD dwSeverity, const std::u16string& sText);

    std::vector<Entry> m_Entries;
    DWORD m_dwStatus = ERROR_STACK_INFO;
};
