// The violation listener and the install-query listeners of the protection module.
#include <new>
#include <string>
#include <vector>

#include "channel/channel_subscriber.h"
#include "channel/message_channel.h"
#include "diagnostics/user_debug_output.h"
#include "events/event_interfaces.h"
#include "module/install_identifier.h"
#include "module/ktums_module.h"
#include "module/service_counters.h"
#include "platform/format.h"
#include "platform/system.h"

namespace {

constexpr DWORD NOTIFY_VIOLATION_BLOCKED = 7;
constexpr DWORD NOTIFY_VIOLATION_ALLOWED = 8;
// Actions on a process: their reports must name the target process.
constexpr DWORD ACTION_PROCESS_FIRST = 10;
constexpr DWORD ACTION_PROCESS_LAST = 11;
constexpr DWORD MSI_PATH_CHARS = 260;
constexpr DWORD MSI_REPLY_AUTHORIZED = 0;
constexpr DWORD MSI_REPLY_REFUSED = 1;

}  // namespace

void CKTUMSModule::CPolicyEventListener::HandleViolation(IListenerContext& context,
                                                         CKTUViolationMessage* pMsg) {
    context.Counters().Add(COUNTER_VIOLATIONS_RECEIVED);
    SYSTEMTIME time{};
    platform::GetLocalTime(&time);
    try {
        // The path reads: the first call must report the size needed.
        DWORD dwSize = 0;
        DWORD dwResult = pMsg->GetActorPath(nullptr, &dwSize);
        if (dwResult != BUFFER_TOO_SMALL) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::CPolicyEventListener::Run() - msg->GetActorPath returned %X expected "
                      u"BUFFER_TOO_SMALL\n",
                      dwResult);
            return;
        }
        std::vector<char16_t> actorPath(dwSize / sizeof(char16_t) + 1, u'\0');
        dwResult = pMsg->GetActorPath(actorPath.data(), &dwSize);
        if (dwResult != MSG_SUCCESS) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::CPolicyEventListener::Run() - msg->GetActorPath failed (%X)\n",
                      dwResult);
            return;
        }
        DWORD dwActorPid = 0;
        dwResult = pMsg->GetActorPID(&dwActorPid);
        if (dwResult != MSG_SUCCESS) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::CPolicyEventListener::Run() - msg->GetActorPID failed (%X)\n",
                      dwResult);
            return;
        }
        DWORD dwAction = 0;
        dwResult = pMsg->GetAction(&dwAction);
        if (dwResult != MSG_SUCCESS) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::CPolicyEventListener::Run() - msg->GetAction failed (%X)\n", dwResult);
            return;
        }
        dwSize = 0;
        dwResult = pMsg->GetTargetPath(nullptr, &dwSize);
        if (dwResult != BUFFER_TOO_SMALL) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::CPolicyEventListener::Run() - msg->GetTargetPath returned %X expected "
                      u"BUFFER_TOO_SMALL\n",
                      dwResult);
            return;
        }
        std::vector<char16_t> targetPath(dwSize / sizeof(char16_t) + 1, u'\0');
        dwResult = pMsg->GetTargetPath(targetPath.data(), &dwSize);
        if (dwResult != MSG_SUCCESS) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::CPolicyEventListener::Run() - msg->GetTargetPath failed (%X)\n",
                      dwResult);
            return;
        }
        // Only actions on a process need the target's id; elsewhere its absence (or any failed read)
        // reports 0.
        DWORD dwTargetPid = 0;
        dwResult = pMsg->GetTargetPID(&dwTargetPid);
        if (dwResult != MSG_SUCCESS) {
            dwTargetPid = 0;
            if (dwResult == NO_VALUE && dwAction >= ACTION_PROCESS_FIRST && dwAction <= ACTION_PROCESS_LAST) {
                DebugOut1(
                    DBG_CAT_MODULE,
                    u"CKTUMSModule::CPolicyEventListener::Run() - msg->GetTargetPID return NO_VALUE which "
                    u"is unexpected for action type %X\n",
                    dwAction);
                return;
            }
        }
        DWORD dwSessionId = 0;
        dwResult = pMsg->GetSessionID(&dwSessionId);
        if (dwResult != MSG_SUCCESS) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::CPolicyEventListener::Run() - msg->GetSessionID failed (%X)\n",
                      dwResult);
            return;
        }
        DWORD dwBlocked = 0;
        dwResult = pMsg->GetBlockedStatus(&dwBlocked);
        if (dwResult != MSG_SUCCESS) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::CPolicyEventListener::Run() - msg->GetBlockedStatus failed (%X)\n",
                      dwResult);
            return;
        }

        const LONG lAlert =
            context.SendGatewardenAlert(&time, actorPath.data(), dwActorPid, dwAction, targetPath.data(),
                                        dwTargetPid, dwSessionId, dwBlocked != 0);
        context.Counters().Add(lAlert == CError::eNoError ? COUNTER_ALERTS_SENT : COUNTER_ALERTS_FAILED);

        std::u16string sText;
        try {
            sText = platform::Format(u"\"%s\"(%d) accessed protected resource \"%s\"",
                                     static_cast<const char16_t*>(actorPath.data()), dwActorPid,
                                     static_cast<const char16_t*>(targetPath.data()));
        } catch (const std::bad_alloc&) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::CPolicyEventListener::Run() - Atl exception caught while creating "
                      u"notification message (%#08X)\n",
                      static_cast<DWORD>(E_OUTOFMEMORY));
            context.Counters().Add(COUNTER_NOTIFICATIONS_DROPPED);
            return;
        }
        if (context.EnqueueNotification(dwBlocked != 0 ? NOTIFY_VIOLATION_BLOCKED : NOTIFY_VIOLATION_ALLOWED,
                                        sText.c_str(), time)) {
            context.Counters().Add(COUNTER_NOTIFICATIONS_QUEUED);
        } else {
            context.Counters().Add(COUNTER_NOTIFICATIONS_DROPPED);
            DebugOut1(
                DBG_CAT_MODULE,
                u"CKTUMSModule::CPolicyEventListener::Run() - Unable to send violation notify message\n");
        }
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::CPolicyEventListener::Run() - Memory exception: %S\n",
                  e.what());
    }
}

