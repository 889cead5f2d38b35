#include "compiler/configuration_compiler.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string_view>
#include <vector>

#include "compiler/authorization_config_plugin.h"
#include "compiler/ic_nodes.h"
#include "compiler/legacy_install_config_plugin.h"
#include "compiler/start_stop_config_plugin.h"
#include "diagnostics/user_debug_output.h"
#include "manifest/manifest_plugin.h"
#include "platform/file.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "service/installed_apps.h"

namespace {

// The event library's object and interface id of its event factory are the same.
constexpr GUID EVENT_FACTORY_ID = {
    0xC525ED66, 0x4C4D, 0x43E6, {0x94, 0x4C, 0xE3, 0x13, 0x3E, 0x77, 0x6F, 0x96}};

template <typename T>
std::unique_ptr<CBaseConfigCompilerPlugin> MakePlugin(const SettingsManagerFactory& createSettings) {
    return std::make_unique<T>(createSettings);
}

// A section's data; the time goes to rules, since only a rule node's data takes time to make.
bool TimedGetData(CICNode& node, const BYTE*& pData, DWORD& cbData, CErrorStack& errorStack,
                  std::chrono::steady_clock::duration& rules) {
    const auto start = std::chrono::steady_clock::now();
    const bool bOk = node.GetData(pData, cbData, &errorStack);
    rules += std::chrono::steady_clock::now() - start;
    return bOk;
}

// A name the compiler gives its files: YYYY-MM-DD-xxxx.kc.
bool IsKCFileName(std::u16string_view sName) {
    static constexpr std::u16string_view SHAPE = u"0000-00-00-xxxx.kc";
    if (sName.size() != SHAPE.size()) {
        return false;
    }
    for (std::size_t i = 0; i < SHAPE.size(); ++i) {
        const char16_t ch = sName[i];
        const bool bFits = SHAPE[i] == u'0'   ? (ch >= u'0' && ch <= u'9')
                           : SHAPE[i] == u'x' ? ((ch >= u'0' && ch <= u'9') || (ch >= u'a' && ch <= u'f'))
                                              : ch == SHAPE[i];
        if (!bFits) {
            return false;
        }
    }
    return true;
}

}  // namespace

void MergeIntoEventErrorStack(IKTErrorStack* pEventStack, const CErrorStack& errorStack) {
    for (const CErrorStack::Entry& entry : errorStack.Entries()) {
        pEventStack->Add(static_cast<LONG>(entry.dwSeverity), entry.sText.c_str());
    }
    pEventStack->FoldStatus(static_cast<LONG>(errorStack.Status()));
}

CKTConfigurationCompiler::CKTConfigurationCompiler(IConfigCompilerCallback* pOwner,
                                                   IEventBridgeSource* pSource,
                                                   SettingsManagerFactory createSettings,
                                                   CNotifyEventSender* pNotifySender)
    : m_CreateSettings(std::move(createSettings)),
      m_pOwner(pOwner),
      m_pSource(pSource),
      m_Reconnector(pSource, u"CKTConfigurationCompiler::CheckConnection()",
                    u"answers to configuration changes", DBG_CAT_COMPILER),
      m_pNotifySender(pNotifySender),
      m_EventThread(this) {}

CKTConfigurationCompiler::~CKTConfigurationCompiler() {
    Destroy();
}

