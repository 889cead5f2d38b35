// krellctl authorize and legacy: who may act despite the protection, and which installers that are no
// installer packages may bring which files. Each change is committed to the settings store, the
// authorization settings are marked for a refresh, and the configuration change that follows is
// asked for and its answer printed as krellctl protection prints it.
//   authorize user NAME | hash FILE [--md5] | hash --hex HEX --length N [--md5]
//             | location PATH [--tree] | device cdrom                      [--wait S]
//   authorize list
//   authorize remove user NAME | hash HEX | location PATH | device cdrom    [--wait S]
//   legacy add EXE COMPANION FILE...                                         [--wait S]
//   legacy list
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "arguments.h"
#include "compiler/authorization_config_plugin.h"
#include "compiler/legacy_install_config_plugin.h"
#include "krellctl_commands.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "settings/settings_helpers.h"

namespace {

// What the plug-ins read, so that what this tool writes is what they compile.
using GatewardenEvt::CAuthorizationEventData;
constexpr const char16_t* MODULE_KEY = CAuthorizationEventData::MODULE_KEY_NAME;
constexpr const char16_t* USERS_KEY = CAuthorizationEventData::USERS_KEY_NAME;
constexpr const char16_t* HASHES_KEY = CAuthorizationEventData::HASHES_KEY_NAME;
constexpr const char16_t* LOCATIONS_KEY = CAuthorizationEventData::LOCATIONS_KEY_NAME;
constexpr const char16_t* DEVICES_KEY = CAuthorizationEventData::DEVICES_KEY_NAME;
constexpr const char16_t* NON_MSI_KEY = CLegacyInstallConfigPlugin::NON_MSI_KEY;
constexpr DWORD ALGORITHM_MD5 = CAuthorizationEventData::HASH_ALGORITHM_MD5;
constexpr DWORD ALGORITHM_SHA1 = CAuthorizationEventData::HASH_ALGORITHM_SHA1;
constexpr unsigned long DEFAULT_WAIT_SECONDS = 30;

int AuthorizeUsage() {
    std::fprintf(stderr,
                 "usage: krellctl [--root DIR] authorize user NAME [--wait S]\n"
                 "       krellctl [--root DIR] authorize hash FILE [--md5] [--wait S]\n"
                 "       krellctl [--root DIR] authorize hash --hex HEX --length N [--md5] [--wait S]\n"
                 "       krellctl [--root DIR] authorize location PATH [--tree] [--wait S]\n"
                 "       krellctl [--root DIR] authorize device cdrom [--wait S]\n"
                 "       krellctl [--root DIR] authorize list\n"
                 "       krellctl [--root DIR] authorize remove user NAME | hash HEX | location PATH | "
                 "device cdrom [--wait S]\n"
                 "FILE is a Windows path of the root (C:\\...) or a path of this machine.\n");
    return 2;
}

int LegacyUsage() {
    std::fprintf(stderr,
                 "usage: krellctl [--root DIR] legacy add EXE COMPANION FILE... [--wait S]\n"
                 "       krellctl [--root DIR] legacy list\n"
                 "Each FILE is an accepted version of the companion file COMPANION (its Windows path);\n"
                 "its MD5 hash and size are stored. The service reads these when it starts.\n");
    return 2;
}

std::string Narrow(const std::u16string& s) {
    return platform::ToUtf8(s);
}
std::u16string Wide(const std::string& s) {
    return platform::FromUtf8(s);
}

std::string Hex(const std::vector<BYTE>& bytes, bool bUpper) {
    const char* szDigits = bUpper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    for (const BYTE b : bytes) {
        s += szDigits[b >> 4];
        s += szDigits[b & 0xF];
    }
    return s;
}

// A Windows path of the root, or a path of this machine as it stands.
std::string HostPath(const std::string& sPath) {
    std::string sHost;
    if (sPath.size() >= 3 && sPath[1] == ':' && (sPath[2] == '\\' || sPath[2] == '/') &&
        platform::MapPath(Wide(sPath), &sHost)) {
        return sHost;
    }
    return sPath;
}

// The file's digest and length; false with the reason printed.
bool HashFile(const std::string& sPath, const EVP_MD* pDigest, std::vector<BYTE>* pHash, DWORD* pdwLength) {
    std::ifstream file(HostPath(sPath), std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "krellctl: cannot read %s\n", sPath.c_str());
        return false;
    }
    EVP_MD_CTX* pCtx = EVP_MD_CTX_new();
    bool bOk = pCtx != nullptr && EVP_DigestInit_ex(pCtx, pDigest, nullptr) == 1;
    unsigned long long ullLength = 0;
    char buffer[65536];
    while (bOk && file) {
        file.read(buffer, sizeof(buffer));
        ullLength += static_cast<unsigned long long>(file.gcount());
        bOk = EVP_DigestUpdate(pCtx, buffer, static_cast<size_t>(file.gcount())) == 1;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int cbDigest = 0;
    bOk = bOk && file.eof() && EVP_DigestFinal_ex(pCtx, digest, &cbDigest) == 1;
    EVP_MD_CTX_free(pCtx);
    if (!bOk || ullLength > 0xFFFFFFFFull) {
        std::fprintf(stderr, "krellctl: cannot hash %s\n", sPath.c_str());
        return false;
    }
    pHash->assign(digest, digest + cbDigest);
    *pdwLength = static_cast<DWORD>(ullLength);
    return true;
}

int StoreFailed(const char* szWhat, const std::u16string& sKey, ZELRESULT zr) {
    std::fprintf(stderr, "krellctl: cannot %s %s: 0x%08X\n", szWhat, Narrow(sKey).c_str(),
                 static_cast<unsigned>(zr));
    return 1;
}

// One commit to one key of the store.
int Commit(ISettingsManager* pMgr, const std::u16string& sKey,
           const std::function<ZELRESULT(ISettings*)>& fnWrite) {
    CComPtr<ISettings> pKey;
    ZELRESULT zr = pMgr->CreateSettings(sKey.c_str(), &pKey);
    if (ZEL_SUCCEEDED(zr)) {
        zr = fnWrite(pKey.Get());
    }
    if (ZEL_SUCCEEDED(zr)) {
        zr = pMgr->PutSettings(pKey.Get());
    }
    return ZEL_SUCCEEDED(zr) ? 0 : StoreFailed("write", sKey, zr);
}

// Marks the authorization settings changed and asks for the configuration change.
int Refresh(ISettingsManager* pMgr, unsigned long ulWait) {
    if (const int nExit =
            Commit(pMgr, MODULE_KEY, [](ISettings* k) { return k->PutDword(u"RefreshNeeded", 1); });
        nExit != 0) {
        return nExit;
    }
    return RequestConfigChange(ulWait);
}

// Takes "--wait S" (and the flags named) off the end of args.
bool TakeOptions(std::vector<std::string>* pArgs, unsigned long* pulWait, std::vector<std::string> flags,
                 std::vector<std::string>* pFlagsSeen) {
    std::vector<std::string> rest;
    for (size_t i = 0; i < pArgs->size(); ++i) {
        const std::string& sArg = (*pArgs)[i];
        DWORD dwWait = 0;
        if (sArg == "--wait") {
            if (i + 1 >= pArgs->size() ||
                !toolargs::ParseDword((*pArgs)[i + 1], &dwWait, toolargs::Radix::Decimal) || dwWait == 0) {
                return false;
            }
            *pulWait = dwWait;
            ++i;
        } else if (std::find(flags.begin(), flags.end(), sArg) != flags.end()) {
            pFlagsSeen->push_back(sArg);
        } else {
            rest.push_back(sArg);
        }
    }
    *pArgs = std::move(rest);
    return true;
}

bool Has(const std::vector<std::string>& flags, const char* szFlag) {
    return std::find(flags.begin(), flags.end(), szFlag) != flags.end();
}

std::vector<std::u16string> ValueNames(ISettingsManager* pMgr, const char16_t* szKey) {
    std::vector<std::u16string> names;
    pMgr->AddRef();
    CLcSettingsHelper::LoadStringsFromKey(pMgr, szKey, &names);
    return names;
}

std::vector<std::u16string> SubKeys(ISettingsManager* pMgr, const std::u16string& sKey) {
    std::vector<std::u16string> names;
    CSettingsKeysIterator keys;
    if (!ZEL_SUCCEEDED(keys.Init(pMgr, sKey.c_str()))) {
        return names;
    }
    while (keys.HasMoreValues()) {
        const char16_t* szName = nullptr;
        if (!ZEL_SUCCEEDED(keys.GetNextValue(&szName))) {
            break;
        }
        names.emplace_back(szName);
    }
    return names;
}

int List(ISettingsManager* pMgr) {
    for (const std::u16string& sName : ValueNames(pMgr, USERS_KEY)) {
        std::printf("user %s\n", Narrow(sName).c_str());
    }
    for (const std::u16string& sSub : SubKeys(pMgr, HASHES_KEY)) {
        CComPtr<ISettings> pKey;
        DWORD dwAlgorithm = 0;
        DWORD cbHash = 0;
        DWORD dwFileLength = 0;
        if (!ZEL_SUCCEEDED(pMgr->GetSettings((std::u16string(HASHES_KEY) + u"\\" + sSub).c_str(), &pKey))) {
            continue;
        }
        pKey->GetDword(u"Algorithm", &dwAlgorithm);
        pKey->GetDword(u"HashLength", &cbHash);
        pKey->GetDword(u"FileLength", &dwFileLength);
        std::vector<BYTE> hash(cbHash <= 1024 ? cbHash : 0);
        DWORD cbRead = static_cast<DWORD>(hash.size());
        if (!ZEL_SUCCEEDED(pKey->GetBinary(u"Hash", hash.data(), &cbRead))) {
            hash.clear();
        }
        std::printf("hash %s %s length=%u (%s)\n",
                    dwAlgorithm == ALGORITHM_MD5    ? "md5"
                    : dwAlgorithm == ALGORITHM_SHA1 ? "sha1"
                                                    : "algorithm?",
                    Hex(hash, true).c_str(), static_cast<unsigned>(dwFileLength), Narrow(sSub).c_str());
    }
    CComPtr<ISettings> pLocations;
    if (ZEL_SUCCEEDED(pMgr->GetSettings(LOCATIONS_KEY, &pLocations))) {
        for (const std::u16string& sPath : ValueNames(pMgr, LOCATIONS_KEY)) {
            DWORD dwExact = 0;
            const bool bDword = ZEL_SUCCEEDED(pLocations->GetDword(sPath.c_str(), &dwExact));
            std::printf("location %s %s\n", Narrow(sPath).c_str(),
                        !bDword        ? "(not a DWORD)"
                        : dwExact != 0 ? "exact"
                                       : "tree");
        }
    }
    for (const std::u16string& sDevice : ValueNames(pMgr, DEVICES_KEY)) {
        std::printf("device %s\n", sDevice == u"1" ? "cdrom" : Narrow(sDevice).c_str());
    }
    return 0;
}

int DeleteValue(ISettingsManager* pMgr, const char16_t* szKey, const std::u16string& sName) {
    return Commit(pMgr, szKey, [&](ISettings* k) { return k->DeleteValue(sName.c_str()); });
}

int Remove(ISettingsManager* pMgr, const std::vector<std::string>& args) {
    if (args.size() != 3) {
        return AuthorizeUsage();
    }
    const std::u16string sWhat = Wide(args[2]);
    if (args[1] == "user") {
        return DeleteValue(pMgr, USERS_KEY, sWhat);
    }
    if (args[1] == "location") {
        return DeleteValue(pMgr, LOCATIONS_KEY, sWhat);
    }
    if (args[1] == "device" && args[2] == "cdrom") {
        return DeleteValue(pMgr, DEVICES_KEY, u"1");
    }
    if (args[1] == "hash") {
        // Any record whose hash is HEX, whatever its sub-key is called.
        std::vector<BYTE> wanted;
        if (!toolargs::ParseHex(args[2], &wanted)) {
            return AuthorizeUsage();
        }
        bool bFound = false;
        for (const std::u16string& sSub : SubKeys(pMgr, HASHES_KEY)) {
            const std::u16string sKey = std::u16string(HASHES_KEY) + u"\\" + sSub;
            CComPtr<ISettings> pKey;
            std::vector<BYTE> hash(1024);
            DWORD cbRead = 1024;
            if (ZEL_SUCCEEDED(pMgr->GetSettings(sKey.c_str(), &pKey)) &&
                ZEL_SUCCEEDED(pKey->GetBinary(u"Hash", hash.data(), &cbRead)) &&
                std::vector<BYTE>(hash.begin(), hash.begin() + cbRead) == wanted) {
                const ZELRESULT zr = pMgr->DeleteSettings(sKey.c_str());
                if (!ZEL_SUCCEEDED(zr)) {
                    return StoreFailed("delete", sKey, zr);
                }
                bFound = true;
            }
        }
        if (!bFound) {
            std::fprintf(stderr, "krellctl: no authorized hash %s\n", args[2].c_str());
            return 1;
        }
        return 0;
    }
    return AuthorizeUsage();
}

int AddHash(ISettingsManager* pMgr, DWORD dwAlgorithm, const std::vector<BYTE>& hash, DWORD dwFileLength) {
    // The sub-key's name only has to be unique; the hash and length make it so.
    const std::u16string sKey = std::u16string(HASHES_KEY) + u"\\" + Wide(Hex(hash, false)) + u"-" +
                                Wide(std::to_string(dwFileLength));
    return Commit(pMgr, sKey, [&](ISettings* k) {
        ZELRESULT zr = k->PutDword(u"Algorithm", dwAlgorithm);
        if (ZEL_SUCCEEDED(zr)) {
            zr = k->PutDword(u"HashLength", static_cast<DWORD>(hash.size()));
        }
        if (ZEL_SUCCEEDED(zr)) {
            zr = k->PutDword(u"FileLength", dwFileLength);
        }
        if (ZEL_SUCCEEDED(zr)) {
            zr = k->PutBinary(u"Hash", hash.data(), static_cast<DWORD>(hash.size()));
        }
        return zr;
    });
}

int Add(ISettingsManager* pMgr, const std::vector<std::string>& args, const std::vector<std::string>& flags) {
    if (args[0] == "user" && args.size() == 2 && flags.empty()) {
        return Commit(pMgr, USERS_KEY, [&](ISettings* k) { return k->PutDword(Wide(args[1]).c_str(), 1); });
    }
    if (args[0] == "location" && args.size() == 2 &&
        (flags.empty() || flags == std::vector<std::string>{"--tree"})) {
        const DWORD dwExact = Has(flags, "--tree") ? 0 : 1;
        return Commit(pMgr, LOCATIONS_KEY,
                      [&](ISettings* k) { return k->PutDword(Wide(args[1]).c_str(), dwExact); });
    }
    if (args[0] == "device" && args.size() == 2 && args[1] == "cdrom" && flags.empty()) {
        return Commit(pMgr, DEVICES_KEY, [](ISettings* k) { return k->PutDword(u"1", 1); });
    }
    if (args[0] == "hash" && !Has(flags, "--tree")) {
        const DWORD dwAlgorithm = Has(flags, "--md5") ? ALGORITHM_MD5 : ALGORITHM_SHA1;
        std::vector<BYTE> hash;
        DWORD dwLength = 0;
        if (args.size() == 2) {
            if (!HashFile(args[1], dwAlgorithm == ALGORITHM_MD5 ? EVP_md5() : EVP_sha1(), &hash, &dwLength)) {
                return 1;
            }
        } else if (args.size() != 5 || args[1] != "--hex" || !toolargs::ParseHex(args[2], &hash) ||
                   hash.empty() || args[3] != "--length" ||
                   !toolargs::ParseDword(args[4], &dwLength, toolargs::Radix::Decimal)) {
            return AuthorizeUsage();
        }
        return AddHash(pMgr, dwAlgorithm, hash, dwLength);
    }
    return AuthorizeUsage();
}

int LegacyList(ISettingsManager* pMgr) {
    for (const std::u16string& sExe : SubKeys(pMgr, NON_MSI_KEY)) {
        std::printf("%s\n", Narrow(sExe).c_str());
        const std::u16string sExeKey = std::u16string(NON_MSI_KEY) + u"\\" + sExe;
        for (const std::u16string& sCompanion : SubKeys(pMgr, sExeKey)) {
            std::u16string sPath = sCompanion;
            std::replace(sPath.begin(), sPath.end(), u'/', u'\\');
            std::printf("  %s\n", Narrow(sPath).c_str());
            const std::u16string sKey = sExeKey + u"\\" + sCompanion;
            CComPtr<ISettings> pKey;
            if (!ZEL_SUCCEEDED(pMgr->GetSettings(sKey.c_str(), &pKey))) {
                continue;
            }
            for (const std::u16string& sHash : ValueNames(pMgr, sKey.c_str())) {
                DWORD dwSize = 0;
                pKey->GetDword(sHash.c_str(), &dwSize);
                std::printf("    %s size=%u\n", Narrow(sHash).c_str(), static_cast<unsigned>(dwSize));
            }
        }
    }
    return 0;
}

}  // namespace

