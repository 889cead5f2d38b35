#include "module/ktums_module.h"

#include <algorithm>
#include <cstddef>
#include <optional>

#include "diagnostics/crash_handler.h"
#include "diagnostics/user_debug_output.h"
#include "events/notify_event_sender.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/system.h"
#include "service/registry_key.h"

namespace {

constexpr DWORD STOP_WAIT_HINT_MS = 5000;
constexpr DWORD MANIFEST_STOP_TIMEOUT_MS = 10000;
constexpr DWORD START_SETTLE_MS = 1000;
constexpr DWORD EVENT_MANAGER_POLL_MIN_MS = 1000;
constexpr DWORD EVENT_MANAGER_POLL_MAX_MS = 10000;
constexpr int MSI_QUERY_LISTENERS = 2;

constexpr DWORD NOTIFY_STARTING = 1;
constexpr DWORD NOTIFY_STOPPED = CNotifyEventSender::NOTIFY_ENDED;
constexpr DWORD NOTIFY_DISABLED = 3;
constexpr DWORD NOTIFY_ENABLED = 4;

constexpr DWORD FALLBACK_NONE = 0;
constexpr DWORD FALLBACK_STOP_DRIVER = 1;
constexpr DWORD FALLBACK_KEEP_DRIVER = 2;

constexpr const char16_t* KT_FRAMEWORK_DLL = u"KT.dll";
using PFN_GET_FACTORY = ZELRESULT (*)(const CLSID* pClsid, IClassFactory** ppFactory);

// Closes a service control manager handle on every path.
struct CScHandle {
    SC_HANDLE h;
    ~CScHandle() {
        if (h != nullptr) {
            platform::CloseServiceHandle(h);
        }
    }
};

}  // namespace

CKTUMSModule::CKTUMSModule() : CKTUMSModule(std::make_unique<CModuleComponents>()) {}

CKTUMSModule::CKTUMSModule(std::unique_ptr<IModuleComponents> pComponents)
    : m_pComponents(std::move(pComponents)) {
    m_pComponents->SetStopStepReporter([this] { ReportStopStep(); });
    m_pComponents->SetStopRequester([this] { PostTerminate(); });
    m_bPumpMessages = true;
    m_eApartment = APARTMENT_MULTITHREADED;
}

CKTUMSModule::~CKTUMSModule() {
    UnloadKTFramework();
    if (m_hFramework != nullptr) {
        platform::FreeLibrary(m_hFramework);
    }
    m_pComponents.reset();
    m_SettingsMgr.Release();
}

DWORD CKTUMSModule::Start() {
    m_dwCheckPoint = 1;
    ReportRunning();
    const bool bCreated = Create();
    if (bCreated) {
        m_pComponents->EnqueueNotification(NOTIFY_STARTING, nullptr);
        m_pComponents->EnqueueNotification(NOTIFY_ENABLED, u"Gatewarden is enabled");
        DebugOut3(DBG_CAT_MODULE, u"CKTUMSModule::Start(): KTUMS started OK.\n");
        // Settle, then give back the start-up's memory.
        platform::Sleep(START_SETTLE_MS);
        platform::SetProcessWorkingSetSize(static_cast<std::size_t>(-1), static_cast<std::size_t>(-1));
        WaitForTerminate(INFINITE);
        m_pComponents->EnqueueNotification(NOTIFY_DISABLED, u"Gatewarden is disabled");
    } else {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::Start(): Error(s) encountered, exiting\n");
    }
    m_pComponents->EnqueueNotification(NOTIFY_STOPPED, nullptr);
    m_dwCheckPoint = 1;
    Destroy();
    return bCreated ? 0 : static_cast<DWORD>(-1);
}

void CKTUMSModule::OnStop() {
    DebugOut2(DBG_CAT_MODULE, u"CKTUMSModule::OnStop(): Ignoring SCM stop request\n");
}

