#include "module/driver_control.h"

#include <new>
#include <string>

#include "compiler/error_stack.h"
#include "diagnostics/user_debug_output.h"
#include "platform/file.h"
#include "platform/service_control.h"
#include "platform/system.h"
#include "service/installed_apps.h"

namespace {

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

CDriverControl::CDriverControl()
    : m_Channel(KTU_CHANNEL_DEVICE_NAME), m_pChannelSubscriber(std::make_unique<CKTKChannelSubscriber>()) {}

CDriverControl::~CDriverControl() {
    if (m_bChannelOpen) {
        m_Channel.Close();
    }
}

void CDriverControl::StopSubscriber() {
    if (m_bChannelOpen) {
        closeDriverChannel();
    }
    if (m_pChannelSubscriber) {
        m_pChannelSubscriber->Stop();
    }
}

void CDriverControl::DestroySubscriber() {
    if (m_bChannelOpen) {
        closeDriverChannel();
    }
    m_pChannelSubscriber.reset();
}

void CDriverControl::ReportStopStep() {
    if (m_pfnReportStopStep) {
        m_pfnReportStopStep();
    }
}

bool CDriverControl::InitializeChannelSubscriber() {
    return m_pChannelSubscriber->Initialize();
}

bool CDriverControl::StartListeningForMessages() {
    return m_pChannelSubscriber->StartListeningForMessages(&m_Channel);
}

bool CDriverControl::openDriverChannel() {
    const DWORD dwResult = m_Channel.Open();
    if (dwResult != 0) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::openDriverChannel(): CKTUMessageChannel->Open() failed, 0x%08X\n",
                  dwResult);
        return false;
    }
    m_bChannelOpen = true;
    return true;
}

bool CDriverControl::closeDriverChannel() {
    const DWORD dwResult = m_Channel.Close();
    m_bChannelOpen = false;
    if (dwResult != 0) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::closeDriverChannel(): CKTUMessageChannel->Close() failed, 0x%08X\n",
                  dwResult);
        return false;
    }
    return true;
}

bool CDriverControl::loadDriver(DWORD* pdwLoadError) {
    return loadDriver(pdwLoadError, true);
}

bool CDriverControl::loadDriver(DWORD* pdwLoadError, bool bMayRestore) {
    *pdwLoadError = DRIVER_LOAD_NO_SERVICE;
    CScHandle manager{platform::OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (manager.h == nullptr) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::loadDriver(): OpenSCManager() failed\n");
        return false;
    }
    CScHandle service{platform::OpenService(manager.h, KRELL_DRIVER_SERVICE_NAME, SERVICE_START)};
    if (service.h == nullptr) {
        const DWORD dwError = platform::GetLastError();
        if (dwError != ERROR_SERVICE_DOES_NOT_EXIST) {
            DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::loadDriver - OpenService() failed: %#08X\n", dwError);
            return false;
        }
        DebugOut2(DBG_CAT_MODULE, u"CKTUMSModule::loadDriver - Driver service removed. Adding...\n");
        // One re-add per call: an SCM that still reports the entry missing must not make this recurse.
        if (!bMayRestore || !restoreDriverService(KRELL_DRIVER_SERVICE_NAME)) {
            DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::loadDriver - Unable to re-add the driver service.\n");
            return false;
        }
        return loadDriver(pdwLoadError, false);
    }
    if (!platform::StartService(service.h, 0, nullptr)) {
        const DWORD dwError = platform::GetLastError();
        if (dwError != ERROR_SERVICE_ALREADY_RUNNING) {
            *pdwLoadError = DRIVER_LOAD_START_FAILED;
            DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::loadDriver(): StartService failed (0x%08X)\n", dwError);
            return false;
        }
        DebugOut2(DBG_CAT_MODULE, u"CKTUMSModule::loadDriver(): The driver is already running.\n");
    }
    *pdwLoadError = DRIVER_LOAD_OK;
    return true;
}

bool CDriverControl::restoreDriverService(const char16_t* szServiceName) {
    CScHandle manager{platform::OpenSCManager(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE)};
    if (manager.h == nullptr) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::restoreDriverService - NULL == schManager\n");
        return false;
    }
    std::u16string sPath;
    try {
        if (!CInstalledApps::GetKTDirectory(&sPath)) {
            DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::restoreDriverService - GetKTDirectory failed\n");
            return false;
        }
        if (!sPath.empty() && sPath.back() != u'\\') {
            sPath += u'\\';
        }
        sPath += KRELL_DRIVER_FILE_NAME;
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::restoreDriverService - Atl exception: %#08X\n",
                  static_cast<DWORD>(E_OUTOFMEMORY));
        return false;
    }
    CScHandle service{platform::CreateService(
        manager.h, szServiceName, szServiceName, GENERIC_READ, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
        SERVICE_ERROR_NORMAL, sPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr)};
    if (service.h == nullptr) {
        const DWORD dwError = platform::GetLastError();
        if (dwError != ERROR_SERVICE_EXISTS) {
            DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::restoreDriverService - CreateService failed: %#08X\n",
                      dwError);
            return false;
        }
    }
    return true;
}

