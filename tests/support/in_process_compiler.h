// A configuration compiler run inside a test or benchmark process, beside the real stand-ins of its
// root: the start/stop plug-in and a plug-in that hands over whatever IC it was offered last, with an
// owner that delivers each file through the driver control as the service does. For configurations
// that no plug-in of the service makes yet (many sections, very large ones, thousands of paths).
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

#include "compiler/authorization_config_plugin.h"
#include "compiler/configuration_compiler.h"
#include "compiler/start_stop_config_plugin.h"
#include "module/driver_control.h"

namespace krelltest {

// Hands over the IC offered last, once; nothing new otherwise.
class COfferedICPlugin final : public CBaseConfigCompilerPlugin {
public:
    using CBaseConfigCompilerPlugin::CBaseConfigCompilerPlugin;
    std::u16string GetName() const override { return u"OfferedICPlugin"; }
    void Offer(std::unique_ptr<CIntermediateConfiguration> pIC) {
        std::lock_guard lock(m_Lock);
        m_pNext = std::move(pIC);
    }

protected:
    bool PluginInitialize() override { return true; }
    void PluginUninitialize() override {}
    std::unique_ptr<CIntermediateConfiguration> PluginGetIC(bool, CErrorStack&) override {
        std::lock_guard lock(m_Lock);
        return std::move(m_pNext);
    }

private:
    std::mutex m_Lock;
    std::unique_ptr<CIntermediateConfiguration> m_pNext;
};

class CInProcessCompiler final : public CKTConfigurationCompiler {
public:
    using CKTConfigurationCompiler::CKTConfigurationCompiler;
    // Set once Create has made the plug-ins; none if the offered plug-in failed to start.
    COfferedICPlugin* Offered() const { return m_pOffered; }
    // Before Create: the service's authorization plug-in runs too, reading the root's settings store.
    void AddAuthorizationPlugin() { m_bAuthorization = true; }

protected:
    ULONG CreatePlugins() override {
        ULONG nCount = 0;
        auto pStartStop = std::make_unique<CStartStopConfigPlugin>();
        auto pOffered = std::make_unique<COfferedICPlugin>();
        if (pStartStop->Initialize()) {
            m_pPlugins[nCount++] = std::move(pStartStop);
        }
        if (pOffered->Initialize()) {
            m_pOffered = pOffered.get();
            m_pPlugins[nCount++] = std::move(pOffered);
        }
        if (m_bAuthorization) {
            auto pAuthorization = std::make_unique<CAuthorizationConfigPlugin>();
            if (pAuthorization->Initialize()) {
                m_pPlugins[nCount++] = std::move(pAuthorization);
            }
        }
        return nCount;
    }

private:
    COfferedICPlugin* m_pOffered = nullptr;
    bool m_bAuthorization = false;
};

// The module's part: delivery through the driver control; also counts the compilations and keeps the
// times and result of the last one.
class CDeliveringOwner final : public IConfigCompilerCallback, public ICompilationObserver {
public:
    explicit CDeliveringOwner(CDriverControl* pDriver) : m_pDriver(pDriver) {}
    void RequestStop() override { std::fprintf(stderr, "the compiler asked the service to stop\n"); }
    HRESULT SendConfigNotification(const std::u16string& sPath, CErrorStack& errorStack) override {
        return m_pDriver->SendConfigNotification(sPath, errorStack);
    }
    void OnCompiled(const CCompilationTimes& times, HRESULT hr) override {
        std::lock_guard lock(m_Lock);
        m_Times = times;
        m_hr = hr;
        ++m_nCompiled;
    }
    // The times and result of the last compilation; true if it came after the nSeen-th.
    bool Compiled(int nSeen, CCompilationTimes* pTimes, HRESULT* phr) {
        std::lock_guard lock(m_Lock);
        *pTimes = m_Times;
        *phr = m_hr;
        return m_nCompiled > nSeen;
    }
    int CompiledCount() {
        std::lock_guard lock(m_Lock);
        return m_nCompiled;
    }

private:
    CDriverControl* m_pDriver;
    std::mutex m_Lock;
    CCompilationTimes m_Times;
    HRESULT m_hr = S_OK;
    int m_nCompiled = 0;
};

}  // namespace krelltest
