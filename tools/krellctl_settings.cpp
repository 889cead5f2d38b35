// krellctl settings: the settings store of a root, through the system's own settings access (so the
// store's service lcSetMgr must run).
//   settings get KEY [VALUE] [--json]                   a key's values, or one value
//   settings set KEY VALUE --dword N | --string TEXT | --binary HEX
//   settings list KEY [--json]                          a key's sub-keys ("" for the top)
//   settings delete KEY [VALUE]                         a key with its sub-keys, or one value
//   settings dump [KEY] [--json]                        a key and its sub-keys, recursively
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "arguments.h"
#include "json_text.h"
#include "krellctl_commands.h"
#include "platform/strings.h"
#include "settings/settings_helpers.h"

namespace {

int Usage() {
    std::fprintf(
        stderr,
        "usage: krellctl [--root DIR] settings get KEY [VALUE] [--json]\n"
        "       krellctl [--root DIR] settings set KEY VALUE --dword N | --string TEXT | --binary HEX\n"
        "       krellctl [--root DIR] settings list KEY [--json]\n"
        "       krellctl [--root DIR] settings delete KEY [VALUE]\n"
        "       krellctl [--root DIR] settings dump [KEY] [--json]\n"
        "KEY is a path of the settings store, e.g. \"GATEWARDEN\\PRIVATE\".\n");
    return 2;
}

std::string Narrow(const std::u16string& s) {
    return platform::ToUtf8(s);
}

int Fail(const char* szWhat, const std::u16string& sName, ZELRESULT zr) {
    const char* szMeaning = zr == ZEL_E_NOT_FOUND          ? " (not found)"
                            : zr == ZEL_E_INVALID_ARGUMENT ? " (invalid name or argument)"
                            : zr == ZEL_E_WRONG_TYPE       ? " (value of another type)"
                            : zr == ZEL_E_STORE_BUSY       ? " (store locked by another process)"
                            : zr == ZEL_E_STORE_CORRUPT    ? " (store file damaged)"
                            : zr == ZEL_E_STORE_IO         ? " (store file cannot be used)"
                                                           : "";
    std::fprintf(stderr, "krellctl: cannot %s %s: 0x%08X%s\n", szWhat, Narrow(sName).c_str(),
                 static_cast<unsigned>(zr), szMeaning);
    return 1;
}

std::string Hex(const std::vector<BYTE>& data) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string s;
    for (const BYTE b : data) {
        s += DIGITS[b >> 4];
        s += DIGITS[b & 0xF];
    }
    return s;
}

struct Value {
    std::u16string sName;
    DWORD dwType = 0;
    DWORD dwValue = 0;
    std::u16string sText;
    std::vector<BYTE> data;
};

ZELRESULT ReadValue(ISettings* pKey, const std::u16string& sName, Value* pValue) {
    pValue->sName = sName;
    ZELRESULT zr = pKey->GetValueType(sName.c_str(), &pValue->dwType);
    if (!ZEL_SUCCEEDED(zr)) {
        return zr;
    }
    if (pValue->dwType == SETTINGS_TYPE_DWORD) {
        return pKey->GetDword(sName.c_str(), &pValue->dwValue);
    }
    if (pValue->dwType == SETTINGS_TYPE_STRING) {
        DWORD cch = 0;
        zr = pKey->GetString(sName.c_str(), nullptr, &cch);
        if (zr == ZEL_E_BUFFER_TOO_SMALL) {
            pValue->sText.resize(cch);
            zr = pKey->GetString(sName.c_str(), pValue->sText.data(), &cch);
            pValue->sText.resize(cch);
        }
        return zr;
    }
    DWORD cb = 0;
    zr = pKey->GetBinary(sName.c_str(), nullptr, &cb);
    if (zr == ZEL_E_BUFFER_TOO_SMALL) {
        pValue->data.resize(cb);
        zr = pKey->GetBinary(sName.c_str(), pValue->data.data(), &cb);
    }
    return zr;
}

