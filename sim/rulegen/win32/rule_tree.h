// The rule compiler's view of a parsed document, over the platform's XML DOM (MSXML). The compiler
// reads nodes only through these functions; the Linux build reads libxml2's tree the same way.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/com.h"
#include "platform/xml_dom.h"
#include "srtc/srtc.h"

namespace rulegen::tree {

using Node = platform::CXmlNode;

inline bool IsElement(const Node& p) {
    return p.IsElement();
}

// Text or CDATA: what makes up an element's text.
inline bool IsText(const Node& p) {
    return p.IsText();
}

inline Node FirstChild(const Node& p) {
    return p.FirstChild();
}

inline Node NextSibling(const Node& p) {
    return p.NextSibling();
}

inline std::string Name(const Node& p) {
    return srtc::ToUtf8(p.LocalName());
}

// The names the compiler asks for are ASCII.
inline bool Equals(std::u16string_view s, const char* sz) {
    std::size_t n = 0;
    for (; sz[n] != 0; ++n) {
        if (n == s.size() || s[n] != static_cast<unsigned char>(sz[n])) {
            return false;
        }
    }
    return n == s.size();
}

inline bool NameIs(const Node& p, const char* szName) {
    return Equals(p.LocalName(), szName);
}

inline bool InNamespace(const Node& p, const char* szUri) {
    return Equals(p.NamespaceURI(), szUri);
}

// An attribute in no namespace.
inline bool Attribute(const Node& p, const char* szName, std::string& sValue) {
    std::u16string sWide;
    if (p.GetAttribute(srtc::FromUtf8(szName), &sWide) != S_OK) {
        return false;
    }
    sValue = srtc::ToUtf8(sWide);
    return true;
}

// A text node's characters, appended as UTF-8 or as UTF-16 units.
inline void AppendText(const Node& pText, std::string& s) {
    s += srtc::ToUtf8(pText.GetText());
}

inline void AppendUnits(const Node& pText, std::u16string& units) {
    units += pText.GetText();
}

inline bool IsBlank(const Node& pText) {
    return pText.GetText().find_first_not_of(u" \t\r\n") == std::u16string::npos;
}

class CDocument {
public:
    // False with the parser's reason, and the line when it names one, when the text is not well-formed.
    bool Parse(std::u16string_view sXml, std::string& sReason, std::optional<long>& line);
    bool HasDocumentType() const { return m_bDocumentType; }
    // Null for a document without an element.
    Node Root() const { return m_pDoc ? m_pDoc->DocumentElement() : Node(); }

private:
    CComPtr<platform::CXmlDocument> m_pDoc;
    bool m_bDocumentType = false;
};

}  // namespace rulegen::tree
