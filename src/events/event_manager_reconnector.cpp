#include "events/event_manager_reconnector.h"

#include "diagnostics/user_debug_output.h"

CEventManagerReconnector::CEventManagerReconnector(IEventBridgeSource* pSource, const char16_t* szWhere,
                                                   const char16_t* szDropped, DWORD dwCategory,
                                                   DWORD dwRetryAfterFailureMs)
    : m_pSource(pSource),
      m_szWhere(szWhere),
      m_szDropped(szDropped),
      m_dwCategory(dwCategory),
      m_RetryAfterFailure(dwRetryAfterFailureMs) {}

bool CEventManagerReconnector::Check(CEventManagerHelper* pHelper,
                                     const std::function<bool()>& pfnReconnect) {
    const Clock::time_point now = Clock::now();
    if (!m_bLost) {
        if (pHelper != nullptr && pHelper->IsConnected() && StillRunning(now)) {
            return true;
        }
        m_bLost = true;
        m_NextRunningLook = {};
        m_NextTry = now;
        DebugOut1(m_dwCategory, u"%s: lost the event manager; reconnecting once it is back\n", m_szWhere);
    }
    if (now < m_NextTry || !m_pSource->IsEventManagerRunning()) {
        return false;
    }
    if (!pfnReconnect()) {
        m_NextTry = now + m_RetryAfterFailure;
        return false;
    }
    m_bLost = false;
    DebugOut2(m_dwCategory, u"%s: reconnected to the event manager; %u %s dropped while it was away\n",
              m_szWhere, m_dwDropped, m_szDropped);
    m_dwDropped = 0;
    return true;
}

bool CEventManagerReconnector::StillRunning(Clock::time_point now) {
    if (now < m_NextRunningLook) {
        return true;
    }
    if (!m_pSource->IsEventManagerRunning()) {
        return false;
    }
    m_NextRunningLook = now + RUNNING_LOOK_INTERVAL;
    return true;
}
