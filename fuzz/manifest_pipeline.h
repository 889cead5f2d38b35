// The manifest pipeline after authentication, for the fuzz target and its corpus replay: the bytes
// of a manifest file are deciphered, parsed and run through the eight subprocessors into a scratch
// settings store held in memory. What the store then holds must obey the entries' rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "manifest/manifest_cipher.h"
#include "manifest/manifest_load.h"
#include "platform/com.h"
#include "settings/settings_interfaces.h"

namespace fuzzmanifest {

// Value names of each key; only what the loader uses is served.
using CScratch = std::map<std::u16string, std::set<std::u16string>>;

class CScratchKey final : public ISettings, private CRefCounted {
public:
    CScratchKey(CScratch* pStore, std::u16string sKey) : m_pStore(pStore), m_sKey(std::move(sKey)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    ZELRESULT STDMETHODCALLTYPE GetDword(const char16_t*, DWORD*) override { return ZEL_E_NOT_FOUND; }
    ZELRESULT STDMETHODCALLTYPE GetString(const char16_t*, char16_t*, DWORD*) override {
        return ZEL_E_NOT_FOUND;
    }
    ZELRESULT STDMETHODCALLTYPE PutDword(const char16_t*, DWORD) override { return ZEL_E_INVALID_ARGUMENT; }
    ZELRESULT STDMETHODCALLTYPE GetBinary(const char16_t*, BYTE*, DWORD*) override { return ZEL_E_NOT_FOUND; }
    ZELRESULT STDMETHODCALLTYPE PutBinary(const char16_t*, const BYTE*, DWORD) override {
        return ZEL_E_INVALID_ARGUMENT;
    }
    ZELRESULT STDMETHODCALLTYPE DeleteValue(const char16_t*) override { return ZEL_E_NOT_FOUND; }
    ZELRESULT STDMETHODCALLTYPE PutString(const char16_t* szName, const char16_t* szText) override {
        if (szName == nullptr || szText == nullptr) {
            return ZEL_E_INVALID_ARGUMENT;
        }
        m_Pending.insert(szName);
        return ZEL_SUCCESS;
    }
    ZELRESULT STDMETHODCALLTYPE GetValueType(const char16_t*, DWORD*) override { return ZEL_E_NOT_FOUND; }
    ZELRESULT STDMETHODCALLTYPE GetValues(ISettingsEnum**) override { return ZEL_E_NOT_FOUND; }
    ZELRESULT STDMETHODCALLTYPE GetMaxValueNameLength(DWORD*) override { return ZEL_E_NOT_FOUND; }
    void Commit() { (*m_pStore)[m_sKey].insert(m_Pending.begin(), m_Pending.end()); }

private:
    CScratch* m_pStore;
    std::u16string m_sKey;
    std::set<std::u16string> m_Pending;
};

class CScratchManager final : public ISettingsManager, private CRefCounted {
public:
    explicit CScratchManager(CScratch* pStore) : m_pStore(pStore) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    ZELRESULT STDMETHODCALLTYPE CreateSettings(const char16_t* szKeyName, ISettings** ppSettings) override {
        *ppSettings = new CScratchKey(m_pStore, szKeyName);
        return ZEL_SUCCESS;
    }
    ZELRESULT STDMETHODCALLTYPE GetSettings(const char16_t*, ISettings**) override { return ZEL_E_NOT_FOUND; }
    ZELRESULT STDMETHODCALLTYPE PutSettings(ISettings* pSettings) override {
        static_cast<CScratchKey*>(pSettings)->Commit();
        return ZEL_SUCCESS;
    }
    ZELRESULT STDMETHODCALLTYPE GetSubKeys(const char16_t*, ISettingsEnum**) override {
        return ZEL_E_NOT_FOUND;
    }
    ZELRESULT STDMETHODCALLTYPE DeleteSettings(const char16_t*) override { return ZEL_E_NOT_FOUND; }
    ZELRESULT STDMETHODCALLTYPE GetChangeCount(ULONGLONG* pullCount) override {
        *pullCount = 0;
        return ZEL_SUCCESS;
    }

private:
    CScratch* m_pStore;
};

// The keys whose entries end in a separator.
inline bool HasTrailingSeparator(const std::u16string& sKey) {
    for (const char16_t* szKey :
         {ManifestKeys::PROTECTED_DIRECTORY, ManifestKeys::PROTECTED_PATH_TREE,
          ManifestKeys::PROTECTED_REG_KEY, ManifestKeys::PROTECTED_REG_TREE,
          ManifestKeys::PROTECTED_PATH_TREE_EXCLUSION, ManifestKeys::PROTECTED_REG_TREE_EXCLUSION,
          ManifestKeys::AUTHORIZED_DIRECTORY, ManifestKeys::AUTHORIZED_PATH_TREE}) {
        if (sKey == szKey) {
            return true;
        }
    }
    return false;
}

// One file's bytes through the pipeline; aborts when the store breaks an entry rule. Returns the
// number of entries stored.
inline std::size_t RunPipeline(const std::uint8_t* pData, std::size_t cbData) {
    static CScratch s_store;
    static CGatewardenManifestLoad* s_pLoader = [] {
        auto* pLoader = new CGatewardenManifestLoad();
        if (!pLoader->Initialize(new CScratchManager(&s_store))) {
            std::abort();
        }
        return pLoader;
    }();
    s_store.clear();
    std::vector<BYTE> bytes(pData, pData + cbData);
    DecipherManifest(bytes.data(), bytes.size());
    s_pLoader->ProcessBytes(u"C:\\fuzz\\input.gwm", bytes.data(), bytes.size());
    std::size_t nEntries = 0;
    for (const auto& [sKey, names] : s_store) {
        if (!sKey.starts_with(u"GATEWARDEN\\PRIVATE\\Manifest\\Data\\")) {
            std::abort();
        }
        for (const std::u16string& sName : names) {
            if (sName.find(u"\\\\") != std::u16string::npos) {
                std::abort();
            }
            if (HasTrailingSeparator(sKey) && !sName.empty() && sName.back() != u'\\') {
                std::abort();
            }
            ++nEntries;
        }
    }
    return nEntries;
}

}  // namespace fuzzmanifest
