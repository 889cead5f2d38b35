// The service control manager tests' set-up on Windows (under Wine, its services.exe): the test
// service program beside the test program, its output in a log beside it named after the service,
// and every service a test installed stopped and deleted when it ends.
#pragma once

#include <gtest/gtest.h>
#include <process.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/service_control.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "scm/sc_handle.h"

extern "C" {
__declspec(dllimport) void* __stdcall OpenProcess(DWORD, int, DWORD);
__declspec(dllimport) int __stdcall TerminateProcess(void*, unsigned);
__declspec(dllimport) int __stdcall GetExitCodeProcess(void*, DWORD*);
__declspec(dllimport) int __stdcall CloseHandle(void*);
}

namespace scmtest {

class ScmTest : public testing::Test {
protected:
    void SetUp() override {
        m_hManager = platform::OpenSCManager(nullptr, u"ServicesActive", SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(m_hManager, nullptr) << platform::GetLastError();
    }

    // A service that does not accept a stop has its process ended, by its id.
    void TearDown() override {
        for (const std::u16string& sName : m_created) {
            ScHandle hService(platform::OpenService(m_hManager, sName.c_str(), SERVICE_ALL_ACCESS));
            if (hService) {
                const SERVICE_STATUS_PROCESS running = Query(hService.get());
                if (running.dwProcessId != 0) {
                    SERVICE_STATUS status{};
                    const bool bStops =
                        (running.dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0 &&
                        platform::ControlService(hService.get(), SERVICE_CONTROL_STOP, &status);
                    if (!bStops || !WaitForState(sName, SERVICE_STOPPED, 5000)) {
                        EndProcess(running.dwProcessId);
                        WaitForState(sName, SERVICE_STOPPED, 5000);
                    }
                }
                platform::DeleteService(hService.get());
            }
            std::remove(platform::ToUtf8(LogPath(sName)).c_str());
        }
        platform::CloseServiceHandle(m_hManager);
    }

    static std::u16string ProgramDirectory() {
        std::u16string sPath;
        EXPECT_TRUE(platform::GetModuleFileName(&sPath));
        return sPath.substr(0, sPath.rfind(u'\\'));
    }
    static std::u16string ChildProgram() { return ProgramDirectory() + u"\\krell_child_service.exe"; }
    static std::u16string LogPath(const std::u16string& sName) {
        return ProgramDirectory() + u"\\" + sName + u".log";
    }

    // The test program as an own-process service: "MASK EXIT [DELAY] [flags]".
    static std::u16string ServiceImage(const std::string& sArguments) {
        return u"\"" + ChildProgram() + u"\" " + platform::FromUtf8(sArguments);
    }

    SC_HANDLE Create(const std::u16string& sName, const std::u16string& sImage,
                     DWORD dwType = SERVICE_WIN32_OWN_PROCESS, DWORD dwStart = SERVICE_DEMAND_START,
                     const char16_t* szDependencies = nullptr, const char16_t* szDisplayName = nullptr,
                     const char16_t* szGroup = nullptr) {
        m_created.push_back(sName);
        std::remove(platform::ToUtf8(LogPath(sName)).c_str());
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

    // False with ERROR_SERVICE_DOES_NOT_EXIST once the service is gone.
    bool WaitForState(const std::u16string& sName, DWORD dwState, int nTimeoutMs) const {
        for (int nWaited = 0; nWaited < nTimeoutMs; nWaited += 5) {
            ScHandle hService(platform::OpenService(m_hManager, sName.c_str(), SERVICE_QUERY_STATUS));
            if (!hService) {
                return false;
            }
            if (Query(hService.get()).dwCurrentState == dwState) {
                return true;
            }
            platform::Sleep(5);
        }
        platform::SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
        return false;
    }

    static std::string ServiceLog(const std::u16string& sName) {
        std::ifstream in(platform::ToUtf8(LogPath(sName)));
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    static bool WaitForLog(const std::u16string& sName, const std::string& sText, int nTimeoutMs = 5000) {
        for (int nWaited = 0; nWaited < nTimeoutMs; nWaited += 10) {
            if (ServiceLog(sName).find(sText) != std::string::npos) {
                return true;
            }
            platform::Sleep(10);
        }
        return false;
    }

    static bool ProcessGone(DWORD dwPid) {
        constexpr DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000, STILL_ACTIVE = 259;
        void* hProcess = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, 0, dwPid);
        if (hProcess == nullptr) {
            return true;
        }
        DWORD dwCode = 0;
        const bool bGone = GetExitCodeProcess(hProcess, &dwCode) != 0 && dwCode != STILL_ACTIVE;
        CloseHandle(hProcess);
        return bGone;
    }

    // The test service program run by the test itself, not by the manager; its exit code.
    static int RunOutsideTheManager(const std::vector<std::string>& args) {
        const std::u16string sProgram = ChildProgram();
        std::vector<std::u16string> wide;
        for (const std::string& s : args) {
            wide.push_back(platform::FromUtf8(s));
        }
        std::vector<const wchar_t*> argv{reinterpret_cast<const wchar_t*>(sProgram.c_str())};
        for (const std::u16string& s : wide) {
            argv.push_back(reinterpret_cast<const wchar_t*>(s.c_str()));
        }
        argv.push_back(nullptr);
        return static_cast<int>(_wspawnv(_P_WAIT, argv[0], argv.data()));
    }

    static void EndProcess(DWORD dwPid) {
        constexpr DWORD PROCESS_TERMINATE = 0x0001;
        void* hProcess = OpenProcess(PROCESS_TERMINATE, 0, dwPid);
        if (hProcess != nullptr) {
            TerminateProcess(hProcess, 1);
            CloseHandle(hProcess);
        }
    }

    SC_HANDLE m_hManager = nullptr;
    std::vector<std::u16string> m_created;
};

}  // namespace scmtest