int RunAuthorizeCommand(const std::vector<std::string>& argsIn) {
    std::vector<std::string> args = argsIn;
    unsigned long ulWait = DEFAULT_WAIT_SECONDS;
    std::vector<std::string> flags;
    if (args.empty() || !TakeOptions(&args, &ulWait, {"--md5", "--tree"}, &flags) || args.empty()) {
        return AuthorizeUsage();
    }
    CSettingsManagerHelper helper;
    CComPtr<ISettingsManager> pMgr;
    if (args.size() == 1 && args[0] == "list" && flags.empty()) {
        const int nExit = ConnectStore(&helper, pMgr);
        return nExit != 0 ? nExit : List(pMgr.Get());
    }
    if (args[0] != "user" && args[0] != "hash" && args[0] != "location" && args[0] != "device" &&
        args[0] != "remove") {
        return AuthorizeUsage();
    }
    if (args.size() < 2 || (args[0] == "remove" && !flags.empty())) {
        return AuthorizeUsage();
    }
    if (const int nExit = ConnectStore(&helper, pMgr); nExit != 0) {
        return nExit;
    }
    const int nExit = args[0] == "remove" ? Remove(pMgr.Get(), args) : Add(pMgr.Get(), args, flags);
    return nExit != 0 ? nExit : Refresh(pMgr.Get(), ulWait);
}

