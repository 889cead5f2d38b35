// kctool: builds, verifies and dumps KC files.
//
//   kctool [--root DIR] build OUT --section ID=DATAFILE [--section ID=DATAFILE ...]
//   kctool [--root DIR] verify FILE
//   kctool [--root DIR] dump FILE [--hex] [--json]
//   kctool [--root DIR] eval FILE --section ID [--actor-path P] [--actor-sid S] [--actor-md5 H]
//          [--actor-sha1 H] [--actor-length N] [--actor-device D] [--actor-location L]
//          [--target-path P] [--kind file|registry|process] [--access MASK] [--time YYYY-MM-DDThh:mm:ssZ]
//
// A path that starts with a drive letter (C:\...) is a Windows-form path as the service and the driver
// see it, drive C being the machine root's; any other path is a POSIX path of the tool's user and is
// turned into its Windows form (on drive C when it lies in the root's drive, else on drive Z, the
// host's file system). All file access goes through the platform's file layer, and build writes
// through the service's own writer.
//
// Exit codes: 0 success (verify and dump: a wholly valid file; eval: a verdict); 1 an invalid file, a
// rule section that cannot be read, or a failed build; 2 a usage or I/O error.
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "arguments.h"
#include "compiler/kt_data_file.h"
#include "kcfile/kc_reader.h"
#include "kctool_output.h"
#include "kctool_rules.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/root.h"
#include "platform/strings.h"
#include "platform/system.h"

namespace {

constexpr int EXIT_INVALID = 1;
constexpr int EXIT_USAGE = 2;

void Usage() {
    std::cerr << "usage: kctool [--root DIR] build OUT --section ID=DATAFILE [--section ID=DATAFILE ...]\n"
                 "       kctool [--root DIR] verify FILE\n"
                 "       kctool [--root DIR] dump FILE [--hex] [--json]\n"
                 "       kctool [--root DIR] eval FILE --section ID [--actor-path P] [--actor-sid S]\n"
                 "              [--actor-md5 H] [--actor-sha1 H] [--actor-length N] [--actor-device D]\n"
                 "              [--actor-location L] [--target-path P] [--kind file|registry|process]\n"
                 "              [--access MASK] [--time YYYY-MM-DDThh:mm:ssZ]\n"
                 "ID is hexadecimal; C:\\... paths name files in the machine root, others are POSIX paths.\n";
}

bool IsWindowsPath(const std::string& sPath) {
    return sPath.size() >= 3 && std::isalpha(static_cast<unsigned char>(sPath[0])) && sPath[1] == ':' &&
           (sPath[2] == '\\' || sPath[2] == '/');
}

std::u16string ToWindowsPath(const std::string& sPath) {
    if (IsWindowsPath(sPath)) {
        return platform::FromUtf8(sPath);
    }
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(sPath, ec);
    return platform::WindowsPathOf(ec ? sPath : absolute.lexically_normal().string());
}

// Reads a file the user named; a failure is reported on stderr.
bool ReadWholeFile(const std::string& sPath, std::vector<BYTE>& bytes) {
    CFile file;
    if (!file.Create(ToWindowsPath(sPath).c_str(), GENERIC_READ, platform::FILE_SHARE_READ,
                     platform::OPEN_EXISTING, platform::FILE_ATTRIBUTE_NORMAL)) {
        std::cerr << "kctool: " << sPath << ": cannot open (error " << file.GetLastError() << ")\n";
        return false;
    }
    bytes.clear();
    BYTE buffer[65536];
    for (;;) {
        DWORD cbRead = 0;
        if (!file.Read(buffer, sizeof(buffer), cbRead)) {
            std::cerr << "kctool: " << sPath << ": cannot read (error " << file.GetLastError() << ")\n";
            return false;
        }
        if (cbRead == 0) {
            return true;
        }
        bytes.insert(bytes.end(), buffer, buffer + cbRead);
    }
}

bool ParseSectionId(const std::string& sText, DWORD& dwId) {
    std::string s = sText;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s = s.substr(2);
    }
    if (s.empty() || s.size() > 8 || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    dwId = static_cast<DWORD>(std::stoul(s, nullptr, 16));
    return true;
}

std::string HexResult(HRESULT hr) {
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "0x%08X", static_cast<unsigned>(hr));
    return buffer;
}

