// The settings store against raw SQLite: committing one key of 1,000 values with PutSettings, one
// value at a time into that key, and listing them with LoadStringsFromKey, each against one SQLite
// transaction inserting the same rows into a table of the same shape, in the same run.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench_root.h"
#include "events/object_loader.h"
#include "platform/strings.h"
#include "run_times_reporter.h"
#include "settings/settings_helpers.h"

namespace {

constexpr int VALUES = 1000;
constexpr const char16_t* KEY = u"GATEWARDEN\\PRIVATE\\Manifest\\Data\\ProtectedFile";

std::vector<std::u16string> g_names;
CObjectLoader* g_pLoader = nullptr;

CComPtr<ISettingsManager> NewManager() {
    CComPtr<ISettingsManager> pMgr;
    g_pLoader->CreateObject(CLSID_SettingsManager, IID_ISettingsManager, reinterpret_cast<void**>(&pMgr));
    return pMgr;
}

void BM_RawSqliteInsert(benchmark::State& state) {
    const std::string sPath = std::filesystem::temp_directory_path() / "krell-bench-raw.db";
    std::filesystem::remove(sPath);
    sqlite3* pDb = nullptr;
    sqlite3_open(sPath.c_str(), &pDb);
    sqlite3_exec(pDb,
                 "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;"
                 "CREATE TABLE vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL, name TEXT NOT NULL COLLATE "
                 "NOCASE, type INTEGER NOT NULL, data NOT NULL);"
                 "CREATE UNIQUE INDEX vals_by_key ON vals(key, name);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* pInsert = nullptr;
    sqlite3_prepare_v2(pDb, "INSERT OR REPLACE INTO vals(key, name, type, data) VALUES(1, ?, 1, ?)", -1,
                       &pInsert, nullptr);
    DWORD dwRound = 0;
    for (auto _ : state) {
        ++dwRound;
        sqlite3_exec(pDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        for (const auto& sName : g_names) {
            sqlite3_bind_text16(pInsert, 1, sName.data(), static_cast<int>(sName.size() * 2), SQLITE_STATIC);
            sqlite3_bind_int64(pInsert, 2, dwRound);
            sqlite3_step(pInsert);
            sqlite3_reset(pInsert);
        }
        sqlite3_exec(pDb, "COMMIT", nullptr, nullptr, nullptr);
    }
    sqlite3_finalize(pInsert);
    sqlite3_close(pDb);
    std::filesystem::remove(sPath);
}

void BM_PutSettings(benchmark::State& state) {
    auto pMgr = NewManager();
    DWORD dwRound = 0;
    for (auto _ : state) {
        ++dwRound;
        CComPtr<ISettings> pKey;
        pMgr->CreateSettings(KEY, &pKey);
        for (const auto& sName : g_names) {
            pKey->PutDword(sName.c_str(), dwRound);
        }
        if (!ZEL_SUCCEEDED(pMgr->PutSettings(pKey.Get()))) {
            state.SkipWithError("PutSettings failed");
            break;
        }
    }
}

void BM_LoadStringsFromKey(benchmark::State& state) {
    auto pMgr = NewManager();
    std::vector<std::u16string> names;
    for (auto _ : state) {
        pMgr->AddRef();
        if (!CLcSettingsHelper::LoadStringsFromKey(pMgr.Get(), KEY, &names) || names.size() != VALUES) {
            state.SkipWithError("LoadStringsFromKey failed");
            break;
        }
    }
}

// A writer that adds one value to a large key at a time, as the manifest loader does per manifest:
// the cost of a commit itself, not of its rows.
void BM_PutSettingsOneValue(benchmark::State& state) {
    auto pMgr = NewManager();
    std::size_t nName = 0;
    for (auto _ : state) {
        CComPtr<ISettings> pKey;
        pMgr->CreateSettings(KEY, &pKey);
        pKey->PutString(g_names[nName++ % g_names.size()].c_str(), u"");
        if (!ZEL_SUCCEEDED(pMgr->PutSettings(pKey.Get()))) {
            state.SkipWithError("PutSettings failed");
            break;
        }
    }
}

BENCHMARK(BM_RawSqliteInsert)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PutSettings)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PutSettingsOneValue)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoadStringsFromKey)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    CBenchRoot root("krell-bench-settings", "lcSet.dll");
    g_pLoader = root.Loader();
    if (g_pLoader == nullptr) {
        return 1;
    }
    for (int i = 0; i < VALUES; ++i) {
        g_names.push_back(u"C:\\Program Files\\Vendor\\Product\\file" +
                          platform::FromUtf8(std::to_string(i)) + u".dll");
    }

    benchmark::Initialize(&argc, argv);
    CRunTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double dBase = reporter.m_Times["BM_RawSqliteInsert"];
    for (const char* szName : {"BM_PutSettings", "BM_PutSettingsOneValue", "BM_LoadStringsFromKey"}) {
        if (dBase > 0 && reporter.m_Times.count(szName) != 0) {
            std::printf("ratio %s / BM_RawSqliteInsert = %.2f\n", szName, reporter.m_Times[szName] / dBase);
        }
    }
    return 0;
}
