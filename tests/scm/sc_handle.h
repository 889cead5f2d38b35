// A service or manager handle of the SCM tests, closed when it leaves scope; both builds' fixtures
// use it.
#pragma once

#include "platform/service_control.h"

namespace scmtest {

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE h = nullptr) : m_h(h) {}
    ~ScHandle() { Close(); }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return m_h; }
    explicit operator bool() const { return m_h != nullptr; }
    void Close() {
        if (m_h != nullptr) {
            platform::CloseServiceHandle(m_h);
            m_h = nullptr;
        }
    }

private:
    SC_HANDLE m_h;
};

}  // namespace scmtest
