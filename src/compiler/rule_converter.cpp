#include "compiler/rule_converter.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <vector>

#include "compiler/converter_values.h"
#include "compiler/error_stack.h"
#include "compiler/ic_nodes.h"
#include "compiler/rule_preprocessor.h"
#include "compiler/rule_template_key.h"
#include "crypto/blowfish.h"
#include "diagnostics/user_debug_output.h"
#include "events/object_loader.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/resource.h"
#include "platform/system.h"
#include "settings/settings_helpers.h"

using platform::CXmlDocument;
using platform::CXmlNode;

namespace {

constexpr const char16_t* PREPROCESSOR_LIBRARY = u"ktRGen.dll";
constexpr const char16_t* GATEWARDEN_PRIVATE = u"GATEWARDEN\\PRIVATE";
constexpr const char16_t* RULES_CONVERTER_DEBUG = u"RulesConverterDebug";

std::atomic<HMODULE> g_hTemplateModule{nullptr};

// The preprocessor's library is loaded once per process and kept for its life.
CObjectLoader& PreprocessorLoader() {
    static CObjectLoader* pLoader = new CObjectLoader();
    return *pLoader;
}

bool HasValues(const CICRuleNode& node, DWORD dwType) {
    return node.Values().count(dwType) != 0;
}

const IRuleValue* FirstValue(const CICRuleNode& node, DWORD dwType) {
    const auto it = node.Values().find(dwType);
    return it == node.Values().end() ? nullptr : it->second.get();
}

CXmlNode FirstChildElement(const CXmlNode& node) {
    for (CXmlNode child = node.FirstChild(); child; child = child.NextSibling()) {
        if (child.IsElement()) {
            return child;
        }
    }
    return CXmlNode();
}

CXmlNode ChildNamed(const CXmlNode& node, const char16_t* szName) {
    for (CXmlNode child = node.FirstChild(); child; child = child.NextSibling()) {
        if (child.IsElement() && child.NodeName() == szName) {
            return child;
        }
    }
    return CXmlNode();
}

}  // namespace

void CRuleConverter::SetTemplateModule(HMODULE hModule) {
    g_hTemplateModule = hModule;
}

CRuleConverter::CRuleConverter(const CRuleConverter& other) {
    *this = other;
}

CRuleConverter& CRuleConverter::operator=(const CRuleConverter& other) {
    if (this == &other) {
        return *this;
    }
    Clear();
    try {
        m_sName = other.m_sName;
        if (other.m_pSRTC) {
            m_pSRTC = std::make_unique<BYTE[]>(other.m_cbSRTC);
            std::copy_n(other.m_pSRTC.get(), other.m_cbSRTC, m_pSRTC.get());
            m_cbSRTC = other.m_cbSRTC;
        }
        m_bInitialized = other.m_bInitialized;
    } catch (const std::bad_alloc&) {
        Clear();
        DebugOut1(DBG_CAT_RULE_CONVERTER,
                  u"CRuleConverter::operator`=' - Out of memory; no output file will be generated (%#08X)\n",
                  static_cast<DWORD>(E_OUTOFMEMORY));
    }
    return *this;
}