ZELRESULT ReadValues(ISettings* pKey, std::vector<Value>* pValues) {
    CSettingsValuesIterator values;
    ZELRESULT zr = values.Init(pKey);
    while (ZEL_SUCCEEDED(zr) && values.HasMoreValues()) {
        const char16_t* szName = nullptr;
        zr = values.GetNextValue(&szName);
        if (ZEL_SUCCEEDED(zr)) {
            pValues->emplace_back();
            zr = ReadValue(pKey, szName, &pValues->back());
        }
    }
    return zr;
}

ZELRESULT ReadSubKeys(ISettingsManager* pMgr, const std::u16string& sKey,
                      std::vector<std::u16string>* pNames) {
    CSettingsKeysIterator keys;
    ZELRESULT zr = keys.Init(pMgr, sKey.c_str());
    if (zr == ZEL_SUCCESS_DEFAULT) {
        return ZEL_E_NOT_FOUND;
    }
    while (ZEL_SUCCEEDED(zr) && keys.HasMoreValues()) {
        const char16_t* szName = nullptr;
        zr = keys.GetNextValue(&szName);
        if (ZEL_SUCCEEDED(zr)) {
            pNames->emplace_back(szName);
        }
    }
    return zr;
}

const char* TypeName(DWORD dwType) {
    return dwType == SETTINGS_TYPE_DWORD ? "dword" : dwType == SETTINGS_TYPE_STRING ? "string" : "binary";
}

std::string Text(const Value& value) {
    char sz[48];
    switch (value.dwType) {
        case SETTINGS_TYPE_DWORD:
            std::snprintf(sz, sizeof(sz), "dword 0x%08X (%u)", value.dwValue, value.dwValue);
            return sz;
        case SETTINGS_TYPE_STRING:
            return "string \"" + Narrow(value.sText) + "\"";
        default:
            return "binary " + std::to_string(value.data.size()) + " bytes " + Hex(value.data);
    }
}

std::string Json(const Value& value) {
    std::string sData;
    switch (value.dwType) {
        case SETTINGS_TYPE_DWORD:
            sData = std::to_string(value.dwValue);
            break;
        case SETTINGS_TYPE_STRING:
            sData = JsonString(value.sText);
            break;
        default:
            sData = "\"" + Hex(value.data) + "\"";
            break;
    }
    return "{\"name\":" + JsonString(value.sName) + ",\"type\":\"" + TypeName(value.dwType) +
           "\",\"data\":" + sData + "}";
}

std::string JsonValues(const std::vector<Value>& values) {
    std::string s = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        s += (i == 0 ? "" : ",") + Json(values[i]);
    }
    return s + "]";
}

std::u16string Child(const std::u16string& sKey, const std::u16string& sName) {
    return sKey.empty() ? sName : sKey + u"\\" + sName;
}

class CSettingsCommand {
public:
    // The manager, or an exit code when it cannot be had.
    int Connect() { return ConnectStore(&m_Helper, m_pMgr); }

    int Get(const std::u16string& sKey, const std::u16string* psValue, bool bJson) {
        CComPtr<ISettings> pKey;
        ZELRESULT zr = m_pMgr->GetSettings(sKey.c_str(), &pKey);
        if (!ZEL_SUCCEEDED(zr)) {
            return Fail("read", sKey, zr);
        }
        std::vector<Value> values;
        if (psValue != nullptr) {
            values.emplace_back();
            zr = ReadValue(pKey.Get(), *psValue, &values.back());
        } else {
            zr = ReadValues(pKey.Get(), &values);
        }
        if (!ZEL_SUCCEEDED(zr)) {
            return Fail("read", psValue != nullptr ? sKey + u"\\" + *psValue : sKey, zr);
        }
        if (bJson) {
            std::printf("%s\n", psValue != nullptr ? Json(values[0]).c_str() : JsonValues(values).c_str());
            return 0;
        }
        for (const auto& value : values) {
            std::printf("%s = %s\n", Narrow(value.sName).c_str(), Text(value).c_str());
        }
        return 0;
    }

