// What the violation and install-query listeners use of the module. The module's components sit in
// CModuleComponents, which implements this; tests hand the listeners a context of their own.
#pragma once

#include "platform/types.h"

class CKTKChannelSubscriber;
class CKTUMessageChannel;
class CInstallIdentifier;
class CServiceCounters;
struct ISettingsManager;

class IListenerContext {
public:
    virtual ~IListenerContext() = default;

    virtual CKTKChannelSubscriber& Subscriber() = 0;
    // Where install replies go.
    virtual CKTUMessageChannel& Channel() = 0;
    // The event provider's protection alert; its result code (1 for success).
    virtual LONG SendGatewardenAlert(const SYSTEMTIME* pTime, const char16_t* szActorPath,
                                     ULONG nActorProcessId, ULONG nAction, const char16_t* szTargetPath,
                                     ULONG nTargetProcessId, ULONG nSessionId, bool bBlocked) = 0;
    // Queues a notification stamped with the given time; false when the sender refused it.
    virtual bool EnqueueNotification(DWORD dwCode, const char16_t* szText, const SYSTEMTIME& time) = 0;
    // The module's settings manager (null before the module made one).
    virtual ISettingsManager* SettingsManager() = 0;
    virtual CInstallIdentifier& InstallIdentifier() = 0;
    virtual CServiceCounters& Counters() = 0;
};