bool CKTUMSModule::StartEventManager() {
    CScHandle scm{platform::OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (scm.h == nullptr) {
        return false;
    }
    CScHandle service{
        platform::OpenService(scm.h, EVENT_MANAGER_SERVICE, SERVICE_QUERY_STATUS | SERVICE_START)};
    if (service.h == nullptr) {
        return false;
    }
    if (!platform::StartService(service.h, 0, nullptr)) {
        return platform::GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
    }
    SERVICE_STATUS status{};
    if (!platform::QueryServiceStatus(service.h, &status)) {
        return false;
    }
    DWORD dwLastProgress = platform::GetTickCount();
    DWORD dwCheckPoint = status.dwCheckPoint;
    while (status.dwCurrentState == SERVICE_START_PENDING) {
        platform::Sleep(
            std::clamp(status.dwWaitHint / 10, EVENT_MANAGER_POLL_MIN_MS, EVENT_MANAGER_POLL_MAX_MS));
        if (!platform::QueryServiceStatus(service.h, &status)) {
            break;
        }
        if (status.dwCheckPoint > dwCheckPoint) {
            dwLastProgress = platform::GetTickCount();
            dwCheckPoint = status.dwCheckPoint;
        } else if (platform::GetTickCount() - dwLastProgress > status.dwWaitHint) {
            break;
        }
    }
    return status.dwCurrentState == SERVICE_RUNNING;
}

ZELRESULT CKTUMSModule::CreateSettingsManager(ISettingsManager** ppManager) {
    return m_SettingsMgrHelper.Create(ppManager);
}

void CKTUMSModule::InitializeDebugOutput() {
    std::optional<DWORD> dwOverride;
    ISettingsManager* pManager = nullptr;
    if (ZEL_SUCCEEDED(CreateSettingsManager(&pManager))) {
        DWORD dwMask = 0;
        // The helper takes the manager over and releases it.
        if (CLcSettingsHelper::GetDword(pManager, GATEWARDEN_PRIVATE_KEY_NAME, GATEWARDEN_DEBUG_OUTPUT,
                                        &dwMask) == ZEL_SUCCESS) {
            dwOverride = dwMask;
        }
    }
    g_DebugOutput.Construct(ServiceName().c_str(), dwOverride);
    g_CrashHandler.LoadOptions();
}

bool CKTUMSModule::DecideStart() {
    DWORD dwState = GW_STATE_ERROR_UNKNOWN;
    getGWState(&dwState, GW_STATE_ERROR_UNKNOWN);
    switch (dwState) {
        case GW_STATE_OFF:
        case GW_STATE_ERROR_OFF:
            if (setServiceLoadTime(SERVICE_KEY, SERVICE_DEMAND_START)) {
                DebugOut2(DBG_CAT_MODULE,
                          u"CKTUMSModule::Create(): eCurrentState is GW_STATE_OFF or GW_STATE_ERROR_OFF. "
                          u"Exiting...\n");
            } else {
                DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::Create(): setServiceLoadTime() failed\n");
            }
            return false;
        case GW_STATE_UPDATING:
            DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::Create(): Attempt to start while updating, exiting\n");
            return false;
        case GW_STATE_ERROR_UNKNOWN:
            DebugOut2(DBG_CAT_MODULE,
                      u"CKTUMSModule::Create(): Attempt to start while in unknown error state, exiting\n");
            return false;
        case GW_STATE_ON:
        case GW_STATE_ERROR_ON:
            if (!setServiceLoadTime(SERVICE_KEY, SERVICE_AUTO_START)) {
                DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::Create(): setServiceLoadTime() failed\n");
                return false;
            }
            break;
        default:
            DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::Create(): Intended state unknown (%d)\n", dwState);
            return false;
    }
    DWORD dwDriverError = 0;
    if (!getDriverErrorState(&dwDriverError)) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::ServiceStartThread(): getDriverErrorState() failed\n");
        return false;
    }
    switch (dwDriverError) {
        case GW_DRIVER_ERROR_NONE:
        case GW_DRIVER_ERROR_START_FAILED:
            return true;
        case GW_DRIVER_ERROR_LOAD_INCOMPLETE:
            setGWState(GW_STATE_ERROR_ON);
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::ServiceStartThread(): Driver error state on, exiting\n");
            return false;
        default:
            DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::Create(): Unhandled driver error state, exiting\n");
            return false;
    }
}