DWORD CKTUMSModule::CPolicyEventListener::Run() {
    CKTKChannelSubscriber& subscriber = m_pContext->Subscriber();
    CKTKChannelSubscriber::CSubscriberInfo* pSubscription = nullptr;
    HRESULT hr = subscriber.SubscribeToMessageType(TYPE_GW_VIOLATION, &pSubscription);
    if (FAILED(hr)) {
        DebugOut1(
            DBG_CAT_MODULE,
            u"CKTUMSModule::CPolicyEventListener::Run() - SubscribeToMessageType(TYPE_GW_VIOLATION) failed: "
            u"%#08X\n",
            static_cast<DWORD>(hr));
        return 1;
    }
    for (;;) {
        CKTUMessage* pMsg = nullptr;
        hr = subscriber.WaitForKTMessage(pSubscription, &pMsg, INFINITE);
        if (FAILED(hr)) {
            // An aborted subscription is the way a listener is stopped.
            if (hr != E_ABORT) {
                DebugOut1(DBG_CAT_MODULE,
                          u"CKTUMSModule::CPolicyEventListener::Run() - WaitForKTMessage failed: %#08X\n",
                          static_cast<DWORD>(hr));
            }
            break;
        }
        HandleViolation(*m_pContext, static_cast<CKTUViolationMessage*>(pMsg));
        subscriber.MessageWasHandled(&pMsg);
    }
    subscriber.Unsubscribe(&pSubscription);
    return 0;
}

