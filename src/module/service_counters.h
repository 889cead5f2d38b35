// Counts an operator reads without a debugger (krellctl stats): what the listeners received, sent
// and dropped, and how often the channel's backlog bound held the driver back. The values live in a
// named shared mapping of fixed layout, 64-bit atomics after a small header, so a reader sees each
// count exactly, at no cost to the service beyond the atomic add.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/types.h"

enum eServiceCounter : DWORD {
    COUNTER_VIOLATIONS_RECEIVED,
    COUNTER_ALERTS_SENT,
    COUNTER_ALERTS_FAILED,
    COUNTER_NOTIFICATIONS_QUEUED,
    COUNTER_NOTIFICATIONS_DROPPED,
    COUNTER_INSTALL_AUTHORIZED,
    COUNTER_INSTALL_REFUSED,
    COUNTER_INSTALL_UNANSWERED,
    COUNTER_BACKLOG_STALLS,
    COUNTER_CHANNEL_LOST,
    SERVICE_COUNTER_COUNT
};

struct CServiceCounterName {
    const char* szText;  // "violations received"
    const char* szJson;  // "violationsReceived"
};
// Indexed by eServiceCounter. New counters are appended: readers know counters by position.
extern const CServiceCounterName SERVICE_COUNTER_NAMES[SERVICE_COUNTER_COUNT];

constexpr const char16_t* SERVICE_COUNTERS_MAPPING_NAME = u"krellsvc.counters";
constexpr DWORD SERVICE_COUNTERS_MAGIC = 0x544E4353;  // "SCNT"
constexpr DWORD SERVICE_COUNTERS_VERSION = 1;

// The mapping's layout.
struct CServiceCountersLayout {
    DWORD dwMagic;
    DWORD dwVersion;
    DWORD dwCount;      // counters that follow
    DWORD dwProcessId;  // of the service that last published
    std::atomic<ULONGLONG> values[SERVICE_COUNTER_COUNT];
};
static_assert(std::atomic<ULONGLONG>::is_always_lock_free, "counters are shared between processes");
static_assert(offsetof(CServiceCountersLayout, values) == 16);

class CServiceCounters {
public:
    CServiceCounters();
    ~CServiceCounters();
    CServiceCounters(const CServiceCounters&) = delete;
    CServiceCounters& operator=(const CServiceCounters&) = delete;

    // Moves the counts into the shared mapping, starting again from zero; until then, and when this
    // fails, they are counted in this process only. Call before any thread counts.
    bool Publish();
    void Add(eServiceCounter eCounter) { m_pValues[eCounter].fetch_add(1, std::memory_order_relaxed); }
    ULONGLONG Get(eServiceCounter eCounter) const {
        return m_pValues[eCounter].load(std::memory_order_relaxed);
    }
    std::atomic<ULONGLONG>* Counter(eServiceCounter eCounter) { return &m_pValues[eCounter]; }

    // What the last service of this root counted (it may have ended since): false when none published.
    // Counters the publisher did not know read 0. *pdwProcessId: the publisher's process id.
    static bool ReadPublished(ULONGLONG values[SERVICE_COUNTER_COUNT], DWORD* pdwProcessId);

private:
    std::atomic<ULONGLONG> m_Local[SERVICE_COUNTER_COUNT] = {};
    std::atomic<ULONGLONG>* m_pValues = m_Local;
    CServiceCountersLayout* m_pView = nullptr;
};