bool CKTUMSModule::BringUpDriver() {
    // From here until the channel is open, a crash leaves the marker that refuses the next load.
    setDriverErrorState(GW_DRIVER_ERROR_LOAD_INCOMPLETE);
    if (!m_pComponents->OpenDriverChannel()) {
        DWORD dwLoadError = GW_DRIVER_ERROR_LOAD_INCOMPLETE;
        if (!m_pComponents->LoadDriver(&dwLoadError)) {
            DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::ServiceStartThread(): loadDriver() failed\n");
            setDriverErrorState(dwLoadError);
            return false;
        }
        if (!m_pComponents->OpenDriverChannel()) {
            DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::ServiceStartThread(): openDriverChannel() failed\n");
            setDriverErrorState(GW_DRIVER_ERROR_NONE);
            return false;
        }
    }
    setDriverErrorState(GW_DRIVER_ERROR_NONE);
    return true;
}

bool CKTUMSModule::Create() {
    if (!StartEventManager()) {
        // The debug log is not up yet: nothing can be logged.
        CRegistryKey reg;
        DWORD dwFallback = 0;
        const bool bRead = reg.Open(HKEY_LOCAL_MACHINE, PRODUCT_KEY, KEY_READ) &&
                           reg.GetDword(u"FallbackAction", &dwFallback);
        m_dwFallbackAction =
            bRead && dwFallback == FALLBACK_STOP_DRIVER ? FALLBACK_STOP_DRIVER : FALLBACK_KEEP_DRIVER;
        return false;
    }
    InitializeDebugOutput();
    DebugOut3(DBG_CAT_MODULE, u"CKTUMSModule::Create(): KTUMS starting.\n");
    ISettingsManager* pManager = nullptr;
    const ZELRESULT zr = CreateSettingsManager(&pManager);
    if (!ZEL_SUCCEEDED(zr)) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::Create(): m_SettingsMgrHelper.Create() != S_OK, 0x%08X\n",
                  static_cast<DWORD>(zr));
        return false;
    }
    m_SettingsMgr = CComPtr<ISettingsManager>::Attach(pManager);
    m_pComponents->SetSettingsManager(m_SettingsMgr.Get());
    if (!m_pComponents->CreateEventProvider()) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::Create(): event provider initialize failed \n");
        return false;
    }
    if (!m_pComponents->InitializeNotificationSender()) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::Create(): CNotifyEventSender::Initialize() failed\n");
        return false;
    }
    if (!DecideStart()) {
        return false;
    }
    if (!m_pComponents->InitializeChannelSubscriber()) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::ServiceStartThread(): m_ChannelSubscriber.Initialize() failed\n");
        return false;
    }
    if (!BringUpDriver()) {
        return false;
    }
    if (!m_pComponents->CreatePolicyEventListener()) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::ServiceStartThread(): m_PolicyEventListener.Create() failed\n");
        return false;
    }
    for (int nListener = 0; nListener < MSI_QUERY_LISTENERS; ++nListener) {
        if (!m_pComponents->CreateMSIQueryListener(nListener)) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::ServiceStartThread(): m_MSIQueryListeners.Create() failed\n");
            return false;
        }
    }
    if (!m_pComponents->StartListeningForMessages()) {
        DebugOut1(
            DBG_CAT_MODULE,
            u"CKTUMSModule::ServiceStartThread(): m_ChannelSubscriber.StartListeningForMessages() failed\n");
        return false;
    }
    if (!m_pComponents->ActivateDriver()) {
        return false;
    }
    if (!m_pComponents->CreateConfigurationCompiler()) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::Create(): configuration compiler initialize failed \n");
        return false;
    }
    if (m_pComponents->ForceSettingsRefresh() != 1) {
        DebugOut2(DBG_CAT_MODULE, u"CKTUMSModule::Create(): failed to force settings refresh\n");
    }
    setGWState(GW_STATE_ON);
    LoadKTFramework();
    return true;
}

