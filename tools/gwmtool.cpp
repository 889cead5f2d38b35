// gwmtool: the operator's tool for manifests. Enciphers and deciphers them, writes guard files, signs
// them and runs the service's own authenticity check. Every file it writes appears whole or not at
// all (written beside its place, then renamed).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "crypto/sha1.h"
#include "manifest/authenticate.h"
#include "manifest/manifest_cipher.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/xml_dom.h"
#include "signature/guard_file.h"
#include "signature/guard_verifier.h"
#include "signature/signature_errors.h"

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

const char USAGE[] =
    "usage: gwmtool encipher IN OUT\n"
    "       gwmtool decipher IN OUT\n"
    "       gwmtool guard OUT.grd FILE...\n"
    "       gwmtool sign GUARD --cert CERT.pem --key KEY.pem [--chain CHAIN.pem] [--slot N]\n"
    "       gwmtool verify MANIFEST\n"
    "       gwmtool pack XML --out DIR/NAME.gwm --cert CERT.pem --key KEY.pem [--chain CHAIN.pem]\n"
    "       gwmtool show MANIFEST\n";

struct Failure {
    std::string sText;
};

int Usage() {
    std::fputs(USAGE, stderr);
    return EXIT_USAGE;
}

std::vector<BYTE> ReadAll(const std::string& sPath) {
    std::ifstream in(sPath, std::ios::binary);
    if (!in) {
        throw Failure{"cannot read " + sPath + ": " + std::strerror(errno)};
    }
    std::vector<BYTE> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw Failure{"cannot read " + sPath};
    }
    return data;
}

std::string ReadText(const std::string& sPath) {
    const std::vector<BYTE> data = ReadAll(sPath);
    return std::string(data.begin(), data.end());
}

// Written to a new file beside the target, flushed, then renamed over it.
void WriteWhole(const std::string& sPath, const std::vector<BYTE>& data) {
    const std::filesystem::path target(sPath);
    std::string sTemp = (target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path()) /
                        ("." + target.filename().string() + ".XXXXXX");
    const int fd = mkstemp(sTemp.data());
    if (fd < 0) {
        throw Failure{"cannot write " + sPath + ": " + std::strerror(errno)};
    }
    std::size_t nDone = 0;
    while (nDone < data.size()) {
        const ssize_t n = write(fd, data.data() + nDone, data.size() - nDone);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int nError = errno;
            close(fd);
            unlink(sTemp.c_str());
            throw Failure{"cannot write " + sPath + ": " + std::strerror(nError)};
        }
        nDone += static_cast<std::size_t>(n);
    }
    if (fchmod(fd, 0644) != 0 || fsync(fd) != 0 || close(fd) != 0) {
        const int nError = errno;
        unlink(sTemp.c_str());
        throw Failure{"cannot write " + sPath + ": " + std::strerror(nError)};
    }
    if (rename(sTemp.c_str(), sPath.c_str()) != 0) {
        const int nError = errno;
        unlink(sTemp.c_str());
        throw Failure{"cannot write " + sPath + ": " + std::strerror(nError)};
    }
}

std::string StripExtension(const std::string& sPath) {
    const std::filesystem::path path(sPath);
    return path.has_extension() ? (path.parent_path() / path.stem()).string() : sPath;
}

bool HasExtension(const std::string& sPath, const char* szExtension) {
    return std::filesystem::path(sPath).extension() == szExtension;
}

std::vector<BYTE> BuildGuard(const std::string& sGuardPath, const std::vector<std::string>& files) {
    signature::GuardFile guard;
    guard.sGuards = std::filesystem::path(sGuardPath).stem().string();
    for (const std::string& sFile : files) {
        signature::GuardEntry entry;
        if (!crypto::Sha1(ReadAll(sFile), entry.digest)) {
            throw Failure{"SHA-1 of " + sFile + " failed"};
        }
        entry.sName = std::filesystem::path(sFile).filename().string();
        guard.entries.push_back(std::move(entry));
    }
    const std::string sText = signature::FormatGuardFile(guard);
    return std::vector<BYTE>(sText.begin(), sText.end());
}

struct SignOptions {
    std::string sCert, sKey, sChain, sOut;
    std::optional<int> nSlot;
};

// Parses "--name value" options after the positional arguments; false on anything unknown.
bool ParseOptions(int argc, char** argv, int nFirst, SignOptions* pOptions, bool bSlot, bool bOut) {
    for (int i = nFirst; i < argc; i += 2) {
        const std::string sName = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const std::string sValue = argv[i + 1];
        if (sName == "--cert") {
            pOptions->sCert = sValue;
        } else if (sName == "--key") {
            pOptions->sKey = sValue;
        } else if (sName == "--chain") {
            pOptions->sChain = sValue;
        } else if (sName == "--slot" && bSlot) {
            if (sValue.size() != 1 || sValue[0] < '0' || sValue[0] > '9') {
                throw Failure{"--slot takes a digit from 0 to 9, not \"" + sValue + "\""};
            }
            pOptions->nSlot = sValue[0] - '0';
        } else if (sName == "--out" && bOut) {
            pOptions->sOut = sValue;
        } else {
            return false;
        }
    }
    return !pOptions->sCert.empty() && !pOptions->sKey.empty() && (!bOut || !pOptions->sOut.empty());
}

