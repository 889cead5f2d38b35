// krellctl crash-handler show|set: the crash handler's options in the root's registry store;
// krellctl dumps list: the dump files the service would write into, with what each dump holds.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "arguments.h"
#include "diagnostics/crash_handler.h"
#include "diagnostics/debug_options.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "service/registry_key.h"

namespace {

namespace fs = std::filesystem;

const std::u16string CRASH_KEY =
    std::u16string(CDebugOptions::BASE_KEY) + u"\\" + CCrashHandler::OPTIONS_SUB_KEY;
constexpr const char16_t* SERVICE_KEY = u"SYSTEM\\CurrentControlSet\\Services\\KRELLSvc";

struct COption {
    const char* szName;
    bool bString;
};
constexpr COption OPTIONS[] = {
    {"DumpOnNew", false},
    {"TerminateOnNew", false},
    {"DumpOnException", false},
    {"TerminateOnException", false},
    {"DumpOnPurecall", false},
    {"TerminateOnPurecall", false},
    {"DumpOnSecurity", false},
    {"TerminateOnSecurity", false},
    {"ThrowOnNew", false},
    {"AppendDateTimeToFile", false},
    {"AppendVersionToFile", false},
    {"DumpType", false},
    {"Directory", true},
};

int CrashHandlerUsage() {
    std::fprintf(stderr,
                 "usage: krellctl [--root DIR] crash-handler show\n"
                 "       krellctl [--root DIR] crash-handler set NAME=VALUE ...\n"
                 "NAME is one of the options \"show\" lists; numbers are decimal or 0x hexadecimal, and\n"
                 "an empty VALUE removes the option.\n");
    return 2;
}

int DumpsUsage() {
    std::fprintf(stderr, "usage: krellctl [--root DIR] dumps list [--dir FOLDER]\n");
    return 2;
}

const COption* FindOption(const std::string& sName) {
    for (const COption& option : OPTIONS) {
        if (platform::ToUpper(platform::FromUtf8(option.szName)) ==
            platform::ToUpper(platform::FromUtf8(sName))) {
            return &option;
        }
    }
    return nullptr;
}

int Show() {
    CDebugOptions options;
    if (!options.Load(CCrashHandler::OPTIONS_SUB_KEY)) {
        std::printf("no CrashHandler key: only explicit snapshots are dumped, beside the executable\n");
    }
    for (const COption& option : OPTIONS) {
        const std::u16string sName = platform::FromUtf8(option.szName);
        std::string sValue = "(absent)";
        if (option.bString) {
            const std::u16string sText = options.GetString(sName);
            if (!sText.empty()) {
                sValue = platform::ToUtf8(sText);
            }
        } else if (const auto dwValue = options.GetDword(sName)) {
            char szNumber[16];
            std::snprintf(szNumber, sizeof(szNumber),
                          std::strcmp(option.szName, "DumpType") == 0 ? "0x%08X" : "%u",
                          static_cast<unsigned>(*dwValue));
            sValue = szNumber;
        }
        std::printf("%-22s %s\n", option.szName, sValue.c_str());
    }
    return 0;
}

int Set(const std::vector<std::string>& assignments) {
    // Every assignment is checked before any is written.
    struct CChange {
        const COption* pOption;
        std::string sValue;
        DWORD dwValue;
    };
    std::vector<CChange> changes;
    for (const std::string& sAssignment : assignments) {
        const std::size_t nEquals = sAssignment.find('=');
        const COption* pOption =
            nEquals == std::string::npos ? nullptr : FindOption(sAssignment.substr(0, nEquals));
        if (pOption == nullptr) {
            std::fprintf(stderr, "krellctl: not a crash-handler option: %s\n", sAssignment.c_str());
            return 2;
        }
        CChange change{pOption, sAssignment.substr(nEquals + 1), 0};
        if (!pOption->bString && !change.sValue.empty() &&
            !toolargs::ParseDword(change.sValue, &change.dwValue)) {
            std::fprintf(stderr, "krellctl: %s takes a number from 0 to 0xFFFFFFFF\n", pOption->szName);
            return 2;
        }
        changes.push_back(change);
    }
    CRegistryKey key;
    if (!key.Create(HKEY_LOCAL_MACHINE, CRASH_KEY.c_str())) {
        std::fprintf(stderr, "krellctl: cannot create %s\n", platform::ToUtf8(CRASH_KEY).c_str());
        return 1;
    }
    for (const CChange& change : changes) {
        const std::u16string sName = platform::FromUtf8(change.pOption->szName);
        bool bDone = false;
        if (change.sValue.empty()) {
            const LONG lResult = platform::RegDeleteValue(key.Handle(), sName.c_str());
            bDone = lResult == static_cast<LONG>(ERROR_SUCCESS) ||
                    lResult == static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        } else if (change.pOption->bString) {
            bDone = key.SetString(sName.c_str(), platform::FromUtf8(change.sValue));
        } else {
            bDone = key.SetDword(sName.c_str(), change.dwValue);
        }
        if (!bDone) {
            std::fprintf(stderr, "krellctl: cannot write %s\n", change.pOption->szName);
            return 1;
        }
    }
    return 0;
}

// The folder the service's dumps go to: "Directory", else the service executable's folder.
bool DumpFolder(std::u16string* psFolder) {
    CDebugOptions options;
    options.Load(CCrashHandler::OPTIONS_SUB_KEY);
    std::u16string sFolder = options.GetString(u"Directory");
    if (sFolder.empty()) {
        CRegistryKey service;
        std::u16string sImage;
        if (!service.Open(HKEY_LOCAL_MACHINE, SERVICE_KEY) || !service.GetString(u"ImagePath", &sImage)) {
            return false;
        }
        if (sImage.starts_with(u'"')) {
            sImage = sImage.substr(1, sImage.find(u'"', 1) - 1);
        }
        sFolder = sImage.substr(0, sImage.rfind(u'\\'));
    }
    while (!sFolder.empty() && sFolder.back() == u'\\') {
        sFolder.pop_back();
    }
    *psFolder = sFolder;
    return true;
}

std::uint32_t U32(const std::string& sBytes, std::size_t nOffset) {
    std::uint32_t dw = 0;
    if (nOffset + sizeof(dw) <= sBytes.size()) {
        std::memcpy(&dw, sBytes.data() + nOffset, sizeof(dw));
    }
    return dw;
}

std::string SignalName(std::uint32_t dwSignal) {
    const char* szAbbrev = sigabbrev_np(static_cast<int>(dwSignal));
    return szAbbrev != nullptr ? std::string("SIG") + szAbbrev : "signal " + std::to_string(dwSignal);
}

// What a dump holds: the crash handler's kind from its exception record, and the time it was written.
void DescribeDump(const fs::path& path, std::string* psKind, std::string* psTime) {
    std::ifstream in(path, std::ios::binary);
    std::string sBytes(4096, '\0');
    in.read(sBytes.data(), static_cast<std::streamsize>(sBytes.size()));
    sBytes.resize(static_cast<std::size_t>(in.gcount()));
    *psKind = "not a dump";
    *psTime = "-";
    if (U32(sBytes, 0) != 0x504D444D) {
        return;
    }
    const std::time_t tWritten = U32(sBytes, 20);
    std::tm local{};
    localtime_r(&tWritten, &local);
    char szTime[32];
    std::strftime(szTime, sizeof(szTime), "%Y-%m-%dT%H:%M:%S", &local);
    *psTime = szTime;
    const std::uint32_t cStreams = U32(sBytes, 8);
    const std::uint32_t dwDirectory = U32(sBytes, 12);
    *psKind = "unknown";
    for (std::uint32_t i = 0; i < cStreams && i < 64; ++i) {
        if (U32(sBytes, dwDirectory + i * 12) != 6) {
            continue;
        }
        // The exception stream usually lies beyond the first block of the file.
        const std::uint32_t dwRva = U32(sBytes, dwDirectory + i * 12 + 8);
        std::string sRecord(48, '\0');
        in.clear();
        in.seekg(dwRva);
        in.read(sRecord.data(), static_cast<std::streamsize>(sRecord.size()));
        if (in.gcount() != static_cast<std::streamsize>(sRecord.size())) {
            return;
        }
        const std::uint32_t dwCode = U32(sRecord, 8);
        const std::uint32_t cParameters = U32(sRecord, 32);
        const std::uint32_t dwType = cParameters > 0 ? U32(sRecord, 40) : 0;
        switch (dwType) {
            case CRASH_TYPE_SNAPSHOT:
                *psKind = "snapshot";
                break;
            case CRASH_TYPE_NEW:
                *psKind = "allocation-failure";
                break;
            case CRASH_TYPE_EXCEPTION:
                *psKind = "exception:" + SignalName(dwCode);
                break;
            case CRASH_TYPE_PURECALL:
                *psKind = "pure-virtual-call";
                break;
            case CRASH_TYPE_SECURITY:
                *psKind = "security-check";
                break;
            default:
                *psKind = dwCode != 0 ? SignalName(dwCode) : "unknown";
                break;
        }
    }
}

int ListDumps(const std::vector<std::string>& args) {
    std::u16string sFolder;
    if (args.size() == 2 && args[0] == "--dir") {
        sFolder = platform::FromUtf8(args[1]);
    } else if (!args.empty()) {
        return DumpsUsage();
    } else if (!DumpFolder(&sFolder)) {
        std::fprintf(
            stderr,
            "krellctl: no CrashHandler \"Directory\" and no KRELLSvc service to say where dumps go\n");
        return 1;
    }
    std::string sPosix;
    if (!platform::MapPath(sFolder, &sPosix)) {
        std::fprintf(stderr, "krellctl: not a folder of the root: %s\n", platform::ToUtf8(sFolder).c_str());
        return 1;
    }
    std::error_code ec;
    std::vector<fs::path> dumps;
    for (const auto& entry : fs::directory_iterator(sPosix, ec)) {
        if (entry.is_regular_file() &&
            platform::ToUpper(platform::FromUtf8(entry.path().extension().string())) == u".DMP") {
            dumps.push_back(entry.path());
        }
    }
    if (ec) {
        std::fprintf(stderr, "krellctl: cannot read %s: %s\n", platform::ToUtf8(sFolder).c_str(),
                     ec.message().c_str());
        return 1;
    }
    std::sort(dumps.begin(), dumps.end());
    std::printf("%s\n", platform::ToUtf8(sFolder).c_str());
    for (const fs::path& path : dumps) {
        std::string sKind;
        std::string sTime;
        DescribeDump(path, &sKind, &sTime);
        std::printf("%s %llu %s %s\n", path.filename().string().c_str(),
                    static_cast<unsigned long long>(fs::file_size(path, ec)), sKind.c_str(), sTime.c_str());
    }
    return 0;
}

}  // namespace

int RunCrashHandlerCommand(const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "show") {
        return Show();
    }
    if (args.size() >= 2 && args[0] == "set") {
        return Set(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    return CrashHandlerUsage();
}

int RunDumpsCommand(const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "list") {
        return ListDumps(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    return DumpsUsage();
}
