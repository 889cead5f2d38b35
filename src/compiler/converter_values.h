// Rule values that only the rule converter reads: no plug-in of this system produces them, but a rule
// node may carry them and the converter turns them into rules.
#pragma once

#include <memory>
#include <string>

#include "compiler/ic_nodes.h"

// Types 6 and 7: a hash with the path of the file it authorizes.
class CICStringPairRuleValue : public IRuleValue {
public:
    CICStringPairRuleValue(std::u16string sFirst, std::u16string sSecond)
        : m_sFirst(std::move(sFirst)), m_sSecond(std::move(sSecond)) {}
    bool IsEquivalentTo(const IRuleValue& other) const override;
    std::unique_ptr<IRuleValue> Clone() const override;
    void Dump() const override;
    const std::u16string& First() const { return m_sFirst; }
    const std::u16string& Second() const { return m_sSecond; }

private:
    std::u16string m_sFirst;
    std::u16string m_sSecond;
};

// Type 20: an exclusion. "*" in a string means any.
class CICExclusionRuleValue : public IRuleValue {
public:
    CICExclusionRuleValue(std::u16string sActorPath, std::u16string sTargetPath, std::u16string sActorSid,
                          DWORD dwAccessMask)
        : m_sActorPath(std::move(sActorPath)),
          m_sTargetPath(std::move(sTargetPath)),
          m_sActorSid(std::move(sActorSid)),
          m_dwAccessMask(dwAccessMask) {}
    bool IsEquivalentTo(const IRuleValue& other) const override;
    std::unique_ptr<IRuleValue> Clone() const override;
    void Dump() const override;
    const std::u16string& ActorPath() const { return m_sActorPath; }
    const std::u16string& TargetPath() const { return m_sTargetPath; }
    const std::u16string& ActorSid() const { return m_sActorSid; }
    DWORD AccessMask() const { return m_dwAccessMask; }

private:
    std::u16string m_sActorPath;
    std::u16string m_sTargetPath;
    std::u16string m_sActorSid;
    DWORD m_dwAccessMask;
};