// Writes the file through the service's writer. Returns the writer's first failing result.
HRESULT WriteKC(const std::u16string& sPath, const std::map<DWORD, std::vector<BYTE>>& sections,
                std::string& sStep) {
    CKTDataFile file;
    sStep = "Open";
    HRESULT hr = file.Open(sPath.c_str(), platform::CREATE_ALWAYS);
    if (hr < 0) {
        return hr;
    }
    for (const auto& [dwId, data] : sections) {
        sStep = "AddSection";
        hr = file.AddSection(dwId, data.data(), static_cast<DWORD>(data.size()));
        if (hr < 0) {
            return hr;
        }
    }
    sStep = "Close";
    return file.Close();
}

int Build(const std::vector<std::string>& args) {
    if (args.empty()) {
        Usage();
        return EXIT_USAGE;
    }
    const std::string sOut = args[0];
    std::map<DWORD, std::vector<BYTE>> sections;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] != "--section" || i + 1 >= args.size()) {
            Usage();
            return EXIT_USAGE;
        }
        const std::string sSpec = args[++i];
        const std::size_t nEquals = sSpec.find('=');
        DWORD dwId = 0;
        if (nEquals == std::string::npos || !ParseSectionId(sSpec.substr(0, nEquals), dwId)) {
            std::cerr << "kctool: section \"" << sSpec << "\": expected ID=DATAFILE with a hexadecimal ID\n";
            return EXIT_USAGE;
        }
        if (sections.count(dwId) != 0) {
            std::cerr << "kctool: section 0x" << std::hex << dwId << std::dec << " given twice\n";
            return EXIT_USAGE;
        }
        std::vector<BYTE> data;
        const std::string sDataPath = sSpec.substr(nEquals + 1);
        if (!ReadWholeFile(sDataPath, data)) {
            return EXIT_USAGE;
        }
        if (data.size() > 0xFFFFFFF0u) {
            std::cerr << "kctool: " << sDataPath << ": too large for a section\n";
            return EXIT_USAGE;
        }
        sections.emplace(dwId, std::move(data));
    }

    std::string sStep;
    const HRESULT hr = WriteKC(ToWindowsPath(sOut), sections, sStep);
    if (hr < 0) {
        std::cerr << "kctool: " << sOut << ": CKTDataFile::" << sStep << " failed (" << HexResult(hr)
                  << ")\n";
        return EXIT_INVALID;
    }
    std::vector<BYTE> bytes;
    if (!ReadWholeFile(sOut, bytes)) {
        return EXIT_USAGE;
    }
    std::cout << sOut << ": " << sections.size() << " section(s), " << bytes.size() << " bytes\n";
    return 0;
}

int VerifyOrDump(bool bDump, const std::vector<std::string>& args) {
    kctool::DumpOptions options;
    std::string sFile;
    for (const std::string& sArg : args) {
        if (bDump && sArg == "--hex") {
            options.bHex = true;
        } else if (bDump && sArg == "--json") {
            options.bJson = true;
        } else if (sFile.empty() && !sArg.empty() && sArg[0] != '-') {
            sFile = sArg;
        } else {
            Usage();
            return EXIT_USAGE;
        }
    }
    if (sFile.empty()) {
        Usage();
        return EXIT_USAGE;
    }
    std::vector<BYTE> bytes;
    if (!ReadWholeFile(sFile, bytes)) {
        return EXIT_USAGE;
    }
    const kcfile::KCFileInfo info = kcfile::ReadKCFile(bytes, bDump);
    std::cout << (bDump ? kctool::RenderDump(sFile, info, options) : kctool::RenderVerify(sFile, info));
    return info.IsValid() ? 0 : EXIT_INVALID;
}