bool CRuleConverter::GenerateSRTC(const CICRuleNode& node, CErrorStack* pErrors) {
    DebugOut3(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::GenerateSRTC - Entry\n");
    Clear();
    CComPtr<CXmlDocument> pXML;
    CComPtr<IKTRulePreprocessor> pPreproc;
    do {
        HRESULT hr = CXmlDocument::Create(&pXML);
        if (FAILED(hr)) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::GenerateSRTC - pXML.CreateInstance() failed: 0x%08X\n",
                      static_cast<DWORD>(hr));
            break;
        }
        const DWORD dwRSType = node.GetRSType();
        if (dwRSType == RS_TYPE_AUTHORIZATION) {
            DebugOut3(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::GenerateSRTC - Creating auth rules\n");
            if (!CreateAuthRules(node, pXML.Get(), pErrors)) {
                DebugOut1(DBG_CAT_RULE_CONVERTER,
                          u"CRuleConverter::GenerateSRTC - CreateAuthRules() failed\n");
                break;
            }
        } else if (dwRSType == RS_TYPE_EXCLUSION) {
            DebugOut3(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::GenerateSRTC - Creating exclusion rules\n");
            if (!CreateExclusionRules(node, pXML.Get(), pErrors)) {
                DebugOut1(DBG_CAT_RULE_CONVERTER,
                          u"CRuleConverter::GenerateSRTC - CreateExclusionRules() failed\n");
                break;
            }
        } else if (dwRSType == RS_TYPE_PROTECTED_RESOURCES) {
            DebugOut3(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::GenerateSRTC - Creating protected resource rules\n");
            if (!CreateGatewardenRules(node, pXML.Get(), pErrors)) {
                DebugOut1(DBG_CAT_RULE_CONVERTER,
                          u"CRuleConverter::GenerateSRTC - CreateGatewardenRules() failed\n");
                break;
            }
        } else {
            DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::GenerateSRTC - Unknown RS-type: %d\n",
                      dwRSType);
            break;
        }

        if (!SaveRSDocument(pXML.Get())) {
            DebugOut2(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::GenerateSRTC - Failed to save rs-doc\n");
        }

        CObjectLoader& preprocLoader = PreprocessorLoader();
        ZELRESULT zr = preprocLoader.Load(PREPROCESSOR_LIBRARY);
        if (ZEL_SUCCEEDED(zr)) {
            zr = preprocLoader.CreateObject(CLSID_KTRulePreprocessor, IID_IKTRulePreprocessor,
                                            reinterpret_cast<void**>(&pPreproc));
        }
        if (!ZEL_SUCCEEDED(zr) || !pPreproc) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::GenerateSRTC - preprocLoader.CreateObject() failed: 0x%08X\n",
                      static_cast<DWORD>(ZEL_SUCCEEDED(zr) ? E_POINTER : zr));
            break;
        }

        hr = pPreproc->LoadXMLObject(static_cast<IKTXmlText*>(pXML.Get()));
        if (FAILED(hr)) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::GenerateSRTC - pPreproc->LoadXMLObject() failed: 0x%08X\n",
                      static_cast<DWORD>(hr));
            break;
        }
        hr = pPreproc->ProcessRules();
        if (FAILED(hr)) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::GenerateSRTC - pPreproc->ProcessRules() failed: 0x%08X\n",
                      static_cast<DWORD>(hr));
            break;
        }
        ULONG cbRules = 0;
        hr = pPreproc->GetSerializedRulesLength(&cbRules);
        if (FAILED(hr)) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::GenerateSRTC - pPreproc->GetSerializedRulesLength() failed: 0x%08X\n",
                      static_cast<DWORD>(hr));
            break;
        }
        std::unique_ptr<BYTE[]> pRules;
        try {
            pRules = std::make_unique<BYTE[]>(cbRules);
        } catch (const std::bad_alloc& e) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::GenerateSRTC - bad_alloc caught allocating m_pSRTC: %S\n", e.what());
            break;
        }
        ULONG cbWritten = cbRules;
        hr = pPreproc->GetSerializedRules(pRules.get(), &cbWritten);
        if (FAILED(hr)) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::GenerateSRTC - pPreproc->GetSerializedRules() failed: 0x%08X\n",
                      static_cast<DWORD>(hr));
            break;
        }
        m_pSRTC = std::move(pRules);
        m_cbSRTC = std::min(cbWritten, cbRules);
        m_bInitialized = true;
    } while (false);

    DebugOut3(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::GenerateSRTC - Exit (%s)\n",
              m_bInitialized ? u"success" : u"failure");
    pPreproc.Release();
    pXML.Release();
    return m_bInitialized;
}

bool CRuleConverter::ReadXmlFromResource(DWORD dwResourceId, CXmlDocument* pXML) {
    DebugOut3(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::ReadXmlFromResource - Entry\n");
    bool bLoaded = false;
    try {
        const HMODULE hModule = g_hTemplateModule.load();
        const HRSRC hResInfo =
            platform::FindResource(hModule, MAKEINTRESOURCE(static_cast<WORD>(dwResourceId)), RT_RCDATA);
        const HGLOBAL hResData = hResInfo != nullptr ? platform::LoadResource(hModule, hResInfo) : nullptr;
        const DWORD cbResource = hResData != nullptr ? platform::SizeofResource(hModule, hResInfo) : 0;
        const void* pResource = cbResource != 0 ? platform::LockResource(hResData) : nullptr;
        if (hResInfo == nullptr) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::ReadXmlFromResource - FindResource(\"%d\") failed: 0x%08X\n",
                      dwResourceId, platform::GetLastError());
        } else if (hResData == nullptr) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::ReadXmlFromResource - LoadResource() failed (0x%08X)\n",
                      platform::GetLastError());
        } else if (cbResource == 0) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::ReadXmlFromResource - SizeofResource() failed: %#08X\n",
                      platform::GetLastError());
        } else if (pResource == nullptr) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::ReadXmlFromResource - LockResource() failed\n");
        } else {
            std::vector<BYTE> text(static_cast<const BYTE*>(pResource),
                                   static_cast<const BYTE*>(pResource) + cbResource);
            text.push_back(0);
            const crypto::CBlowfish cipher(crypto::BLOWFISH_ZERO_P_LE, RULE_TEMPLATE_KEY);
            cipher.DecipherEcb(text.data(), cbResource);
            // ANSI text: each byte widened to the code unit of the same value; the first zero ends it.
            std::u16string sXml;
            sXml.reserve(text.size());
            for (BYTE b : text) {
                if (b == 0) {
                    break;
                }
                sXml.push_back(static_cast<char16_t>(b));
            }
            const HRESULT hr = pXML->LoadXml(sXml);
            if (FAILED(hr)) {
                const platform::XmlParseError& error = pXML->ParseError();
                DebugOut2(
                    DBG_CAT_RULE_CONVERTER,
                    u"CRuleConverter::ReadXmlFromResource - parse error 0x%08X, line %d, position %d: %s\n",
                    static_cast<DWORD>(error.errorCode), static_cast<int>(error.line),
                    static_cast<int>(error.linepos), error.reason);
            }
            bLoaded = SUCCEEDED(hr);
        }
    } catch (const std::bad_alloc& e) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::ReadXmlFromResource - Out of memory: %S\n",
                  e.what());
        bLoaded = false;
    }
    DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::ReadXmlFromResource - Exit (%s)\n",
              bLoaded ? u"success" : u"fail");
    return bLoaded;
}

