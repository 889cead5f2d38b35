// The time from publishing a configuration change (6008) to the driver's acceptance of the new KC
// file, for protected-resource configurations of N paths (default 100, 10,000 and 100,000; others on the
// command line), with the shares of rule generation, KC writing and delivery. The compiler runs in
// this process with the start/stop plug-in and a plug-in that hands over a rule node of N paths; the
// event manager, the settings store and the driver are the real stand-ins of a root made here,
// started and ended by this program.
//
// Each measured compilation gets a path set of its own (one path differs), so the compiler really
// writes a file.
//
// Then rows of N authorized accounts and N authorized hashes (default 10,000 each; --users N, --hashes
// N), compiled by the service's authorization plug-in from the root's settings store, with the share
// of the total that the account lookups (name to SID string) and the hash texts take, each timed on
// its own over the same N entries.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_services.h"
#include "compiler/authorization_config_plugin.h"
#include "compiler/configuration_compiler.h"
#include "compiler/error_stack.h"
#include "compiler/ic_nodes.h"
#include "platform/accounts.h"
#include "platform/strings.h"
#include "platform/system.h"
#include "settings/settings_helpers.h"
#include "support/in_process_compiler.h"

namespace {

using Clock = std::chrono::steady_clock;

// Paths of a protected-resources configuration, the same for the same n: seven in ten are files in
// user folders, two folder trees of installed programs, one a file of a program's data.
std::vector<std::pair<DWORD, std::u16string>> ProtectedPaths(int nPaths) {
    std::mt19937 rng(static_cast<unsigned>(nPaths));
    static const char* const EXTENSIONS[] = {"docx", "xlsx", "pdf", "txt", "dwg", "pst"};
    std::vector<std::pair<DWORD, std::u16string>> paths;
    paths.reserve(static_cast<size_t>(nPaths));
    for (int i = 0; i < nPaths; ++i) {
        const unsigned r = rng();
        std::string sPath;
        DWORD dwType = PT_PROTECTED_FILE;
        if (i % 10 < 7) {
            sPath = "C:\\Users\\user" + std::to_string(r % 500) + "\\Documents\\Project" +
                    std::to_string(r % 7919) + "\\file" + std::to_string(i) + "." + EXTENSIONS[r % 6];
        } else if (i % 10 < 9) {
            sPath = "C:\\Program Files\\Vendor" + std::to_string(r % 97) + "\\Application" +
                    std::to_string(i) + "\\";
            dwType = PT_PROTECTED_FOLDER_TREE;
        } else {
            sPath = "C:\\ProgramData\\Vendor" + std::to_string(r % 97) + "\\Config\\settings" +
                    std::to_string(i) + ".xml";
        }
        paths.emplace_back(dwType, platform::FromUtf8(sPath));
    }
    return paths;
}

// The rule node of a configuration: the paths, and one file that names the configuration's number so
// that every configuration differs from the one before.
std::unique_ptr<CIntermediateConfiguration> ProtectedResourcesIC(
    const std::vector<std::pair<DWORD, std::u16string>>& paths, int nConfiguration) {
    CICRuleNode node(RS_TYPE_PROTECTED_RESOURCES);
    for (const auto& [dwType, sPath] : paths) {
        node.Append(dwType, CICStringRuleValue(sPath));
    }
    node.Append(PT_PROTECTED_FILE, CICStringRuleValue(u"C:\\Users\\Public\\configuration" +
                                                      platform::FromUtf8(std::to_string(nConfiguration))));
    auto pIC = std::make_unique<CIntermediateConfiguration>();
    pIC->AddNode(KTDATAFILE_GATEWARDEN_RULES_ID, node);
    return pIC;
}

using krelltest::CDeliveringOwner;
using krelltest::CInProcessCompiler;
using namespace benchservices;

// The serialized rules' size of a configuration: above the section limit the compiler writes no file.
DWORD RulesSize(const std::vector<std::pair<DWORD, std::u16string>>& paths) {
    auto pIC = ProtectedResourcesIC(paths, 0);
    const BYTE* pData = nullptr;
    DWORD cbData = 0;
    CErrorStack errors;
    return pIC->Nodes().begin()->second->GetData(pData, cbData, &errors) ? cbData : 0;
}

// Fewer runs for the larger sizes, whose compilations take seconds.
int RunsFor(int nPaths) {
    return nPaths <= 1000 ? 15 : 3;
}

int RunBench(const std::vector<int>& sizes, CInProcessCompiler* pCompiler, CDeliveringOwner* pOwner,
             CPublisher* pPublisher) {
    std::printf("%8s %5s %10s %16s %16s %16s %16s %16s %11s %6s\n", "paths", "runs", "total ms",
                "rules ms   %", "KC file ms   %", "delivery ms   %", "plug-ins ms   %", "other ms   %",
                "rules bytes", "/path");
    int nConfiguration = 0;
    for (const int nPaths : sizes) {
        const auto paths = ProtectedPaths(nPaths);
        std::vector<double> totals, rules, files, deliveries, configurations, others;
        HRESULT hrLast = S_OK;
        // The first compilation of a size is a warm-up.
        for (int nRun = -1; nRun < RunsFor(nPaths); ++nRun) {
            pCompiler->Offered()->Offer(ProtectedResourcesIC(paths, ++nConfiguration));
            const CCompileRun run = PublishAndCompile(pPublisher, pOwner);
            if (!run.bAnswered || run.nState != KT_EVENT_STATE_COMMITTED || !run.bCompiled) {
                std::fprintf(stderr, "%d paths: no compilation answered the event (answered %d, state %d)\n",
                             nPaths, run.bAnswered, static_cast<int>(run.nState));
                return 1;
            }
            hrLast = run.hrResult;
            if (nRun >= 0) {
                const CCompilationTimes& times = run.times;
                totals.push_back(Ms(run.total));
                rules.push_back(Ms(times.rules));
                files.push_back(Ms(times.kcFile));
                deliveries.push_back(Ms(times.delivery));
                configurations.push_back(Ms(times.configuration));
                others.push_back(
                    Ms(run.total - times.rules - times.kcFile - times.delivery - times.configuration));
            }
        }
        const double dTotal = Median(totals);
        const double dRules = Median(rules);
        const double dFile = Median(files);
        const double dDelivery = Median(deliveries);
        const double dConfiguration = Median(configurations);
        const double dOther = Median(others);
        const auto cell = [dTotal](double d) {
            char szCell[32];
            std::snprintf(szCell, sizeof(szCell), "%10.1f %5.1f", d, dTotal > 0 ? 100.0 * d / dTotal : 0.0);
            return std::string(szCell);
        };
        // Measured apart from the timed runs.
        const DWORD cbRules = RulesSize(paths);
        std::printf("%8d %5zu %10.1f %16s %16s %16s %16s %16s %11u %6.1f%s\n", nPaths, totals.size(), dTotal,
                    cell(dRules).c_str(), cell(dFile).c_str(), cell(dDelivery).c_str(),
                    cell(dConfiguration).c_str(), cell(dOther).c_str(), static_cast<unsigned>(cbRules),
                    static_cast<double>(cbRules) / nPaths,
                    SUCCEEDED(hrLast) ? "  accepted" : "  NOT ACCEPTED");
        if (FAILED(hrLast)) {
            std::printf(
                "%8s the compiler answered 0x%08X, no file reached the driver: the rules take %u bytes, "
                "a section at most %u\n",
                "", static_cast<unsigned>(hrLast), static_cast<unsigned>(cbRules),
                CKTConfigurationCompiler::MAX_SECTION_DATA);
        }
        std::fflush(stdout);
    }
    std::printf(
        "medians of each column's own runs; plug-ins: their configurations gathered, merged and compared "
        "with the "
        "last one; other: the rest of the total, the event's way through the event manager and back; rules "
        "bytes: the protected-resources section's serialized rules, and per path\n");
    return 0;
}

using GatewardenEvt::CAuthorizationEventData;

std::u16string BenchUser(int i) {
    char szName[32];
    std::snprintf(szName, sizeof(szName), "benchuser%05d", i);
    return platform::FromUtf8(szName);
}

std::vector<BYTE> BenchHash(int i) {
    std::vector<BYTE> hash(20);
    for (size_t b = 0; b < hash.size(); ++b) {
        hash[b] = static_cast<BYTE>((i >> (8 * (b % 4))) + b * 37);
    }
    return hash;
}

ZELRESULT Commit(ISettingsManager* pMgr, const std::u16string& sKey,
                 const std::function<ZELRESULT(ISettings*)>& fnWrite) {
    CComPtr<ISettings> pKey;
    ZELRESULT zr = pMgr->CreateSettings(sKey.c_str(), &pKey);
    if (ZEL_SUCCEEDED(zr)) {
        zr = fnWrite(pKey.Get());
    }
    return ZEL_SUCCEEDED(zr) ? pMgr->PutSettings(pKey.Get()) : zr;
}

// The accounts in the root's local account table and their names in the settings; or the hash records.
bool WriteEntries(ISettingsManager* pMgr, bool bUsers, int n) {
    if (bUsers) {
        for (int i = 0; i < n; ++i) {
            if (!platform::AddLocalAccount(
                    BenchUser(i), u"S-1-5-21-1-2-3-" + platform::FromUtf8(std::to_string(1000 + i)))) {
                return false;
            }
        }
        return ZEL_SUCCEEDED(Commit(pMgr, CAuthorizationEventData::USERS_KEY_NAME, [n](ISettings* pKey) {
            ZELRESULT zr = ZEL_SUCCESS;
            for (int i = 0; i < n && ZEL_SUCCEEDED(zr); ++i) {
                zr = pKey->PutDword(BenchUser(i).c_str(), 1);
            }
            return zr;
        }));
    }
    for (int i = 0; i < n; ++i) {
        const std::vector<BYTE> hash = BenchHash(i);
        const std::u16string sKey = std::u16string(CAuthorizationEventData::HASHES_KEY_NAME) + u"\\h" +
                                    platform::FromUtf8(std::to_string(i));
        const ZELRESULT zr = Commit(pMgr, sKey, [&](ISettings* pKey) {
            ZELRESULT zrPut = pKey->PutDword(u"Algorithm", 2);
            if (ZEL_SUCCEEDED(zrPut)) {
                zrPut = pKey->PutDword(u"HashLength", 20);
            }
            if (ZEL_SUCCEEDED(zrPut)) {
                zrPut = pKey->PutDword(u"FileLength", static_cast<DWORD>(4096 + i));
            }
            return ZEL_SUCCEEDED(zrPut) ? pKey->PutBinary(u"Hash", hash.data(), 20) : zrPut;
        });
        if (!ZEL_SUCCEEDED(zr)) {
            return false;
        }
    }
    return true;
}

// The name lookups of the plug-in on their own: name to SID, SID to its string.
Clock::duration TimeLookups(int n) {
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < n; ++i) {
        BYTE sid[100];
        DWORD cbSid = sizeof(sid);
        char16_t szDomain[260];
        DWORD cchDomain = 260;
        SID_NAME_USE eUse;
        std::u16string sSid;
        if (!platform::LookupAccountName(nullptr, BenchUser(i).c_str(), sid, &cbSid, szDomain, &cchDomain,
                                         &eUse) ||
            !platform::ConvertSidToStringSid(sid, &sSid)) {
            std::fprintf(stderr, "account %d did not resolve\n", i);
        }
    }
    return Clock::now() - start;
}

