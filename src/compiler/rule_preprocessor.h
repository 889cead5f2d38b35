// The rule preprocessor's interface, as the rule converter uses it. The preprocessor is an outside
// component (ktRGen.dll in the product directory; sim/rulegen on this machine): it takes a filled
// rule document (docs/rules.md) and compiles it into serialized rules (docs/srtc.md).
#pragma once

#include "platform/com.h"
#include "platform/types.h"

// What the preprocessor asks of the document it is given: the document's XML text, as the DOM's
// own serialisation gives it. The text stays valid as long as the document is not changed or freed.
struct IKTXmlText : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetXml(const char16_t** pszXml, ULONG* pcchXml) = 0;

protected:
    ~IKTXmlText() = default;
};

struct IKTRulePreprocessor : IUnknown {
    // The first three operations are the preprocessor's own; the converter does not use them.
    virtual HRESULT STDMETHODCALLTYPE GetFormatVersion(ULONG* pnVersion) = 0;
    // Why the last failing operation failed, in words (empty after a success).
    virtual HRESULT STDMETHODCALLTYPE GetLastErrorText(const char16_t** pszText) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;

    // pDocument must offer IKTXmlText.
    virtual HRESULT STDMETHODCALLTYPE LoadXMLObject(IUnknown* pDocument) = 0;
    virtual HRESULT STDMETHODCALLTYPE ProcessRules() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSerializedRulesLength(ULONG* pcbRules) = 0;
    // pcbRules: in, the buffer's size; out, the bytes written (or needed, with a too-small buffer).
    virtual HRESULT STDMETHODCALLTYPE GetSerializedRules(BYTE* pRules, ULONG* pcbRules) = 0;

protected:
    ~IKTRulePreprocessor() = default;
};

// The preprocessor's object and interface share one identifier.
inline constexpr CLSID CLSID_KTRulePreprocessor = {
    0x456E563F, 0xE47B, 0x43D2, {0xA2, 0x70, 0xDA, 0x27, 0x37, 0xBD, 0x38, 0xE4}};
inline constexpr IID IID_IKTRulePreprocessor = CLSID_KTRulePreprocessor;
inline constexpr IID IID_IKTXmlText = {
    0x5C0E8A71, 0x2D4B, 0x4F0E, {0x9B, 0x33, 0x71, 0x0A, 0x4E, 0x2C, 0x8D, 0x16}};