std::vector<BYTE> Sign(const std::vector<BYTE>& guard, const SignOptions& options) {
    const std::string sCert = ReadText(options.sCert);
    const std::string sKey = ReadText(options.sKey);
    const std::string sChain = options.sChain.empty() ? std::string() : ReadText(options.sChain);
    try {
        return signature::SignDetached(guard, sCert, sKey, sChain);
    } catch (const signature::error& e) {
        throw Failure{std::string("cannot sign: ") + e.what()};
    }
}

std::string SignaturePath(const std::string& sGuardPath, int nSlot) {
    return StripExtension(sGuardPath) + (nSlot == 0 ? std::string() : std::to_string(nSlot)) + ".sig";
}

// The service's check on a path of this machine, which the seam sees in Windows form.
int Verify(const std::string& sManifest) {
    std::error_code ec;
    const std::string sAbsolute = std::filesystem::absolute(sManifest, ec).lexically_normal().string();
    if (ec) {
        throw Failure{"bad path " + sManifest};
    }
    const std::u16string sWindows = platform::WindowsPathOf(sAbsolute);
    CAuthenticate auth;
    bool bAuthentic = false;
    DWORD dwResult = AUTH_ERROR;
    const bool bCall = auth.IsAuthentic(sWindows.c_str(), &bAuthentic, &dwResult);
    std::printf("result 0x%02X: %s\n%s\n", static_cast<unsigned>(dwResult), AuthResultText(dwResult),
                !bCall       ? "check failed: not authentic"
                : bAuthentic ? "authentic"
                             : "not authentic");
    return bAuthentic ? 0 : EXIT_FAILED;
}

void CheckXml(const std::string& sPath, const std::vector<BYTE>& xml) {
    platform::CXmlDocument* pDocument = nullptr;
    if (platform::CXmlDocument::Create(&pDocument) != S_OK) {
        throw Failure{"cannot create an XML document"};
    }
    const HRESULT hr = pDocument->Load(xml.data(), xml.size());
    const platform::XmlParseError error = pDocument->ParseError();
    pDocument->Release();
    if (hr != S_OK) {
        throw Failure{sPath + " is not well-formed XML: line " + std::to_string(error.line) + ", position " +
                      std::to_string(error.linepos) + ": " + platform::ToUtf8(error.reason)};
    }
}

int Run(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    const std::string sCommand = argv[1];
    if ((sCommand == "encipher" || sCommand == "decipher") && argc == 4) {
        std::vector<BYTE> data = ReadAll(argv[2]);
        (sCommand == "encipher" ? EncipherManifest : DecipherManifest)(data.data(), data.size());
        WriteWhole(argv[3], data);
        return 0;
    }
    if (sCommand == "guard" && argc >= 4) {
        if (!HasExtension(argv[2], ".grd")) {
            throw Failure{std::string("the guard file's name must end in .grd: ") + argv[2]};
        }
        WriteWhole(argv[2], BuildGuard(argv[2], std::vector<std::string>(argv + 3, argv + argc)));
        return 0;
    }
    if (sCommand == "sign" && argc >= 3) {
        SignOptions options;
        if (!ParseOptions(argc, argv, 3, &options, true, false)) {
            return Usage();
        }
        const std::vector<BYTE> guard = ReadAll(argv[2]);
        try {
            signature::ParseGuardFile(guard);
        } catch (const signature::error& e) {
            throw Failure{std::string(argv[2]) + " is not a guard file: " + e.what()};
        }
        const std::string sOut = SignaturePath(argv[2], options.nSlot.value_or(0));
        WriteWhole(sOut, Sign(guard, options));
        std::printf("%s\n", sOut.c_str());
        return 0;
    }
    if (sCommand == "verify" && argc == 3) {
        return Verify(argv[2]);
    }
    if (sCommand == "pack" && argc >= 3) {
        SignOptions options;
        if (!ParseOptions(argc, argv, 3, &options, false, true)) {
            return Usage();
        }
        if (!HasExtension(options.sOut, ".gwm")) {
            throw Failure{"the manifest's name must end in .gwm: " + options.sOut};
        }
        std::vector<BYTE> data = ReadAll(argv[2]);
        CheckXml(argv[2], data);
        EncipherManifest(data.data(), data.size());
        // Everything is made before the first file is written.
        const std::string sBase = StripExtension(options.sOut);
        signature::GuardFile guard;
        guard.sGuards = std::filesystem::path(sBase).filename().string();
        signature::GuardEntry entry;
        crypto::Sha1(data, entry.digest);
        entry.sName = std::filesystem::path(options.sOut).filename().string();
        guard.entries.push_back(entry);
        const std::string sGuardText = signature::FormatGuardFile(guard);
        const std::vector<BYTE> guardBytes(sGuardText.begin(), sGuardText.end());
        const std::vector<BYTE> sig = Sign(guardBytes, options);
        WriteWhole(options.sOut, data);
        WriteWhole(sBase + ".grd", guardBytes);
        WriteWhole(sBase + ".sig", sig);
        return 0;
    }
    if (sCommand == "show" && argc == 3) {
        std::vector<BYTE> data = ReadAll(argv[2]);
        DecipherManifest(data.data(), data.size());
        // An empty manifest has no buffer, and fwrite may not be given none.
        if (!data.empty()) {
            std::fwrite(data.data(), 1, data.size(), stdout);
        }
        return std::fflush(stdout) == 0 ? 0 : EXIT_FAILED;
    }
    return Usage();
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const Failure& f) {
        std::fprintf(stderr, "gwmtool: %s\n", f.sText.c_str());
    } catch (const signature::error& e) {
        std::fprintf(stderr, "gwmtool: %s\n", e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gwmtool: %s\n", e.what());
    }
    return EXIT_FAILED;
}