Clock::duration TimeHashTexts(int n) {
    std::vector<std::vector<BYTE>> hashes;
    for (int i = 0; i < n; ++i) {
        hashes.push_back(BenchHash(i));
    }
    const Clock::time_point start = Clock::now();
    std::u16string sText;
    for (const std::vector<BYTE>& hash : hashes) {
        CAuthorizationEventData::ConvertHashToString(hash.data(), 20, &sText);
    }
    return Clock::now() - start;
}

// The serialized authorization rules of N entries, as the plug-in files them.
DWORD AuthorizationRulesSize(bool bUsers, int n) {
    CICRuleNode node(RS_TYPE_AUTHORIZATION);
    for (int i = 0; i < n; ++i) {
        if (bUsers) {
            node.Append(
                PT_AUTHORIZED_USER_CONTEXT,
                CICStringRuleValue(u"S-1-5-21-1-2-3-" + platform::FromUtf8(std::to_string(1000 + i))));
        } else {
            std::u16string sText;
            const std::vector<BYTE> hash = BenchHash(i);
            CAuthorizationEventData::ConvertHashToString(hash.data(), 20, &sText);
            node.Append(PT_AUTHORIZED_SHA1_WITH_LENGTH,
                        CICStringDWORDRuleValue(sText, static_cast<DWORD>(4096 + i)));
        }
    }
    const BYTE* pData = nullptr;
    DWORD cbData = 0;
    CErrorStack errors;
    return node.GetData(pData, cbData, &errors) ? cbData : 0;
}

