// In-process doubles for the protection module's tests: a settings store in memory and components
// that record what the module asked of them and fail where a test says.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "module/ktums_module.h"

namespace moduletest {

using CValues = std::map<std::u16string, DWORD>;
using CStore = std::map<std::u16string, CValues>;

// A settings key over the store; writes reach the store on PutSettings.
class CMemorySettings final : public ISettings, private CRefCounted {
public:
    CMemorySettings(CStore* pStore, std::u16string sKey, CValues values)
        : m_pStore(pStore), m_sKey(std::move(sKey)), m_Values(std::move(values)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    ZELRESULT STDMETHODCALLTYPE GetDword(const char16_t* szName, DWORD* pdwValue) override {
        const auto it = m_Values.find(szName);
        if (it == m_Values.end()) {
            return ZEL_E_NOT_FOUND;
        }
        *pdwValue = it->second;
        return ZEL_SUCCESS;
    }
    ZELRESULT STDMETHODCALLTYPE GetString(const char16_t*, char16_t*, DWORD*) override {
        return ZEL_E_NOT_FOUND;
    }
    ZELRESULT STDMETHODCALLTYPE PutDword(const char16_t* szName, DWORD dwValue) override {
        m_Values[szName] = dwValue;
        return ZEL_SUCCESS;
    }
    ZELRESULT STDMETHODCALLTYPE GetBinary(const char16_t*, BYTE*, DWORD*) override { return ZEL_E_NOT_FOUND; }
    ZELRESULT STDMETHODCALLTYPE PutBinary(const char16_t*, const BYTE*, DWORD) override {
        return ZEL_E_INVALID_ARGUMENT;
    }
    ZELRESULT STDMETHODCALLTYPE DeleteValue(const char16_t* szName) override {
        m_Values.erase(szName);
        return ZEL_SUCCESS;
    }
    ZELRESULT STDMETHODCALLTYPE PutString(const char16_t*, const char16_t*) override {
        return ZEL_E_INVALID_ARGUMENT;
    }
    ZELRESULT STDMETHODCALLTYPE GetValueType(const char16_t*, DWORD*) override { return ZEL_E_NOT_FOUND; }
    ZELRESULT STDMETHODCALLTYPE GetValues(ISettingsEnum**) override { return ZEL_E_NOT_FOUND; }
    ZELRESULT STDMETHODCALLTYPE GetMaxValueNameLength(DWORD*) override { return ZEL_E_NOT_FOUND; }
    void Commit() { (*m_pStore)[m_sKey] = m_Values; }

private:
    CStore* m_pStore;
    std::u16string m_sKey;
    CValues m_Values;
};

class CMemorySettingsManager final : public ISettingsManager, private CRefCounted {
public:
    explicit CMemorySettingsManager(CStore* pStore) : m_pStore(pStore) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    ZELRESULT STDMETHODCALLTYPE CreateSettings(const char16_t* szKeyName, ISettings** ppSettings) override {
        const auto it = m_pStore->find(szKeyName);
        *ppSettings =
            new CMemorySettings(m_pStore, szKeyName, it != m_pStore->end() ? it->second : CValues{});
        return ZEL_SUCCESS;
    }
    ZELRESULT STDMETHODCALLTYPE GetSettings(const char16_t* szKeyName, ISettings** ppSettings) override {
        const auto it = m_pStore->find(szKeyName);
        if (it == m_pStore->end()) {
            return ZEL_E_NOT_FOUND;
        }
        *ppSettings = new CMemorySettings(m_pStore, szKeyName, it->second);
        return ZEL_SUCCESS;
    }
    ZELRESULT STDMETHODCALLTYPE PutSettings(ISettings* pSettings) override {
        static_cast<CMemorySettings*>(pSettings)->Commit();
        return ZEL_SUCCESS;
    }
    ZELRESULT STDMETHODCALLTYPE GetSubKeys(const char16_t*, ISettingsEnum**) override {
        return ZEL_E_NOT_FOUND;
    }
    ZELRESULT STDMETHODCALLTYPE DeleteSettings(const char16_t* szKeyName) override {
        m_pStore->erase(szKeyName);
        return ZEL_SUCCESS;
    }
    ZELRESULT STDMETHODCALLTYPE GetChangeCount(ULONGLONG* pullCount) override {
        *pullCount = 0;
        return ZEL_SUCCESS;
    }

private:
    CStore* m_pStore;
};

// Components that record the calls made of them; a name in m_Failing makes that call fail.
class CRecordingComponents final : public IModuleComponents {
public:
    std::vector<std::string>* m_pCalls;
    std::set<std::string> m_Failing;
    DWORD m_dwLoadError = GW_DRIVER_ERROR_START_FAILED;
    int m_nOpenAttempts = 0;
    int m_nOpenFailures = 0;  // the first n channel openings fail

