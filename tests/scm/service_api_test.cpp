// The service control manager's calls as the platform defines them: the status sequence of a
// service process, controls, deletion, and the codes of refused calls. These hold for the stand-in
// and for the system's own manager alike.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/registry.h"
#include "scm_fixture.h"

namespace {

using namespace platform;
using scmtest::ScHandle;

class ScmServiceApiTest : public scmtest::ScmTest {};

TEST_F(ScmServiceApiTest, StatusSequenceFromStartToStop) {
    ScHandle hService(Create(u"Seq", ServiceImage("1 7 400")));
    ASSERT_TRUE(hService);
    const char16_t* args[] = {u"alpha", u"two words"};
    ASSERT_TRUE(StartService(hService.get(), 2, args)) << GetLastError();

    // StartService returns once the dispatcher listens, before ServiceMain reports running.
    SERVICE_STATUS_PROCESS status = Query(hService.get());
    EXPECT_EQ(status.dwCurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(status.dwControlsAccepted, 0u);
    EXPECT_NE(status.dwProcessId, 0u);
    EXPECT_FALSE(StartService(hService.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
    SERVICE_STATUS plain{};
    EXPECT_FALSE(ControlService(hService.get(), SERVICE_CONTROL_INTERROGATE, &plain));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);

    ASSERT_TRUE(WaitForState(u"Seq", SERVICE_RUNNING, 10000));
    status = Query(hService.get());
    EXPECT_EQ(status.dwControlsAccepted, SERVICE_ACCEPT_STOP);
    EXPECT_EQ(status.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    const DWORD dwPid = status.dwProcessId;

    // The start arguments come after the service's name.
    EXPECT_TRUE(WaitForLog(u"Seq", "args: Seq alpha two words\n"));

    ASSERT_TRUE(ControlService(hService.get(), SERVICE_CONTROL_INTERROGATE, &plain)) << GetLastError();
    EXPECT_EQ(plain.dwCurrentState, SERVICE_RUNNING);
    ASSERT_TRUE(ControlService(hService.get(), 200, &plain)) << GetLastError();
    EXPECT_TRUE(WaitForLog(u"Seq", "control 200\n"));

    // Stop: STOP_PENDING with rising checkpoints, then STOPPED with the service's exit code.
    ASSERT_TRUE(ControlService(hService.get(), SERVICE_CONTROL_STOP, &plain)) << GetLastError();
    std::vector<DWORD> checkpoints;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        status = Query(hService.get());
        if (status.dwCurrentState == SERVICE_STOPPED || std::chrono::steady_clock::now() > deadline) {
            break;
        }
        if (status.dwCurrentState == SERVICE_STOP_PENDING &&
            (checkpoints.empty() || checkpoints.back() != status.dwCheckPoint)) {
            checkpoints.push_back(status.dwCheckPoint);
        }
        Sleep(5);
    }
    ASSERT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, ERROR_SERVICE_SPECIFIC_ERROR);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 7u);
    EXPECT_EQ(status.dwProcessId, 0u);
    ASSERT_FALSE(checkpoints.empty());
    EXPECT_TRUE(std::is_sorted(checkpoints.begin(), checkpoints.end()));
    EXPECT_GE(checkpoints.front(), 1u);
    EXPECT_TRUE(WaitForLog(u"Seq", "dispatcher returned\n"));
    for (int i = 0; i < 500 && !ProcessGone(dwPid); ++i) {
        Sleep(10);
    }
    EXPECT_TRUE(ProcessGone(dwPid));

    // A stopped service starts again.
    ASSERT_TRUE(StartService(hService.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(u"Seq", SERVICE_RUNNING, 10000));
    EXPECT_NE(Query(hService.get()).dwProcessId, dwPid);
}

TEST_F(ScmServiceApiTest, ControlsTheServiceDoesNotAcceptAreRefused) {
    ScHandle hService(Create(u"NoControls", ServiceImage("0 0")));
    ASSERT_TRUE(hService);
    ASSERT_TRUE(StartService(hService.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(u"NoControls", SERVICE_RUNNING, 10000));
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
        if (c.dwError == ERROR_SUCCESS) {
            EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING) << c.dwControl;
        }
    }
    // Only the delivered ones reached the handler.
    EXPECT_TRUE(WaitForLog(u"NoControls", "control 130\n"));
    const std::string sLog = ServiceLog(u"NoControls");
    EXPECT_NE(sLog.find("control 4\n"), std::string::npos);
    EXPECT_EQ(sLog.find("control 1\n"), std::string::npos);
    EXPECT_EQ(Query(hService.get()).dwCurrentState, SERVICE_RUNNING);
}

TEST_F(ScmServiceApiTest, RefusedControlStillReportsTheStatus) {
    ScHandle hService(Create(u"Refuser", ServiceImage("0 0")));
    ASSERT_TRUE(hService);
    ASSERT_TRUE(StartService(hService.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(u"Refuser", SERVICE_RUNNING, 10000));
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(hService.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
}

TEST_F(ScmServiceApiTest, ProcessThatEndsBeforeConnectingFailsTheStart) {
    ScHandle hService(Create(u"Quitter", ServiceImage("exit-now")));
    ASSERT_TRUE(hService);
    EXPECT_FALSE(StartService(hService.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PROCESS_ABORTED);
    const SERVICE_STATUS_PROCESS status = Query(hService.get());
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
}

TEST_F(ScmServiceApiTest, DeleteOfARunningServiceWaitsForItsStop) {
    ScHandle hService(Create(u"Doomed", ServiceImage("1 0")));
    ASSERT_TRUE(hService);
    ASSERT_TRUE(StartService(hService.get(), 0, nullptr));
    ASSERT_TRUE(WaitForState(u"Doomed", SERVICE_RUNNING, 10000));

    ASSERT_TRUE(DeleteService(hService.get())) << GetLastError();
    EXPECT_FALSE(DeleteService(hService.get()));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_EQ(ScHandle(Create(u"Doomed", ServiceImage("1 0"))).get(), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    // Still there to be watched and stopped.
    ScHandle hAgain(OpenService(m_hManager, u"Doomed", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(hAgain);
    EXPECT_EQ(Query(hAgain.get()).dwCurrentState, SERVICE_RUNNING);

    SERVICE_STATUS plain{};
    ASSERT_TRUE(ControlService(hAgain.get(), SERVICE_CONTROL_STOP, &plain));
    // The entry goes once the service has stopped and its last handle is closed.
    hService.Close();
    hAgain.Close();
    bool bGone = false;
    for (int i = 0; i < 1000 && !bGone; ++i) {
        bGone = !ScHandle(OpenService(m_hManager, u"Doomed", SERVICE_QUERY_STATUS)) &&
                GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        Sleep(10);
    }
    EXPECT_TRUE(bGone);
    HKEY hKey = nullptr;
    EXPECT_EQ(
        RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Doomed", 0, KEY_READ, &hKey),
        static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    // The name is free again.
    EXPECT_TRUE(ScHandle(Create(u"Doomed", ServiceImage("1 0"))));
}

TEST_F(ScmServiceApiTest, DispatcherOutsideTheManagerFails) {
    EXPECT_EQ(RunOutsideTheManager({"1", "0"}), 63);
}

TEST_F(ScmServiceApiTest, CallsFailWithThePlatformsCodes) {
    ScHandle hExisting(Create(u"Existing", ServiceImage("1 0"), SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, nullptr, u"Existing Display"));
    ASSERT_TRUE(hExisting);
    ScHandle hDisabled(Create(u"Disabled", ServiceImage("1 0"), SERVICE_WIN32_OWN_PROCESS, SERVICE_DISABLED));
    ScHandle hNoImage(Create(u"NoImage", u"C:\\svc\\missing.exe -x"));
    ScHandle hReadOnly(OpenService(m_hManager, u"Existing", GENERIC_READ));
    ScHandle hConnectOnly(OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT));
    const SC_HANDLE hStale = OpenService(m_hManager, u"Existing", SERVICE_ALL_ACCESS);
    ASSERT_TRUE(hDisabled && hNoImage && hReadOnly && hConnectOnly && hStale != nullptr);
    ASSERT_TRUE(CloseServiceHandle(hStale));
    SERVICE_STATUS status{};

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
         [&] { return ScHandle(OpenService(m_hManager, u"Missing", SERVICE_ALL_ACCESS)).get() != nullptr; },
         ERROR_SERVICE_DOES_NOT_EXIST},
        {"create an existing service (other case)",
         [&] { return ScHandle(Create(u"EXISTING", ServiceImage("1 0"))).get() != nullptr; },
         ERROR_SERVICE_EXISTS},
        {"display name of another service",
         [&] {
             return ScHandle(Create(u"Another", ServiceImage("1 0"), SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, nullptr, u"existing display"))
                        .get() != nullptr;
         },
         ERROR_DUPLICATE_SERVICE_NAME},
        {"name with a backslash",
         [&] { return ScHandle(Create(u"a\\b", ServiceImage("1 0"))).get() != nullptr; }, ERROR_INVALID_NAME},
        {"empty name", [&] { return ScHandle(Create(u"", ServiceImage("1 0"))).get() != nullptr; },
         ERROR_INVALID_NAME},
        {"unknown service type",
         [&] { return ScHandle(Create(u"BadType", ServiceImage("1 0"), 0x40)).get() != nullptr; },
         ERROR_INVALID_PARAMETER},
        {"boot start for an own-process service",
         [&] {
             return ScHandle(Create(u"BadStart", ServiceImage("1 0"), SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_BOOT_START))
                        .get() != nullptr;
         },
         ERROR_INVALID_PARAMETER},
        {"create without SC_MANAGER_CREATE_SERVICE",
         [&] {
             return ScHandle(CreateService(hConnectOnly.get(), u"NoRight", nullptr, SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                           SERVICE_ERROR_NORMAL, u"C:\\x.exe", nullptr, nullptr, nullptr,
                                           nullptr, nullptr))
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
             return ScHandle(OpenService(hExisting.get(), u"Existing", SERVICE_ALL_ACCESS)).get() != nullptr;
         },
         ERROR_INVALID_HANDLE},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.szCase;
        EXPECT_EQ(GetLastError(), c.dwError) << c.szCase;
    }
    // None of the refused calls changed the database.
    for (const char16_t* szName : {u"Another", u"BadType", u"BadStart", u"NoRight"}) {
        EXPECT_EQ(ScHandle(OpenService(m_hManager, szName, SERVICE_QUERY_STATUS)).get(), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    }
    for (const char16_t* szName : {u"Existing", u"Disabled", u"NoImage"}) {
        EXPECT_TRUE(ScHandle(OpenService(m_hManager, szName, SERVICE_QUERY_STATUS)));
    }
}

TEST_F(ScmServiceApiTest, UnknownConfigurationLevelIsRefused) {
    ScHandle hService(Create(u"Levels", ServiceImage("1 0")));
    ASSERT_TRUE(hService);
    SERVICE_DESCRIPTION description{nullptr};
    EXPECT_FALSE(ChangeServiceConfig2(hService.get(), 99, &description));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_LEVEL);
}

TEST_F(ScmServiceApiTest, InventedHandleIsRefused) {
    SERVICE_STATUS status{};
    EXPECT_FALSE(QueryServiceStatus(reinterpret_cast<SC_HANDLE>(std::uintptr_t{0x1234}), &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ScmServiceApiTest, GenericRightsMapToServiceRights) {
    ScHandle hService(Create(u"Rights", ServiceImage("1 0")));
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
        ScHandle h(OpenService(m_hManager, u"Rights", c.dwAccess));
        ASSERT_TRUE(h);
        EXPECT_EQ(QueryServiceStatus(h.get(), &status), c.bMayQuery) << std::hex << c.dwAccess;
        // A permitted stop of a stopped service fails for its state, a forbidden one for the right.
        EXPECT_FALSE(ControlService(h.get(), SERVICE_CONTROL_STOP, &status));
        EXPECT_EQ(GetLastError(), c.bMayStop ? ERROR_SERVICE_NOT_ACTIVE : ERROR_ACCESS_DENIED)
            << std::hex << c.dwAccess;
    }
}

}  // namespace