// One row: N entries compiled by the authorization plug-in, each run with one location more so that
// the rules are made again.
int RunAuthorizationRow(bool bUsers, int n, CDeliveringOwner* pOwner, CPublisher* pPublisher) {
    CSettingsManagerHelper helper;
    CComPtr<ISettingsManager> pMgr;
    ISettingsManager* pRaw = nullptr;
    if (!ZEL_SUCCEEDED(helper.Create(&pRaw))) {
        std::fprintf(stderr, "cannot reach the settings store\n");
        return 1;
    }
    pMgr = CComPtr<ISettingsManager>::Attach(pRaw);
    pMgr->DeleteSettings(CAuthorizationEventData::USERS_KEY_NAME);
    pMgr->DeleteSettings(CAuthorizationEventData::HASHES_KEY_NAME);
    const Clock::time_point setUp = Clock::now();
    if (!WriteEntries(pMgr.Get(), bUsers, n)) {
        std::fprintf(stderr, "cannot write the %s\n", bUsers ? "accounts" : "hashes");
        return 1;
    }
    const double dSetUp = Ms(Clock::now() - setUp);
    std::vector<double> totals, configurations, rules;
    HRESULT hrLast = S_OK;
    static int nRunCount = 0;
    for (int nRun = -1; nRun < 3; ++nRun) {
        const std::u16string sLocation = u"C:\\bench\\run" + platform::FromUtf8(std::to_string(++nRunCount));
        if (!ZEL_SUCCEEDED(Commit(pMgr.Get(), CAuthorizationEventData::LOCATIONS_KEY_NAME,
                                  [&](ISettings* pKey) { return pKey->PutDword(sLocation.c_str(), 1); })) ||
            !ZEL_SUCCEEDED(Commit(pMgr.Get(), CAuthorizationEventData::MODULE_KEY_NAME,
                                  [](ISettings* pKey) { return pKey->PutDword(u"RefreshNeeded", 1); }))) {
            std::fprintf(stderr, "cannot mark the authorization settings changed\n");
            return 1;
        }
        const CCompileRun run = PublishAndCompile(pPublisher, pOwner);
        if (!run.bAnswered || run.nState != KT_EVENT_STATE_COMMITTED || !run.bCompiled) {
            std::fprintf(stderr, "%d %s: no compilation answered the event (answered %d, state %d)\n", n,
                         bUsers ? "accounts" : "hashes", run.bAnswered, static_cast<int>(run.nState));
            return 1;
        }
        hrLast = run.hrResult;
        if (nRun >= 0) {
            totals.push_back(Ms(run.total));
            configurations.push_back(Ms(run.times.configuration));
            rules.push_back(Ms(run.times.rules));
        }
    }
    const double dTotal = Median(totals);
    const double dPart = Ms(bUsers ? TimeLookups(n) : TimeHashTexts(n));
    const auto share = [dTotal](double d) { return dTotal > 0 ? 100.0 * d / dTotal : 0.0; };
    std::printf("%8d %-8s %10.1f %10.1f %5.1f %10.1f %5.1f %12s %10.1f %5.1f%s%s   (set-up %.0f ms)\n", n,
                bUsers ? "accounts" : "hashes", dTotal, Median(configurations), share(Median(configurations)),
                Median(rules), share(Median(rules)), bUsers ? "lookups" : "hash text", dPart, share(dPart),
                share(dPart) < 100.0 / 3 ? "" : "  ABOVE A THIRD",
                SUCCEEDED(hrLast) ? "  accepted" : "  NOT ACCEPTED", dSetUp);
    if (FAILED(hrLast)) {
        std::printf(
            "%8s the compiler answered 0x%08X: the authorization rules take %u bytes, a section at most %u\n",
            "", static_cast<unsigned>(hrLast), static_cast<unsigned>(AuthorizationRulesSize(bUsers, n)),
            CKTConfigurationCompiler::MAX_SECTION_DATA);
    }
    std::fflush(stdout);
    pMgr->DeleteSettings(CAuthorizationEventData::USERS_KEY_NAME);
    pMgr->DeleteSettings(CAuthorizationEventData::HASHES_KEY_NAME);
    return 0;
}