bool CRuleConverter::Recover(DWORD dwResourceId, CXmlDocument* pXML, CErrorStack* pErrors,
                             const char16_t* szFallback, const char16_t* szMethod) {
    DebugOut2(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::%s - Attempting recovery\n", szMethod);
    if (!ReadXmlFromResource(dwResourceId, pXML)) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::%s - Failed to recover from error\n", szMethod);
        return false;
    }
    if (pErrors != nullptr) {
        pErrors->AddWarning(szFallback);
    }
    DebugOut2(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::%s - Recovery succeeded\n", szMethod);
    return true;
}

bool CRuleConverter::CreateAuthRules(const CICRuleNode& node, CXmlDocument* pXML, CErrorStack* pErrors) {
    DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::CreateAuthRules - Entry\n");
    if (!ReadXmlFromResource(IDR_AUTHORIZATION_TEMPLATE, pXML)) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::CreateAuthRules - Failed to load XML template\n");
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::CreateAuthRules - Exit (%s)\n", u"failure");
        return false;
    }
    bool bOk = true;
    struct SetStep {
        const char16_t* szId;
        DWORD dwType;
        bool bExact;
    };
    static constexpr SetStep SET_STEPS[] = {
        {u"authorized-devices", PT_AUTHORIZED_DEVICE, true},
        {u"authorized-locations", PT_AUTHORIZED_LOCATION, true},
        {u"authorized-folders", PT_AUTHORIZED_FOLDER_TREE, false},
        {u"authorized-user-contexts", PT_AUTHORIZED_USER_CONTEXT, true},
    };
    for (const SetStep& step : SET_STEPS) {
        if (bOk && HasValues(node, step.dwType)) {
            bOk = AddStringsToSet(pXML, step.szId, node, step.dwType, step.bExact, true);
        }
    }
    const bool bMd5WithPath = HasValues(node, PT_AUTHORIZED_MD5_WITH_PATH);
    if (bOk && bMd5WithPath) {
        bOk = AddAuthorizedHashRules(pXML, u"is-authorized-hash", false, node, PT_AUTHORIZED_MD5_WITH_PATH,
                                     u"actor", u"md5-hash", u"str", u"path");
    }
    if (bOk && HasValues(node, PT_AUTHORIZED_SHA1_WITH_PATH)) {
        bOk = AddAuthorizedHashRules(pXML, u"is-authorized-hash", bMd5WithPath, node,
                                     PT_AUTHORIZED_SHA1_WITH_PATH, u"actor", u"sha1-hash", u"str", u"path");
    }
    const bool bMd5WithLength = HasValues(node, PT_AUTHORIZED_MD5_WITH_LENGTH);
    if (bOk && bMd5WithLength) {
        bOk = AddAuthorizedHashRules(pXML, u"is-authorized-anonymous-hash", false, node,
                                     PT_AUTHORIZED_MD5_WITH_LENGTH, u"actor", u"md5-hash", u"int32",
                                     u"file-length");
    }
    if (bOk && HasValues(node, PT_AUTHORIZED_SHA1_WITH_LENGTH)) {
        bOk = AddAuthorizedHashRules(pXML, u"is-authorized-anonymous-hash", bMd5WithLength, node,
                                     PT_AUTHORIZED_SHA1_WITH_LENGTH, u"actor", u"sha1-hash", u"int32",
                                     u"file-length");
    }
    if (!bOk) {
        bOk = Recover(IDR_AUTHORIZATION_TEMPLATE, pXML, pErrors,
                      u"Using default configuration for authorization", u"CreateAuthRules");
    }
    DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::CreateAuthRules - Exit (%s)\n",
              bOk ? u"success" : u"failure");
    return bOk;
}

