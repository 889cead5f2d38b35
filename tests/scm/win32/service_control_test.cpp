// The service control manager of the system itself (under Wine, its services.exe): the test service
// program installed, started, controlled, stopped and deleted, and the codes of refused calls. The
// cases are those of the Linux tests that state the platform's behaviour.
#include <gtest/gtest.h>
#include <process.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "platform/strings.h"
#include "platform/system.h"

extern "C" {
__declspec(dllimport) void* __stdcall OpenProcess(DWORD, int, DWORD);
__declspec(dllimport) int __stdcall TerminateProcess(void*, unsigned);
__declspec(dllimport) int __stdcall CloseHandle(void*);
}

namespace {

using namespace platform;

constexpr DWORD PROCESS_TERMINATE = 0x0001;
constexpr DWORD ACCEPT_ALL = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE h = nullptr) : m_h(h) {}
    ~ScHandle() {
        if (m_h != nullptr) {
            CloseServiceHandle(m_h);
        }
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return m_h; }
    explicit operator bool() const { return m_h != nullptr; }
    void Close() {
        if (m_h != nullptr) {
            CloseServiceHandle(m_h);
            m_h = nullptr;
        }
    }

private:
    SC_HANDLE m_h;
};

std::u16string ProgramDirectory() {
    std::u16string sPath;
    EXPECT_TRUE(GetModuleFileName(&sPath));
    return sPath.substr(0, sPath.rfind(u'\\'));
}

// The test service program beside this one.
std::u16string ChildProgram() {
    return ProgramDirectory() + u"\\krell_child_service.exe";
}

class ScmWin32Test : public testing::Test {
protected:
    void SetUp() override {
        m_hManager = OpenSCManager(nullptr, u"ServicesActive", SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(m_hManager, nullptr) << GetLastError();
    }

    // Every service this test installed is stopped (its process ended by id if it will not stop) and
    // deleted: the Wine prefix is shared by every test.
    void TearDown() override {
        for (const std::u16string& sName : m_created) {
            ScHandle hService(OpenService(m_hManager, sName.c_str(), SERVICE_ALL_ACCESS));
            if (!hService) {
                continue;
            }
            const SERVICE_STATUS_PROCESS running = Query(hService.get());
            const DWORD dwPid = running.dwProcessId;
            if (dwPid != 0) {
                SERVICE_STATUS status{};
                const bool bStops = (running.dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0 &&
                                    ControlService(hService.get(), SERVICE_CONTROL_STOP, &status);
                if (!bStops || !WaitForState(hService.get(), SERVICE_STOPPED, 5000)) {
                    void* hProcess = OpenProcess(PROCESS_TERMINATE, 0, dwPid);
                    if (hProcess != nullptr) {
                        TerminateProcess(hProcess, 1);
                        CloseHandle(hProcess);
                    }
                    WaitForState(hService.get(), SERVICE_STOPPED, 5000);
                }
            }
            DeleteService(hService.get());
        }
        CloseServiceHandle(m_hManager);
    }

    static std::u16string ServiceImage(const std::string& sArguments) {
        return u"\"" + ChildProgram() + u"\" " + FromUtf8(sArguments);
    }

    // Names carry a prefix of their own: the prefix's services.exe has services of its own.
    SC_HANDLE Create(const std::u16string& sName, const std::u16string& sImage,
                     DWORD dwType = SERVICE_WIN32_OWN_PROCESS, DWORD dwStart = SERVICE_DEMAND_START,
                     const char16_t* szDisplayName = nullptr) {
        m_created.push_back(sName);
        return CreateService(m_hManager, sName.c_str(), szDisplayName, SERVICE_ALL_ACCESS, dwType, dwStart,
                             SERVICE_ERROR_NORMAL, sImage.c_str(), nullptr, nullptr, nullptr, nullptr,
                             nullptr);
    }

    static SERVICE_STATUS_PROCESS Query(SC_HANDLE hService) {
        SERVICE_STATUS_PROCESS status{};
        DWORD cbNeeded = 0;
        EXPECT_TRUE(QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                         sizeof(status), &cbNeeded))
            << GetLastError();
        return status;
    }

    static bool WaitForState(SC_HANDLE hService, DWORD dwState, int nTimeoutMs) {
        for (int nWaited = 0; nWaited < nTimeoutMs; nWaited += 5) {
            if (Query(hService).dwCurrentState == dwState) {
                return true;
            }
            Sleep(5);
        }
        return false;
    }

    // A deleted service's entry goes once its last handle is closed.
    bool WaitGone(const char16_t* szName) {
        for (int i = 0; i < 200; ++i) {
            ScHandle hProbe(OpenService(m_hManager, szName, SERVICE_QUERY_STATUS));
            if (!hProbe && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
                return true;
            }
            Sleep(10);
        }
        return false;
    }

    SC_HANDLE m_hManager = nullptr;
    std::vector<std::u16string> m_created;
};

struct Seen {
    DWORD dwState;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
    bool operator==(const Seen& other) const {
        return dwState == other.dwState && dwCheckPoint == other.dwCheckPoint &&
               dwWaitHint == other.dwWaitHint;
    }
};

// Polls until the service reaches dwFinal, collecting each distinct status on the way.
std::vector<Seen> Watch(SC_HANDLE hService, DWORD dwFinal, SERVICE_STATUS_PROCESS* pFinal) {
    std::vector<Seen> seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (;;) {
        SERVICE_STATUS_PROCESS status{};
        DWORD cbNeeded = 0;
        EXPECT_TRUE(QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                         sizeof(status), &cbNeeded));
        const Seen now{status.dwCurrentState, status.dwCheckPoint, status.dwWaitHint};
        if (seen.empty() || !(seen.back() == now)) {
            seen.push_back(now);
        }
        if (status.dwCurrentState == dwFinal || std::chrono::steady_clock::now() > deadline) {
            *pFinal = status;
            return seen;
        }
        Sleep(2);
    }
}

