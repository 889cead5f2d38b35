#include "module/ktums_module.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "module/module_doubles.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "service/registry_key.h"

namespace {

using moduletest::CRecordingComponents;
using moduletest::CStore;
using moduletest::CTestModule;
using ::testing::ElementsAreArray;

constexpr DWORD START_FAILED = static_cast<DWORD>(-1);

DWORD StartType(const char16_t* szKey) {
    CRegistryKey reg;
    DWORD dwStart = 0xFFFFFFFF;
    if (reg.Open(HKEY_LOCAL_MACHINE, szKey)) {
        reg.GetDword(u"Start", &dwStart);
    }
    return dwStart;
}

void InstallServiceKeys() {
    for (const char16_t* szKey : {CKTUMSModule::SERVICE_KEY, CKTUMSModule::DRIVER_SERVICE_KEY}) {
        CRegistryKey reg;
        ASSERT_TRUE(reg.Create(HKEY_LOCAL_MACHINE, szKey));
        ASSERT_TRUE(reg.SetDword(u"Start", SERVICE_DEMAND_START));
    }
}

std::optional<DWORD> Stored(const CStore& store, const char16_t* szName) {
    const auto key = store.find(GATEWARDEN_PRIVATE_KEY_NAME);
    if (key == store.end() || key->second.count(szName) == 0) {
        return std::nullopt;
    }
    return key->second.at(szName);
}

struct StartCase {
    const char* szName;
    std::optional<DWORD> dwState;
    std::optional<DWORD> dwDriverError;
    DWORD dwStartResult;
    DWORD dwFinalState;
    std::optional<DWORD> dwFinalDriverError;
    DWORD dwServiceStartType;  // after the whole run
};

// The start decision, the marker and the stop table, through a whole Start.
TEST(CKTUMSModule, StartDecisionAndStopTable) {
    const StartCase cases[] = {
        {"no state: unknown error, refused", std::nullopt, std::nullopt, START_FAILED, GW_STATE_OFF,
         std::nullopt, SERVICE_DEMAND_START},
        {"off", GW_STATE_OFF, std::nullopt, START_FAILED, GW_STATE_OFF, std::nullopt, SERVICE_DEMAND_START},
        {"off after error", GW_STATE_ERROR_OFF, std::nullopt, START_FAILED, GW_STATE_ERROR_OFF, std::nullopt,
         SERVICE_DEMAND_START},
        {"updating", GW_STATE_UPDATING, std::nullopt, START_FAILED, GW_STATE_OFF, std::nullopt,
         SERVICE_DEMAND_START},
        {"unknown error", GW_STATE_ERROR_UNKNOWN, 0, START_FAILED, GW_STATE_OFF, 0, SERVICE_DEMAND_START},
        {"unknown value", 9, std::nullopt, START_FAILED, GW_STATE_OFF, std::nullopt, SERVICE_DEMAND_START},
        {"on", GW_STATE_ON, std::nullopt, 0, GW_STATE_OFF, GW_DRIVER_ERROR_NONE, SERVICE_DEMAND_START},
        {"on after error", GW_STATE_ERROR_ON, 0, 0, GW_STATE_OFF, GW_DRIVER_ERROR_NONE, SERVICE_DEMAND_START},
        {"driver load left incomplete", GW_STATE_ON, 1, START_FAILED, GW_STATE_ERROR_OFF, 1,
         SERVICE_DEMAND_START},
        {"driver failed to start last time", GW_STATE_ON, 2, 0, GW_STATE_OFF, 0, SERVICE_DEMAND_START},
        {"unhandled marker", GW_STATE_ON, 7, START_FAILED, GW_STATE_OFF, 7, SERVICE_DEMAND_START},
    };
    InstallServiceKeys();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        CStore store;
        if (c.dwState) {
            store[GATEWARDEN_PRIVATE_KEY_NAME][GATEWARDEN_CURRENT_STATE] = *c.dwState;
        }
        if (c.dwDriverError) {
            store[GATEWARDEN_PRIVATE_KEY_NAME][GATEWARDEN_DRIVER_ERROR_STATE] = *c.dwDriverError;
        }
        std::vector<std::string> calls;
        CTestModule module(std::make_unique<CRecordingComponents>(&calls), &store, true);
        EXPECT_EQ(module.Start(), c.dwStartResult);
        EXPECT_EQ(Stored(store, GATEWARDEN_CURRENT_STATE).value_or(0xDEAD), c.dwFinalState);
        EXPECT_EQ(Stored(store, GATEWARDEN_DRIVER_ERROR_STATE), c.dwFinalDriverError);
        EXPECT_EQ(StartType(CKTUMSModule::SERVICE_KEY), c.dwServiceStartType);
        // Every run ends with the whole stop, whatever the start did.
        ASSERT_GE(calls.size(), 5u);
        EXPECT_THAT(std::vector<std::string>(calls.end() - 5, calls.end()),
                    ElementsAreArray({"ShutdownDriver(unload)", "DestroyConfigurationCompiler",
                                      "StopTrackingManifestFolder", "DestroyNotificationSender",
                                      "DestroyEventProvider"}));
    }
}