void CKTUMSModule::CMSIQueryListener::AnswerQuery(IListenerContext& context, CKTUMSIMessage* pMsg) {
    try {
        // The first read passes the buffer's length in characters as its size in bytes, so paths of 130
        // characters or more take a second read into a buffer of the size reported.
        std::vector<char16_t> path(MSI_PATH_CHARS, u'\0');
        DWORD dwSize = MSI_PATH_CHARS;
        DWORD dwResult = pMsg->GetMSIPath(path.data(), &dwSize);
        if (dwResult == BUFFER_TOO_SMALL) {
            path.assign(dwSize / sizeof(char16_t) + 1, u'\0');
            dwResult = pMsg->GetMSIPath(path.data(), &dwSize);
        }
        if (dwResult != MSG_SUCCESS) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::CMSIQueryListener::Run() - pMSIMsg->GetMSIPath() failed\n");
            context.Counters().Add(COUNTER_INSTALL_UNANSWERED);
            return;
        }
        DWORD dwQueryId = 0;
        if (pMsg->GetMessageId(&dwQueryId) != MSG_SUCCESS) {
            DebugOut1(DBG_CAT_MODULE,
                      u"CKTUMSModule::CMSIQueryListener::Run() - pMSIMsg->GetMessageId() failed\n");
            context.Counters().Add(COUNTER_INSTALL_UNANSWERED);
            return;
        }
        const bool bAuthorized =
            context.InstallIdentifier().IsAuthorizedQuery(context.SettingsManager(), path.data());

        auto* pReply = static_cast<CKTUMSIMessage*>(CKTUMessageChannel::MakeEmptyKTMessage(TYPE_QUERY_MSI));
        if (pReply == nullptr || pReply->SetMessageId(dwQueryId) != MSG_SUCCESS ||
            pReply->SetAuthorizationReply(bAuthorized ? MSI_REPLY_AUTHORIZED : MSI_REPLY_REFUSED) !=
                MSG_SUCCESS) {
            DebugOut1(
                DBG_CAT_MODULE,
                u"CKTUMSModule::CMSIQueryListener::Run() - failed to create or set msi reply message\n");
            if (pReply != nullptr) {
                CKTUMessageChannel::DestroyKTMessage(pReply);
            }
            context.Counters().Add(COUNTER_INSTALL_UNANSWERED);
            return;
        }
        if (context.Channel().SendKTMessage(pReply) != KTU_MSG_CHANNEL_SUCCESS) {
            DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::CMSIQueryListener::Run() - SendKTMessage failed \n");
            CKTUMessageChannel::DestroyKTMessage(pReply);
            context.Counters().Add(COUNTER_INSTALL_UNANSWERED);
            return;
        }
        context.Counters().Add(bAuthorized ? COUNTER_INSTALL_AUTHORIZED : COUNTER_INSTALL_REFUSED);
        DebugOut3(DBG_CAT_MODULE,
                  u"CKTUMSModule::CMSIQueryListener::Run - MSI authorization reply for %s: %d\n",
                  static_cast<const char16_t*>(path.data()), bAuthorized ? 1 : 0);
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_MODULE, u"CKTUMSModule::CMSIQueryListener::Run() - Atl exception: %#08X\n",
                  static_cast<DWORD>(E_OUTOFMEMORY));
        context.Counters().Add(COUNTER_INSTALL_UNANSWERED);
    }
}

DWORD CKTUMSModule::CMSIQueryListener::Run() {
    CKTKChannelSubscriber& subscriber = m_pContext->Subscriber();
    CKTKChannelSubscriber::CSubscriberInfo* pSubscription = nullptr;
    HRESULT hr = subscriber.SubscribeToMessageType(TYPE_QUERY_MSI, &pSubscription);
    if (FAILED(hr)) {
        DebugOut1(DBG_CAT_MODULE,
                  u"CKTUMSModule::CMSIQueryListener::Run() - SubscribeToMessageType(TYPE_QUERY_MSI) failed: "
                  u"%#08X\n",
                  static_cast<DWORD>(hr));
        return 1;
    }
    for (;;) {
        CKTUMessage* pMsg = nullptr;
        hr = subscriber.WaitForKTMessage(pSubscription, &pMsg, INFINITE);
        if (FAILED(hr)) {
            if (hr != E_ABORT) {
                DebugOut1(DBG_CAT_MODULE,
                          u"CKTUMSModule::CMSIQueryListener::Run() - WaitForKTMessage failed: %#08X\n",
                          static_cast<DWORD>(hr));
            }
            break;
        }
        AnswerQuery(*m_pContext, static_cast<CKTUMSIMessage*>(pMsg));
        subscriber.MessageWasHandled(&pMsg);
    }
    subscriber.Unsubscribe(&pSubscription);
    return 0;
}
