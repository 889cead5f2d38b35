// The rule compiler's view of a parsed document, over libxml2's tree. The compiler reads nodes only
// through these functions; ktRGen.dll links no platform library, so this stays libxml2 itself.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foreign_code.h"
#include "srtc/srtc.h"

namespace rulegen::tree {

using platform::CForeignCall;
using Node = const xmlNode*;

inline bool IsElement(Node p) {
    return p->type == XML_ELEMENT_NODE;
}

// Text or CDATA: what makes up an element's text.
inline bool IsText(Node p) {
    return p->type == XML_TEXT_NODE || p->type == XML_CDATA_SECTION_NODE;
}

inline Node FirstChild(Node p) {
    return p->children;
}

inline Node NextSibling(Node p) {
    return p->next;
}

inline std::string Name(Node p) {
    return reinterpret_cast<const char*>(p->name);
}

inline bool NameIs(Node p, const char* szName) {
    return std::strcmp(reinterpret_cast<const char*>(p->name), szName) == 0;
}

inline bool InNamespace(Node p, const char* szUri) {
    return p->ns != nullptr && p->ns->href != nullptr &&
           std::strcmp(reinterpret_cast<const char*>(p->ns->href), szUri) == 0;
}

inline void MarkText(const void* sz) {
    if (sz != nullptr) {
        CForeignCall::Written(const_cast<void*>(sz), std::strlen(static_cast<const char*>(sz)) + 1);
    }
}

// An attribute in no namespace.
inline bool Attribute(Node p, const char* szName, std::string& sValue) {
    const CForeignCall call;
    xmlChar* pValue = xmlGetNoNsProp(p, reinterpret_cast<const xmlChar*>(szName));
    if (pValue == nullptr) {
        return false;
    }
    MarkText(pValue);
    sValue = reinterpret_cast<const char*>(pValue);
    xmlFree(pValue);
    return true;
}

// A text node's characters, appended as UTF-8 or as UTF-16 units.
inline void AppendText(Node pText, std::string& s) {
    if (pText->content != nullptr) {
        s += reinterpret_cast<const char*>(pText->content);
    }
}

inline void AppendUnits(Node pText, std::u16string& units) {
    if (pText->content != nullptr) {
        srtc::AppendUtf8(reinterpret_cast<const char*>(pText->content), units);
    }
}

inline bool IsBlank(Node pText) {
    for (const xmlChar* p = pText->content; p != nullptr && *p != 0; ++p) {
        if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') {
            return false;
        }
    }
    return true;
}

// What libxml2 built is read straight from its nodes: under MemorySanitizer the parsed tree is marked
// written once, where it is handed over. The compiler reads names, namespaces, text and the tree's links.
inline void MarkTree(xmlNode* pNode) {
#ifdef KRELL_MEMORY_SANITIZER
    for (; pNode != nullptr; pNode = pNode->next) {
        CForeignCall::Written(pNode, sizeof(*pNode));
        MarkText(pNode->name);
        MarkText(pNode->content);
        if (pNode->ns != nullptr) {
            CForeignCall::Written(pNode->ns, sizeof(*pNode->ns));
            MarkText(pNode->ns->href);
            MarkText(pNode->ns->prefix);
        }
        MarkTree(pNode->children);
    }
#else
    static_cast<void>(pNode);
#endif
}

class CDocument {
public:
    CDocument() = default;
    CDocument(const CDocument&) = delete;
    CDocument& operator=(const CDocument&) = delete;
    ~CDocument() {
        if (m_pDoc != nullptr) {
            const CForeignCall call;
            xmlFreeDoc(m_pDoc);
        }
    }

    // False with the parser's reason, and the line when it names one, when the text is not well-formed.
    bool Parse(std::u16string_view sXml, std::string& sReason, std::optional<long>& line) {
        const std::string sUtf8 = srtc::ToUtf8(sXml);
        CForeignCall::HandOver(sUtf8.data(), sUtf8.size());
        sReason = "unknown error";
        line.reset();
        xmlDocPtr pDoc = nullptr;
        {
            const CForeignCall call;
            xmlParserCtxtPtr pContext = xmlNewParserCtxt();
            if (pContext == nullptr) {
                sReason = "out of memory";
                return false;
            }
            // The text is already decoded: UTF-8 overrides whatever encoding the declaration names. No
            // network, no entity substitution.
            pDoc = xmlCtxtReadMemory(pContext, sUtf8.data(), static_cast<int>(sUtf8.size()), "rules.xml",
                                     "UTF-8", XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
            CForeignCall::Written(pContext, sizeof(*pContext));
            if (pDoc == nullptr || !pContext->wellFormed) {
                const xmlError* pError = xmlCtxtGetLastError(pContext);
                if (pError != nullptr) {
                    CForeignCall::Written(const_cast<xmlError*>(pError), sizeof(*pError));
                    MarkText(pError->message);
                    line = pError->line;
                    if (pError->message != nullptr) {
                        sReason = pError->message;
                    }
                }
                if (pDoc != nullptr) {
                    xmlFreeDoc(pDoc);
                }
                xmlFreeParserCtxt(pContext);
                pDoc = nullptr;
            } else {
                xmlFreeParserCtxt(pContext);
                CForeignCall::Written(pDoc, sizeof(*pDoc));
                MarkTree(pDoc->children);
            }
        }
        if (pDoc == nullptr) {
            return false;
        }
        m_pDoc = pDoc;
        return true;
    }

    bool HasDocumentType() const {
        const CForeignCall call;
        return xmlGetIntSubset(m_pDoc) != nullptr;
    }

    // Null for a document without an element.
    Node Root() const {
        const CForeignCall call;
        return xmlDocGetRootElement(m_pDoc);
    }

private:
    xmlDocPtr m_pDoc = nullptr;
};

}  // namespace rulegen::tree
