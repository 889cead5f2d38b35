// The store's producer of configuration changes: it answers settings refresh requests (6009) and
// changes of the configuration under GATEWARDEN with a configuration change event (6008), and logs
// the answer. The event manager may come later than the store and may go away; the publisher keeps
// trying and never holds up the store.
#pragma once

#include <string>
#include <thread>

#include "platform/types.h"

namespace lcset {

class CRefreshPublisher {
public:
    CRefreshPublisher() = default;
    ~CRefreshPublisher() { Stop(); }
    CRefreshPublisher(const CRefreshPublisher&) = delete;
    CRefreshPublisher& operator=(const CRefreshPublisher&) = delete;

    // Runs until hStopEvent is set (then Stop returns at once).
    void Start(HANDLE hStopEvent);
    void Stop();

private:
    void Run(HANDLE hStopEvent);

    std::thread m_thread;
};

// What of the store decides whether the configuration changed: every value below GATEWARDEN except
// the service's own state (the values of GATEWARDEN\PRIVATE itself) and the refresh flag, which the
// compilation clears.
std::string ConfigurationSnapshot();

}  // namespace lcset