void CKTUMSModule::ReportStopStep() {
    ReportStopPending(STOP_WAIT_HINT_MS, ++m_dwCheckPoint);
}

void CKTUMSModule::Destroy() {
    ReportStopStep();
    DWORD dwState = GW_STATE_ERROR_UNKNOWN;
    getGWState(&dwState, GW_STATE_ERROR_UNKNOWN);
    switch (dwState) {
        case GW_STATE_OFF:
        case GW_STATE_ERROR_OFF:
            m_FinalState = dwState;
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::Shutdown(): Stop event received: eCurrentState(%d), m_FinalState(%d)\n",
                      dwState, m_FinalState);
            break;
        case GW_STATE_ON:
        case GW_STATE_ERROR_UNKNOWN:
            setGWState(GW_STATE_ERROR_OFF);
            m_FinalState = GW_STATE_OFF;
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::Destroy(): Stop event received: eCurrentState(%d), m_FinalState(%d)\n",
                      dwState, m_FinalState);
            break;
        case GW_STATE_UPDATING:
            setGWState(GW_STATE_ERROR_OFF);
            m_FinalState = GW_STATE_OFF;
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::Shutdown(): Stop event received while in state GW_STATE_UPDATING!: "
                      u"eCurrentState(%d), "
                      u"m_FinalState(%d)\n",
                      dwState, m_FinalState);
            break;
        case GW_STATE_ERROR_ON:
            setGWState(GW_STATE_ERROR_OFF);
            m_FinalState = GW_STATE_ERROR_OFF;
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::Shutdown(): Stop event received: eCurrentState(%d), m_FinalState(%d)\n",
                      dwState, m_FinalState);
            break;
        default:
            m_FinalState = GW_STATE_OFF;
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::Shutdown(): Stop event received in unknown or error state: "
                      u"eCurrentState(%d), "
                      u"m_FinalState(%d)\n",
                      dwState, m_FinalState);
            break;
    }
    ReportStopStep();
    if (m_dwFallbackAction == FALLBACK_NONE) {
        if (!setServiceLoadTime(SERVICE_KEY, SERVICE_DEMAND_START)) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::Shutdown(): setServiceLoadTime() failed during shutdown\n");
        }
    } else {
        m_FinalState = GW_STATE_ON;
    }
    ReportStopStep();
    if (m_dwFallbackAction == FALLBACK_KEEP_DRIVER) {
        m_pComponents->ShutdownDriver(false);
        setServiceLoadTime(DRIVER_SERVICE_KEY, SERVICE_SYSTEM_START);
    } else {
        m_pComponents->ShutdownDriver(true);
    }
    ReportStopStep();
    m_pComponents->DestroyConfigurationCompiler();
    ReportStopStep();
    m_pComponents->StopTrackingManifestFolder(MANIFEST_STOP_TIMEOUT_MS);
    for (int nReport = 0; nReport < 3; ++nReport) {  // the step's own report and two further ones
        ReportStopStep();
    }
    ReportStopStep();
    UnloadKTFramework();
    ReportStopStep();
    m_pComponents->DestroyNotificationSender();
    ReportStopStep();
    m_pComponents->DestroyEventProvider();
    ReportStopStep();
    setGWState(m_FinalState);
    ReportStopStep();
    m_SettingsMgr.Release();
}

