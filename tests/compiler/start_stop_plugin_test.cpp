#include "compiler/start_stop_config_plugin.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "compiler/ic_nodes.h"
#include "compiler_test_support.h"
#include "support/debug_log.h"

namespace {

using compilertest::CStore;
using compilertest::GW_PRIVATE_KEY;
using compilertest::GW_STATES_KEY;
using GatewardenEvt::CInternalGatewardenConfigEventImpl;
using krelltest::CDebugLog;

class TestPlugin : public CStartStopConfigPlugin {
public:
    using CStartStopConfigPlugin::CStartStopConfigPlugin;
    using CStartStopConfigPlugin::PluginGetIC;
};

std::vector<DWORD> DirectWords(const CIntermediateConfiguration& ic) {
    const auto it = ic.Nodes().find(KTDATAFILE_CONFIG_ID);
    if (it == ic.Nodes().end() || !it->second) {
        return {};
    }
    const BYTE* pData = nullptr;
    DWORD cbData = 0;
    EXPECT_TRUE(it->second->GetData(pData, cbData, nullptr));
    std::vector<DWORD> words(cbData / 4);
    std::memcpy(words.data(), pData, words.size() * 4);
    return words;
}

std::multimap<DWORD, LONGLONG> RuleValues(const CIntermediateConfiguration& ic) {
    std::multimap<DWORD, LONGLONG> values;
    const auto it = ic.Nodes().find(KTDATAFILE_GATEWARDEN_RULES_ID);
    if (it == ic.Nodes().end()) {
        return values;
    }
    const auto* pRules = dynamic_cast<const CICRuleNode*>(it->second.get());
    EXPECT_NE(pRules, nullptr);
    EXPECT_EQ(pRules->GetRSType(), CStartStopConfigPlugin::RULE_SET_TYPE);
    for (const auto& [dwType, pValue] : pRules->Values()) {
        values.emplace(dwType, dynamic_cast<const CICIntegralRuleValue&>(*pValue).Value());
    }
    return values;
}

bool IsShutdownOnly(const CIntermediateConfiguration& ic) {
    return ic.Nodes().size() == 1 && ic.Nodes().begin()->first == KTDATAFILE_SHUTDOWN_ID &&
           ic.Nodes().begin()->second->GetType() == IC_NODE_SHUTDOWN;
}

// Switches left out of a row are absent from the store, so their defaults apply.
struct StateCase {
    const char* szName;
    std::map<std::u16string, DWORD> switches;
    std::optional<DWORD> currentState;
    bool bShutdown;
    std::vector<DWORD> words;  // file, registry, process; empty for a shutdown
    const char* szLogged;      // a line the case must log, or null
    const char* szNotLogged;   // a line it must not, or null
};

const char* const DISAGREE = "Component state does not agree with global enabled flag";
const char* const ALL_OFF = "GW is disabled since all of its protection was turned off";

class StartStopStateTest : public ::testing::TestWithParam<StateCase> {};

TEST_P(StartStopStateTest, SwitchesAndStateDecideTheNodes) {
    const StateCase& row = GetParam();
    CStore store;
    store[GW_STATES_KEY] = row.switches;
    store[GW_STATES_KEY][u"RefreshNeeded"] = 1;
    if (row.currentState) {
        store[GW_PRIVATE_KEY][u"CurrentState"] = *row.currentState;
    }
    TestPlugin plugin(compilertest::MemorySettings(&store));
    ASSERT_TRUE(plugin.Initialize());
    const CDebugLog log;
    CErrorStack errors;
    const auto pIC = plugin.PluginGetIC(true, errors);
    ASSERT_TRUE(pIC);
    EXPECT_EQ(IsShutdownOnly(*pIC), row.bShutdown);
    if (!row.bShutdown) {
        const std::vector<DWORD> words = DirectWords(*pIC);
        ASSERT_EQ(words.size(), 4u);
        EXPECT_EQ(std::vector<DWORD>(words.begin(), words.begin() + 3), row.words);
        EXPECT_EQ(words[3], g_DebugOutput.Mask());
        const auto values = RuleValues(*pIC);
        EXPECT_EQ(values, (std::multimap<DWORD, LONGLONG>{
                              {16, row.words[0] != 0}, {17, row.words[1] != 0}, {18, row.words[2] != 0}}));
    }
    if (row.szLogged != nullptr) {
        EXPECT_TRUE(log.Has(row.szLogged)) << log.Since();
    }
    if (row.szNotLogged != nullptr) {
        EXPECT_FALSE(log.Has(row.szNotLogged)) << log.Since();
    }
    // Cleared both after a compiled share and after a shutdown node.
    EXPECT_EQ(store[GW_STATES_KEY][u"RefreshNeeded"], 0u);
    EXPECT_TRUE(errors.Entries().empty());
    plugin.Uninitialize();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StartStopStateTest,
    ::testing::Values(
        StateCase{"NothingStoredMeansProtectionOn", {}, std::nullopt, false, {1, 1, 1}, nullptr, DISAGREE},
        StateCase{"StatesPassedThroughRaw",
                  {{u"FileProtectState", 2}, {u"RegProtectState", 0}, {u"ProcessProtectState", 7}},
                  1,
                  false,
                  {2, 0, 7},
                  nullptr,
                  DISAGREE},
        StateCase{"AllThreeOffShutsDown",
                  {{u"GWGlobalState", 1},
                   {u"FileProtectState", 0},
                   {u"RegProtectState", 0},
                   {u"ProcessProtectState", 0}},
                  1,
                  true,
                  {},
                  ALL_OFF,
                  DISAGREE},
        StateCase{"GlobalOffShutsDown", {{u"GWGlobalState", 0}}, 1, true, {}, nullptr, DISAGREE},
        StateCase{"StateOffOverridesGlobalFlag",
                  {{u"GWGlobalState", 1}, {u"FileProtectState", 1}},
                  0,
                  true,
                  {},
                  "Component state does not agree with global enabled flag. Config=0, global enabled=1",
                  nullptr},
        StateCase{
            "StateErrorOffOverridesGlobalFlag", {{u"GWGlobalState", 1}}, 4, true, {}, DISAGREE, nullptr},
        StateCase{"ErrorOffWithAllOffIsNoDisagreement",
                  {{u"FileProtectState", 0}, {u"RegProtectState", 0}, {u"ProcessProtectState", 0}},
                  4,
                  true,
                  {},
                  ALL_OFF,
                  DISAGREE},
        StateCase{"UpdatingKeepsProtectionOn",
                  {},
                  2,
                  false,
                  {1, 1, 1},
                  "Component error state != false, curState=2",
                  DISAGREE},
        StateCase{"ErrorOnKeepsProtectionOn", {}, 3, false, {1, 1, 1}, nullptr, DISAGREE},
        StateCase{
            "UnknownStateIsTheDefaultCase", {}, 9, false, {1, 1, 1}, "default case, eCurState=9.", DISAGREE}),
    [](const auto& info) { return std::string(info.param.szName); });

TEST(StartStopConfigPlugin, CleanDirtyBitGivesNoNewICUnlessAskedFor) {
    CStore store;
    store[GW_STATES_KEY][u"RefreshNeeded"] = 0;
    TestPlugin plugin(compilertest::MemorySettings(&store));
    ASSERT_TRUE(plugin.Initialize());
    CErrorStack errors;
    const CIntermediateConfiguration* pIC = nullptr;
    EXPECT_TRUE(plugin.GetIC(true, &pIC, errors));
    ASSERT_NE(pIC, nullptr);
    const CIntermediateConfiguration* pFirst = pIC;
    // Unchanged: the caller gets the last IC again, and no new one.
    EXPECT_FALSE(plugin.GetIC(false, &pIC, errors));
    EXPECT_EQ(pIC, pFirst);
    store[GW_STATES_KEY][u"RefreshNeeded"] = 1;
    store[GW_STATES_KEY][u"FileProtectState"] = 0;
    EXPECT_TRUE(plugin.GetIC(false, &pIC, errors));
    EXPECT_EQ(DirectWords(*pIC), (std::vector<DWORD>{0, 1, 1, g_DebugOutput.Mask()}));
    EXPECT_EQ(store[GW_STATES_KEY][u"RefreshNeeded"], 0u);
    plugin.Uninitialize();
}

TEST(StartStopConfigPlugin, FailedSettingsManagerFailsInitialize) {
    TestPlugin plugin([](ISettingsManager** ppManager) {
        *ppManager = nullptr;
        return ZEL_E_STORE_NOT_RUNNING;
    });
    const CDebugLog log;
    EXPECT_FALSE(plugin.Initialize());
    EXPECT_TRUE(
        log.Has("CBaseConfigCompilerPlugin::Initialize() - m_SettingsManagerHelper.Create() failed "
                "(0x80000207).\r\n"));
}

// Sets the end of a temporary disabling, as local time, so many seconds from now.
void SetTempEnd(CStore& store, long nSeconds) {
    const std::time_t tEnd = std::time(nullptr) + nSeconds;
    std::tm local{};
    localtime_r(&tEnd, &local);
    auto& values = store[GW_STATES_KEY];
    values[u"GWTempExpireYear"] = static_cast<DWORD>(local.tm_year + 1900);
    values[u"GWTempExpireMonth"] = static_cast<DWORD>(local.tm_mon + 1);
    values[u"GWTempExpireDay"] = static_cast<DWORD>(local.tm_mday);
    values[u"GWTempExpireHour"] = static_cast<DWORD>(local.tm_hour);
    values[u"GWTempExpireMinute"] = static_cast<DWORD>(local.tm_min);
    values[u"GWTempExpireSecond"] = static_cast<DWORD>(local.tm_sec);
}

TEST(CInternalGatewardenConfigEventImpl, TemporaryDisablingRoundsUpToWholeMinutes) {
    struct Row {
        long nSeconds;
        DWORD dwMinutes;
    };
    for (const Row row : {Row{30, 1}, Row{-30, 0}, Row{150, 3}, Row{3600, 60}}) {
        CStore store;
        SetTempEnd(store, row.nSeconds);
        CInternalGatewardenConfigEventImpl config;
        DWORD dwMinutes = 99;
        EXPECT_EQ(config.GetTempDisableMinutes(&dwMinutes), static_cast<HRESULT>(0x80010203));
        ASSERT_TRUE(config.LoadData(new compilertest::CMemorySettingsManager(&store)));
        ASSERT_EQ(config.GetTempDisableMinutes(&dwMinutes), 0x00010000);
        // A second may pass between setting and reading; it can only lower the count by one.
        EXPECT_TRUE(dwMinutes == row.dwMinutes || (row.dwMinutes > 1 && dwMinutes == row.dwMinutes - 1))
            << row.nSeconds << " s gave " << dwMinutes;
        bool bDisabled = false;
        EXPECT_EQ(config.IsTemporarilyDisabled(&bDisabled), 0x00010000);
        EXPECT_EQ(bDisabled, row.dwMinutes != 0);
    }
}

TEST(StartStopConfigPlugin, TemporaryDisablingAddsItsEndAsFileTime) {
    CStore store;
    SetTempEnd(store, 600);
    TestPlugin plugin(compilertest::MemorySettings(&store));
    ASSERT_TRUE(plugin.Initialize());
    const CDebugLog log;
    CErrorStack errors;
    const std::time_t tBefore = std::time(nullptr);
    const auto pIC = plugin.PluginGetIC(true, errors);
    ASSERT_TRUE(pIC);
    const auto values = RuleValues(*pIC);
    ASSERT_EQ(values.count(19), 1u);
    const LONGLONG llEnd = values.find(19)->second;
    const LONGLONG llExpected = (static_cast<LONGLONG>(tBefore) + 600) * 10000000LL + 116444736000000000LL;
    EXPECT_NEAR(static_cast<double>(llEnd), static_cast<double>(llExpected), 2 * 10000000.0);
    EXPECT_TRUE(log.Has("CStartStopConfigPlugin::PluginGetIC - Disabled until ")) << log.Since();
    plugin.Uninitialize();
}

}  // namespace
