// krellctl manifests list: each manifest of the manifest folder, whether it is authentic (and why
// not), and how many entries of each kind it holds. krellctl manifests dump: the eleven manifest data
// keys of the settings store, as the last compilation left them.
#include <cstdio>
#include <string>
#include <vector>

#include "krellctl_commands.h"
#include "manifest/authenticate.h"
#include "manifest/manifest_cipher.h"
#include "manifest/manifest_folder_watcher.h"
#include "manifest/manifest_load.h"
#include "manifest/manifest_plugin.h"
#include "platform/file.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "platform/xml_dom.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: krellctl [--root DIR] manifests list\n"
                 "       krellctl [--root DIR] manifests dump\n");
    return 2;
}

struct Kind {
    const char* szName;
    const char16_t* szXPath;
};
const Kind KINDS[] = {
    {"path", ManifestXMLStrings::PROT_PATH_ELEM},
    {"xpath", ManifestXMLStrings::PROT_PATH_EXCL_ELEM},
    {"filename", ManifestXMLStrings::PROT_FILE_ELEM},
    {"regkey", ManifestXMLStrings::PROT_REGKEY_ELEM},
    {"xregkey", ManifestXMLStrings::PROT_REGKEY_EXCL_ELEM},
    {"process", ManifestXMLStrings::PROT_PROCESS_ELEM},
    {"auth-path", ManifestXMLStrings::AUTH_PATH_ELEM},
    {"auth-file", ManifestXMLStrings::AUTH_FILE_ELEM},
};

bool ReadWhole(const std::u16string& sPath, std::vector<BYTE>* pBytes) {
    const HANDLE hFile = platform::CreateFile(sPath.c_str(), GENERIC_READ, platform::FILE_SHARE_READ,
                                              platform::OPEN_EXISTING, 0);
    if (hFile == INVALID_HANDLE_VALUE) {
        return false;
    }
    BYTE buffer[65536];
    DWORD dwRead = 0;
    while (platform::ReadFile(hFile, buffer, sizeof(buffer), &dwRead) && dwRead > 0) {
        pBytes->insert(pBytes->end(), buffer, buffer + dwRead);
    }
    platform::CloseHandle(hFile);
    return true;
}

// The entries of each kind, or why there are none.
std::string Describe(const std::u16string& sPath) {
    std::vector<BYTE> bytes;
    if (!ReadWhole(sPath, &bytes)) {
        return "cannot be read";
    }
    DecipherManifest(bytes.data(), bytes.size());
    platform::CXmlDocument* pRaw = nullptr;
    if (FAILED(platform::CXmlDocument::Create(&pRaw))) {
        return "no XML parser";
    }
    CComPtr<platform::CXmlDocument> pDoc = CComPtr<platform::CXmlDocument>::Attach(pRaw);
    if (FAILED(pDoc->Load(bytes.data(), bytes.size()))) {
        const platform::XmlParseError& error = pDoc->ParseError();
        return "not XML: line " + std::to_string(error.line) + ", position " + std::to_string(error.linepos) +
               ": " + platform::ToUtf8(error.reason);
    }
    std::string sCounts;
    for (const Kind& kind : KINDS) {
        std::vector<platform::CXmlNode> nodes;
        pDoc->SelectNodes(kind.szXPath, &nodes);
        sCounts += std::string(sCounts.empty() ? "" : " ") + kind.szName + "=" + std::to_string(nodes.size());
    }
    return sCounts;
}

int List() {
    std::u16string sFolder;
    if (!CManifestFolderDirChangeHandler::GetManifestFolderName(&sFolder)) {
        std::fprintf(stderr, "krellctl: the manifest folder cannot be named (shared directory unknown)\n");
        return 1;
    }
    std::vector<std::u16string> names;
    if (!platform::ListFiles(sFolder.c_str(), &names)) {
        std::fprintf(stderr, "krellctl: no manifest folder %s\n", platform::ToUtf8(sFolder).c_str());
        return 1;
    }
    std::printf("%s\n", platform::ToUtf8(sFolder).c_str());
    int nManifests = 0;
    for (const std::u16string& sName : names) {
        if (sName.size() <= 4 ||
            !platform::EqualNoCase(std::u16string_view(sName).substr(sName.size() - 4), u".gwm")) {
            continue;
        }
        ++nManifests;
        const std::u16string sPath = sFolder + u"\\" + sName;
        CAuthenticate authenticate;
        bool bAuthentic = false;
        DWORD dwResult = 0;
        const bool bRan = authenticate.IsAuthentic(sPath.c_str(), &bAuthentic, &dwResult);
        std::string sVerdict;
        if (!bRan) {
            sVerdict = std::string("not checked: ") + AuthResultText(dwResult);
        } else if (!bAuthentic) {
            sVerdict = dwResult == AUTH_SIGNATURE_VERIFIED
                           ? "not authentic: its digest is not in the signed guard file"
                           : std::string("not authentic: ") + AuthResultText(dwResult);
        } else {
            sVerdict = "authentic";
        }
        std::printf("%-24s %s; %s\n", platform::ToUtf8(sName).c_str(), sVerdict.c_str(),
                    Describe(sPath).c_str());
    }
    std::printf("%d manifest%s\n", nManifests, nManifests == 1 ? "" : "s");
    return 0;
}

int Dump() {
    CSettingsManagerHelper helper;
    CComPtr<ISettingsManager> pManager;
    if (const int nExit = ConnectStore(&helper, pManager); nExit != 0) {
        return nExit;
    }
    const auto dump = [&](const ManifestKeyRow& row) {
        std::vector<std::u16string> names;
        pManager->AddRef();
        if (!CLcSettingsHelper::LoadStringsFromKey(pManager.Get(), row.szKeyPath, &names)) {
            std::printf("%s: cannot be read\n", platform::ToUtf8(row.szKeyPath).c_str());
            return false;
        }
        std::printf("%s (%zu)\n", platform::ToUtf8(row.szKeyPath).c_str(), names.size());
        for (const std::u16string& sName : names) {
            std::printf("  %s\n", platform::ToUtf8(sName).c_str());
        }
        return true;
    };
    bool bAll = true;
    for (const ManifestKeyRow& row : MANIFEST_PROTECTION_KEYS) {
        bAll = dump(row) && bAll;
    }
    for (const ManifestKeyRow& row : MANIFEST_AUTHORIZATION_KEYS) {
        bAll = dump(row) && bAll;
    }
    return bAll ? 0 : 1;
}

}  // namespace

int RunManifestsCommand(const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "list") {
        return List();
    }
    if (args.size() == 1 && args[0] == "dump") {
        return Dump();
    }
    return Usage();
}