TEST(CKTUMSModule, SuccessfulStartRunsEveryStepInOrder) {
    InstallServiceKeys();
    CStore store;
    store[GATEWARDEN_PRIVATE_KEY_NAME][GATEWARDEN_CURRENT_STATE] = GW_STATE_ON;
    std::vector<std::string> calls;
    CTestModule module(std::make_unique<CRecordingComponents>(&calls), &store, true);
    EXPECT_EQ(module.Start(), 0u);
    EXPECT_THAT(calls, ElementsAreArray({"SetSettingsManager",
                                         "CreateEventProvider",
                                         "InitializeNotificationSender",
                                         "InitializeChannelSubscriber",
                                         "OpenDriverChannel",
                                         "CreatePolicyEventListener",
                                         "CreateMSIQueryListener0",
                                         "CreateMSIQueryListener1",
                                         "StartListeningForMessages",
                                         "ActivateDriver",
                                         "CreateConfigurationCompiler",
                                         "ForceSettingsRefresh",
                                         "Notify1",
                                         "Notify4",
                                         "Notify3",
                                         "Notify2",
                                         "ShutdownDriver(unload)",
                                         "DestroyConfigurationCompiler",
                                         "StopTrackingManifestFolder",
                                         "DestroyNotificationSender",
                                         "DestroyEventProvider"}));
}

struct DriverCase {
    const char* szName;
    int nOpenFailures;
    bool bLoadFails;
    DWORD dwLoadError;
    DWORD dwStartResult;
    DWORD dwMarker;
    bool bLoadCalled;
};

TEST(CKTUMSModule, DriverErrorMarkerFollowsTheLoad) {
    const DriverCase cases[] = {
        {"channel open at once: no load", 0, false, 0, 0, GW_DRIVER_ERROR_NONE, false},
        {"loaded, then opened", 1, false, 0, 0, GW_DRIVER_ERROR_NONE, true},
        {"load failed to start the driver", 1, true, GW_DRIVER_ERROR_START_FAILED, START_FAILED,
         GW_DRIVER_ERROR_START_FAILED, true},
        {"load left incomplete", 1, true, GW_DRIVER_ERROR_LOAD_INCOMPLETE, START_FAILED,
         GW_DRIVER_ERROR_LOAD_INCOMPLETE, true},
        {"loaded but the channel stays shut", 2, false, 0, START_FAILED, GW_DRIVER_ERROR_NONE, true},
    };
    InstallServiceKeys();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        CStore store;
        store[GATEWARDEN_PRIVATE_KEY_NAME][GATEWARDEN_CURRENT_STATE] = GW_STATE_ON;
        std::vector<std::string> calls;
        auto pComponents = std::make_unique<CRecordingComponents>(&calls);
        pComponents->m_nOpenFailures = c.nOpenFailures;
        pComponents->m_dwLoadError = c.dwLoadError;
        if (c.bLoadFails) {
            pComponents->m_Failing.insert("LoadDriver");
        }
        CTestModule module(std::move(pComponents), &store, true);
        EXPECT_EQ(module.Start(), c.dwStartResult);
        EXPECT_EQ(Stored(store, GATEWARDEN_DRIVER_ERROR_STATE), c.dwMarker);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "LoadDriver"), c.bLoadCalled ? 1 : 0);
    }
}