bool CKTConfigurationCompiler::Create() {
    DebugOut3(DBG_CAT_COMPILER, u"CKTConfigurationCompiler::Create() - create call received\n");
    Destroy();
    bool bResult = false;
    ZELRESULT zr = ZEL_SUCCESS;
    if (!m_EventSignal.IsCreated() && !m_EventSignal.Create(nullptr, false, false)) {
        DebugOut1(DBG_CAT_COMPILER, u"CKTConfigurationCompiler::Create() :  failed to create event signal\n");
    } else if (!m_EventThread.Create(nullptr, 0, 0)) {
        DebugOut1(DBG_CAT_COMPILER, u"CKTConfigurationCompiler::Create() :  failed to create event thread\n");
    } else if (zr = m_pSource->CreateEventFactory(&m_EventFactoryLoader, &m_pEventFactory);
               !ZEL_SUCCEEDED(zr) || !m_pEventFactory) {
        DebugOut1(
            DBG_CAT_COMPILER,
            u"CKTConfigurationCompiler::Create() :  m_EventFactoryLoader.CreateObject() != S_OK, 0x%08X\n",
            static_cast<DWORD>(zr));
    } else if (zr = m_pSource->CreateProxyFactory(&m_ProxyFactoryLoader, &m_pProxyFactory);
               !ZEL_SUCCEEDED(zr) || !m_pProxyFactory) {
        DebugOut1(
            DBG_CAT_COMPILER,
            u"CKTConfigurationCompiler::Create() : m_ProxyFactoryLoader.CreateObject() != S_OK, 0x%08X\n",
            static_cast<DWORD>(zr));
    } else {
        std::lock_guard lock(m_ConnectionLock);
        const eSubscribeResult eResult = Subscribe();
        if (eResult == CONNECT_FAILED) {
            DebugOut1(DBG_CAT_COMPILER,
                      u"CKTConfigurationCompiler::Create() : m_EventManagerHelper.Create() == FALSE\n");
        } else if (eResult == SUBSCRIBE_FAILED) {
            DebugOut1(
                DBG_CAT_COMPILER,
                u"CKTConfigurationCompiler::Create() : zuZazEzi::CSubscriberHelper::Create() == FALSE\n");
        } else {
            m_bConnectionClosed = false;
            m_Reconnector.Connected();
            bResult = true;
        }
    }
    if (!bResult) {
        Destroy();
        return false;
    }
    DebugOut3(DBG_CAT_COMPILER, u"CKTConfigurationCompiler::Create() - create succeeded\n");
    return true;
}

CKTConfigurationCompiler::eSubscribeResult CKTConfigurationCompiler::Subscribe() {
    static constexpr KT_SUBSCRIPTION CONFIG_SUBSCRIPTION = {CONFIG_EVENT_TYPE, 512, nullptr, 0, 0, 0};
    m_EventManagerHelper = ConnectEventManager(m_pSource, m_pEventFactory.Get(), m_pProxyFactory.Get());
    if (!m_EventManagerHelper) {
        return CONNECT_FAILED;
    }
    return CSubscriberHelper::Create(m_EventManagerHelper.Get(), &CONFIG_SUBSCRIPTION, 1) ? SUBSCRIBED
                                                                                          : SUBSCRIBE_FAILED;
}

void CKTConfigurationCompiler::CheckConnection() {
    bool bResubscribed = false;
    {
        std::lock_guard lock(m_ConnectionLock);
        if (m_bConnectionClosed) {
            return;
        }
        m_Reconnector.Check(m_EventManagerHelper.Get(), [&] {
            bResubscribed = Subscribe() == SUBSCRIBED;
            return bResubscribed;
        });
    }
    if (bResubscribed) {
        m_pOwner->RequestSettingsRefresh();
    }
}

LONG CKTConfigurationCompiler::CommitAnswer(IKTEvent* pEvent) {
    std::lock_guard lock(m_ConnectionLock);
    const LONG nCommit = CommitEvent(pEvent);
    if (nCommit != CError::eNoError && m_EventManagerHelper && !m_EventManagerHelper->IsConnected()) {
        m_Reconnector.CountDropped();
    }
    return nCommit;
}

void CKTConfigurationCompiler::Destroy() {
    {
        std::lock_guard lock(m_ConnectionLock);
        m_bConnectionClosed = true;
        UnregisterAll();
        m_EventManagerHelper.Release();
    }
    m_pProxyFactory.Release();
    m_pEventFactory.Release();
    m_EventThread.SignalTermination();
    m_EventThread.Terminate(INFINITE);
    if (m_EventSignal.IsCreated()) {
        m_EventSignal.ResetEvent();
    }
    {
        std::lock_guard lock(m_EventLock);
        m_pPendingEvent.Release();
    }
    m_pCachedConfiguration.reset();
}