bool CRuleConverter::CreateExclusionRules(const CICRuleNode& node, CXmlDocument* pXML, CErrorStack* pErrors) {
    DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::CreateExclusionRules - Entry\n");
    if (!ReadXmlFromResource(IDR_EXCLUSION_TEMPLATE, pXML)) {
        DebugOut1(DBG_CAT_RULE_CONVERTER,
                  u"CRuleConverter::CreateExclusionRules - Failed to load XML template\n");
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::CreateExclusionRules - Exit (%s)\n", u"failure");
        return false;
    }
    bool bOk = true;
    const auto range = node.Values().equal_range(PT_EXCLUSION);
    const auto nValues = std::distance(range.first, range.second);
    if (nValues == 0) {
        DebugOut2(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::CreateExclusionRules - No exclusions present\n");
    } else {
        try {
            CXmlNode expr;
            HRESULT hr = pXML->SelectSingleNode(u"ruleModule/definitions/exprDef/expr", &expr);
            if (hr != S_OK) {
                hr = FAILED(hr) ? hr : E_POINTER;
                DebugOut1(DBG_CAT_RULE_CONVERTER,
                          u"CRuleConverter::CreateExclusionRules - COM exception caught: 0x%08X\n",
                          static_cast<DWORD>(hr));
                bOk = false;
            } else {
                if (!RemoveMatchingSubNode(expr, u"funEval")) {
                    DebugOut2(DBG_CAT_RULE_CONVERTER,
                              u"CRuleConverter::CreateExclusionRules - Failed to delete placeholder\n");
                }
                CXmlNode parent = expr;
                if (nValues >= 2) {
                    CXmlNode orNode;
                    hr = pXML->CreateElement(u"or", expr, &orNode);
                    if (SUCCEEDED(hr)) {
                        hr = expr.AppendChild(orNode);
                    }
                    if (FAILED(hr)) {
                        DebugOut1(DBG_CAT_RULE_CONVERTER,
                                  u"CRuleConverter::CreateExclusionRules - COM exception caught: 0x%08X\n",
                                  static_cast<DWORD>(hr));
                        bOk = false;
                    }
                    parent = orNode;
                }
                for (auto it = range.first; bOk && it != range.second; ++it) {
                    const auto* pValue = dynamic_cast<const CICExclusionRuleValue*>(it->second.get());
                    std::vector<FunctionNodeSpec> specs;
                    if (pValue != nullptr) {
                        if (pValue->ActorPath() != u"*") {
                            specs.push_back({u"equals", u"actor", u"path", u"str", pValue->ActorPath()});
                        }
                        if (pValue->TargetPath() != u"*") {
                            specs.push_back({u"equals", u"target", u"path", u"str", pValue->TargetPath()});
                        }
                        if (pValue->ActorSid() != u"*") {
                            specs.push_back({u"equals", u"actor", u"sid", u"str", pValue->ActorSid()});
                        }
                    }
                    // A mask alone would exclude every such access by anyone: not usable.
                    if (specs.empty()) {
                        DebugOut2(
                            DBG_CAT_RULE_CONVERTER,
                            u"CRuleConverter::CreateExclusionRules - No valid exclusion data in primitive\n");
                        continue;
                    }
                    specs.push_back({u"binary-and", u"action", u"desired-access", u"hex32",
                                     platform::Format(u"0x%08X", pValue->AccessMask())});
                    if (!AddMultipleFunctionNodes(pXML, parent, specs.data(), specs.size())) {
                        DebugOut2(DBG_CAT_RULE_CONVERTER,
                                  u"CRuleConverter::CreateExclusionRules - Unable to add exclusion rule\n");
                    }
                }
            }
        } catch (const std::bad_alloc&) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::CreateExclusionRules - ATL exception caught: 0x%08X\n",
                      static_cast<DWORD>(E_OUTOFMEMORY));
            bOk = false;
        }
    }
    if (!bOk) {
        bOk = Recover(IDR_EXCLUSION_TEMPLATE, pXML, pErrors, u"Using default configuration for exclusions",
                      u"CreateExclusionRules");
    }
    DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::CreateExclusionRules - Exit (%s)\n",
              bOk ? u"success" : u"failure");
    return bOk;
}

