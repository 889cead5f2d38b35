// Services of a benchmark's own root (started, remembered by pid and start time, ended), the root
// itself with the driver up, and a publisher of configuration changes that waits for their answers,
// as the settings store's service does, with the compilation that answered.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "bench_programs.h"
#include "events/event_bridge_source.h"
#include "events/provider_helper.h"
#include "module/driver_control.h"
#include "platform/service_control.h"
#include "platform/strings.h"
#include "scm/scm_admin.h"
#include "support/in_process_compiler.h"

namespace benchservices {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// A process this program started, known by its pid and start time so that a reused pid is left alone.
struct CStarted {
    std::string sName;
    pid_t nPid = 0;
    std::string sStartTime;
};

inline std::string StartTimeOf(pid_t nPid) {
    std::ifstream stat("/proc/" + std::to_string(nPid) + "/stat");
    std::string sLine;
    std::getline(stat, sLine);
    const size_t nEnd = sLine.rfind(')');
    if (nEnd == std::string::npos) {
        return {};
    }
    // Field 22 counted from the state, which is field 3.
    std::string sField;
    size_t nPos = nEnd + 2;
    for (int nField = 3; nField <= 22 && nPos < sLine.size(); ++nField) {
        const size_t nNext = sLine.find(' ', nPos);
        sField = sLine.substr(nPos, nNext - nPos);
        nPos = nNext == std::string::npos ? sLine.size() : nNext + 1;
    }
    return sField;
}

inline bool Alive(const CStarted& process) {
    return process.nPid > 0 && StartTimeOf(process.nPid) == process.sStartTime;
}

inline bool Remember(const char16_t* szService, std::vector<CStarted>* pStarted) {
    scm::ServiceEntry entry;
    if (!scm::QueryService(szService, &entry) || entry.dwProcessId == 0) {
        return false;
    }
    CStarted process{platform::ToUtf8(szService), static_cast<pid_t>(entry.dwProcessId), {}};
    process.sStartTime = StartTimeOf(process.nPid);
    pStarted->push_back(process);
    return true;
}

inline bool StartService(const char16_t* szName, std::vector<CStarted>* pStarted) {
    SC_HANDLE hManager = platform::OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE hService =
        hManager != nullptr ? platform::OpenService(hManager, szName, SERVICE_START) : nullptr;
    const bool bStarted = hService != nullptr && platform::StartService(hService, 0, nullptr);
    if (hService != nullptr) {
        platform::CloseServiceHandle(hService);
    }
    if (hManager != nullptr) {
        platform::CloseServiceHandle(hManager);
    }
    return bStarted && scm::WaitForState(szName, SERVICE_RUNNING, 20000) && Remember(szName, pStarted);
}

// SIGTERM to each process still alive, SIGKILL to those that outlive five seconds.
inline void EndStarted(const std::vector<CStarted>& started) {
    for (const CStarted& process : started) {
        if (Alive(process)) {
            kill(process.nPid, SIGTERM);
        }
    }
    for (int nSignal : {0, SIGKILL}) {
        for (int nWaited = 0; nWaited < 5000; nWaited += 50) {
            if (std::none_of(started.begin(), started.end(), Alive)) {
                return;
            }
            usleep(50000);
        }
        for (const CStarted& process : started) {
            if (nSignal != 0 && Alive(process)) {
                std::fprintf(stderr, "%s outlived SIGTERM\n", process.sName.c_str());
                kill(process.nPid, nSignal);
            }
        }
    }
}

// A root of the benchmark's own below the temporary directory: the product installed, the event
// manager and the settings store started, the protection switched on and the driver up. Ended and
// removed again by the destructor, so a compiler using the driver must be destroyed first.
class CBenchRoot {
public:
    explicit CBenchRoot(const char* szName)
        : m_sRoot((std::filesystem::temp_directory_path() / szName).string()),
          m_sCtl(ProgramPath("krellctl")) {}
    CBenchRoot(const CBenchRoot&) = delete;
    CBenchRoot& operator=(const CBenchRoot&) = delete;
    ~CBenchRoot() {
        if (m_bDriverUp) {
            m_Driver->ShutdownDriver(true);
        }
        // The driver's channel closed while its process still runs.
        m_Driver.reset();
        EndStarted(m_Started);
        std::error_code ec;
        std::filesystem::remove_all(m_sRoot, ec);
    }
    // False, with the reason on standard error, when a step fails.
    bool Start() {
        std::error_code ec;
        std::filesystem::remove_all(m_sRoot, ec);
        std::filesystem::create_directories(m_sRoot);
        setenv("KRELL_ROOT", m_sRoot.c_str(), 1);
        setenv("KRELL_DEBUG_OUTPUT", "none", 1);
        if (std::system(("'" + m_sCtl + "' init > /dev/null").c_str()) != 0) {
            std::fprintf(stderr, "could not install the product into the root\n");
            return false;
        }
        if (!StartService(u"zuZazEzi", &m_Started) || !StartService(u"lcSetMgr", &m_Started)) {
            std::fprintf(stderr, "the event manager or the settings store did not start\n");
            return false;
        }
        if (std::system(
                ("'" + m_sCtl + "' settings set 'GATEWARDEN\\PRIVATE' CurrentState --dword 1 > /dev/null")
                    .c_str()) != 0) {
            std::fprintf(stderr, "could not switch the protection on\n");
            return false;
        }
        // The store's service announces that change with a 6008 of its own; it finds no compiler yet.
        usleep(1000000);
        m_Driver.emplace();
        DWORD dwLoadError = 0;
        if (!m_Driver->InitializeChannelSubscriber() || !m_Driver->loadDriver(&dwLoadError) ||
            !Remember(KRELL_DRIVER_SERVICE_NAME, &m_Started) || !m_Driver->openDriverChannel() ||
            !m_Driver->StartListeningForMessages() || !m_Driver->ActivateDriver({})) {
            std::fprintf(stderr, "the driver did not come up (load error %u)\n", dwLoadError);
            return false;
        }
        m_bDriverUp = true;
        return true;
    }
    const std::string& Root() const { return m_sRoot; }
    CDriverControl* Driver() { return &*m_Driver; }

private:
    std::string m_sRoot;
    std::string m_sCtl;
    std::vector<CStarted> m_Started;
    std::optional<CDriverControl> m_Driver;
    bool m_bDriverUp = false;
};

// Publishes 6008 events and waits for their answers, as the settings store's service does.
class CPublisher {
public:
    bool Create() {
        IEventBridgeSource* pSource = ProductEventBridgeSource();
        auto* pHelper = new CEventManagerHelper();
        const bool bReady =
            ZEL_SUCCEEDED(pSource->CreateEventFactory(&m_EventLoader, &m_pEventFactory)) &&
            ZEL_SUCCEEDED(pSource->CreateProxyFactory(&m_ProxyLoader, &m_pProxyFactory)) &&
            pSource->ConnectEventManager(pHelper, m_pEventFactory.Get(), m_pProxyFactory.Get()) &&
            m_Provider.Create(pHelper, true);
        m_pHelper = CComPtr<CEventManagerHelper>::Attach(pHelper);
        return bReady;
    }
    ~CPublisher() { m_Provider.Release(); }
    // The answer's state and the compiler's result.
    bool PublishAndWait(LONG* pnState, HRESULT* phrResult) {
        IKTEvent* pEvent = nullptr;
        if (m_pHelper->NewEvent(KT_EVENT_CONFIG_CHANGE, &pEvent) != CError::eNoError) {
            return false;
        }
        LONG nId = 0;
        IKTEvent* pAnswer = nullptr;
        const LONG nResult = m_Provider.CreateEvent(pEvent, false, &nId, nullptr, 600000, false, &pAnswer);
        m_pHelper->DeleteEvent(pEvent);
        if (nResult != CError::eNoError || pAnswer == nullptr) {
            return false;
        }
        *phrResult = E_UNEXPECTED;
        pAnswer->GetState(pnState);
        IKTConfigEvent* pConfig = nullptr;
        if (pAnswer->QueryInterface(IID_IKTConfigEvent, reinterpret_cast<void**>(&pConfig)) >= 0 &&
            pConfig != nullptr) {
            pConfig->GetResult(phrResult);
            pConfig->Release();
        }
        m_pHelper->DeleteEvent(pAnswer);
        return true;
    }

private:
    CObjectLoader m_EventLoader;
    CObjectLoader m_ProxyLoader;
    CComPtr<IKTEventFactory> m_pEventFactory;
    CComPtr<IKTProxyFactory> m_pProxyFactory;
    CComPtr<CEventManagerHelper> m_pHelper;
    CProviderHelper m_Provider;
};

// A published 6008, its answer and the compilation counted after it.
struct CCompileRun {
    bool bAnswered = false;
    LONG nState = 0;
    HRESULT hrResult = S_OK;  // the compiler's result as the answer carries it
    bool bCompiled = false;
    HRESULT hrCompiled = S_OK;
    CCompilationTimes times;
    Clock::duration total{};  // from publishing to the answer
};

inline CCompileRun PublishAndCompile(CPublisher* pPublisher, krelltest::CDeliveringOwner* pOwner) {
    CCompileRun run;
    const int nSeen = pOwner->CompiledCount();
    const Clock::time_point start = Clock::now();
    run.bAnswered = pPublisher->PublishAndWait(&run.nState, &run.hrResult);
    run.total = Clock::now() - start;
    run.bCompiled = run.bAnswered && pOwner->Compiled(nSeen, &run.times, &run.hrCompiled);
    return run;
}

inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace benchservices
