// An intermediate configuration (IC): one plug-in's share of the configuration, or the merge of all
// shares, as a set of sections ordered by section id, each held by one node that the IC owns.
#pragma once

#include <map>
#include <memory>

#include "compiler/ic_nodes.h"
#include "platform/types.h"

// Section ids. The shutdown request is never written to a file.
constexpr DWORD KTDATAFILE_SHUTDOWN_ID = 0x000;
constexpr DWORD KTDATAFILE_CONFIG_ID = 0x102;
constexpr DWORD KTDATAFILE_GATEWARDEN_RULES_ID = 0x201;
constexpr DWORD KTDATAFILE_AUTHORIZATION_RULES_ID = 0x202;
constexpr DWORD KTDATAFILE_LEGACY_INSTALL_ID = 0x401;

class CIntermediateConfiguration {
public:
    // A section may hold no node; such entries are reported and skipped, never dereferenced.
    using NodeMap = std::map<DWORD, std::unique_ptr<CICNode>>;

    CIntermediateConfiguration() = default;
    virtual ~CIntermediateConfiguration() = default;
    CIntermediateConfiguration(const CIntermediateConfiguration&) = delete;
    CIntermediateConfiguration& operator=(const CIntermediateConfiguration&) = delete;

    // Merges a clone of the node into its section; the caller keeps its node.
    bool AddNode(DWORD dwSectionId, const CICNode& node);
    // AddNode for every section of the other IC; stops at the first failure, keeping what was added.
    bool Combine(const CIntermediateConfiguration& other);
    // Makes this IC equal to the new one, keeping nodes equivalent to their replacements so that
    // their generated rules are reused.
    bool Update(const CIntermediateConfiguration& newIC);

    const NodeMap& Nodes() const { return m_nodes; }

protected:
    NodeMap m_nodes;
};
