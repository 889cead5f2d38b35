// The order in which a machine starts its services: load-order groups, then dependencies.
#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "platform/registry.h"
#include "platform/strings.h"
#include "scm/scm_admin.h"
#include "scm_internal.h"

namespace scm {
namespace {

using Key = std::u16string;  // a service's name, upper-cased

class CStartOrderBuilder {
public:
    CStartOrderBuilder(const std::vector<ServiceEntry>& installed,
                       const std::vector<std::u16string>& groupOrder, bool (*pfnWanted)(const ServiceEntry&))
        : m_pfnWanted(pfnWanted) {
        for (std::size_t i = 0; i < groupOrder.size(); ++i) {
            m_groupRank.emplace(platform::ToUpper(groupOrder[i]), static_cast<int>(i));
        }
        m_nUnlisted = static_cast<int>(groupOrder.size());
        for (const auto& entry : installed) {
            m_byKey.emplace(platform::ToUpper(entry.sName), &entry);
        }
    }

    StartOrder Build() {
        for (const Key& key : Sorted(WantedKeys())) {
            Visit(key);
        }
        return std::move(m_result);
    }

private:
    // Drivers first (boot start, then system start, then the rest), then the group's place in the
    // list, unlisted groups and no group last, then the name.
    std::tuple<int, int, Key> Rank(const Key& key) const {
        const ServiceEntry& entry = *m_byKey.at(key);
        const int nClass =
            detail::IsDriverType(entry.dwType) ? static_cast<int>(std::min<DWORD>(entry.dwStartType, 2)) : 3;
        const auto it = m_groupRank.find(platform::ToUpper(entry.sGroup));
        const int nGroup = entry.sGroup.empty() || it == m_groupRank.end() ? m_nUnlisted : it->second;
        return {nClass, nGroup, key};
    }

    std::vector<Key> Sorted(std::vector<Key> keys) const {
        std::sort(keys.begin(), keys.end(), [this](const Key& a, const Key& b) { return Rank(a) < Rank(b); });
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        return keys;
    }

    std::vector<Key> WantedKeys() const {
        std::vector<Key> keys;
        for (const auto& [key, pEntry] : m_byKey) {
            if (m_pfnWanted(*pEntry)) {
                keys.push_back(key);
            }
        }
        return keys;
    }

    // What must run before the service: its installed dependencies and the wanted members of the
    // groups it depends on. Dependencies that are not installed here are the system's own.
    std::vector<Key> Prerequisites(const Key& key) const {
        const ServiceEntry& entry = *m_byKey.at(key);
        std::vector<Key> keys;
        for (const auto& sDependency : entry.dependencies) {
            const Key dependency = platform::ToUpper(sDependency);
            if (m_byKey.contains(dependency)) {
                keys.push_back(dependency);
            }
        }
        for (const auto& sGroup : entry.groupDependencies) {
            for (const auto& [member, pMember] : m_byKey) {
                if (member != key && platform::EqualNoCase(pMember->sGroup, sGroup) &&
                    m_pfnWanted(*pMember)) {
                    keys.push_back(member);
                }
            }
        }
        return Sorted(std::move(keys));
    }

    void Visit(const Key& key) {
        if (m_done.contains(key)) {
            return;
        }
        const auto onPath = std::find(m_path.begin(), m_path.end(), key);
        if (onPath != m_path.end()) {
            m_cyclic.insert(onPath, m_path.end());
            return;
        }
        m_path.push_back(key);
        for (const Key& prerequisite : Prerequisites(key)) {
            Visit(prerequisite);
        }
        m_path.pop_back();
        m_done.insert(key);
        const std::u16string& sName = m_byKey.at(key)->sName;
        m_result.names.push_back(sName);
        if (m_cyclic.contains(key)) {
            m_result.cyclic.push_back(sName);
        }
    }

    bool (*m_pfnWanted)(const ServiceEntry&);
    std::map<Key, int> m_groupRank;
    int m_nUnlisted = 0;
    std::map<Key, const ServiceEntry*> m_byKey;
    std::vector<Key> m_path;
    std::set<Key> m_done;
    std::set<Key> m_cyclic;
    StartOrder m_result;
};

}  // namespace

StartOrder ComputeStartOrder(const std::vector<ServiceEntry>& installed,
                             const std::vector<std::u16string>& groupOrder,
                             bool (*pfnWanted)(const ServiceEntry&)) {
    return CStartOrderBuilder(installed, groupOrder, pfnWanted).Build();
}

std::vector<std::u16string> ReadGroupOrder() {
    std::vector<std::u16string> groups;
    HKEY hKey = nullptr;
    if (platform::RegOpenKeyEx(HKEY_LOCAL_MACHINE, GROUP_ORDER_KEY, 0, KEY_READ, &hKey) !=
        static_cast<LONG>(ERROR_SUCCESS)) {
        return groups;
    }
    DWORD dwType = 0;
    DWORD cb = 0;
    if (platform::RegQueryValueEx(hKey, u"List", &dwType, nullptr, &cb) == static_cast<LONG>(ERROR_SUCCESS) &&
        dwType == REG_MULTI_SZ) {
        std::u16string sList(cb / sizeof(char16_t), u'\0');
        if (platform::RegQueryValueEx(hKey, u"List", &dwType, reinterpret_cast<BYTE*>(sList.data()), &cb) ==
            static_cast<LONG>(ERROR_SUCCESS)) {
            sList.resize(cb / sizeof(char16_t));
            groups = detail::SplitMultiString(sList);
        }
    }
    platform::RegCloseKey(hKey);
    return groups;
}

}  // namespace scm