bool CDriverControl::unloadDriver() {
    if (closeDriverChannel()) {
        // Time for the driver to see the channel go away.
        platform::Sleep(DRIVER_CHANNEL_CLOSE_PAUSE_MS);
    } else {
        DebugOut2(DBG_CAT_MODULE, u"CKTUMSModule::unloadDriver(): closeDriverChannel() failed\n");
    }
    CScHandle manager{platform::OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (manager.h == nullptr) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::unloadDriver(): OpenSCManager() failed (0x%08X)\n",
                  platform::GetLastError());
        return false;
    }
    CScHandle service{platform::OpenService(manager.h, KRELL_DRIVER_SERVICE_NAME, SERVICE_STOP)};
    if (service.h == nullptr) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::unloadDriver(): OpenService() failed (0x%08X)\n",
                  platform::GetLastError());
        return false;
    }
    SERVICE_STATUS status{};
    if (!platform::ControlService(service.h, SERVICE_CONTROL_STOP, &status)) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::unloadDriver(): ControlService() failed (0x%08X)\n",
                  platform::GetLastError());
        return false;
    }
    return true;
}

CKTUMessage* CDriverControl::MakeActivationMessage(DWORD dwActivation) {
    CKTUMessage* pMsg = CKTUMessageChannel::MakeEmptyKTMessage(TYPE_GW_ACTIVATION_REQUEST);
    if (pMsg != nullptr &&
        static_cast<CKTUActivationMessage*>(pMsg)->SetActivation(dwActivation) != MSG_SUCCESS) {
        CKTUMessageChannel::DestroyKTMessage(pMsg);
        pMsg = nullptr;
    }
    return pMsg;
}

bool CDriverControl::ActivateDriver(const std::function<void()>& pfnWhileWaiting) {
    CKTKChannelSubscriber::CSubscriberInfo* pReplies = nullptr;
    HRESULT hr = m_pChannelSubscriber->SubscribeToMessageType(TYPE_GW_ACTIVATION, &pReplies);
    if (FAILED(hr)) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::ServiceStartThread(): "
                  u"m_ChannelSubscriber.SubscribeToMessageType(TYPE_GW_ACTIVATION) "
                  u"failed: %#08X\n",
                  static_cast<DWORD>(hr));
        return false;
    }
    CKTUMessage* pMsg = MakeActivationMessage(1);
    if (pMsg == nullptr) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::ServiceStartThread(): failed to create or set activation message\n");
        m_pChannelSubscriber->Unsubscribe(&pReplies);
        return false;
    }
    if (m_Channel.SendKTMessage(pMsg) != KTU_MSG_CHANNEL_SUCCESS) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::ServiceStartThread(): driver handshake failed \n");
        CKTUMessageChannel::DestroyKTMessage(pMsg);
        m_pChannelSubscriber->Unsubscribe(&pReplies);
        return false;
    }
    if (pfnWhileWaiting) {
        pfnWhileWaiting();
    }
    CKTUMessage* pReply = nullptr;
    hr = m_pChannelSubscriber->WaitForKTMessage(pReplies, &pReply, m_dwReplyTimeout);
    if (FAILED(hr) || pReply == nullptr) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::ServiceStartThread(): WaitForKTMessage failed: %#08X\n",
                  static_cast<DWORD>(FAILED(hr) ? hr : E_UNEXPECTED));
        m_pChannelSubscriber->Unsubscribe(&pReplies);
        return false;
    }
    // Any reply counts: the driver's answer is not judged.
    m_pChannelSubscriber->MessageWasHandled(&pReply);
    m_pChannelSubscriber->Unsubscribe(&pReplies);
    return true;
}