LONG STDMETHODCALLTYPE CKTConfigurationCompiler::OnEvent(LONG, IKTEvent* pEvent, LONG* pnAction) {
    *pnAction = 0;
    IKTEvent* pCopy = nullptr;
    const LONG nCopy = m_pEventFactory ? m_pEventFactory->CopyEvent(pEvent, &pCopy) : CError::eFailure;
    CComPtr<IKTEvent> pHeld = CComPtr<IKTEvent>::Attach(pCopy);
    if (nCopy != CError::eNoError || !pHeld) {
        DebugOut1(DBG_CAT_COMPILER, u"CKTConfigurationCompiler::OnEvent() : failed to copy event\n");
        *pnAction = 1;
        return CError::eFailure;
    }
    IKTConfigEvent* pConfigEvent = nullptr;
    if (pHeld->QueryInterface(IID_IKTConfigEvent, reinterpret_cast<void**>(&pConfigEvent)) < 0 ||
        pConfigEvent == nullptr) {
        DebugOut1(DBG_CAT_COMPILER,
                  u"CKTConfigurationCompiler::OnEvent() : received unexpected event type\n");
        *pnAction = 1;
        return CError::eFailure;
    }
    CComPtr<IKTConfigEvent> pConfig = CComPtr<IKTConfigEvent>::Attach(pConfigEvent);
    bool bStored = false;
    {
        std::lock_guard lock(m_EventLock);
        if (!m_pPendingEvent) {
            m_pPendingEvent = std::move(pConfig);
            m_EventSignal.SetEvent();
            bStored = true;
        }
    }
    if (!bStored) {
        DebugOut1(DBG_CAT_COMPILER, u"CKTConfigurationCompiler::OnEvent() : already processing event\n");
        *pnAction = 1;
    }
    return CError::eNoError;
}

void CKTConfigurationCompiler::AddPlugin(
    const char16_t* szClassName,
    std::unique_ptr<CBaseConfigCompilerPlugin> (*make)(const SettingsManagerFactory&), ULONG* pnCount) {
    std::unique_ptr<CBaseConfigCompilerPlugin> pPlugin;
    try {
        pPlugin = make(m_CreateSettings);
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_COMPILER, u"CKTConfigurationCompiler::CreatePlugins() - %s allocate failed: %S\n",
                  szClassName, e.what());
        return;
    }
    if (!pPlugin->Initialize()) {
        DebugOut1(DBG_CAT_COMPILER, u"CKTConfigurationCompiler::CreatePlugins() - %s->Initialize failed\n",
                  szClassName);
        pPlugin->Uninitialize();
        return;
    }
    DebugOut3(DBG_CAT_COMPILER, u"CKTConfigurationCompiler::CreatePlugins() - Created plugin %s\n",
              szClassName);
    m_pPlugins[*pnCount] = std::move(pPlugin);
    ++*pnCount;
}

ULONG CKTConfigurationCompiler::CreatePlugins() {
    ULONG nCount = 0;
    AddPlugin(u"CStartStopConfigPlugin", &MakePlugin<CStartStopConfigPlugin>, &nCount);
    AddPlugin(u"CLegacyInstallConfigPlugin", &MakePlugin<CLegacyInstallConfigPlugin>, &nCount);
    for (const auto& [szClassName, pfnMake] :
         {std::pair{u"CManifestConfigCompilerPlugin", &MakePlugin<CManifestConfigCompilerPlugin>},
          std::pair{u"CAuthorizationConfigPlugin", &MakePlugin<CAuthorizationConfigPlugin>}}) {
        if (nCount >= PLUGIN_SLOTS) {
            DebugOut1(DBG_CAT_COMPILER,
                      u"CKTConfigurationCompiler::CreatePlugins() - not enough room for %s\n", szClassName);
            continue;
        }
        AddPlugin(szClassName, pfnMake, &nCount);
    }
    return nCount;
}

void CKTConfigurationCompiler::Notify(HRESULT hr) {
    try {
        const DWORD dwCode = hr >= 0 ? NOTIFY_CONFIG_SUCCEEDED : NOTIFY_CONFIG_FAILED;
        const std::u16string sText = platform::Format(u"hr=0x%08X", static_cast<DWORD>(hr));
        SYSTEMTIME now{};
        platform::GetLocalTime(&now);
        if (m_pNotifySender != nullptr) {
            m_pNotifySender->EnqueueEventInternal(dwCode, sText.c_str(), now);
        } else {
            CNotifyEventSender::EnqueueEvent(dwCode, sText.c_str(), now);
        }
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_COMPILER,
                  u"CKTConfigurationCompiler::EventThread::Run() - Atl exception while sending notification "
                  u"message "
                  u"(%#08X)\n",
                  static_cast<DWORD>(E_OUTOFMEMORY));
    }
}

