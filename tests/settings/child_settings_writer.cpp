// A second process writing the settings store through lcSet.dll from the product directory.
//   krell_child_settings_writer commits KEY N       N commits of "n" = 1..N (and a text) to KEY
//   krell_child_settings_writer torn KEY MARKER     commits generation after generation of 200 values
//                                                  to KEY until it is killed; MARKER appears after the first
// Exit code 0 when every commit succeeded, 1 with the failing code on standard error otherwise.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <string>

#include "events/object_loader.h"
#include "platform/strings.h"
#include "settings/settings_interfaces.h"

namespace {

bool Check(ZELRESULT zr, const char* szWhat) {
    if (!ZEL_SUCCEEDED(zr)) {
        fprintf(stderr, "%s failed: 0x%08X\n", szWhat, static_cast<unsigned>(zr));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: krell_child_settings_writer commits KEY N | torn KEY MARKER\n");
        return 2;
    }
    CObjectLoader loader;
    if (!Check(loader.Load(u"lcSet.dll"), "Load")) {
        return 1;
    }
    CComPtr<ISettingsManager> pMgr;
    if (!Check(
            loader.CreateObject(CLSID_SettingsManager, IID_ISettingsManager, reinterpret_cast<void**>(&pMgr)),
            "CreateObject")) {
        return 1;
    }
    const std::u16string sKey = platform::FromUtf8(argv[2]);
    if (strcmp(argv[1], "commits") == 0) {
        const DWORD dwCount = static_cast<DWORD>(strtoul(argv[3], nullptr, 10));
        for (DWORD n = 1; n <= dwCount; ++n) {
            CComPtr<ISettings> pKey;
            const std::u16string sText = u"commit " + platform::FromUtf8(std::to_string(n));
            if (!Check(pMgr->CreateSettings(sKey.c_str(), &pKey), "CreateSettings") ||
                !Check(pKey->PutDword(u"n", n), "PutDword") ||
                !Check(pKey->PutString(u"s", sText.c_str()), "PutString") ||
                !Check(pMgr->PutSettings(pKey.Get()), "PutSettings")) {
                return 1;
            }
        }
        return 0;
    }
    if (strcmp(argv[1], "torn") == 0) {
        for (DWORD dwGeneration = 1;; ++dwGeneration) {
            CComPtr<ISettings> pKey;
            if (!Check(pMgr->CreateSettings(sKey.c_str(), &pKey), "CreateSettings")) {
                return 1;
            }
            for (int i = 0; i < 200; ++i) {
                const std::u16string sName = u"v" + platform::FromUtf8(std::to_string(i));
                if (!Check(pKey->PutDword(sName.c_str(), dwGeneration), "PutDword")) {
                    return 1;
                }
            }
            if (!Check(pMgr->PutSettings(pKey.Get()), "PutSettings")) {
                return 1;
            }
            if (dwGeneration == 1) {
                std::ofstream(argv[3]) << "committed\n";
            }
        }
    }
    fprintf(stderr, "unknown mode %s\n", argv[1]);
    return 2;
}