    int Set(const std::u16string& sKey, const std::u16string& sValue, const std::string& sKind,
            const std::string& sData) {
        CComPtr<ISettings> pKey;
        ZELRESULT zr = m_pMgr->CreateSettings(sKey.c_str(), &pKey);
        if (!ZEL_SUCCEEDED(zr)) {
            return Fail("open", sKey, zr);
        }
        if (sKind == "--dword") {
            DWORD dwData = 0;
            if (!toolargs::ParseDword(sData, &dwData)) {
                std::fprintf(stderr, "krellctl: %s is no DWORD\n", sData.c_str());
                return 2;
            }
            zr = pKey->PutDword(sValue.c_str(), dwData);
        } else if (sKind == "--string") {
            zr = pKey->PutString(sValue.c_str(), platform::FromUtf8(sData).c_str());
        } else if (sKind == "--binary") {
            std::vector<BYTE> data;
            if (!toolargs::ParseHex(sData, &data)) {
                std::fprintf(stderr, "krellctl: %s is no even run of hex digits\n", sData.c_str());
                return 2;
            }
            zr = pKey->PutBinary(sValue.c_str(), data.data(), static_cast<DWORD>(data.size()));
        } else {
            return Usage();
        }
        if (ZEL_SUCCEEDED(zr)) {
            zr = m_pMgr->PutSettings(pKey.Get());
        }
        return ZEL_SUCCEEDED(zr) ? 0 : Fail("write", sKey + u"\\" + sValue, zr);
    }

    int List(const std::u16string& sKey, bool bJson) {
        std::vector<std::u16string> names;
        const ZELRESULT zr = ReadSubKeys(m_pMgr.Get(), sKey, &names);
        if (!ZEL_SUCCEEDED(zr)) {
            return Fail("list", sKey, zr);
        }
        if (bJson) {
            std::string s = "[";
            for (std::size_t i = 0; i < names.size(); ++i) {
                s += (i == 0 ? "" : ",") + JsonString(names[i]);
            }
            std::printf("%s]\n", s.c_str());
            return 0;
        }
        for (const auto& sName : names) {
            std::printf("%s\n", Narrow(sName).c_str());
        }
        return 0;
    }

    int Delete(const std::u16string& sKey, const std::u16string* psValue) {
        if (psValue == nullptr) {
            const ZELRESULT zr = m_pMgr->DeleteSettings(sKey.c_str());
            return ZEL_SUCCEEDED(zr) ? 0 : Fail("delete", sKey, zr);
        }
        CComPtr<ISettings> pKey;
        ZELRESULT zr = m_pMgr->GetSettings(sKey.c_str(), &pKey);
        if (ZEL_SUCCEEDED(zr)) {
            zr = pKey->DeleteValue(psValue->c_str());
        }
        if (ZEL_SUCCEEDED(zr)) {
            zr = m_pMgr->PutSettings(pKey.Get());
        }
        return ZEL_SUCCEEDED(zr) ? 0 : Fail("delete", sKey + u"\\" + *psValue, zr);
    }