int RunLegacyCommand(const std::vector<std::string>& argsIn) {
    std::vector<std::string> args = argsIn;
    unsigned long ulWait = DEFAULT_WAIT_SECONDS;
    std::vector<std::string> flags;
    if (!TakeOptions(&args, &ulWait, {}, &flags) || args.empty()) {
        return LegacyUsage();
    }
    CSettingsManagerHelper helper;
    CComPtr<ISettingsManager> pMgr;
    if (args.size() == 1 && args[0] == "list") {
        const int nExit = ConnectStore(&helper, pMgr);
        return nExit != 0 ? nExit : LegacyList(pMgr.Get());
    }
    if (args.size() < 4 || args[0] != "add" || args[1].empty() || args[1].find('\\') != std::string::npos) {
        return LegacyUsage();
    }
    if (const int nExit = ConnectStore(&helper, pMgr); nExit != 0) {
        return nExit;
    }
    std::u16string sCompanion = Wide(args[2]);
    // The store separates keys with backslashes.
    std::replace(sCompanion.begin(), sCompanion.end(), u'\\', u'/');
    const std::u16string sKey = std::u16string(NON_MSI_KEY) + u"\\" + Wide(args[1]) + u"\\" + sCompanion;
    std::vector<std::pair<std::u16string, DWORD>> versions;
    for (size_t i = 3; i < args.size(); ++i) {
        std::vector<BYTE> hash;
        DWORD dwSize = 0;
        if (!HashFile(args[i], EVP_md5(), &hash, &dwSize)) {
            return 1;
        }
        versions.emplace_back(Wide(Hex(hash, false)), dwSize);
    }
    const int nExit = Commit(pMgr.Get(), sKey, [&](ISettings* k) {
        ZELRESULT zr = ZEL_SUCCESS;
        for (const auto& [sHash, dwSize] : versions) {
            if (ZEL_SUCCEEDED(zr)) {
                zr = k->PutDword(sHash.c_str(), dwSize);
            }
        }
        return zr;
    });
    if (nExit != 0) {
        return nExit;
    }
    std::printf("the legacy installs are compiled when the service starts\n");
    return RequestConfigChange(ulWait);
}