// Decides one access against a rule section, as the driver would.
int Eval(const std::vector<std::string>& args) {
    if (args.empty() || args[0].empty() || args[0][0] == '-') {
        Usage();
        return EXIT_USAGE;
    }
    const std::string sFile = args[0];
    srtc::Access access;
    access.qwTime = 0;
    DWORD dwSection = 0;
    bool bSection = false;
    for (std::size_t i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) {
            Usage();
            return EXIT_USAGE;
        }
        const std::string& sName = args[i];
        const std::string& sValue = args[i + 1];
        bool bOk = true;
        if (sName == "--section") {
            bOk = bSection = ParseSectionId(sValue, dwSection);
        } else if (sName == "--actor-path") {
            access.sActorPath = srtc::FromUtf8(sValue);
        } else if (sName == "--actor-sid") {
            access.sActorSid = srtc::FromUtf8(sValue);
        } else if (sName == "--actor-md5") {
            access.sActorMd5 = srtc::FromUtf8(sValue);
        } else if (sName == "--actor-sha1") {
            access.sActorSha1 = srtc::FromUtf8(sValue);
        } else if (sName == "--actor-length") {
            bOk = toolargs::ParseDword(sValue, &access.dwActorFileLength);
        } else if (sName == "--actor-device") {
            access.sActorDevice = srtc::FromUtf8(sValue);
        } else if (sName == "--actor-location") {
            access.sActorLocation = srtc::FromUtf8(sValue);
        } else if (sName == "--target-path") {
            access.sTargetPath = srtc::FromUtf8(sValue);
        } else if (sName == "--kind") {
            bOk = sValue == "file" || sValue == "registry" || sValue == "process";
            access.targetKind = sValue == "registry"  ? srtc::TargetKind::Registry
                                : sValue == "process" ? srtc::TargetKind::Process
                                                      : srtc::TargetKind::File;
        } else if (sName == "--access") {
            bOk = toolargs::ParseDword(sValue, &access.dwDesiredAccess);
        } else if (sName == "--time") {
            bOk = srtc::ParseDate(sValue, access.qwTime);
        } else {
            bOk = false;
        }
        if (!bOk) {
            std::cerr << "kctool: " << sName << " \"" << sValue << "\": not understood\n";
            return EXIT_USAGE;
        }
    }
    if (!bSection) {
        Usage();
        return EXIT_USAGE;
    }
    std::vector<BYTE> bytes;
    if (!ReadWholeFile(sFile, bytes)) {
        return EXIT_USAGE;
    }
    const kcfile::KCFileInfo info = kcfile::ReadKCFile(bytes);
    if (!info.IsValid()) {
        std::cout << kctool::RenderVerify(sFile, info);
        return EXIT_INVALID;
    }
    for (const kcfile::KCSection& section : info.sections) {
        if (section.dwId != dwSection) {
            continue;
        }
        srtc::RuleSet ruleSet;
        std::string sError;
        if (!srtc::Read(section.data, ruleSet, sError)) {
            std::cout << "section 0x" << std::hex << dwSection << std::dec << ": " << sError << "\n";
            return EXIT_INVALID;
        }
        const srtc::Verdict verdict = srtc::Evaluate(ruleSet, access);
        if (verdict.nRule == srtc::SRTC_NO_RULE) {
            std::cout << srtc::NameOf(verdict.effect) << " (default effect)\n";
        } else {
            const srtc::Rule& rule = ruleSet.rules[static_cast<std::size_t>(verdict.nRule)];
            std::cout << srtc::NameOf(verdict.effect) << " (rule \"" << srtc::ToUtf8(rule.sId)
                      << "\": " << kctool::ConditionText(ruleSet, rule.dwRoot) << ")\n";
        }
        return 0;
    }
    std::cout << "section 0x" << std::hex << dwSection << std::dec << ": not in the file\n";
    return EXIT_INVALID;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "--root") {
        platform::UseRoot(args[1]);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        Usage();
        return EXIT_USAGE;
    }
    const std::string sCommand = args[0];
    args.erase(args.begin());
    if (sCommand == "build") {
        return Build(args);
    }
    if (sCommand == "verify" || sCommand == "dump") {
        return VerifyOrDump(sCommand == "dump", args);
    }
    if (sCommand == "eval") {
        return Eval(args);
    }
    Usage();
    return EXIT_USAGE;
}