bool CRuleConverter::CreateGatewardenRules(const CICRuleNode& node, CXmlDocument* pXML,
                                           CErrorStack* pErrors) {
    DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::CreateGatewardenRules - Entry\n");
    if (!ReadXmlFromResource(IDR_PROTECTED_RESOURCES_TEMPLATE, pXML)) {
        DebugOut1(DBG_CAT_RULE_CONVERTER,
                  u"CRuleConverter::CreateGatewardenRules - Failed to load XML template\n");
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::CreateGatewardenRules - Exit (%s)\n", u"failure");
        return false;
    }
    bool bOk = true;
    const bool bFolderTrees = HasValues(node, PT_PROTECTED_FOLDER_TREE);
    const bool bRegKeys = HasValues(node, PT_PROTECTED_REGKEY);
    struct SetStep {
        const char16_t* szId;
        DWORD dwType;
        bool bExact;
        bool bRemovePlaceholder;
    };
    const SetStep setSteps[] = {
        {u"authorized-user-contexts", PT_AUTHORIZED_USER_CONTEXT, true, true},
        {u"protected-files", PT_PROTECTED_FOLDER_TREE, false, true},
        {u"protected-regkeys", PT_PROTECTED_REGKEY, true, true},
        {u"protected-regkeys", PT_PROTECTED_REGKEY_TREE, false, !bRegKeys},
        {u"protected-files", PT_PROTECTED_FILE, true, !bFolderTrees},
        {u"protected-processes", PT_PROTECTED_PROCESS, true, true},
        {u"excluded-folders", PT_EXCLUDED_FOLDER, false, true},
        {u"excluded-regkeys", PT_EXCLUDED_REGKEY, false, true},
    };
    for (const SetStep& step : setSteps) {
        if (bOk && HasValues(node, step.dwType)) {
            bOk = AddStringsToSet(pXML, step.szId, node, step.dwType, step.bExact, step.bRemovePlaceholder);
        }
    }
    struct SwitchStep {
        DWORD dwType;
        const char16_t* szId;
    };
    static constexpr SwitchStep SWITCH_STEPS[] = {
        {PT_FILE_PROTECTION_ENABLED, u"is-file-protection-enabled"},
        {PT_REGISTRY_PROTECTION_ENABLED, u"is-registry-protection-enabled"},
        {PT_PROCESS_PROTECTION_ENABLED, u"is-process-protection-enabled"},
    };
    for (const SwitchStep& step : SWITCH_STEPS) {
        const IRuleValue* pValue = bOk ? FirstValue(node, step.dwType) : nullptr;
        if (pValue == nullptr) {
            continue;
        }
        const auto* pSwitch = dynamic_cast<const CICIntegralRuleValue*>(pValue);
        if (pSwitch == nullptr) {
            bOk = false;
        } else if (pSwitch->Value() == 0) {
            bOk = SetSingleLiteralValue(pXML, step.szId, u"false", u"bool");
        }
    }
    const IRuleValue* pExpires = bOk ? FirstValue(node, PT_DISABLED_PROTECTION_EXPIRES) : nullptr;
    if (pExpires != nullptr) {
        const auto* pTime = dynamic_cast<const CICIntegralRuleValue*>(pExpires);
        FILETIME ft{};
        SYSTEMTIME st{};
        if (pTime != nullptr) {
            const auto ullTime = static_cast<ULONGLONG>(pTime->Value());
            ft.dwLowDateTime = static_cast<DWORD>(ullTime);
            ft.dwHighDateTime = static_cast<DWORD>(ullTime >> 32);
        }
        if (pTime == nullptr || !platform::FileTimeToSystemTime(&ft, &st)) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::CreateGatewardenRules - Date conversion error (%#08X)\n",
                      pTime == nullptr ? static_cast<DWORD>(E_INVALIDARG) : platform::GetLastError());
            bOk = false;
        } else {
            const std::u16string sDate =
                platform::Format(u"%u-%02u-%02uT%02u:%02u:%02uZ", st.wYear, st.wMonth, st.wDay, st.wHour,
                                 st.wMinute, st.wSecond);
            bOk = SetSingleLiteralValue(pXML, u"disabled-protection-expires-time", sDate, u"date");
        }
    }
    if (!bOk) {
        bOk = Recover(IDR_PROTECTED_RESOURCES_TEMPLATE, pXML, pErrors,
                      u"Using default protected resources configuration", u"CreateGatewardenRules");
    }
    DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::CreateGatewardenRules - Exit (%s)\n",
              bOk ? u"success" : u"failure");
    return bOk;
}

