// Installers that are not installer packages: the executables that may install and, for each, the
// companion files it brings with the versions (size and hash) accepted, packed into the one data
// block the driver receives verbatim.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "compiler/config_compiler_plugin.h"
#include "compiler/ic_nodes.h"

class CCompanionFile {
public:
    struct Version {
        DWORD dwFileSize;
        // Little-endian words whose bytes are the hash bytes in written order.
        std::array<DWORD, 4> hash;
    };

    // Takes over the caller's reference to the manager.
    bool Init(const std::u16string& sExeKeyPath, const std::u16string& sCompanionName,
              ISettingsManager* pSetMgr);
    bool FormatData(BYTE* pBlock, DWORD* pdwOffset) const;
    DWORD GetDataSize() const;
    const std::u16string& GetName() const { return m_sName; }
    const std::vector<Version>& Versions() const { return m_Versions; }

    // Whether a value name begins with exactly 32 hexadecimal digits.
    static bool IsValidHashName(const std::u16string& sName);

private:
    bool m_bInitialized = false;
    std::u16string m_sName;
    std::vector<Version> m_Versions;
    mutable DWORD m_dwDataSize = 0;
};

class CExeKey {
public:
    bool Init(const std::u16string& sKeyPath, const std::u16string& sExeName, ISettingsManager* pSetMgr);
    bool FormatData(BYTE* pBlock, DWORD* pdwOffset) const;
    DWORD GetDataSize() const;
    const std::u16string& GetName() const { return m_sName; }

private:
    bool m_bInitialized = false;
    std::u16string m_sName;
    std::vector<CCompanionFile> m_CompanionFiles;
    mutable DWORD m_dwDataSize = 0;
};

class CLegacyNonMsiData {
public:
    bool Init(const std::u16string& sKeyPath, ISettingsManager* pSetMgr);
    // The caller owns the block, GetDataSize() bytes long.
    bool FormatData(std::unique_ptr<BYTE[]>* ppBlock) const;
    DWORD GetDataSize() const;

private:
    bool m_bInitialized = false;
    std::vector<CExeKey> m_Executables;
    mutable DWORD m_dwDataSize = 0;
};

class CLegacyInstallConfigPlugin : public CBaseConfigCompilerPlugin {
public:
    static constexpr const char16_t* NON_MSI_KEY = u"Gatewarden\\LegacyInstalls\\nonMsi";

    using CBaseConfigCompilerPlugin::CBaseConfigCompilerPlugin;
    std::u16string GetName() const override { return u"LegacyInstallConfigPlugin"; }

protected:
    bool PluginInitialize() override { return true; }
    void PluginUninitialize() override {}
    std::unique_ptr<CIntermediateConfiguration> PluginGetIC(bool bCreateNewIC,
                                                            CErrorStack& errorStack) override;
    bool LoadNonMsiAuthorizationData(CICDirectNode& directNode, const std::u16string& sKeyPath);
};