void CDriverControl::ShutdownDriver(bool bUnload) {
    ReportStopStep();
    CKTKChannelSubscriber::CSubscriberInfo* pReplies = nullptr;
    const HRESULT hrSubscribe = m_pChannelSubscriber->SubscribeToMessageType(TYPE_GW_ACTIVATION, &pReplies);
    if (FAILED(hrSubscribe)) {
        DebugOut1(
            DBG_CAT_MODULE,
            u"CKTUMSModule::ShutdownDriver(): m_ChannelSubscriber.SubscribeToMessageType(TYPE_GW_ACTIVATION) "
            u"failed: %#08X\n",
            static_cast<DWORD>(hrSubscribe));
        pReplies = nullptr;
    }
    ReportStopStep();
    CKTUMessage* pMsg = MakeActivationMessage(0);
    if (pMsg == nullptr) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::ShutdownDriver(): failed to generate driver activation message\n");
    }
    ReportStopStep();
    bool bSent = false;
    if (pMsg != nullptr) {
        if (m_Channel.SendKTMessage(pMsg) == KTU_MSG_CHANNEL_SUCCESS) {
            bSent = true;
        } else {
            DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::ShutdownDriver(): m_Channel.SendKTMessage() failed\n");
            CKTUMessageChannel::DestroyKTMessage(pMsg);
        }
    }
    ReportStopStep();
    if (pReplies != nullptr) {
        if (bSent) {
            CKTUMessage* pReply = nullptr;
            const HRESULT hr = m_pChannelSubscriber->WaitForKTMessage(pReplies, &pReply, m_dwReplyTimeout);
            if (SUCCEEDED(hr) && pReply != nullptr) {
                DWORD dwReplyCode = 0;
                static_cast<CKTUReplyMessage*>(pReply)->GetReplyCode(&dwReplyCode);
                m_pChannelSubscriber->MessageWasHandled(&pReply);
            } else {
                DebugOut1(
                    DBG_CAT_MODULE,
                    u"CKTUMSModule::ShutdownDriver(): WaitForKTMessage(pShutdownReplySubscriber) failed: "
                    u"%#08X\n",
                    static_cast<DWORD>(FAILED(hr) ? hr : E_UNEXPECTED));
            }
        }
        m_pChannelSubscriber->Unsubscribe(&pReplies);
    }
    ReportStopStep();
    if (!bUnload) {
        if (closeDriverChannel()) {
            platform::Sleep(DRIVER_CHANNEL_CLOSE_PAUSE_MS);
        } else {
            DebugOut2(DBG_CAT_MODULE, u"CKTUMSModule::ShutdownDriver(): closeDriverChannel() failed\n");
        }
    } else if (!unloadDriver()) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::ShutdownDriver(): unloadDriver() failed during shutdown\n");
    }
    ReportStopStep();
}

namespace {

constexpr const char16_t* DRIVER_COMMUNICATION_FAILED =
    u"Configuration update failed due to driver communication failure";
constexpr DWORD OLD_KC_NAME_CHARS = 260;

// Deletes the KC file the driver released, whatever its verdict on the new one.
void DeleteReleasedKCFile(CKTUReplyMessage* pReply) {
    char16_t szOldFile[OLD_KC_NAME_CHARS] = {};
    DWORD dwSize = sizeof(szOldFile);
    const DWORD dwResult = pReply->GetOldKCFileName(szOldFile, &dwSize);
    if (dwResult == MSG_SUCCESS) {
        if (platform::DeleteFile(szOldFile)) {
            DebugOut3(DBG_CAT_MODULE, u"CKTUMSModule::SendConfigNotification(): Deleted old KC file %s\n",
                      szOldFile);
        } else {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::SendConfigNotification(): Unable to delete old KC file %s (%#08X)\n",
                      szOldFile, platform::GetLastError());
        }
    } else if (dwResult == NO_VALUE) {
        DebugOut2(
            DBG_CAT_MODULE,
            u"CKTUMSModule::SendConfigNotification(): Settings reply message contained no old KC file\n");
    } else {
        DebugOut1(
            DBG_CAT_MODULE,
            u"CKTUMSModule::SendConfigNotification(): Failed to get old KC file name from settings reply "
            u"event (%#08X)\n",
            dwResult);
    }
}

// The verdict of a settings reply.
HRESULT JudgeSettingsReply(CKTUReplyMessage* pReply, CErrorStack& errorStack) {
    DWORD dwCode = 0;
    const DWORD dwResult = pReply->GetReplyCode(&dwCode);
    if (dwResult != MSG_SUCCESS) {
        DebugOut1(
            DBG_CAT_MODULE,
            u"CKTUMSModule::SendConfigNotification(): failed getting reply code from reply message (code "
            u"%d)\n",
            dwResult);
        errorStack.AddError(u"Sent configuration update to driver, received damaged reply. Status unknown");
        return E_UNEXPECTED;
    }
    if ((dwCode & CKTUReplyMessage::REPLY_SUCCESS) == 0) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::SendConfigNotification(): driver reply indicates failure (%08x)\n", dwCode);
        errorStack.AddError(u"Driver rejected configuration update");
        return E_FAIL;
    }
    if (dwCode != CKTUReplyMessage::REPLY_SUCCESS) {
        DebugOut2(
            DBG_CAT_MODULE,
            u"CKTUMSModule::SendConfigNotification(): unexpected success reply value received from driver "
            u"(%08x)\n",
            dwCode);
    }
    return S_OK;
}

}  // namespace

