#include "module/service_counters.h"

#include <cstring>

#include "platform/file_mapping.h"
#include "platform/sync.h"
#include "platform/system.h"

const CServiceCounterName SERVICE_COUNTER_NAMES[SERVICE_COUNTER_COUNT] = {
    {"violations received", "violationsReceived"},
    {"alerts sent", "alertsSent"},
    {"alerts failed", "alertsFailed"},
    {"notifications queued", "notificationsQueued"},
    {"notifications dropped", "notificationsDropped"},
    {"install queries authorized", "installAuthorized"},
    {"install queries refused", "installRefused"},
    {"install queries unanswered", "installUnanswered"},
    {"backlog stalls", "backlogStalls"},
    {"driver channel lost", "driverChannelLost"},
};

CServiceCounters::CServiceCounters() = default;

CServiceCounters::~CServiceCounters() {
    if (m_pView != nullptr) {
        platform::UnmapViewOfFile(m_pView);
    }
}

bool CServiceCounters::Publish() {
    if (m_pView != nullptr) {
        return true;
    }
    HANDLE hMapping =
        platform::CreateFileMapping(INVALID_HANDLE_VALUE, nullptr, platform::PAGE_READWRITE, 0,
                                    sizeof(CServiceCountersLayout), SERVICE_COUNTERS_MAPPING_NAME);
    if (hMapping == nullptr) {
        return false;
    }
    void* pView =
        platform::MapViewOfFile(hMapping, platform::FILE_MAP_WRITE, 0, 0, sizeof(CServiceCountersLayout));
    platform::CloseHandle(hMapping);
    if (pView == nullptr) {
        return false;
    }
    // One service runs per root: each run counts from zero. The magic goes last, so a reader never
    // takes a half-written header for a whole one.
    auto* pLayout = static_cast<CServiceCountersLayout*>(pView);
    pLayout->dwMagic = 0;
    for (auto& value : pLayout->values) {
        value.store(0, std::memory_order_relaxed);
    }
    pLayout->dwVersion = SERVICE_COUNTERS_VERSION;
    pLayout->dwCount = SERVICE_COUNTER_COUNT;
    pLayout->dwProcessId = platform::GetCurrentProcessId();
    std::atomic_thread_fence(std::memory_order_release);
    pLayout->dwMagic = SERVICE_COUNTERS_MAGIC;
    m_pView = pLayout;
    m_pValues = pLayout->values;
    return true;
}

bool CServiceCounters::ReadPublished(ULONGLONG values[SERVICE_COUNTER_COUNT], DWORD* pdwProcessId) {
    for (DWORD i = 0; i < SERVICE_COUNTER_COUNT; ++i) {
        values[i] = 0;
    }
    HANDLE hMapping =
        platform::OpenFileMapping(platform::FILE_MAP_READ, false, SERVICE_COUNTERS_MAPPING_NAME);
    if (hMapping == nullptr) {
        return false;
    }
    // The header first: a mapping written by another version may be shorter than this one's layout.
    constexpr std::size_t HEADER_SIZE = offsetof(CServiceCountersLayout, values);
    const void* pView = platform::MapViewOfFile(hMapping, platform::FILE_MAP_READ, 0, 0, 0);
    platform::CloseHandle(hMapping);
    if (pView == nullptr) {
        return false;
    }
    bool bResult = false;
    const auto* pLayout = static_cast<const CServiceCountersLayout*>(pView);
    DWORD dwHeader[4];
    std::memcpy(dwHeader, pView, HEADER_SIZE);
    if (dwHeader[0] == SERVICE_COUNTERS_MAGIC) {
        std::atomic_thread_fence(std::memory_order_acquire);
        const DWORD dwCount = dwHeader[2] < SERVICE_COUNTER_COUNT ? dwHeader[2] : SERVICE_COUNTER_COUNT;
        for (DWORD i = 0; i < dwCount; ++i) {
            values[i] = pLayout->values[i].load(std::memory_order_relaxed);
        }
        if (pdwProcessId != nullptr) {
            *pdwProcessId = dwHeader[3];
        }
        bResult = true;
    }
    platform::UnmapViewOfFile(pView);
    return bResult;
}
