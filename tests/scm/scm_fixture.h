// Shared set-up of the service control manager tests: services installed in the test's root, the
// test service program linked into drive C, and an end to every service process a test started. The
// Windows build has its own, with the same names, in win32/.
#pragma once

#ifdef _WIN32
#include "win32/scm_fixture.h"
#else

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/service_control.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "scm/sc_handle.h"
#include "scm/scm_admin.h"
#include "support/test_root.h"

namespace scmtest {

class ScmTest : public testing::Test {
protected:
    void SetUp() override {
        // The test program appears on drive C under two names: a service and a driver image.
        const std::string sDirectory = platform::DriveDirectory(u'C') + "/svc";
        std::filesystem::create_directories(sDirectory);
        for (const char* szName : {"/child_service.exe", "/testdrv.sys"}) {
            std::error_code ec;
            std::filesystem::create_symlink(krelltest::TestBinary("krell_child_service"), sDirectory + szName,
                                            ec);
        }
        m_hManager = platform::OpenSCManager(nullptr, u"ServicesActive", SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(m_hManager, nullptr);
    }

    void TearDown() override {
        // Every service process this test started ends here, by its process id.
        std::vector<scm::ServiceEntry> services;
        scm::ListServices(&services);
        for (const auto& entry : services) {
            if (entry.dwProcessId != 0) {
                kill(static_cast<pid_t>(entry.dwProcessId), SIGKILL);
            }
        }
        for (const auto& entry : services) {
            if (entry.dwProcessId != 0) {
                scm::WaitForState(entry.sName, SERVICE_STOPPED, 5000);
            }
        }
        platform::CloseServiceHandle(m_hManager);
        // Tests of one program share a root when run in one process: each starts with no services.
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services");
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, scm::GROUP_ORDER_KEY);
        std::error_code ec;
        std::filesystem::remove_all(platform::RootSubdirectory("run"), ec);
    }

    // The test program as an own-process service: "MASK EXIT [DELAY] [flags]".
    static std::u16string ServiceImage(const std::string& sArguments) {
        return u"C:\\svc\\child_service.exe " + platform::FromUtf8(sArguments);
    }

    SC_HANDLE Create(const std::u16string& sName, const std::u16string& sImage,
                     DWORD dwType = SERVICE_WIN32_OWN_PROCESS, DWORD dwStart = SERVICE_DEMAND_START,
                     const char16_t* szDependencies = nullptr, const char16_t* szDisplayName = nullptr,
                     const char16_t* szGroup = nullptr) {
        return platform::CreateService(m_hManager, sName.c_str(), szDisplayName, SERVICE_ALL_ACCESS, dwType,
                                       dwStart, SERVICE_ERROR_NORMAL, sImage.c_str(), szGroup, nullptr,
                                       szDependencies, nullptr, nullptr);
    }

    static SERVICE_STATUS_PROCESS Query(SC_HANDLE hService) {
        SERVICE_STATUS_PROCESS status{};
        DWORD cbNeeded = 0;
        EXPECT_TRUE(platform::QueryServiceStatusEx(
            hService, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status), &cbNeeded));
        return status;
    }

    static std::string ServiceLog(const std::u16string& sName) {
        std::ifstream in(platform::RootSubdirectory("run") + "/" + platform::ToUtf8(sName) + ".log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // Waits until the service's log holds sText.
    static bool WaitForLog(const std::u16string& sName, const std::string& sText, int nTimeoutMs = 5000) {
        for (int nWaited = 0; nWaited < nTimeoutMs; nWaited += 10) {
            if (ServiceLog(sName).find(sText) != std::string::npos) {
                return true;
            }
            usleep(10000);
        }
        return false;
    }

    static bool WaitForState(const std::u16string& sName, DWORD dwState, int nTimeoutMs) {
        return scm::WaitForState(sName, dwState, nTimeoutMs);
    }

    // The test service program run by the test itself, not by the manager; its exit code.
    static int RunOutsideTheManager(const std::vector<std::string>& args) {
        std::vector<std::string> command{krelltest::TestBinary("krell_child_service")};
        command.insert(command.end(), args.begin(), args.end());
        const pid_t child = krelltest::StartChild(command);
        return child > 0 ? krelltest::WaitChild(child, 10000) : -1;
    }

    static bool ProcessGone(DWORD dwPid) {
        std::ifstream in("/proc/" + std::to_string(dwPid) + "/stat");
        std::string sStat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::size_t nClose = sStat.rfind(')');
        return nClose == std::string::npos || sStat.compare(nClose + 2, 1, "Z") == 0;
    }

    SC_HANDLE m_hManager = nullptr;
};

}  // namespace scmtest

#endif  // _WIN32
