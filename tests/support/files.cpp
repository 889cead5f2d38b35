#include "support/files.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/paths.h"
#include "platform/strings.h"

namespace krelltest {

std::vector<std::string> NonEmptyLines(const std::string& sText) {
    std::vector<std::string> lines;
    std::istringstream in(sText);
    for (std::string sLine; std::getline(in, sLine);) {
        if (!sLine.empty()) {
            lines.push_back(sLine);
        }
    }
    return lines;
}

std::size_t CountOf(const std::string& sText, const std::string& sWhat) {
    std::size_t nCount = 0;
    for (std::size_t n = sText.find(sWhat); n != std::string::npos; n = sText.find(sWhat, n + 1)) {
        ++nCount;
    }
    return nCount;
}

std::string ReadFileBytes(const std::u16string& sWindowsPath) {
    std::string sPath;
    if (!platform::MapPath(sWindowsPath, &sPath)) {
        return {};
    }
    std::ifstream in(sPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::u16string& sWindowsPath) {
    std::string sPath;
    return platform::MapPath(sWindowsPath, &sPath) && std::ifstream(sPath).good();
}

std::string ReadText(const std::string& sPath) {
    std::ifstream in(sPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WaitForFileText(const std::string& sPath, const std::string& sText, int nTimeoutMs) {
    for (int nWaited = 0; nWaited < nTimeoutMs; nWaited += 25) {
        if (ReadText(sPath).find(sText) != std::string::npos) {
            return true;
        }
        usleep(25000);
    }
    return false;
}

std::string Utf16LeToUtf8(const std::string& sBytes) {
    std::size_t nStart = sBytes.size() >= 2 && sBytes[0] == '\xFF' && sBytes[1] == '\xFE' ? 2 : 0;
    std::u16string sWide;
    for (std::size_t i = nStart; i + 1 < sBytes.size(); i += 2) {
        sWide.push_back(static_cast<char16_t>(static_cast<unsigned char>(sBytes[i]) |
                                              (static_cast<unsigned char>(sBytes[i + 1]) << 8)));
    }
    return platform::ToUtf8(sWide);
}

std::vector<BYTE> Bytes(const std::string& s) {
    return std::vector<BYTE>(s.begin(), s.end());
}

}  // namespace krelltest