HRESULT CKTConfigurationCompiler::UpdateConfig(CErrorStack& errorStack) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    std::unique_ptr<CIntermediateConfiguration> pNewConfig;
    bool bCreateNewIC = false;
    try {
        pNewConfig = std::make_unique<CIntermediateConfiguration>();
        if (!m_pCachedConfiguration) {
            m_pCachedConfiguration = std::make_unique<CIntermediateConfiguration>();
            bCreateNewIC = true;
        }
    } catch (const std::bad_alloc& e) {
        DebugOut1(
            DBG_CAT_COMPILER,
            u"CKTConfigurationCompiler::UpdateConfig() - Failed to allocate cached configuration (%S)\n",
            e.what());
        return E_OUTOFMEMORY;
    }
    if (!m_pPlugins) {
        DebugOut1(DBG_CAT_COMPILER, u"CKTConfigurationCompiler::UpdateConfig() - Invalid plugin array\n");
        return E_FAIL;
    }
    bool bChanged = false;
    for (ULONG nSlot = 0; nSlot < PLUGIN_SLOTS; ++nSlot) {
        CBaseConfigCompilerPlugin* pPlugin = m_pPlugins[nSlot].get();
        if (pPlugin == nullptr) {
            continue;
        }
        const CIntermediateConfiguration* pIC = nullptr;
        if (pPlugin->GetIC(bCreateNewIC, &pIC, errorStack)) {
            bChanged = true;
        }
        if (pIC == nullptr) {
            DebugOut2(DBG_CAT_COMPILER,
                      u"CKTConfigurationCompiler::UpdateConfig() - plugin %s returned no IC\n",
                      pPlugin->GetName());
        } else if (!pNewConfig->Combine(*pIC)) {
            DebugOut1(DBG_CAT_COMPILER,
                      u"CKTConfigurationCompiler::UpdateConfig() - plugin %s's IC failed to combine\n",
                      pPlugin->GetName());
        }
    }
    if (!bChanged) {
        errorStack.AddInfo(u"No configuration changes--using cached configuration");
        return S_OK;
    }
    for (const auto& [dwSectionId, pNode] : pNewConfig->Nodes()) {
        if (pNode && pNode->GetType() == IC_NODE_SHUTDOWN) {
            m_pOwner->RequestStop();
            m_EventThread.SignalTermination();
            errorStack.AddInfo(u"Shutting down component");
            return S_OK;
        }
    }
    if (!m_pCachedConfiguration->Update(*pNewConfig)) {
        errorStack.AddError(u"Configuration update failed");
        return E_FAIL;
    }
    static constexpr const char16_t* WRITE_FAILED = u"Failed to create configuration data";
    CCompilationTimes times;
    const Clock::time_point writeStart = Clock::now();
    times.configuration = writeStart - start;
    CKTDataFile file;
    std::u16string sPath;
    if (!CreateKCFile(file, sPath)) {
        DebugOut1(DBG_CAT_COMPILER, u"CKTConfigurationCompiler::UpdateConfig() - couldn't create KC file\n");
        m_pCachedConfiguration.reset();
        errorStack.AddError(WRITE_FAILED);
        times.kcFile = Clock::now() - writeStart;
        ReportTimes(times, E_FAIL);
        return E_FAIL;
    }
    HRESULT hr = S_OK;
    DWORD dwSections = 0;
    for (const auto& [dwSectionId, pNode] : m_pCachedConfiguration->Nodes()) {
        if (!pNode) {
            continue;
        }
        const BYTE* pData = nullptr;
        DWORD cbData = 0;
        if (dwSections >= MAX_SECTIONS) {
            DebugOut1(DBG_CAT_COMPILER,
                      u"CKTConfigurationCompiler::UpdateConfig() - attempted to add too many sections to KC "
                      u"file\n");
            hr = E_FAIL;
        } else if (!TimedGetData(*pNode, pData, cbData, errorStack, times.rules)) {
            DebugOut1(DBG_CAT_COMPILER,
                      u"CKTConfigurationCompiler::UpdateConfig() - failed to get data for section %08x\n",
                      dwSectionId);
            hr = E_FAIL;
        } else if (cbData > MAX_SECTION_DATA) {
            DebugOut1(DBG_CAT_COMPILER,
                      u"CKTConfigurationCompiler::UpdateConfig() - data for section %08x exceeded limit\n",
                      dwSectionId);
            hr = E_FAIL;
        } else if (file.AddSection(dwSectionId, pData, cbData) < 0) {
            DebugOut1(DBG_CAT_COMPILER,
                      u"CKTConfigurationCompiler::UpdateConfig() - failed to write data for section %08x\n",
                      dwSectionId);
            hr = E_FAIL;
        }
        if (hr < 0) {
            errorStack.AddError(WRITE_FAILED);
            break;
        }
        ++dwSections;
    }
    if (hr >= 0 && file.Close() < 0) {
        DebugOut1(DBG_CAT_COMPILER, u"CKTConfigurationCompiler::UpdateConfig() - failed to commit data\n");
        errorStack.AddError(WRITE_FAILED);
        hr = E_FAIL;
    }
    if (hr < 0) {
        m_pCachedConfiguration.reset();
        if (file.IsOpen()) {
            file.CFile::Close();
        }
        DeleteKCFile(file, sPath);
        times.kcFile = Clock::now() - writeStart - times.rules;
        ReportTimes(times, hr);
        return hr;
    }
    times.kcFile = Clock::now() - writeStart - times.rules;
    const Clock::time_point deliveryStart = Clock::now();
    hr = m_pOwner->SendConfigNotification(sPath, errorStack);
    times.delivery = Clock::now() - deliveryStart;
    if (hr >= 0) {
        RemoveStaleKCFiles(sPath);
    } else {
        // The driver keeps what it had: nothing compiled here may pass for the configuration in force.
        m_pCachedConfiguration.reset();
        if (hr == E_FAIL) {
            // Refused outright, so the driver does not hold it.
            DeleteKCFile(file, sPath);
        }
    }
    ReportTimes(times, hr);
    return hr;
}

