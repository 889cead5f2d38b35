// What krellctl's watching commands (events watch, alerts watch) share: reaching the event manager,
// subscribing, and printing what arrives, one flushed line each, until a count, a timeout or
// SIGINT/SIGTERM ends the watch.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "event_client.h"
#include "events/event_interfaces.h"

namespace krellctl {

// Events carry local time; so does what the tools stamp.
SYSTEMTIME LocalNow();

// One event as a JSON object: type, id, state, when it was received (local time with its offset), its
// properties by name and, for events that carry one, the error stack.
std::string EventJson(IKTEvent* pEvent, const SYSTEMTIME& received);

// Opens the client (and registers a provider when asked), saying why not on standard error.
bool OpenClient(sim::CEventClient& client, bool bProvider);

// One subscription of the callback to events of a type in the given states; ended on destruction.
class CSubscription {
public:
    CSubscription(sim::CEventClient& client, IKTEventSubscriberCallback* pCallback, ULONG nType,
                  const std::vector<LONG>& states);
    ~CSubscription();
    CSubscription(const CSubscription&) = delete;
    CSubscription& operator=(const CSubscription&) = delete;

    bool IsActive() const { return m_nId != 0; }

private:
    sim::CEventClient& m_client;
    CComPtr<IKTSubscriberProxy> m_pProxy;
    LONG m_nId = 0;
};

struct CWatchOptions {
    std::vector<ULONG> types;
    std::vector<LONG> states;
    bool bCount = false;
    unsigned long ulCount = 0;
    unsigned long ulTimeout = 0;  // seconds; 0: none
};

// The line printed for an event (without its newline); an empty text prints nothing and does not
// count.
using EventFormatter = std::function<std::string(IKTEvent* pEvent, const SYSTEMTIME& received)>;

// Subscribes to the options' types, says "watching types N ..." on standard error, prints each
// event as fnFormat has it and ends after the count, at the timeout or at SIGINT/SIGTERM. The exit
// code: 1 when a count was asked for and not reached (or the manager cannot be reached), else 0.
int RunWatch(const CWatchOptions& options, const EventFormatter& fnFormat);

// Parses "--count N" and "--timeout S" at args[*pnIndex]; false when args[*pnIndex] is neither.
// *pbBad is set when it is one of them without a number.
bool ParseWatchLimit(const std::vector<std::string>& args, std::size_t* pnIndex, CWatchOptions* pOptions,
                     bool* pbBad);

}  // namespace krellctl