bool CRuleConverter::SaveRSDocument(CXmlDocument* pXML) {
    DebugOut3(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::SaveRSDocument - Entry\n");
    try {
        CSettingsManagerHelper helper;
        ISettingsManager* pRawMgr = nullptr;
        ZELRESULT zr = helper.Create(&pRawMgr);
        if (!ZEL_SUCCEEDED(zr) || pRawMgr == nullptr) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::SaveRSDocument - Unable to connect to lcSettings (0x%08X)\n",
                      static_cast<DWORD>(zr));
            return false;
        }
        // Released before the helper frees the store's library.
        CComPtr<ISettingsManager> pSetMgr = CComPtr<ISettingsManager>::Attach(pRawMgr);
        CComPtr<ISettings> pSettings;
        zr = pSetMgr->GetSettings(GATEWARDEN_PRIVATE, &pSettings);
        if (zr == ZEL_E_NOT_FOUND) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::SaveRSDocument - GW key not found; no save\n");
            return false;
        }
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::SaveRSDocument - pSetMgr->GetSettings() failed: 0x%08X\n",
                      static_cast<DWORD>(zr));
            return false;
        }
        DWORD dwDebug = 0;
        zr = pSettings->GetDword(RULES_CONVERTER_DEBUG, &dwDebug);
        if (zr == ZEL_E_NOT_FOUND) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::SaveRSDocument - RS value not found; no save\n");
            return false;
        }
        if (!ZEL_SUCCEEDED(zr)) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::SaveRSDocument - pSettings->GetDword() failed: 0x%08X\n",
                      static_cast<DWORD>(zr));
            return false;
        }
        if (dwDebug == 0) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::SaveRSDocument - RulesConverterDebug == FALSE; no save\n");
            return false;
        }
        std::u16string sTempPath;
        std::u16string sFileName;
        if (!platform::GetTempPath(&sTempPath) ||
            platform::GetTempFileName(sTempPath.c_str(), u"XML", 0, &sFileName) == 0) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::SaveRSDocument - GetTempFileName failed (0x%08X); rs-doc not saved\n",
                      platform::GetLastError());
            return false;
        }
        const HRESULT hr = pXML->Save(sFileName.c_str());
        if (FAILED(hr)) {
            DebugOut1(DBG_CAT_RULE_CONVERTER,
                      u"CRuleConverter::SaveRSDocument - Error saving rs-doc, hr=0x%08X\n",
                      static_cast<DWORD>(hr));
            return false;
        }
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::SaveRSDocument - rs-doc saved: %s\n", sFileName);
        return true;
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"CRuleConverter::SaveRSDocument - ATL exception caught: 0x%08X\n",
                  static_cast<DWORD>(E_OUTOFMEMORY));
        return false;
    }
}

CXmlNode CRuleConverter::GetConfigNode(CXmlDocument* pXML, const char16_t* szParent, const char16_t* szProp,
                                       const std::u16string& sVal) {
    DebugOut1(DBG_CAT_RULE_CONVERTER, u"GetConfigNode - Entry: parent=%s, prop=%s, val=%s\n", szParent,
              szProp, sVal);
    CXmlNode found;
    CXmlNode definitions;
    if (pXML->SelectSingleNode(u"ruleModule/definitions", &definitions) != S_OK) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"GetConfigNode - definitions node not found\n");
    } else if (!definitions.FirstChild()) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"GetConfigNode - definitions node has no children\n");
    } else {
        for (CXmlNode child = definitions.FirstChild(); child && !found; child = child.NextSibling()) {
            if (!child.IsElement()) {
                continue;
            }
            if (!child.HasAttributes()) {
                DebugOut1(DBG_CAT_RULE_CONVERTER, u"GetConfigNode - no attributes in node %s\n",
                          child.NodeName());
                continue;
            }
            std::u16string sValue;
            if (child.NodeName() == szParent && child.GetAttribute(szProp, &sValue) == S_OK &&
                sValue == sVal) {
                found = child;
            }
        }
    }
    DebugOut1(DBG_CAT_RULE_CONVERTER, u"GetConfigNode - Exit: node %sfound\n", found ? u"" : u"not ");
    return found;
}

bool CRuleConverter::RemoveMatchingSubNode(CXmlNode node, const char16_t* szName) {
    DebugOut1(DBG_CAT_RULE_CONVERTER, u"RemoveMatchingSubNode - Entry n=%s\n", szName);
    if (!node) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"RemoveMatchingSubNode - COM exception caught: 0x%08X\n",
                  static_cast<DWORD>(E_POINTER));
        return false;
    }
    const CXmlNode child = ChildNamed(node, szName);
    if (!child) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"RemoveMatchingSubNode - node not found\n");
        return false;
    }
    if (FAILED(node.RemoveChild(child))) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"RemoveMatchingSubNode - node not removed\n");
        return false;
    }
    DebugOut1(DBG_CAT_RULE_CONVERTER, u"RemoveMatchingSubNode - Exit, node removed\n");
    return true;
}

bool CRuleConverter::SetSingleLiteralValue(CXmlDocument* pXML, const char16_t* szId,
                                           const std::u16string& sValue, const char16_t* szType) {
    DebugOut1(DBG_CAT_RULE_CONVERTER, u"SetSingleLiteralValue - \"%s\":=\"%s\"\n", szId, sValue);
    try {
        const CXmlNode literal = GetConfigNode(pXML, u"singleLiteralDef", u"literalId", szId);
        if (!literal) {
            DebugOut1(DBG_CAT_RULE_CONVERTER, u"SetSingleLiteralValue - Failed to reference node %s\n", szId);
            return false;
        }
        CXmlNode value = ChildNamed(literal, szType);
        const HRESULT hr = value ? value.SetText(sValue) : E_POINTER;
        if (FAILED(hr)) {
            DebugOut1(DBG_CAT_RULE_CONVERTER, u"SetSingleLiteralValue - COM exception caught: 0x%08X\n",
                      static_cast<DWORD>(hr));
            return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"SetSingleLiteralValue - ATL exception caught: 0x%08X\n",
                  static_cast<DWORD>(E_OUTOFMEMORY));
        return false;
    }
}