void CKTConfigurationCompiler::RemoveStaleKCFiles(const std::u16string& sInForce) {
    const std::size_t nSlash = sInForce.rfind(u'\\');
    if (nSlash == std::u16string::npos) {
        return;
    }
    const std::u16string sDirectory = sInForce.substr(0, nSlash);
    std::vector<std::u16string> names;
    if (!platform::ListFiles(sDirectory.c_str(), &names)) {
        DebugOut1(DBG_CAT_COMPILER,
                  u"CKTConfigurationCompiler::RemoveStaleKCFiles() - cannot list %s (%#08X)\n", sDirectory,
                  platform::GetLastError());
        return;
    }
    for (const std::u16string& sName : names) {
        const std::u16string sPath = sDirectory + u"\\" + sName;
        if (!IsKCFileName(sName) || platform::EqualNoCase(sPath, sInForce)) {
            continue;
        }
        if (platform::DeleteFile(sPath.c_str())) {
            DebugOut3(DBG_CAT_COMPILER,
                      u"CKTConfigurationCompiler::RemoveStaleKCFiles() - deleted stale KC file %s\n", sPath);
        } else {
            DebugOut1(DBG_CAT_COMPILER,
                      u"CKTConfigurationCompiler::RemoveStaleKCFiles() - unable to delete stale KC file %s "
                      u"(%#08X)\n",
                      sPath, platform::GetLastError());
        }
    }
}

void CKTConfigurationCompiler::ReportTimes(const CCompilationTimes& times, HRESULT hr) {
    if (m_pObserver != nullptr) {
        m_pObserver->OnCompiled(times, hr);
    }
}

