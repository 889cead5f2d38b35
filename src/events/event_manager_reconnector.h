// How an owner of registrations with the event manager rides out a restart of the event manager:
// it finds its connection gone, says so once, tries a new one once the manager is there again, and
// says once that it is back, with how much it had to drop meanwhile. The owner makes the
// new connection itself, on its own thread (or under its own lock); this class decides when, and logs.
#pragma once

#include <chrono>
#include <functional>

#include "events/event_bridge_source.h"

class CEventManagerReconnector {
public:
    // A try that failed although the event manager was there (a refused registration) is not repeated
    // for this long, so a manager that keeps refusing does not fill the log. While the manager is
    // away a check costs one look at its running mutex and tries nothing.
    static constexpr DWORD RETRY_AFTER_FAILURE_MS = 10000;
    // While the connection stands, the manager's running mutex is looked at no more often than this:
    // a violation storm checks before every alert, and the look costs a named-object open and close.
    // A manager that died closes the connection, which every check still sees at once.
    static constexpr std::chrono::milliseconds RUNNING_LOOK_INTERVAL{100};

    // szWhere names the owner in the log lines, as "Class::Method()"; szDropped what it counts.
    CEventManagerReconnector(IEventBridgeSource* pSource, const char16_t* szWhere, const char16_t* szDropped,
                             DWORD dwCategory, DWORD dwRetryAfterFailureMs = RETRY_AFTER_FAILURE_MS);

    // True when pHelper's connection stands, or when a new one was made now: pfnReconnect connects
    // and registers again and says whether it all worked. False while the owner is without one.
    bool Check(CEventManagerHelper* pHelper, const std::function<bool()>& pfnReconnect);
    // Something the owner could not pass on for want of a connection; told when it is back.
    void CountDropped() { ++m_dwDropped; }
    // A new connection made by the owner's own start-up.
    void Connected() { m_bLost = false; }

private:
    using Clock = std::chrono::steady_clock;

    // The manager's running mutex, looked at when the last look is older than RUNNING_LOOK_INTERVAL.
    bool StillRunning(Clock::time_point now);

    IEventBridgeSource* m_pSource;
    const char16_t* m_szWhere;
    const char16_t* m_szDropped;
    DWORD m_dwCategory;
    std::chrono::milliseconds m_RetryAfterFailure;
    bool m_bLost = false;
    Clock::time_point m_NextTry{};
    Clock::time_point m_NextRunningLook{};
    DWORD m_dwDropped = 0;
};