    explicit CRecordingComponents(std::vector<std::string>* pCalls) : m_pCalls(pCalls) {}

    bool Call(const std::string& sName) {
        m_pCalls->push_back(sName);
        return m_Failing.count(sName) == 0;
    }
    void SetSettingsManager(ISettingsManager* pManager) override {
        Call(pManager != nullptr ? "SetSettingsManager" : "SetSettingsManager(null)");
    }
    bool CreateEventProvider() override { return Call("CreateEventProvider"); }
    bool InitializeNotificationSender() override { return Call("InitializeNotificationSender"); }
    bool InitializeChannelSubscriber() override { return Call("InitializeChannelSubscriber"); }
    bool OpenDriverChannel() override {
        Call("OpenDriverChannel");
        return ++m_nOpenAttempts > m_nOpenFailures;
    }
    bool LoadDriver(DWORD* pdwDriverError) override {
        *pdwDriverError = m_dwLoadError;
        return Call("LoadDriver");
    }
    bool CreatePolicyEventListener() override { return Call("CreatePolicyEventListener"); }
    bool CreateMSIQueryListener(int nIndex) override {
        return Call("CreateMSIQueryListener" + std::to_string(nIndex));
    }
    bool StartListeningForMessages() override { return Call("StartListeningForMessages"); }
    bool ActivateDriver() override { return Call("ActivateDriver"); }
    bool CreateConfigurationCompiler() override { return Call("CreateConfigurationCompiler"); }
    DWORD ForceSettingsRefresh() override { return Call("ForceSettingsRefresh") ? 1 : 0; }
    void EnqueueNotification(DWORD dwCode, const char16_t*) override {
        Call("Notify" + std::to_string(dwCode));
    }
    void ShutdownDriver(bool bUnload) override {
        Call(bUnload ? "ShutdownDriver(unload)" : "ShutdownDriver(keep)");
    }
    void DestroyConfigurationCompiler() override { Call("DestroyConfigurationCompiler"); }
    void StopTrackingManifestFolder(DWORD) override { Call("StopTrackingManifestFolder"); }
    void DestroyNotificationSender() override { Call("DestroyNotificationSender"); }
    void DestroyEventProvider() override { Call("DestroyEventProvider"); }
};

// The module with its outside resources replaced: the event manager runs or not, the settings
// store is the in-memory one.
class CTestModule : public CKTUMSModule {
public:
    CTestModule(std::unique_ptr<IModuleComponents> pComponents, CStore* pStore, bool bEventManagerRuns)
        : CKTUMSModule(std::move(pComponents)), m_pStore(pStore), m_bEventManagerRuns(bEventManagerRuns) {}

protected:
    bool StartEventManager() override { return m_bEventManagerRuns; }
    ZELRESULT CreateSettingsManager(ISettingsManager** ppManager) override {
        *ppManager = new CMemorySettingsManager(m_pStore);
        return ZEL_SUCCESS;
    }

private:
    CStore* m_pStore;
    bool m_bEventManagerRuns;
};

}  // namespace moduletest
