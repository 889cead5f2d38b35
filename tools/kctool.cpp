// kctool: builds, verifies and dumps KC files.
//
//   kctool [--root DIR] build OUT --section ID=DATAFILE [--section ID=DATAFILE ...]
//   kctool [--root DIR] verify FILE
//   kctool [--root DIR] dump FILE [--hex] [--json]
//
// A path that starts with a drive letter (C:\...) is a path of the machine root, as the service and
// the driver see it, and goes through the platform's file layer; any other path is a plain POSIX path
// of the tool's user. build always writes through the service's writer: to a root path directly, and
// for a POSIX OUT to a scratch file in the root that is then copied out and deleted.
//
// Exit codes: 0 success (verify and dump: a wholly valid file); 1 an invalid file or a failed build;
// 2 a usage or I/O error.
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "compiler/kt_data_file.h"
#include "kcfile/kc_reader.h"
#include "kctool_output.h"
#include "platform/file.h"
#include "platform/strings.h"
#include "platform/system.h"

namespace {

constexpr int EXIT_INVALID = 1;
constexpr int EXIT_USAGE = 2;

void Usage() {
    std::cerr << "usage: kctool [--root DIR] build OUT --section ID=DATAFILE [--section ID=DATAFILE ...]\n"
                 "       kctool [--root DIR] verify FILE\n"
                 "       kctool [--root DIR] dump FILE [--hex] [--json]\n"
                 "ID is hexadecimal; C:\\... paths name files in the machine root, others are POSIX paths.\n";
}

bool IsRootPath(const std::string& sPath) {
    return sPath.size() >= 3 && std::isalpha(static_cast<unsigned char>(sPath[0])) && sPath[1] == ':' &&
           (sPath[2] == '\\' || sPath[2] == '/');
}

bool ReadRootFile(const std::string& sPath, std::vector<BYTE>& bytes, std::string& sError) {
    const std::u16string sWide = platform::FromUtf8(sPath);
    CFile file;
    if (!file.Create(sWide.c_str(), GENERIC_READ, platform::FILE_SHARE_READ, platform::OPEN_EXISTING,
                     platform::FILE_ATTRIBUTE_NORMAL)) {
        sError = "cannot open (error " + std::to_string(file.GetLastError()) + ")";
        return false;
    }
    bytes.clear();
    BYTE buffer[65536];
    for (;;) {
        DWORD cbRead = 0;
        if (!file.Read(buffer, sizeof(buffer), cbRead)) {
            sError = "cannot read (error " + std::to_string(file.GetLastError()) + ")";
            return false;
        }
        if (cbRead == 0) {
            return true;
        }
        bytes.insert(bytes.end(), buffer, buffer + cbRead);
    }
}

bool ReadAnyFile(const std::string& sPath, std::vector<BYTE>& bytes, std::string& sError) {
    if (IsRootPath(sPath)) {
        return ReadRootFile(sPath, bytes, sError);
    }
    std::ifstream in(sPath, std::ios::binary);
    if (!in) {
        sError = "cannot open";
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        sError = "cannot read";
        return false;
    }
    return true;
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
HRESULT WriteKC(const std::string& sRootPath, const std::map<DWORD, std::vector<BYTE>>& sections,
                std::string& sStep) {
    const std::u16string sWide = platform::FromUtf8(sRootPath);
    CKTDataFile file;
    sStep = "Open";
    HRESULT hr = file.Open(sWide.c_str());
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
        std::string sError;
        const std::string sDataPath = sSpec.substr(nEquals + 1);
        if (!ReadAnyFile(sDataPath, data, sError)) {
            std::cerr << "kctool: " << sDataPath << ": " << sError << "\n";
            return EXIT_USAGE;
        }
        if (data.size() > 0xFFFFFFF0u) {
            std::cerr << "kctool: " << sDataPath << ": too large for a section\n";
            return EXIT_USAGE;
        }
        sections.emplace(dwId, std::move(data));
    }

    const bool bRootOut = IsRootPath(sOut);
    // A POSIX destination is written in the root first, so the bytes still come from the writer.
    const std::string sTarget =
        bRootOut ? sOut : "C:\\kctool-" + std::to_string(platform::GetCurrentProcessId()) + ".tmp";
    std::string sStep;
    const HRESULT hr = WriteKC(sTarget, sections, sStep);
    if (hr < 0) {
        std::cerr << "kctool: " << sOut << ": CKTDataFile::" << sStep << " failed (" << HexResult(hr)
                  << ")\n";
        if (!bRootOut) {
            platform::DeleteFile(platform::FromUtf8(sTarget).c_str());
        }
        return EXIT_INVALID;
    }
    std::vector<BYTE> bytes;
    std::string sError;
    if (!ReadRootFile(sTarget, bytes, sError)) {
        std::cerr << "kctool: " << sTarget << ": " << sError << "\n";
        return EXIT_USAGE;
    }
    if (!bRootOut) {
        platform::DeleteFile(platform::FromUtf8(sTarget).c_str());
        std::ofstream out(sOut, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            std::cerr << "kctool: " << sOut << ": cannot write\n";
            return EXIT_USAGE;
        }
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
    std::string sError;
    if (!ReadAnyFile(sFile, bytes, sError)) {
        std::cerr << "kctool: " << sFile << ": " << sError << "\n";
        return EXIT_USAGE;
    }
    const kcfile::KCFileInfo info = kcfile::ReadKCFile(bytes, bDump);
    std::cout << (bDump ? kctool::RenderDump(sFile, info, options) : kctool::RenderVerify(sFile, info));
    return info.IsValid() ? 0 : EXIT_INVALID;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "--root") {
        setenv("KRELL_ROOT", args[1].c_str(), 1);
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
    Usage();
    return EXIT_USAGE;
}