    // Prints the key (the top of the store when empty) and everything below it.
    int Dump(const std::u16string& sKey, bool bJson) {
        std::string sJson;
        const ZELRESULT zr = DumpKey(sKey, bJson, &sJson);
        if (!ZEL_SUCCEEDED(zr)) {
            return Fail("dump", sKey, zr);
        }
        if (bJson) {
            std::printf("%s\n", sJson.c_str());
        }
        return 0;
    }

private:
    ZELRESULT DumpKey(const std::u16string& sKey, bool bJson, std::string* psJson) {
        std::vector<Value> values;
        if (!sKey.empty()) {
            CComPtr<ISettings> pKey;
            ZELRESULT zr = m_pMgr->GetSettings(sKey.c_str(), &pKey);
            if (ZEL_SUCCEEDED(zr)) {
                zr = ReadValues(pKey.Get(), &values);
            }
            if (!ZEL_SUCCEEDED(zr)) {
                return zr;
            }
        }
        std::vector<std::u16string> names;
        const ZELRESULT zr = ReadSubKeys(m_pMgr.Get(), sKey, &names);
        if (!ZEL_SUCCEEDED(zr)) {
            return zr;
        }
        if (!bJson) {
            if (!sKey.empty()) {
                std::printf("[%s]\n", Narrow(sKey).c_str());
            }
            for (const auto& value : values) {
                std::printf("  %s = %s\n", Narrow(value.sName).c_str(), Text(value).c_str());
            }
        } else {
            *psJson +=
                "{\"key\":" + JsonString(sKey) + ",\"values\":" + JsonValues(values) + ",\"subkeys\":[";
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (bJson && i != 0) {
                *psJson += ",";
            }
            const ZELRESULT zrChild = DumpKey(Child(sKey, names[i]), bJson, psJson);
            // A sub-key deleted by another process meanwhile is simply gone.
            if (!ZEL_SUCCEEDED(zrChild) && zrChild != ZEL_E_NOT_FOUND) {
                return zrChild;
            }
        }
        if (bJson) {
            *psJson += "]}";
        }
        return ZEL_SUCCESS;
    }

    CSettingsManagerHelper m_Helper;
    CComPtr<ISettingsManager> m_pMgr;  // declared after the helper: released before its library goes
};

}  // namespace

int RunSettingsCommand(const std::vector<std::string>& argsIn) {
    std::vector<std::string> args = argsIn;
    bool bJson = false;
    if (!args.empty() && args.back() == "--json") {
        bJson = true;
        args.pop_back();
    }
    if (args.empty()) {
        return Usage();
    }
    const std::string& sVerb = args[0];
    const std::size_t nArgs = args.size();
    const bool bValid = (sVerb == "get" && (nArgs == 2 || nArgs == 3)) ||
                        (sVerb == "set" && nArgs == 5 && !bJson) || (sVerb == "list" && nArgs == 2) ||
                        (sVerb == "delete" && (nArgs == 2 || nArgs == 3) && !bJson) ||
                        (sVerb == "dump" && (nArgs == 1 || nArgs == 2));
    if (!bValid) {
        return Usage();
    }
    const std::u16string sKey = nArgs >= 2 ? platform::FromUtf8(args[1]) : std::u16string();
    const std::u16string sValue = nArgs >= 3 ? platform::FromUtf8(args[2]) : std::u16string();
    CSettingsCommand command;
    if (const int nExit = command.Connect(); nExit != 0) {
        return nExit;
    }
    if (sVerb == "get") {
        return command.Get(sKey, nArgs == 3 ? &sValue : nullptr, bJson);
    }
    if (sVerb == "set") {
        return command.Set(sKey, sValue, args[3], args[4]);
    }
    if (sVerb == "list") {
        return command.List(sKey, bJson);
    }
    if (sVerb == "delete") {
        return command.Delete(sKey, nArgs == 3 ? &sValue : nullptr);
    }
    return command.Dump(sKey, bJson);
}

int ConnectStore(CSettingsManagerHelper* pHelper, CComPtr<ISettingsManager>& pManager) {
    ISettingsManager* pMgr = nullptr;
    const ZELRESULT zr = pHelper->Create(&pMgr);
    if (zr == ZEL_E_STORE_NOT_RUNNING) {
        std::fprintf(stderr,
                     "krellctl: the settings store is not running; start its service first "
                     "(krellctl service start lcSetMgr, or krellctl boot)\n");
        return 1;
    }
    if (!ZEL_SUCCEEDED(zr)) {
        std::fprintf(stderr, "krellctl: cannot load the settings store (lcSet.dll): 0x%08X\n",
                     static_cast<unsigned>(zr));
        return 1;
    }
    pManager = CComPtr<ISettingsManager>::Attach(pMgr);
    return 0;
}
