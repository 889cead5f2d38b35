#include "compiler/intermediate_configuration.h"

#include <new>

#include "diagnostics/user_debug_output.h"

bool CIntermediateConfiguration::AddNode(DWORD dwSectionId, const CICNode& node) {
    const auto it = m_nodes.find(dwSectionId);
    if (it != m_nodes.end()) {
        if (!it->second) {
            DebugOut2(DBG_CAT_COMPILER, u"Found NULL node in IC--replacing\n");
            m_nodes.erase(it);
        } else {
            switch (it->second->Combine(node)) {
                case COMBINE_OK:
                    DebugOut3(DBG_CAT_COMPILER, u"Combine() returned COMBINE_OK\n");
                    return true;
                case REPLACE:
                    DebugOut3(DBG_CAT_COMPILER, u"Combine() returned REPLACE\n");
                    m_nodes.erase(it);
                    break;
                case COMBINE_FAIL:
                    DebugOut1(DBG_CAT_COMPILER, u"Combine() returned COMBINE_FAIL\n");
                    return false;
                default:
                    DebugOut1(DBG_CAT_COMPILER, u"Combine() returned unexpected result\n");
                    return false;
            }
        }
    }
    std::unique_ptr<CICNode> pClone = node.Clone();
    if (!pClone) {
        DebugOut1(DBG_CAT_COMPILER, u"Couldn't add node--failed to clone\n");
        return false;
    }
    try {
        m_nodes.emplace(dwSectionId, std::move(pClone));
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_COMPILER, u"Failed to add node to IC (%S)\n", e.what());
        return false;
    }
    return true;
}

bool CIntermediateConfiguration::Combine(const CIntermediateConfiguration& other) {
    for (const auto& [dwSectionId, pNode] : other.m_nodes) {
        if (!pNode) {
            DebugOut1(DBG_CAT_COMPILER, u"Tried to combine IC containing NULL node for section %d\n",
                      dwSectionId);
            continue;
        }
        if (!AddNode(dwSectionId, *pNode)) {
            DebugOut1(DBG_CAT_COMPILER, u"AddNode() returned false\n");
            return false;
        }
    }
    return true;
}

bool CIntermediateConfiguration::Update(const CIntermediateConfiguration& newIC) {
    std::erase_if(m_nodes, [&](const auto& entry) { return !newIC.m_nodes.contains(entry.first); });
    for (const auto& [dwSectionId, pNewNode] : newIC.m_nodes) {
        if (!pNewNode) {
            DebugOut2(DBG_CAT_COMPILER,
                      u"CIntermediateConfiguration::Update() - provided node at index %li is NULL\n",
                      dwSectionId);
            continue;
        }
        const auto it = m_nodes.find(dwSectionId);
        if (it != m_nodes.end() && it->second && it->second->IsEquivalentTo(*pNewNode)) {
            continue;
        }
        if (it != m_nodes.end()) {
            m_nodes.erase(it);
        }
        std::unique_ptr<CICNode> pClone = pNewNode->Clone();
        if (!pClone) {
            DebugOut1(DBG_CAT_COMPILER,
                      u"CIntermediateConfiguration::Update() - couldn't clone node at index %li\n",
                      dwSectionId);
            return false;
        }
        try {
            m_nodes.emplace(dwSectionId, std::move(pClone));
        } catch (const std::bad_alloc& e) {
            DebugOut1(DBG_CAT_COMPILER,
                      u"CIntermediateConfiguration::Update() - Failed to add node to IC (%S)\n", e.what());
            return false;
        }
    }
    return true;
}