// One DWORD of GATEWARDEN\PRIVATE. An absent key or value is ZEL_E_NOT_FOUND; *pbKeyFailed tells
// whether opening the key or reading the value failed.
ZELRESULT CKTUMSModule::ReadPrivateDword(const char16_t* szName, DWORD* pdwValue, bool* pbKeyFailed) {
    CComPtr<ISettings> pSettings;
    *pbKeyFailed = true;
    const ZELRESULT zr = m_SettingsMgr->GetSettings(GATEWARDEN_PRIVATE_KEY_NAME, &pSettings);
    if (!ZEL_SUCCEEDED(zr)) {
        return zr;
    }
    *pbKeyFailed = false;
    return pSettings->GetDword(szName, pdwValue);
}

// Writes one DWORD of GATEWARDEN\PRIVATE; *pnStep is the step that failed (0 open, 1 put, 2 commit).
ZELRESULT CKTUMSModule::WritePrivateDword(const char16_t* szName, DWORD dwValue, int* pnStep) {
    CComPtr<ISettings> pSettings;
    *pnStep = 0;
    ZELRESULT zr = m_SettingsMgr->CreateSettings(GATEWARDEN_PRIVATE_KEY_NAME, &pSettings);
    if (ZEL_SUCCEEDED(zr)) {
        *pnStep = 1;
        zr = pSettings->PutDword(szName, dwValue);
    }
    if (ZEL_SUCCEEDED(zr)) {
        *pnStep = 2;
        zr = m_SettingsMgr->PutSettings(pSettings.Get());
    }
    return zr;
}

bool CKTUMSModule::getGWState(DWORD* pdwState, DWORD dwDefault) {
    *pdwState = dwDefault;
    if (!m_SettingsMgr) {
        return false;
    }
    bool bKeyFailed = false;
    DWORD dwState = dwDefault;
    const ZELRESULT zr = ReadPrivateDword(GATEWARDEN_CURRENT_STATE, &dwState, &bKeyFailed);
    if (zr == ZEL_E_NOT_FOUND) {
        return true;
    }
    if (!ZEL_SUCCEEDED(zr)) {
        if (bKeyFailed) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::getGWState() - m_pSettingsManager->GetSettings() failed (0x%08X).\n",
                      static_cast<DWORD>(zr));
        } else {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::getGWState() - pSettings->GetDword() failed (0x%08X).\n",
                      static_cast<DWORD>(zr));
        }
        return false;
    }
    *pdwState = dwState;
    return true;
}

bool CKTUMSModule::setGWState(DWORD dwState) {
    if (!m_SettingsMgr) {
        return false;
    }
    int nStep = 0;
    const ZELRESULT zr = WritePrivateDword(GATEWARDEN_CURRENT_STATE, dwState, &nStep);
    if (ZEL_SUCCEEDED(zr)) {
        return true;
    }
    const auto dwCode = static_cast<DWORD>(zr);
    if (nStep == 0) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::setGWState(): m_SettingsMgr->GetSettings(GATEWARDEN_PRIVATE_KEY_NAME) != "
                  u"S_OK, 0x%08X\n",
                  dwCode);
    } else if (nStep == 1) {
        DebugOut1(
            DBG_CAT_MODULE,
            u"CKTUMSModule::setGWState(): pSettings->PutDword(GATEWARDEN_CURRENT_STATE) != S_OK, 0x%08X\n",
            dwCode);
    } else {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::setGWState(): m_SettingsMgr->PutSettings(GATEWARDEN_CURRENT_STATE) != "
                  u"S_OK, 0x%08X\n",
                  dwCode);
    }
    return false;
}

bool CKTUMSModule::getDriverErrorState(DWORD* pdwValue) {
    *pdwValue = GW_DRIVER_ERROR_NONE;
    if (!m_SettingsMgr) {
        return false;
    }
    bool bKeyFailed = false;
    DWORD dwValue = GW_DRIVER_ERROR_NONE;
    const ZELRESULT zr = ReadPrivateDword(GATEWARDEN_DRIVER_ERROR_STATE, &dwValue, &bKeyFailed);
    if (zr == ZEL_E_NOT_FOUND) {
        return true;
    }
    if (!ZEL_SUCCEEDED(zr)) {
        if (bKeyFailed) {
            DebugOut1(
                DBG_CAT_MODULE,
                u"CKTUMSModule::getDriverErrorState() - m_pSettingsManager->GetSettings() failed (0x%08X).\n",
                static_cast<DWORD>(zr));
        } else {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::getDriverErrorState() - pSettings->GetDword() failed (0x%08X).\n",
                      static_cast<DWORD>(zr));
        }
        return false;
    }
    *pdwValue = dwValue;
    return true;
}

