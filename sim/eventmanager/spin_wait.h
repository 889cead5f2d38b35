// Waiting for a peer that answers within microseconds. A thread that sleeps until the peer on the
// other processor writes costs a wake-up across processors, which on a virtual machine takes longer
// than the peer's whole work; so a waiter that expects its answer at once looks for it for a short
// while first, giving its processor to any other thread that wants it meanwhile, and only then
// sleeps. With a single processor nobody could answer while it looks: it sleeps at once.
#pragma once

#include <sched.h>

#include <chrono>

namespace zuzazezi {

inline bool LookingBeforeSleepingPays() {
    static const bool s_bPays = [] {
        cpu_set_t cpus;
        return sched_getaffinity(0, sizeof(cpus), &cpus) == 0 && CPU_COUNT(&cpus) > 1;
    }();
    return s_bPays;
}

// Asks fnReady until it says yes or the time is up; false at once when looking does not pay.
template <class Ready>
bool LookFor(std::chrono::microseconds limit, Ready fnReady) {
    if (!LookingBeforeSleepingPays()) {
        return false;
    }
    const auto end = std::chrono::steady_clock::now() + limit;
    do {
        if (fnReady()) {
            return true;
        }
        sched_yield();
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

}  // namespace zuzazezi
