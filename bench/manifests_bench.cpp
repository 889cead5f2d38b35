// The time from manifests landing in the manifest folder to the driver's acceptance of the KC file
// that holds their paths, for 1 manifest of 10 entries and for 100 manifests of 100 entries (10,000
// paths), with the shares of authentication, parsing, the settings keys, rule generation, the KC file,
// delivery and the rest (the folder watcher's announcement, the settings store's service and the
// events' way). Against it, in the same run, the same 10,000 paths handed straight to a rule node, as
// bench/compile does.
//
// The compiler (start/stop and manifest plug-ins) and the folder watcher run in this process; the
// event manager, the settings store's service (which answers announcements) and the driver are the
// real stand-ins of a root made here. `--quick` runs small sizes once, for the suite.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "bench_programs.h"
#include "bench_services.h"
#include "compiler/configuration_compiler.h"
#include "compiler/start_stop_config_plugin.h"
#include "manifest/manifest_folder_watcher.h"
#include "manifest/manifest_plugin.h"
#include "module/driver_control.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "support/in_process_compiler.h"

namespace {

using namespace benchservices;

// One entry of manifest k: eight in ten files in user folders, two folder trees of programs.
std::string Entry(int nManifest, int nEntry, bool* pbTree) {
    *pbTree = nEntry % 10 >= 8;
    if (*pbTree) {
        return "C:\\Program Files\\Vendor" + std::to_string(nManifest) + "\\Application" +
               std::to_string(nEntry);
    }
    return "C:\\Users\\user" + std::to_string(nEntry % 50) + "\\Documents\\Project" +
           std::to_string(nManifest) + "\\file" + std::to_string(nEntry) + ".docx";
}

// The same paths as the loader stores them, for the direct run.
std::unique_ptr<CIntermediateConfiguration> DirectIC(int nManifests, int nEntries, int nConfiguration) {
    CICRuleNode node(RS_TYPE_PROTECTED_RESOURCES);
    for (int k = 0; k < nManifests; ++k) {
        for (int i = 0; i < nEntries; ++i) {
            bool bTree = false;
            const std::string sPath = Entry(k, i, &bTree);
            node.Append(bTree ? PT_PROTECTED_FOLDER_TREE : PT_PROTECTED_FILE,
                        CICStringRuleValue(platform::FromUtf8(bTree ? sPath + "\\" : sPath)));
        }
    }
    node.Append(PT_PROTECTED_FILE, CICStringRuleValue(u"C:\\Users\\Public\\configuration" +
                                                      platform::FromUtf8(std::to_string(nConfiguration))));
    auto pIC = std::make_unique<CIntermediateConfiguration>();
    pIC->AddNode(KTDATAFILE_GATEWARDEN_RULES_ID, node);
    return pIC;
}

// Packs manifest k into the staging folder with gwmtool and the development keys.
bool Pack(const std::string& sStage, const std::string& sName, int nManifest, int nEntries, int nRun) {
    std::string sXml = "<?xml version=\"1.0\"?>\n<manifest><protected-resources><protected-paths>";
    std::string sFiles;
    for (int i = 0; i < nEntries; ++i) {
        bool bTree = false;
        const std::string sPath = Entry(nManifest, i, &bTree);
        (bTree ? sXml : sFiles) +=
            bTree ? "<path>" + sPath + "</path>" : "<filename>" + sPath + "</filename>";
    }
    // A run's own entry, so that each run is a new configuration.
    sFiles += "<filename>C:\\Users\\Public\\run" + std::to_string(nRun) + "</filename>";
    sXml += "</protected-paths><protected-files>" + sFiles +
            "</protected-files></protected-resources></manifest>\n";
    std::ofstream(sStage + "/" + sName + ".xml") << sXml;
    const std::string sDev = std::string(KRELL_DEV_CERT_DIR) + "/";
    const std::string sCommand = "'" + ProgramPath("gwmtool") + "' pack '" + sStage + "/" + sName +
                                 ".xml' --out '" + sStage + "/" + sName + ".gwm' --cert '" + sDev +
                                 "dev-signer.pem' --key '" + sDev + "dev-signer.key' > /dev/null";
    return std::system(sCommand.c_str()) == 0;
}

struct CCompiled {
    Clock::time_point at;
    CCompilationTimes times;
    CManifestLoadTimes load;
    bool bLoaded = false;  // the manifest plug-in read the folder in this compilation
    HRESULT hr = S_OK;
};

class CManifestCompiler;

// Delivers through the driver control and keeps what each compilation took.
class COwner final : public IConfigCompilerCallback, public ICompilationObserver {
public:
    explicit COwner(CDriverControl* pDriver) : m_pDriver(pDriver) {}
    void RequestStop() override { std::fprintf(stderr, "the compiler asked the service to stop\n"); }
    HRESULT SendConfigNotification(const std::u16string& sPath, CErrorStack& errorStack) override {
        return m_pDriver->SendConfigNotification(sPath, errorStack);
    }
    void OnCompiled(const CCompilationTimes& times, HRESULT hr) override;
    std::vector<CCompiled> Since(size_t nFrom) {
        std::lock_guard lock(m_Lock);
        return {m_Compiled.begin() + static_cast<std::ptrdiff_t>(std::min(nFrom, m_Compiled.size())),
                m_Compiled.end()};
    }
    size_t Count() {
        std::lock_guard lock(m_Lock);
        return m_Compiled.size();
    }
    CManifestConfigCompilerPlugin* m_pPlugin = nullptr;

private:
    CDriverControl* m_pDriver;
    std::mutex m_Lock;
    std::vector<CCompiled> m_Compiled;
};

void COwner::OnCompiled(const CCompilationTimes& times, HRESULT hr) {
    CCompiled compiled{Clock::now(), times, {}, false, hr};
    if (m_pPlugin != nullptr) {
        // Called on the compiler's thread, after the plug-ins ran: the load times are this compilation's.
        compiled.load = m_pPlugin->LastLoadTimes();
        compiled.bLoaded = true;
    }
    std::lock_guard lock(m_Lock);
    m_Compiled.push_back(compiled);
}

// The service's plug-ins that matter here: start/stop and manifests.
class CManifestCompiler final : public CKTConfigurationCompiler {
public:
    CManifestCompiler(COwner* pOwner) : CKTConfigurationCompiler(pOwner), m_pOwner(pOwner) {}

protected:
    ULONG CreatePlugins() override {
        ULONG nCount = 0;
        auto pStartStop = std::make_unique<CStartStopConfigPlugin>();
        auto pManifest = std::make_unique<CManifestConfigCompilerPlugin>();
        if (pStartStop->Initialize()) {
            m_pPlugins[nCount++] = std::move(pStartStop);
        }
        if (pManifest->Initialize()) {
            m_pOwner->m_pPlugin = pManifest.get();
            m_pPlugins[nCount++] = std::move(pManifest);
        }
        return nCount;
    }

private:
    COwner* m_pOwner;
};

std::string Cell(double d, double dTotal) {
    char szCell[32];
    std::snprintf(szCell, sizeof(szCell), "%9.1f %5.1f", d, dTotal > 0 ? 100.0 * d / dTotal : 0.0);
    return szCell;
}

// The direct run: a rule node of the same paths offered to a compiler, one 6008 each.
bool RunDirect(CDriverControl* pDriver, int nManifests, int nEntries, int nRuns, double* pdTotal) {
    krelltest::CDeliveringOwner owner(pDriver);
    krelltest::CInProcessCompiler compiler(&owner);
    compiler.SetObserver(&owner);
    CPublisher publisher;
    if (!compiler.Create() || compiler.Offered() == nullptr || !publisher.Create()) {
        std::fprintf(stderr, "the direct compiler did not start\n");
        compiler.Destroy();
        return false;
    }
    std::vector<double> totals, rules;
    for (int nRun = -1; nRun < nRuns; ++nRun) {
        compiler.Offered()->Offer(DirectIC(nManifests, nEntries, 1000 + nRun));
        const CCompileRun run = PublishAndCompile(&publisher, &owner);
        if (!run.bCompiled || FAILED(run.hrCompiled)) {
            std::fprintf(stderr, "the direct compilation failed\n");
            compiler.Destroy();
            return false;
        }
        if (nRun >= 0) {
            totals.push_back(Ms(run.total));
            rules.push_back(Ms(run.times.rules));
        }
    }
    compiler.Destroy();
    *pdTotal = Median(totals);
    std::printf("%-16s %5d %9.1f   rules %9.1f ms (%4.1f %%)\n", "direct", static_cast<int>(totals.size()),
                *pdTotal, Median(rules), 100.0 * Median(rules) / *pdTotal);
    return true;
}

// Waits until no compilation came for a second (the folder watcher's and the store's answers to a
// change of the folder have all arrived).
void Settle(COwner* pOwner) {
    size_t nLast = pOwner->Count();
    for (int nQuiet = 0; nQuiet < 10;) {
        usleep(100000);
        const size_t nNow = pOwner->Count();
        nQuiet = nNow == nLast ? nQuiet + 1 : 0;
        nLast = nNow;
    }
}

bool RunManifests(COwner* pOwner, const std::string& sFolder, const std::string& sStage, int nManifests,
                  int nEntries, int nRuns, double dDirect) {
    std::vector<double> totals, auth, parse, keys, rules, files, delivery, other;
    double dMaxShare = 0;
    for (int nRun = -1; nRun < nRuns; ++nRun) {
        std::filesystem::remove_all(sStage);
        std::filesystem::create_directories(sStage);
        for (int k = 0; k < nManifests; ++k) {
            if (!Pack(sStage, "m" + std::to_string(k), k, nEntries, nRun)) {
                std::fprintf(stderr, "gwmtool pack failed\n");
                return false;
            }
        }
        // The folder emptied first; its own compilation is not measured.
        for (const auto& entry : std::filesystem::directory_iterator(sFolder)) {
            std::filesystem::remove(entry.path());
        }
        Settle(pOwner);
        const size_t nFrom = pOwner->Count();
        const auto start = Clock::now();
        for (int k = 0; k < nManifests; ++k) {
            for (const char* szExt : {".grd", ".sig", ".gwm"}) {
                const std::string sName = "m" + std::to_string(k) + szExt;
                std::filesystem::rename(sStage + "/" + sName, sFolder + "/" + sName);
            }
        }
        // The first accepted compilation that read every manifest.
        const CCompiled* pDone = nullptr;
        std::vector<CCompiled> compiled;
        for (int nWaited = 0; nWaited < 600 && pDone == nullptr; ++nWaited) {
            usleep(100000);
            compiled = pOwner->Since(nFrom);
            for (const CCompiled& c : compiled) {
                if (c.bLoaded && c.load.nFiles == nManifests && SUCCEEDED(c.hr) &&
                    c.times.delivery.count() > 0) {
                    pDone = &c;
                    break;
                }
            }
        }
        if (pDone == nullptr) {
            std::fprintf(stderr, "no compilation read the %d manifests within a minute\n", nManifests);
            return false;
        }
        if (nRun < 0) {
            continue;
        }
        const double dTotal = Ms(pDone->at - start);
        const double dAuth = Ms(pDone->load.authentication);
        const double dParse = Ms(pDone->load.parsing);
        // The subprocessors' writes and the plug-in's clearing and reading back of the keys.
        const double dKeys = Ms(pDone->times.configuration) - dAuth - dParse;
        const double dRules = Ms(pDone->times.rules);
        const double dFile = Ms(pDone->times.kcFile);
        const double dDelivery = Ms(pDone->times.delivery);
        const double dOther = dTotal - Ms(pDone->times.configuration) - dRules - dFile - dDelivery;
        totals.push_back(dTotal);
        auth.push_back(dAuth);
        parse.push_back(dParse);
        keys.push_back(dKeys);
        rules.push_back(dRules);
        files.push_back(dFile);
        delivery.push_back(dDelivery);
        other.push_back(dOther);
        for (double d : {dAuth, dParse, dKeys, dRules, dFile, dDelivery, dOther}) {
            dMaxShare = std::max(dMaxShare, d / dTotal);
        }
    }
    const double dTotal = Median(totals);
    std::printf("%-16s %5d %9.1f %s %s %s %s %s %s %s",
                (std::to_string(nManifests) + " x " + std::to_string(nEntries)).c_str(),
                static_cast<int>(totals.size()), dTotal, Cell(Median(auth), dTotal).c_str(),
                Cell(Median(parse), dTotal).c_str(), Cell(Median(keys), dTotal).c_str(),
                Cell(Median(rules), dTotal).c_str(), Cell(Median(files), dTotal).c_str(),
                Cell(Median(delivery), dTotal).c_str(), Cell(Median(other), dTotal).c_str());
    if (dDirect > 0) {
        std::printf("  %.2fx direct (goal 3x), largest stage %.0f %% (goal 50 %%)", dTotal / dDirect,
                    100 * dMaxShare);
    }
    std::printf("\n");
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool bQuick = false;
    for (int nArg = 1; nArg < argc; ++nArg) {
        const std::string sArg = argv[nArg];
        if (sArg == "--quick") {
            bQuick = true;
        } else {
            std::fprintf(stderr, "usage: %s [--quick]\n", argv[0]);
            return 2;
        }
    }
    const int nRuns = bQuick ? 1 : 3;
    CBenchRoot root("krell-bench-manifests");
    if (!root.Start()) {
        return 1;
    }
    std::string sFolder;
    platform::MapPath(u"C:\\Program Files\\Common Files\\Quillon Shared\\GWManifests", &sFolder);
    const std::string sStage = root.Root() + "/stage";
    CDriverControl* pDriver = root.Driver();
    int nExit = 1;
    const int nBig = bQuick ? 5 : 100;
    std::printf("%-16s %5s %9s %15s %15s %15s %15s %15s %15s %15s\n", "manifests", "runs", "total ms",
                "auth ms   %", "parse ms   %", "keys ms   %", "rules ms   %", "KC file ms   %",
                "delivery ms %", "announce ms %");
    double dDirect = 0;
    if (RunDirect(pDriver, nBig, nBig, nRuns, &dDirect)) {
        COwner owner(pDriver);
        CManifestCompiler compiler(&owner);
        compiler.SetObserver(&owner);
        CManifestFolderDirChangeHandler watcher;
        if (!compiler.Create() || owner.m_pPlugin == nullptr) {
            std::fprintf(stderr, "the manifest compiler did not start\n");
        } else {
            watcher.TrackManifestFolderDirectoryChanges();
            if (watcher.GetFolderThreadID() == 0) {
                std::fprintf(stderr, "the manifest folder is not watched\n");
            } else if (RunManifests(&owner, sFolder, sStage, 1, 10, nRuns, 0) &&
                       RunManifests(&owner, sFolder, sStage, nBig, nBig, nRuns, dDirect)) {
                nExit = 0;
            }
            watcher.StopTrackingManifestFolder(10000);
        }
        compiler.Destroy();
    }
    std::printf(
        "medians of each column's own runs; auth: signature checks; parse: reading, deciphering and the "
        "XML parse; keys: the subprocessors' settings writes and the plug-in's clearing and reading back; "
        "announce: the rest, from the files landing to the compilation's start (the watcher's event, the "
        "store's 300 ms wait for the burst to end, the configuration change's way)\n");
    return nExit;
}