bool CKTUMSModule::setDriverErrorState(DWORD dwValue) {
    if (!m_SettingsMgr) {
        return false;
    }
    int nStep = 0;
    const ZELRESULT zr = WritePrivateDword(GATEWARDEN_DRIVER_ERROR_STATE, dwValue, &nStep);
    if (ZEL_SUCCEEDED(zr)) {
        return true;
    }
    const auto dwCode = static_cast<DWORD>(zr);
    if (nStep == 0) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::setDriverErrorState(): "
                  u"m_SettingsMgr->GetSettings(GATEWARDEN_PRIVATE_KEY_NAME) != S_OK, "
                  u"0x%08X\n",
                  dwCode);
    } else if (nStep == 1) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::setDriverErrorState(): pSettings->PutDword(GATEWARDEN_DRIVER_ERROR_STATE) "
                  u"!= S_OK, "
                  u"0x%08X\n",
                  dwCode);
    } else {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::setDriverErrorState(): m_SettingsMgr->PutSettings() != S_OK, 0x%08X\n",
                  dwCode);
    }
    return false;
}

bool CKTUMSModule::setServiceLoadTime(const char16_t* szServiceKey, DWORD dwStartType) {
    CRegistryKey reg;
    if (!reg.Open(HKEY_LOCAL_MACHINE, szServiceKey, KEY_SET_VALUE)) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::setServiceLoadTime - RegKey.Open failed\n");
        return false;
    }
    if (!reg.SetDword(u"Start", dwStartType)) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::setServiceLoadTime - RegKey.SetNumber failed (0x%08X)\n",
                  platform::GetLastError());
        return false;
    }
    return true;
}

void CKTUMSModule::LoadKTFramework() {
    if (m_hFramework == nullptr) {
        m_hFramework = platform::LoadLibraryEx(KT_FRAMEWORK_DLL, platform::LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    auto pfnGetFactory =
        m_hFramework != nullptr
            ? reinterpret_cast<PFN_GET_FACTORY>(platform::GetProcAddress(m_hFramework, "GetFactory"))
            : nullptr;
    const bool bCount =
        m_hFramework != nullptr && platform::GetProcAddress(m_hFramework, "GetObjectCount") != nullptr;
    if (pfnGetFactory == nullptr || !bCount) {
        if (m_hFramework != nullptr) {
            platform::FreeLibrary(m_hFramework);
            m_hFramework = nullptr;
        }
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::LoadKTFramework(): Cannot load KTFrameworkDll (%s)\n",
                  KT_FRAMEWORK_DLL);
        return;
    }
    CComPtr<IClassFactory> pFactory;
    IKTFramework* pFramework = nullptr;
    if (!ZEL_SUCCEEDED(pfnGetFactory(&CLSID_KTFramework, &pFactory)) || !pFactory ||
        FAILED(pFactory->CreateInstance(nullptr, IID_IKTFramework, reinterpret_cast<void**>(&pFramework))) ||
        pFramework == nullptr) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::LoadKTFramework(): Cannot create the KTFramework interface\n");
        return;
    }
    m_pFramework = CComPtr<IKTFramework>::Attach(pFramework);
    if (FAILED(m_pFramework->LoadServices())) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::LoadKTFramework(): Cannot load KTFramework services\n");
    }
}

void CKTUMSModule::UnloadKTFramework() {
    if (m_pFramework) {
        m_pFramework->UnloadServices();
        m_pFramework.Release();
    }
}
