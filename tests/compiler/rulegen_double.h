// The state of the rule preprocessor's test double (lib_rulegen_double.cpp, installed as ktRGen.dll):
// the tests reach it through the library's export "g_RuleGenDouble".
#pragma once

#include "platform/types.h"

struct RuleGenDoubleState {
    // 0: every call succeeds; 1 to 4: LoadXMLObject, ProcessRules, GetSerializedRulesLength or
    // GetSerializedRules answers hrFail.
    int nFailAt;
    HRESULT hrFail;
    int nObjectsCreated;
    // The text of the last document loaded, UTF-8; the serialized rules are "SRTC" and this text.
    unsigned cbXml;
    char szXml[1 << 16];
};