HRESULT CDriverControl::SendConfigNotification(const std::u16string& sPath, CErrorStack& errorStack) {
    CKTUMessage* pMsg = CKTUMessageChannel::MakeEmptyKTMessage(TYPE_GW_SETTINGS);
    if (pMsg == nullptr) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::SendConfigNotification(): Failed to create settings message\n");
        errorStack.AddError(DRIVER_COMMUNICATION_FAILED);
        return E_UNEXPECTED;
    }
    const DWORD dwSet = static_cast<CKTUSettingsMessage*>(pMsg)->SetSettingsPath(sPath.c_str());
    if (dwSet != MSG_SUCCESS) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::SendConfigNotification(): Failed to set settings message path (code %d)\n",
                  dwSet);
        errorStack.AddError(DRIVER_COMMUNICATION_FAILED);
        CKTUMessageChannel::DestroyKTMessage(pMsg);
        return E_UNEXPECTED;
    }
    CKTKChannelSubscriber::CSubscriberInfo* pReplies = nullptr;
    const HRESULT hrSubscribe = m_pChannelSubscriber->SubscribeToMessageType(TYPE_GW_ACTIVATION, &pReplies);
    if (FAILED(hrSubscribe)) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::SendConfigNotification(): Failed to create channel subscriber (%08x)\n",
                  static_cast<DWORD>(hrSubscribe));
        errorStack.AddError(DRIVER_COMMUNICATION_FAILED);
        CKTUMessageChannel::DestroyKTMessage(pMsg);
        return E_UNEXPECTED;
    }
    const DWORD dwSend = m_Channel.SendKTMessage(pMsg);
    if (dwSend != KTU_MSG_CHANNEL_SUCCESS) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::SendConfigNotification(): Failed to send settings message (code %d)\n",
                  dwSend);
        errorStack.AddError(DRIVER_COMMUNICATION_FAILED);
        CKTUMessageChannel::DestroyKTMessage(pMsg);
        m_pChannelSubscriber->Unsubscribe(&pReplies);
        return E_UNEXPECTED;
    }

    HRESULT hrResult = S_OK;
    HRESULT hrWait = S_OK;
    for (;;) {
        CKTUMessage* pReply = nullptr;
        hrWait = m_pChannelSubscriber->WaitForKTMessage(pReplies, &pReply, m_dwReplyTimeout);
        if (FAILED(hrWait) || pReply == nullptr) {
            hrWait = FAILED(hrWait) ? hrWait : E_UNEXPECTED;
            break;
        }
        auto* pSettingsReply = static_cast<CKTUReplyMessage*>(pReply);
        DWORD dwReplyType = 0;
        const DWORD dwType = pSettingsReply->GetReplyType(&dwReplyType);
        if (dwType != MSG_SUCCESS) {
            DebugOut1(
                DBG_CAT_MODULE,
                u"CKTUMSModule::SendConfigNotification(): failed getting reply type from reply message (code "
                u"%d)\n",
                dwType);
            m_pChannelSubscriber->MessageNotHandled(&pReply);
            continue;
        }
        if (dwReplyType != TYPE_GW_SETTINGS) {
            DebugOut3(DBG_CAT_MODULE,
                      u"CKTUMSModule::SendConfigNotification(): skipping reply to non-settings message\n");
            m_pChannelSubscriber->MessageNotHandled(&pReply);
            continue;
        }
        hrResult = JudgeSettingsReply(pSettingsReply, errorStack);
        DeleteReleasedKCFile(pSettingsReply);
        m_pChannelSubscriber->MessageWasHandled(&pReply);
        break;
    }
    m_pChannelSubscriber->Unsubscribe(&pReplies);
    if (FAILED(hrWait)) {
        if (hrWait == E_ABORT) {
            DebugOut3(DBG_CAT_MODULE,
                      u"CKTUMSModule::SendConfigNotification(): Channel closed while waiting for reply\n");
        } else if (hrWait == HRESULT_FROM_WIN32(WAIT_TIMEOUT)) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::SendConfigNotification(): Timed out waiting for reply\n");
        } else {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::SendConfigNotification(): Error waiting for reply (%08x)\n",
                      static_cast<DWORD>(hrWait));
        }
        return hrWait;
    }
    return hrResult;
}