bool CRuleConverter::AddStringsToSet(CXmlDocument* pXML, const char16_t* szLiteralId, const CICRuleNode& node,
                                     DWORD dwPrimitiveType, bool bExact, bool bRemovePlaceholder) {
    DebugOut1(DBG_CAT_RULE_CONVERTER, u"AddStringsToSet - Entry: %s\n", szLiteralId);
    CXmlNode set;
    try {
        set = GetConfigNode(pXML, u"setLiteralDef", u"setLiteralId", szLiteralId);
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"AddStringsToSet - ATL exception (hr=0x%08X)\n",
                  static_cast<DWORD>(E_OUTOFMEMORY));
        return false;
    }
    if (!set) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"AddStringsToSet - Failed to reference node %s\n", szLiteralId);
        return false;
    }
    if (bRemovePlaceholder && !RemoveMatchingSubNode(set, u"exactStr")) {
        DebugOut2(DBG_CAT_RULE_CONVERTER, u"AddStringsToSet - Failed to delete placeholder\n");
    }
    const auto range = node.Values().equal_range(dwPrimitiveType);
    for (auto it = range.first; it != range.second; ++it) {
        try {
            const auto* pValue = dynamic_cast<const CICStringRuleValue*>(it->second.get());
            const std::u16string sText = pValue != nullptr ? pValue->Value() : std::u16string();
            HRESULT hr = pValue != nullptr ? S_OK : E_INVALIDARG;
            CXmlNode item;
            if (SUCCEEDED(hr)) {
                hr = pXML->CreateElement(bExact ? u"exactStr" : u"prefixStr", set, &item);
            }
            if (SUCCEEDED(hr)) {
                hr = item.SetText(sText);
            }
            if (SUCCEEDED(hr)) {
                hr = set.AppendChild(item);
            }
            if (FAILED(hr)) {
                DebugOut1(DBG_CAT_RULE_CONVERTER,
                          u"AddStringsToSet - Unable to add \"%s\" node (hr=0x%08X)\n", sText,
                          static_cast<DWORD>(hr));
            }
        } catch (const std::bad_alloc&) {
            DebugOut1(DBG_CAT_RULE_CONVERTER, u"AddStringsToSet - ATL exception (hr=0x%08X)\n",
                      static_cast<DWORD>(E_OUTOFMEMORY));
        }
    }
    DebugOut1(DBG_CAT_RULE_CONVERTER, u"AddStringsToSet - Exit (success)\n");
    return true;
}

