// The manifest check against what OpenSSL alone costs for the same work, in the same run:
// CAuthenticate::IsAuthentic of a 1 MiB manifest (guard file, detached signature, chain to the
// compiled-in root, SHA-1 of the manifest) against reading the same three files, CMS_verify of the
// signature with the root in its store, and SHA-1 of the manifest. Goal: at most 1.2 times the
// baseline. Signs with the development signer, so a build that embeds another root cannot run it.
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "crypto/sha1.h"
#include "manifest/authenticate.h"
#include "platform/paths.h"
#include "run_times_reporter.h"
#include "signature/guard_file.h"
#include "signature/guard_verifier.h"
#include "signature/trusted_root.h"

namespace {

constexpr std::size_t MANIFEST_SIZE = 1 << 20;
const char16_t* const MANIFEST_PATH = u"C:\\Manifests\\Bench.gwm";

std::string g_sHostDir;

std::vector<BYTE> ReadAll(const std::string& sPath) {
    std::ifstream in(sPath, std::ios::binary | std::ios::ate);
    std::vector<BYTE> data(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return data;
}

void WriteAll(const std::string& sPath, const std::vector<BYTE>& data) {
    std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// The manifest, its guard file and B.sig by the development signer, in a root of the benchmark's own.
bool Prepare() {
    std::mt19937 rng(5);
    std::vector<BYTE> manifest(MANIFEST_SIZE);
    for (BYTE& b : manifest) {
        b = static_cast<BYTE>(rng());
    }
    std::string sManifest;
    if (!platform::MapPath(MANIFEST_PATH, &sManifest)) {
        return false;
    }
    g_sHostDir = std::filesystem::path(sManifest).parent_path().string();
    std::filesystem::create_directories(g_sHostDir);
    WriteAll(sManifest, manifest);
    signature::GuardFile guard{"Bench", {}};
    signature::GuardEntry entry;
    crypto::Sha1(manifest, entry.digest);
    entry.sName = "Bench.gwm";
    guard.entries.push_back(entry);
    const std::string sGuard = signature::FormatGuardFile(guard);
    const std::vector<BYTE> guardBytes(sGuard.begin(), sGuard.end());
    const std::vector<BYTE> cert = ReadAll(std::string(KRELL_DEV_CERT_DIR) + "/dev-signer.pem");
    const std::vector<BYTE> key = ReadAll(std::string(KRELL_DEV_CERT_DIR) + "/dev-signer.key");
    WriteAll(g_sHostDir + "/Bench.grd", guardBytes);
    WriteAll(g_sHostDir + "/Bench.sig",
             signature::SignDetached(guardBytes, std::string(cert.begin(), cert.end()),
                                     std::string(key.begin(), key.end()), ""));
    return true;
}

void BM_IsAuthentic(benchmark::State& state) {
    for (auto _ : state) {
        CAuthenticate auth;
        bool bAuthentic = false;
        if (!auth.IsAuthentic(MANIFEST_PATH, &bAuthentic) || !bAuthentic) {
            state.SkipWithError("the manifest is not authentic (does the build embed the development root?)");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * MANIFEST_SIZE));
}

void BM_OpenSslCmsVerifyAndSha1(benchmark::State& state) {
    const std::span<const BYTE> root = signature::CompiledInRootCertificate();
    for (auto _ : state) {
        const std::vector<BYTE> guard = ReadAll(g_sHostDir + "/Bench.grd");
        const std::vector<BYTE> sig = ReadAll(g_sHostDir + "/Bench.sig");
        const unsigned char* pRoot = root.data();
        X509* pRootCert = d2i_X509(nullptr, &pRoot, static_cast<long>(root.size()));
        X509_STORE* pStore = X509_STORE_new();
        X509_STORE_add_cert(pStore, pRootCert);
        X509_STORE_set_purpose(pStore, X509_PURPOSE_ANY);
        const unsigned char* pSig = sig.data();
        CMS_ContentInfo* pCms = d2i_CMS_ContentInfo(nullptr, &pSig, static_cast<long>(sig.size()));
        BIO* pContent = BIO_new_mem_buf(guard.data(), static_cast<int>(guard.size()));
        const int nVerified = CMS_verify(pCms, nullptr, pStore, pContent, nullptr, CMS_BINARY);
        BIO_free(pContent);
        CMS_ContentInfo_free(pCms);
        X509_STORE_free(pStore);
        X509_free(pRootCert);
        crypto::Sha1Digest digest;
        crypto::Sha1(ReadAll(g_sHostDir + "/Bench.gwm"), digest);
        benchmark::DoNotOptimize(digest);
        if (nVerified != 1) {
            state.SkipWithError("CMS_verify refused the signature");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * MANIFEST_SIZE));
}

BENCHMARK(BM_IsAuthentic)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslCmsVerifyAndSha1)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    const std::string sRoot = (std::filesystem::temp_directory_path() / "krell-authenticate-bench").string();
    std::filesystem::remove_all(sRoot);
    std::filesystem::create_directories(sRoot);
    setenv("KRELL_ROOT", sRoot.c_str(), 1);
    setenv("KRELL_DEBUG_OUTPUT", "none", 1);
    if (!Prepare()) {
        std::fprintf(stderr, "cannot prepare the manifest\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    CRunTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double dOurs = reporter.m_Times["BM_IsAuthentic"];
    const double dBaseline = reporter.m_Times["BM_OpenSslCmsVerifyAndSha1"];
    if (dOurs > 0 && dBaseline > 0) {
        std::printf("1 MiB manifest, IsAuthentic / (CMS_verify + SHA-1): %.2f (goal <= 1.20)\n",
                    dOurs / dBaseline);
    }
    std::filesystem::remove_all(sRoot);
    return 0;
}