TEST(CKTUMSModule, FailingComponentStopsTheStartAtItsStep) {
    const char* failing[] = {"CreateEventProvider",
                             "InitializeNotificationSender",
                             "InitializeChannelSubscriber",
                             "CreatePolicyEventListener",
                             "CreateMSIQueryListener1",
                             "StartListeningForMessages",
                             "ActivateDriver",
                             "CreateConfigurationCompiler"};
    InstallServiceKeys();
    for (const char* szFailing : failing) {
        SCOPED_TRACE(szFailing);
        CStore store;
        store[GATEWARDEN_PRIVATE_KEY_NAME][GATEWARDEN_CURRENT_STATE] = GW_STATE_ON;
        std::vector<std::string> calls;
        auto pComponents = std::make_unique<CRecordingComponents>(&calls);
        pComponents->m_Failing.insert(szFailing);
        CTestModule module(std::move(pComponents), &store, true);
        EXPECT_EQ(module.Start(), START_FAILED);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "ForceSettingsRefresh"), 0);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "Notify4"), 0);
        EXPECT_EQ(Stored(store, GATEWARDEN_CURRENT_STATE), GW_STATE_OFF);  // on, then 4, then 0
    }
    // A refused refresh request is only noted.
    CStore store;
    store[GATEWARDEN_PRIVATE_KEY_NAME][GATEWARDEN_CURRENT_STATE] = GW_STATE_ON;
    std::vector<std::string> calls;
    auto pComponents = std::make_unique<CRecordingComponents>(&calls);
    pComponents->m_Failing.insert("ForceSettingsRefresh");
    CTestModule module(std::move(pComponents), &store, true);
    EXPECT_EQ(module.Start(), 0u);
}

TEST(CKTUMSModule, MissingEventManagerFallsBack) {
    struct Case {
        std::optional<DWORD> dwFallback;
        const char* szShutdown;
        DWORD dwDriverStartType;
    };
    const Case cases[] = {
        {1, "ShutdownDriver(unload)", SERVICE_DEMAND_START},
        {2, "ShutdownDriver(keep)", SERVICE_SYSTEM_START},
        {std::nullopt, "ShutdownDriver(keep)", SERVICE_SYSTEM_START},
        {7, "ShutdownDriver(keep)", SERVICE_SYSTEM_START},
    };
    for (const auto& c : cases) {
        InstallServiceKeys();
        CRegistryKey product;
        platform::RegDeleteTree(HKEY_LOCAL_MACHINE, CKTUMSModule::PRODUCT_KEY);
        if (c.dwFallback) {
            ASSERT_TRUE(product.Create(HKEY_LOCAL_MACHINE, CKTUMSModule::PRODUCT_KEY));
            ASSERT_TRUE(product.SetDword(u"FallbackAction", *c.dwFallback));
        }
        CStore store;
        store[GATEWARDEN_PRIVATE_KEY_NAME][GATEWARDEN_CURRENT_STATE] = GW_STATE_ON;
        std::vector<std::string> calls;
        CTestModule module(std::make_unique<CRecordingComponents>(&calls), &store, false);
        EXPECT_EQ(module.Start(), START_FAILED);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), c.szShutdown), 1) << c.szShutdown;
        EXPECT_EQ(StartType(CKTUMSModule::DRIVER_SERVICE_KEY), c.dwDriverStartType);
        EXPECT_EQ(StartType(CKTUMSModule::SERVICE_KEY),
                  static_cast<DWORD>(SERVICE_DEMAND_START));  // unchanged
        EXPECT_EQ(module.FinalState(), static_cast<DWORD>(GW_STATE_ON));
        // No settings manager was ever created: the store was not touched.
        EXPECT_EQ(Stored(store, GATEWARDEN_CURRENT_STATE), GW_STATE_ON);
    }
}

}  // namespace