bool CKTConfigurationCompiler::CreateKCFile(CKTDataFile& file, std::u16string& sPath) {
    if (file.IsOpen()) {
        DebugOut1(DBG_CAT_COMPILER,
                  u"CKTConfigurationCompiler::CreateKCFile() - the provided file object was in use\n");
        return false;
    }
    sPath.clear();
    if (!CInstalledApps::GetKTDirectory(&sPath)) {
        DebugOut1(DBG_CAT_COMPILER,
                  u"CKTConfigurationCompiler::CreateKCFile() - failed to get KRELL directory\n");
        return false;
    }
    const std::time_t tNow = std::time(nullptr);
    char szDate[128] = "";
    std::tm local{};
    if (localtime_r(&tNow, &local) == nullptr ||
        std::strftime(szDate, sizeof(szDate), "\\%Y-%m-%d-", &local) == 0) {
        szDate[0] = '\0';
    }
    for (const char* p = szDate; *p != '\0'; ++p) {
        sPath.push_back(static_cast<char16_t>(*p));
    }
    std::srand(static_cast<unsigned>(static_cast<std::uint64_t>(tNow) & 0xFFFFFFFFu));
    // The names of one second come in the same order, and Open never replaces a file: a name an
    // earlier compilation of this second took (perhaps the file the driver holds) is passed over.
    for (int nAttempt = 0; nAttempt < KC_NAME_ATTEMPTS; ++nAttempt) {
        sPath += platform::Format(u"%04x.kc", static_cast<unsigned>(std::rand() & 0xFFFF));
        if (file.Open(sPath.c_str()) >= 0) {
            return true;
        }
        DebugOut2(DBG_CAT_COMPILER,
                  u"CKTConfigurationCompiler::CreateKCFile() - KC file %s could not be created\n", sPath);
        sPath.resize(sPath.size() - 7);
    }
    sPath.clear();
    DebugOut1(DBG_CAT_COMPILER,
              u"CKTConfigurationCompiler::CreateKCFile() - giving up on creating KC file\n");
    return false;
}

void CKTConfigurationCompiler::DeleteKCFile(CKTDataFile& file, const std::u16string& sPath) {
    if (file.IsOpen()) {
        DebugOut1(DBG_CAT_COMPILER,
                  u"CKTConfigurationCompiler::DeleteKCFile() - the provided file object was in use\n");
        return;
    }
    // Truncated first, so that nothing of a half-made file survives a delete that fails.
    CFile truncate;
    if (truncate.Create(sPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, platform::TRUNCATE_EXISTING,
                        platform::FILE_ATTRIBUTE_NORMAL)) {
        truncate.Close();
    }
    platform::DeleteFile(sPath.c_str());
}

CKTConfigurationCompiler::EventThread::EventThread(CKTConfigurationCompiler* pCompiler)
    : CThread(COptions{false, true, false, APARTMENT_MULTITHREADED, true}), m_pCompiler(pCompiler) {}

CKTConfigurationCompiler::EventThread::~EventThread() = default;

void CKTConfigurationCompiler::EventThread::SignalTermination() {
    if (m_bRunning && m_TerminationSignal.IsCreated()) {
        m_TerminationSignal.SetEvent();
    }
}

bool CKTConfigurationCompiler::EventThread::InitInstance() {
    if (!m_TerminationSignal.IsCreated() && !m_TerminationSignal.Create(nullptr, false, false)) {
        DebugOut1(
            DBG_CAT_COMPILER,
            u"CKTConfigurationCompiler::EventThread::InitInstance() - failed to create termination signal\n");
        return false;
    }
    m_TerminationSignal.ResetEvent();
    try {
        m_pCompiler->m_pPlugins =
            std::make_unique<std::unique_ptr<CBaseConfigCompilerPlugin>[]>(PLUGIN_SLOTS);
    } catch (const std::bad_alloc& e) {
        DebugOut1(
            DBG_CAT_COMPILER,
            u"CKTConfigurationCompiler::EventThread::InitInstance() - failed to allocate plugin array (%S)\n",
            e.what());
        return false;
    }
    const ULONG nCount = m_pCompiler->CreatePlugins();
    if (nCount == 0) {
        DebugOut1(DBG_CAT_COMPILER,
                  u"CKTConfigurationCompiler::EventThread::InitInstance() - failed to create any plugins\n");
        m_pCompiler->m_pPlugins.reset();
        return false;
    }
    if (nCount != PLUGIN_SLOTS) {
        DebugOut2(DBG_CAT_COMPILER,
                  u"CKTConfigurationCompiler::EventThread::InitInstance() - created %i of %i plugins\n",
                  static_cast<int>(nCount), static_cast<int>(PLUGIN_SLOTS));
    }
    m_bRunning = true;
    return true;
}

void CKTConfigurationCompiler::EventThread::ExitInstance() {
    m_bRunning = false;
    if (m_pCompiler->m_pPlugins) {
        for (ULONG nSlot = 0; nSlot < PLUGIN_SLOTS; ++nSlot) {
            if (m_pCompiler->m_pPlugins[nSlot]) {
                m_pCompiler->m_pPlugins[nSlot]->Uninitialize();
                m_pCompiler->m_pPlugins[nSlot].reset();
            }
        }
        m_pCompiler->m_pPlugins.reset();
    }
}

