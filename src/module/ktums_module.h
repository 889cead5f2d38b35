// The protection module: the service's application object and the owner of every long-lived
// component. Its Start brings the protection up according to the persisted protection state, waits
// for the terminate event, and takes the protection down again.
#pragma once

#include <memory>

#include "module/kt_framework.h"
#include "module/listener_context.h"
#include "module/module_components.h"
#include "platform/com.h"
#include "platform/library.h"
#include "service/service_app.h"
#include "service/thread.h"
#include "settings/settings_helpers.h"
#include "settings/settings_interfaces.h"

// The protection state, "CurrentState" under GATEWARDEN\PRIVATE.
enum eGatewardenState : DWORD {
    GW_STATE_OFF = 0,
    GW_STATE_ON = 1,
    GW_STATE_UPDATING = 2,
    GW_STATE_ERROR_ON = 3,
    GW_STATE_ERROR_OFF = 4,
    GW_STATE_ERROR_UNKNOWN = 5,
};

// The driver error marker, "DriverError" under GATEWARDEN\PRIVATE.
constexpr DWORD GW_DRIVER_ERROR_NONE = 0;
constexpr DWORD GW_DRIVER_ERROR_LOAD_INCOMPLETE = 1;
constexpr DWORD GW_DRIVER_ERROR_START_FAILED = 2;

constexpr const char16_t* GATEWARDEN_PRIVATE_KEY_NAME = u"GATEWARDEN\\PRIVATE";
constexpr const char16_t* GATEWARDEN_CURRENT_STATE = u"CurrentState";
constexpr const char16_t* GATEWARDEN_DRIVER_ERROR_STATE = u"DriverError";
constexpr const char16_t* GATEWARDEN_DEBUG_OUTPUT = u"DebugOutput";

class CKTUViolationMessage;
class CKTUMSIMessage;

class CKTUMSModule : public CServiceApp {
public:
    static constexpr const char16_t* SERVICE_KEY = u"SYSTEM\\CurrentControlSet\\Services\\KRELLSvc";
    static constexpr const char16_t* DRIVER_SERVICE_KEY = u"SYSTEM\\CurrentControlSet\\Services\\KRELLDrv";
    static constexpr const char16_t* PRODUCT_KEY = u"SOFTWARE\\Quillon\\KRELL";
    static constexpr const char16_t* EVENT_MANAGER_SERVICE = u"zuZazEzi";

    // Turns each violation the driver reports into a protection alert and a notification. Ends when
    // its subscription is aborted (the subscriber's stop) or its wait fails.
    class CPolicyEventListener : public CThread {
    public:
        explicit CPolicyEventListener(IListenerContext* pContext) : m_pContext(pContext) {}
        // One violation, up to (not including) its acknowledgement.
        static void HandleViolation(IListenerContext& context, CKTUViolationMessage* pMsg);

    protected:
        DWORD Run() override;

    private:
        IListenerContext* m_pContext;
    };

    // Answers the driver's install queries from the install authorization.
    class CMSIQueryListener : public CThread {
    public:
        explicit CMSIQueryListener(IListenerContext* pContext) : m_pContext(pContext) {}
        // One query, up to (not including) its acknowledgement: the reply sent, or nothing.
        static void AnswerQuery(IListenerContext& context, CKTUMSIMessage* pMsg);

    protected:
        DWORD Run() override;

    private:
        IListenerContext* m_pContext;
    };

    CKTUMSModule();
    // For tests: the components the state machine drives.
    explicit CKTUMSModule(std::unique_ptr<IModuleComponents> pComponents);
    ~CKTUMSModule() override;

    DWORD Start() override;
    void OnStop() override;

    bool getGWState(DWORD* pdwState, DWORD dwDefault);
    bool setGWState(DWORD dwState);
    bool getDriverErrorState(DWORD* pdwValue);
    bool setDriverErrorState(DWORD dwValue);
    static bool setServiceLoadTime(const char16_t* szServiceKey, DWORD dwStartType);

    DWORD FinalState() const { return m_FinalState; }
    DWORD FallbackAction() const { return m_dwFallbackAction; }

protected:
    bool Create();
    void Destroy();
    // Outside resources, overridable by tests: the event manager service and the settings manager.
    virtual bool StartEventManager();
    virtual ZELRESULT CreateSettingsManager(ISettingsManager** ppManager);

private:
    void InitializeDebugOutput();
    bool DecideStart();
    bool BringUpDriver();
    void LoadKTFramework();
    void UnloadKTFramework();
    void ReportStopStep();
    ZELRESULT ReadPrivateDword(const char16_t* szName, DWORD* pdwValue, bool* pbKeyFailed);
    ZELRESULT WritePrivateDword(const char16_t* szName, DWORD dwValue, int* pnStep);

    std::unique_ptr<IModuleComponents> m_pComponents;
    CComPtr<IKTFramework> m_pFramework;
    DWORD m_dwCheckPoint = 0;
    DWORD m_FinalState = GW_STATE_ERROR_OFF;
    DWORD m_dwFallbackAction = 0;
    CSettingsManagerHelper m_SettingsMgrHelper;
    CComPtr<ISettingsManager> m_SettingsMgr;
    HMODULE m_hFramework = nullptr;
};