bool CRuleConverter::AddAuthorizedHashRules(CXmlDocument* pXML, const char16_t* szExprId, bool bAppend,
                                            const CICRuleNode& node, DWORD dwPrimitiveType,
                                            const char16_t* szSubject, const char16_t* szHashAttribute,
                                            const char16_t* szParamType, const char16_t* szParamAttribute) {
    DebugOut1(DBG_CAT_RULE_CONVERTER, u"AddAuthorizedHashRules - Adding %s\n", szExprId);
    try {
        const CXmlNode exprDef = GetConfigNode(pXML, u"exprDef", u"exprId", szExprId);
        if (!exprDef) {
            DebugOut1(DBG_CAT_RULE_CONVERTER, u"AddAuthorizedHashRules - Failed to reference %s node\n",
                      szExprId);
            return false;
        }
        CXmlNode expr = FirstChildElement(exprDef);
        if (!expr) {
            DebugOut1(DBG_CAT_RULE_CONVERTER, u"AddAuthorizedHashRules - COM exception caught, hr=0x%08X\n",
                      static_cast<DWORD>(E_POINTER));
            return false;
        }
        const auto range = node.Values().equal_range(dwPrimitiveType);
        bool bUseOr = true;
        if (!bAppend) {
            if (!RemoveMatchingSubNode(expr, u"funEval")) {
                DebugOut2(DBG_CAT_RULE_CONVERTER, u"AddAuthorizedHashRules - Failed to delete placeholder\n");
            }
            bUseOr = std::distance(range.first, range.second) >= 2;
        }
        CXmlNode parent = expr;
        if (bUseOr) {
            parent = ChildNamed(expr, u"or");
            if (!parent) {
                HRESULT hr = pXML->CreateElement(u"or", expr, &parent);
                if (SUCCEEDED(hr)) {
                    hr = expr.AppendChild(parent);
                }
                if (FAILED(hr)) {
                    DebugOut1(DBG_CAT_RULE_CONVERTER,
                              u"AddAuthorizedHashRules - COM exception caught, hr=0x%08X\n",
                              static_cast<DWORD>(hr));
                    return false;
                }
            }
        }
        const bool bStringParam = std::u16string_view(szParamType) == u"str";
        for (auto it = range.first; it != range.second; ++it) {
            std::u16string sHash;
            std::u16string sParam;
            bool bUsable = false;
            if (bStringParam) {
                if (const auto* pPair = dynamic_cast<const CICStringPairRuleValue*>(it->second.get())) {
                    sHash = pPair->First();
                    sParam = pPair->Second();
                    bUsable = true;
                }
            } else if (const auto* pHash = dynamic_cast<const CICStringDWORDRuleValue*>(it->second.get())) {
                sHash = pHash->String();
                sParam = platform::Format(u"%d", pHash->Number());
                bUsable = true;
            }
            const FunctionNodeSpec specs[] = {
                {u"equals", szSubject, szHashAttribute, u"str", sHash},
                {u"equals", szSubject, szParamAttribute, szParamType, sParam},
            };
            if (!bUsable || !AddMultipleFunctionNodes(pXML, parent, specs, 2)) {
                DebugOut2(
                    DBG_CAT_RULE_CONVERTER,
                    u"AddAuthorizedHashRules - Unable to add hash authorization rule for hash %s, param %s\n",
                    sHash, sParam);
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"AddAuthorizedHashRules - ATL exception caught, hr= 0x%08X\n",
                  static_cast<DWORD>(E_OUTOFMEMORY));
        return false;
    }
}

bool CRuleConverter::AddMultipleFunctionNodes(CXmlDocument* pXML, CXmlNode parent,
                                              const FunctionNodeSpec* pSpecs, std::size_t nCount) {
    // What this call appended to the parent, taken out again if a later step fails.
    std::vector<CXmlNode> appended;
    HRESULT hr = S_OK;
    CXmlNode target = parent;
    if (nCount > 1) {
        CXmlNode andNode;
        hr = pXML->CreateElement(u"and", parent, &andNode);
        if (SUCCEEDED(hr)) {
            hr = parent.AppendChild(andNode);
        }
        if (SUCCEEDED(hr)) {
            appended.push_back(andNode);
            target = andNode;
        }
    }
    for (std::size_t i = 0; SUCCEEDED(hr) && i < nCount; ++i) {
        const FunctionNodeSpec& condition = pSpecs[i];
        CXmlNode funEval;
        CXmlNode attr;
        CXmlNode constant;
        hr = pXML->CreateElement(u"funEval", target, &funEval);
        if (SUCCEEDED(hr)) {
            hr = funEval.SetAttribute(u"funRef", condition.sFunction);
        }
        if (SUCCEEDED(hr)) {
            hr = target.AppendChild(funEval);
        }
        if (SUCCEEDED(hr) && target == parent) {
            appended.push_back(funEval);
        }
        if (SUCCEEDED(hr)) {
            hr = pXML->CreateElement(u"attr", funEval, &attr);
        }
        if (SUCCEEDED(hr)) {
            hr = attr.SetAttribute(u"opRef", condition.sSubject);
        }
        if (SUCCEEDED(hr)) {
            hr = attr.SetAttribute(u"attrRef", condition.sAttribute);
        }
        if (SUCCEEDED(hr)) {
            hr = funEval.AppendChild(attr);
        }
        if (SUCCEEDED(hr)) {
            hr = pXML->CreateElement(condition.sType, funEval, &constant);
        }
        if (SUCCEEDED(hr)) {
            hr = constant.SetText(condition.sConstant);
        }
        if (SUCCEEDED(hr)) {
            hr = funEval.AppendChild(constant);
        }
    }
    if (FAILED(hr)) {
        DebugOut1(DBG_CAT_RULE_CONVERTER, u"AddMultipleFunctionNodes - COM exception caught: 0x%08X\n",
                  static_cast<DWORD>(hr));
        for (const CXmlNode& node : appended) {
            parent.RemoveChild(node);
        }
        return false;
    }
    return true;
}

const BYTE* CRuleConverter::GetSerializedRulesData() const {
    if (!m_bInitialized) {
        DebugOut2(DBG_CAT_RULE_CONVERTER,
                  u"CRuleConverter::GetSerializedRulesData - m_bInitialized != TRUE\n");
        return nullptr;
    }
    return m_pSRTC.get();
}

DWORD CRuleConverter::GetSerializedRulesLength() const {
    if (!m_bInitialized) {
        DebugOut2(DBG_CAT_RULE_CONVERTER,
                  u"CRuleConverter::GetSerializedRulesLength - m_bInitialized != TRUE\n");
        return 0;
    }
    return m_cbSRTC;
}

bool CRuleConverter::SetSerializedRules(const BYTE* pData, DWORD cbData) {
    Clear();
    try {
        m_pSRTC = std::make_unique<BYTE[]>(cbData);
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::copy_n(pData, cbData, m_pSRTC.get());
    m_cbSRTC = cbData;
    m_bInitialized = true;
    return true;
}

void CRuleConverter::Clear() {
    m_pSRTC.reset();
    m_cbSRTC = 0;
    m_bInitialized = false;
}