TEST_F(ScmWin32Test, StatusSequenceFromStartToStop) {
    ScHandle hService(Create(u"KrellTestSeq", ServiceImage("1 7 600")));
    ASSERT_TRUE(hService) << GetLastError();
    const char16_t* args[] = {u"alpha", u"two words"};
    ASSERT_TRUE(StartService(hService.get(), 2, args)) << GetLastError();

    // ServiceMain reports START_PENDING at checkpoint 1 with a 3 s hint, then RUNNING after the delay.
    SERVICE_STATUS_PROCESS status{};
    std::vector<Seen> seen = Watch(hService.get(), SERVICE_RUNNING, &status);
    ASSERT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_NE(std::find(seen.begin(), seen.end(), Seen{SERVICE_START_PENDING, 1, 3000}), seen.end());
    EXPECT_EQ(status.dwControlsAccepted, SERVICE_ACCEPT_STOP);
    EXPECT_EQ(status.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_NE(status.dwProcessId, 0u);
    const DWORD dwPid = status.dwProcessId;
    EXPECT_FALSE(StartService(hService.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);

    SERVICE_STATUS plain{};
    ASSERT_TRUE(ControlService(hService.get(), SERVICE_CONTROL_INTERROGATE, &plain)) << GetLastError();
    EXPECT_EQ(plain.dwCurrentState, SERVICE_RUNNING);
    ASSERT_TRUE(ControlService(hService.get(), 200, &plain)) << GetLastError();

    // Stop: STOP_PENDING with rising checkpoints, then STOPPED with the service's exit code.
    ASSERT_TRUE(ControlService(hService.get(), SERVICE_CONTROL_STOP, &plain)) << GetLastError();
    seen = Watch(hService.get(), SERVICE_STOPPED, &status);
    ASSERT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, ERROR_SERVICE_SPECIFIC_ERROR);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 7u);
    EXPECT_EQ(status.dwProcessId, 0u);
    std::vector<DWORD> checkpoints;
    for (const Seen& s : seen) {
        if (s.dwState == SERVICE_STOP_PENDING) {
            EXPECT_EQ(s.dwWaitHint, 3000u);
            checkpoints.push_back(s.dwCheckPoint);
        }
    }
    ASSERT_FALSE(checkpoints.empty());
    EXPECT_TRUE(std::is_sorted(checkpoints.begin(), checkpoints.end()));
    EXPECT_GE(checkpoints.front(), 1u);

    // A stopped service starts again, in a new process.
    ASSERT_TRUE(StartService(hService.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(hService.get(), SERVICE_RUNNING, 10000));
    EXPECT_NE(Query(hService.get()).dwProcessId, dwPid);

    ASSERT_TRUE(ControlService(hService.get(), SERVICE_CONTROL_STOP, &plain)) << GetLastError();
    ASSERT_TRUE(WaitForState(hService.get(), SERVICE_STOPPED, 10000));
    ASSERT_TRUE(DeleteService(hService.get())) << GetLastError();
    hService.Close();
    EXPECT_TRUE(WaitGone(u"KrellTestSeq"));
}

TEST_F(ScmWin32Test, ControlsTheServiceDoesNotAcceptAreRefused) {
    ScHandle hService(Create(u"KrellTestNoControls", ServiceImage("0 0")));
    ASSERT_TRUE(hService);
    ASSERT_TRUE(StartService(hService.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(hService.get(), SERVICE_RUNNING, 10000));
    const struct {
        DWORD dwControl;
        DWORD dwError;  // ERROR_SUCCESS: delivered
    } cases[] = {
        {SERVICE_CONTROL_STOP, ERROR_INVALID_SERVICE_CONTROL},
        {SERVICE_CONTROL_PAUSE, ERROR_INVALID_SERVICE_CONTROL},
        {SERVICE_CONTROL_PARAMCHANGE, ERROR_INVALID_SERVICE_CONTROL},
        {SERVICE_CONTROL_INTERROGATE, ERROR_SUCCESS},
        {130, ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        SERVICE_STATUS status{};
        SetLastError(0);
        EXPECT_EQ(ControlService(hService.get(), c.dwControl, &status), c.dwError == ERROR_SUCCESS)
            << c.dwControl;
        EXPECT_EQ(GetLastError(), c.dwError) << c.dwControl;
        // The platform fills the status of a refused control too; Wine leaves it untouched.
        if (c.dwError == ERROR_SUCCESS) {
            EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING) << c.dwControl;
        }
    }
    EXPECT_EQ(Query(hService.get()).dwCurrentState, SERVICE_RUNNING);
}

TEST_F(ScmWin32Test, DeleteOfARunningServiceWaitsForItsStop) {
    ScHandle hService(Create(u"KrellTestDoomed", ServiceImage("1 0")));
    ASSERT_TRUE(hService);
    ASSERT_TRUE(StartService(hService.get(), 0, nullptr));
    ASSERT_TRUE(WaitForState(hService.get(), SERVICE_RUNNING, 10000));

    ASSERT_TRUE(DeleteService(hService.get())) << GetLastError();
    EXPECT_FALSE(DeleteService(hService.get()));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_EQ(ScHandle(Create(u"KrellTestDoomed", ServiceImage("1 0"))).get(), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    // Still there to be watched and stopped.
    ScHandle hAgain(OpenService(m_hManager, u"KrellTestDoomed", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(hAgain) << GetLastError();
    EXPECT_EQ(Query(hAgain.get()).dwCurrentState, SERVICE_RUNNING);

    SERVICE_STATUS plain{};
    ASSERT_TRUE(ControlService(hAgain.get(), SERVICE_CONTROL_STOP, &plain));
    ASSERT_TRUE(WaitForState(hAgain.get(), SERVICE_STOPPED, 10000));
    hService.Close();
    hAgain.Close();
    EXPECT_TRUE(WaitGone(u"KrellTestDoomed"));
    HKEY hKey = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\KrellTestDoomed", 0,
                           KEY_READ, &hKey),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    // The name is free again.
    EXPECT_TRUE(ScHandle(Create(u"KrellTestDoomed", ServiceImage("1 0"))));
}

TEST_F(ScmWin32Test, ProcessThatEndsBeforeConnectingFailsTheStart) {
    ScHandle hService(Create(u"KrellTestQuitter", ServiceImage("exit-now")));
    ASSERT_TRUE(hService);
    EXPECT_FALSE(StartService(hService.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PROCESS_ABORTED);
    const SERVICE_STATUS_PROCESS status = Query(hService.get());
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
}

TEST_F(ScmWin32Test, DispatcherOutsideTheManagerFails) {
    const std::u16string sProgram = ChildProgram();
    const wchar_t* argv[] = {reinterpret_cast<const wchar_t*>(sProgram.c_str()), L"1", L"0", nullptr};
    EXPECT_EQ(_wspawnv(_P_WAIT, argv[0], argv), 63);
}

TEST_F(ScmWin32Test, CallsFailWithThePlatformsCodes) {
    ScHandle hExisting(Create(u"KrellTestExisting", ServiceImage("1 0"), SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, u"KrellTest Existing Display"));
    ASSERT_TRUE(hExisting) << GetLastError();
    ScHandle hDisabled(
        Create(u"KrellTestDisabled", ServiceImage("1 0"), SERVICE_WIN32_OWN_PROCESS, SERVICE_DISABLED));
    ScHandle hNoImage(Create(u"KrellTestNoImage", u"C:\\svc\\missing.exe -x"));
    ScHandle hReadOnly(OpenService(m_hManager, u"KrellTestExisting", GENERIC_READ));
    ScHandle hConnectOnly(OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT));
    const SC_HANDLE hStale = OpenService(m_hManager, u"KrellTestExisting", SERVICE_ALL_ACCESS);
    ASSERT_TRUE(hDisabled && hNoImage && hReadOnly && hConnectOnly && hStale != nullptr);
    ASSERT_TRUE(CloseServiceHandle(hStale));
    SERVICE_STATUS status{};

    // Wine answers an unknown ChangeServiceConfig2 level with an RPC error, not ERROR_INVALID_LEVEL,
    // so that row of the Linux table is not here.
    const struct {
        const char* szCase;
        std::function<bool()> call;  // true when the call succeeded
        DWORD dwError;
    } cases[] = {
        {"database other than ServicesActive",
         [] {
             return ScHandle(OpenSCManager(nullptr, u"ServicesFailed", SC_MANAGER_CONNECT)).get() != nullptr;
         },
         ERROR_DATABASE_DOES_NOT_EXIST},
        {"open a missing service",
         [&] {
             return ScHandle(OpenService(m_hManager, u"KrellTestMissing", SERVICE_ALL_ACCESS)).get() !=
                    nullptr;
         },
         ERROR_SERVICE_DOES_NOT_EXIST},
        {"create an existing service (other case)",
         [&] { return ScHandle(Create(u"KRELLTESTEXISTING", ServiceImage("1 0"))).get() != nullptr; },
         ERROR_SERVICE_EXISTS},
        {"display name of another service",
         [&] {
             return ScHandle(Create(u"KrellTestAnother", ServiceImage("1 0"), SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, u"krelltest existing display"))
                        .get() != nullptr;
         },
         ERROR_DUPLICATE_SERVICE_NAME},
        {"name with a backslash",
         [&] { return ScHandle(Create(u"KrellTest\\b", ServiceImage("1 0"))).get() != nullptr; },
         ERROR_INVALID_NAME},
        {"empty name", [&] { return ScHandle(Create(u"", ServiceImage("1 0"))).get() != nullptr; },
         ERROR_INVALID_NAME},
        {"unknown service type",
         [&] { return ScHandle(Create(u"KrellTestBadType", ServiceImage("1 0"), 0x40)).get() != nullptr; },
         ERROR_INVALID_PARAMETER},
        {"boot start for an own-process service",
         [&] {
             return ScHandle(Create(u"KrellTestBadStart", ServiceImage("1 0"), SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_BOOT_START))
                        .get() != nullptr;
         },
         ERROR_INVALID_PARAMETER},
        {"create without SC_MANAGER_CREATE_SERVICE",
         [&] {
             return ScHandle(CreateService(hConnectOnly.get(), u"KrellTestNoRight", nullptr,
                                           SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, u"C:\\x.exe", nullptr,
                                           nullptr, nullptr, nullptr, nullptr))
                        .get() != nullptr;
         },
         ERROR_ACCESS_DENIED},
        {"start with a read-only handle", [&] { return StartService(hReadOnly.get(), 0, nullptr); },
         ERROR_ACCESS_DENIED},
        {"delete with a read-only handle", [&] { return DeleteService(hReadOnly.get()); },
         ERROR_ACCESS_DENIED},
        {"start a disabled service", [&] { return StartService(hDisabled.get(), 0, nullptr); },
         ERROR_SERVICE_DISABLED},
        {"start with a missing image", [&] { return StartService(hNoImage.get(), 0, nullptr); },
         ERROR_FILE_NOT_FOUND},
        {"stop a stopped service",
         [&] { return ControlService(hExisting.get(), SERVICE_CONTROL_STOP, &status); },
         ERROR_SERVICE_NOT_ACTIVE},
        {"a control code nobody may send", [&] { return ControlService(hExisting.get(), 60, &status); },
         ERROR_INVALID_PARAMETER},
        {"query through a closed handle", [&] { return QueryServiceStatus(hStale, &status); },
         ERROR_INVALID_HANDLE},
        {"close a closed handle", [&] { return CloseServiceHandle(hStale); }, ERROR_INVALID_HANDLE},
        {"manager handle used as a service", [&] { return StartService(m_hManager, 0, nullptr); },
         ERROR_INVALID_HANDLE},
        {"service handle used as the manager",
         [&] {
             return ScHandle(OpenService(hExisting.get(), u"KrellTestExisting", SERVICE_ALL_ACCESS)).get() !=
                    nullptr;
         },
         ERROR_INVALID_HANDLE},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.szCase;
        EXPECT_EQ(GetLastError(), c.dwError) << c.szCase;
    }
}

TEST_F(ScmWin32Test, GenericRightsMapToServiceRights) {
    ScHandle hService(Create(u"KrellTestRights", ServiceImage("1 0")));
    ASSERT_TRUE(hService);
    SERVICE_STATUS status{};
    const struct {
        DWORD dwAccess;
        bool bMayQuery;
        bool bMayStop;
    } cases[] = {
        {GENERIC_READ, true, false},
        {GENERIC_EXECUTE, false, true},
        {SERVICE_QUERY_STATUS, true, false},
        {GENERIC_ALL, true, true},
    };
    for (const auto& c : cases) {
        ScHandle h(OpenService(m_hManager, u"KrellTestRights", c.dwAccess));
        ASSERT_TRUE(h);
        EXPECT_EQ(QueryServiceStatus(h.get(), &status), c.bMayQuery) << std::hex << c.dwAccess;
        // A permitted stop of a stopped service fails for its state, a forbidden one for the right.
        EXPECT_FALSE(ControlService(h.get(), SERVICE_CONTROL_STOP, &status));
        EXPECT_EQ(GetLastError(), c.bMayStop ? ERROR_SERVICE_NOT_ACTIVE : ERROR_ACCESS_DENIED)
            << std::hex << c.dwAccess;
    }
}

}  // namespace
