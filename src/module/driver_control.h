// Driver control: starting, stopping and re-creating the kernel driver's service entry, the driver
// channel and its subscriber, and the activation handshake that makes the driver enforce.
#pragma once

#include <functional>
#include <memory>

#include "channel/channel_subscriber.h"
#include "channel/message_channel.h"

constexpr const char16_t* KRELL_DRIVER_SERVICE_NAME = u"KRELLDrv";
constexpr const char16_t* KRELL_DRIVER_FILE_NAME = u"KRELLDrv.sys";
constexpr DWORD DRIVER_REPLY_TIMEOUT_MS = 10000;
constexpr DWORD DRIVER_CHANNEL_CLOSE_PAUSE_MS = 500;

// Load error values handed back by loadDriver.
constexpr DWORD DRIVER_LOAD_OK = 0;
constexpr DWORD DRIVER_LOAD_NO_SERVICE = 1;
constexpr DWORD DRIVER_LOAD_START_FAILED = 2;

class CErrorStack;

class CDriverControl {
public:
    CDriverControl();
    // Closes a channel still open, so that the subscriber's listeners end before it goes.
    ~CDriverControl();
    CDriverControl(const CDriverControl&) = delete;
    CDriverControl& operator=(const CDriverControl&) = delete;

    // Called between the steps of ShutdownDriver (the stop's status reports).
    void SetStopStepReporter(std::function<void()> pfnReport) { m_pfnReportStopStep = std::move(pfnReport); }
    // The reply wait of both handshake directions; tests shorten it.
    void SetReplyTimeout(DWORD dwTimeout) { m_dwReplyTimeout = dwTimeout; }

    bool InitializeChannelSubscriber();
    bool openDriverChannel();
    bool closeDriverChannel();
    bool loadDriver(DWORD* pdwLoadError);
    bool restoreDriverService(const char16_t* szServiceName);
    bool unloadDriver();
    bool StartListeningForMessages();
    // Activation 1; pfnWhileWaiting runs between the send and the wait for the reply.
    bool ActivateDriver(const std::function<void()>& pfnWhileWaiting);
    void ShutdownDriver(bool bUnload);
    // Tells the driver to load the KC file at sPath and deletes the file it reports released.
    HRESULT SendConfigNotification(const std::u16string& sPath, CErrorStack& errorStack);

    CKTUMessageChannel& Channel() { return m_Channel; }
    CKTKChannelSubscriber& Subscriber() { return *m_pChannelSubscriber; }
    // The teardown in two steps, so that threads waiting on the subscriber can be waited for in between:
    // StopSubscriber closes a channel still open and aborts every subscription (waits end with E_ABORT);
    // DestroySubscriber then destroys it, before the channel. Nothing may use Subscriber() after it.
    void StopSubscriber();
    void DestroySubscriber();

private:
    bool loadDriver(DWORD* pdwLoadError, bool bMayRestore);
    void ReportStopStep();
    // An activation message with the given value, or null.
    static CKTUMessage* MakeActivationMessage(DWORD dwActivation);

    CKTUMessageChannel m_Channel;
    std::unique_ptr<CKTKChannelSubscriber> m_pChannelSubscriber;  // destroyed before the channel
    std::function<void()> m_pfnReportStopStep;
    DWORD m_dwReplyTimeout = DRIVER_REPLY_TIMEOUT_MS;
    bool m_bChannelOpen = false;
};