DWORD CKTConfigurationCompiler::EventThread::Run() {
    const HANDLE handles[2] = {m_pCompiler->m_EventSignal.Handle(), m_TerminationSignal.Handle()};
    DebugOut3(DBG_CAT_COMPILER,
              u"CKTConfigurationCompiler::EventThread::Run() - event handler thread starting\n");
    for (;;) {
        // The subscription has to be looked after even while no event comes: it may have gone with the
        // event manager.
        const DWORD dwWait = CMessageLock().LockWithMessagePump(handles, 2, false, CONNECTION_CHECK_MS);
        if (dwWait == WAIT_TIMEOUT) {
            m_pCompiler->CheckConnection();
            continue;
        }
        if (dwWait == WAIT_OBJECT_0 + 1) {
            DebugOut3(DBG_CAT_COMPILER,
                      u"CKTConfigurationCompiler::EventThread::Run() - Received termination signal\n");
            break;
        }
        if (dwWait != WAIT_OBJECT_0) {
            DebugOut1(DBG_CAT_COMPILER,
                      u"CKTConfigurationCompiler::EventThread::Run() - Unknown return from lock: %ux8\n",
                      dwWait);
            break;
        }
        DebugOut3(DBG_CAT_COMPILER,
                  u"CKTConfigurationCompiler::EventThread::Run() - Received event signal\n");
        ProcessEvent();
    }
    return 0;
}

void CKTConfigurationCompiler::EventThread::ProcessEvent() {
    CComPtr<IKTConfigEvent> pEvent;
    {
        std::lock_guard lock(m_pCompiler->m_EventLock);
        pEvent = std::move(m_pCompiler->m_pPendingEvent);
    }
    if (!pEvent) {
        DebugOut2(DBG_CAT_COMPILER,
                  u"CKTConfigurationCompiler::EventThread::Run() - event signal received, but no event\n");
        return;
    }
    CComPtr<IKTErrorStackContainer> pContainer;
    CComPtr<IKTErrorStack> pEventStack;
    IKTErrorStackContainer* pRawContainer = nullptr;
    if (pEvent->QueryInterface(IID_IKTErrorStackContainer, reinterpret_cast<void**>(&pRawContainer)) >= 0 &&
        pRawContainer != nullptr) {
        pContainer = CComPtr<IKTErrorStackContainer>::Attach(pRawContainer);
        IKTErrorStack* pRawStack = nullptr;
        if (pContainer->GetErrorStack(&pRawStack) >= 0 && pRawStack != nullptr) {
            pEventStack = CComPtr<IKTErrorStack>::Attach(pRawStack);
        } else {
            DebugOut1(DBG_CAT_COMPILER,
                      u"CKTConfigurationCompiler::EventThread::Run() - Couldn't get error stack\n");
        }
    } else {
        DebugOut1(DBG_CAT_COMPILER,
                  u"CKTConfigurationCompiler::EventThread::Run() - Couldn't get error stack container\n");
    }
    CErrorStack errorStack;
    const HRESULT hr = m_pCompiler->UpdateConfig(errorStack);
    if (pEventStack) {
        MergeIntoEventErrorStack(pEventStack.Get(), errorStack);
    }
    pEvent->SetResult(hr);
    m_pCompiler->Notify(hr);
    bool bCommitted = true;
    if (pEvent->IsCommitted(&bCommitted) >= 0 && !bCommitted) {
        IKTEvent* pRawEvent = nullptr;
        LONG nCommit = CError::eFailure;
        if (pEvent->QueryInterface(IID_IKTEvent, reinterpret_cast<void**>(&pRawEvent)) >= 0 &&
            pRawEvent != nullptr) {
            CComPtr<IKTEvent> pPlain = CComPtr<IKTEvent>::Attach(pRawEvent);
            nCommit = m_pCompiler->CommitAnswer(pPlain.Get());
        }
        if (nCommit != CError::eNoError) {
            DebugOut1(DBG_CAT_COMPILER,
                      u"CKTConfigurationCompiler::EventThread::Run() - Commit call failed\n");
        }
    }
}