int RunAuthorizationRows(int nUsers, int nHashes, CDeliveringOwner* pOwner, CPublisher* pPublisher) {
    if (nUsers == 0 && nHashes == 0) {
        return 0;
    }
    std::printf("\n%8s %-8s %10s %16s %16s %23s\n", "entries", "kind", "total ms", "plug-ins ms   %",
                "rules ms   %", "of which ms   %");
    int nExit = nUsers > 0 ? RunAuthorizationRow(true, nUsers, pOwner, pPublisher) : 0;
    if (nExit == 0 && nHashes > 0) {
        nExit = RunAuthorizationRow(false, nHashes, pOwner, pPublisher);
    }
    std::printf(
        "medians of 3 runs from publishing 6008 to the driver's acceptance; plug-ins: the plug-ins' "
        "configurations (the authorization plug-in reads the store and looks every account up); lookups "
        "and hash text: the plug-in's name lookups or hash texts of the same entries timed on their own, "
        "as a share of the total (goal: under a third)\n");
    return nExit;
}

}  // namespace

// Sizes (numbers of paths) may be given on the command line.
int main(int argc, char** argv) {
    std::vector<int> sizes;
    int nUsers = -1;
    int nHashes = -1;
    for (int nArg = 1; nArg < argc; ++nArg) {
        const std::string sArg = argv[nArg];
        int* pnCount = sArg == "--users" ? &nUsers : sArg == "--hashes" ? &nHashes : nullptr;
        if (pnCount != nullptr && nArg + 1 < argc) {
            *pnCount = std::atoi(argv[++nArg]);
            continue;
        }
        sizes.push_back(std::atoi(argv[nArg]));
        if (sizes.back() <= 0 || pnCount != nullptr) {
            std::fprintf(stderr,
                         "usage: %s [paths ...] [--users N] [--hashes N]   (default: 100 10000 100000, "
                         "10000 accounts, 10000 hashes)\n",
                         argv[0]);
            return 2;
        }
    }
    if (sizes.empty()) {
        sizes = {100, 10000, 100000};
    }
    nUsers = nUsers < 0 ? 10000 : nUsers;
    nHashes = nHashes < 0 ? 10000 : nHashes;
    CBenchRoot root("krell-bench-compile");
    if (!root.Start()) {
        return 1;
    }
    CDeliveringOwner owner(root.Driver());
    CInProcessCompiler compiler(&owner);
    compiler.SetObserver(&owner);
    compiler.AddAuthorizationPlugin();
    CPublisher publisher;
    int nExit = 1;
    if (!compiler.Create() || compiler.Offered() == nullptr) {
        std::fprintf(stderr, "the compiler did not start\n");
    } else if (!publisher.Create()) {
        std::fprintf(stderr, "cannot publish events\n");
    } else {
        nExit = RunBench(sizes, &compiler, &owner, &publisher);
        if (nExit == 0) {
            nExit = RunAuthorizationRows(nUsers, nHashes, &owner, &publisher);
        }
    }
    compiler.Destroy();
    return nExit;
}
