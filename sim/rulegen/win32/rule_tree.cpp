#include "rule_tree.h"

namespace rulegen::tree {

namespace {

bool At(std::u16string_view s, std::size_t n, std::u16string_view sWhat) {
    return s.substr(n, sWhat.size()) == sWhat;
}

// The document type declaration of the prolog, as [start, end), or nothing.
std::optional<std::pair<std::size_t, std::size_t>> FindDocumentType(std::u16string_view s) {
    std::size_t n = !s.empty() && s[0] == u'\xFEFF' ? 1 : 0;
    for (;;) {
        n = s.find_first_not_of(u" \t\r\n", n);
        if (n == std::u16string_view::npos) {
            return std::nullopt;
        }
        const std::u16string_view sEnd = At(s, n, u"<?") ? u"?>" : At(s, n, u"<!--") ? u"-->" : u"";
        if (sEnd.empty()) {
            break;
        }
        n = s.find(sEnd, n + 2);
        if (n == std::u16string_view::npos) {
            return std::nullopt;
        }
        n += sEnd.size();
    }
    if (!At(s, n, u"<!DOCTYPE")) {
        return std::nullopt;
    }
    // Its end is the first '>' outside quotes, comments and the internal subset's brackets.
    char16_t chQuote = 0;
    int nDepth = 0;
    for (std::size_t i = n + 9; i < s.size(); ++i) {
        const char16_t ch = s[i];
        if (chQuote != 0) {
            chQuote = ch == chQuote ? 0 : chQuote;
        } else if (ch == u'"' || ch == u'\'') {
            chQuote = ch;
        } else if (At(s, i, u"<!--")) {
            i = s.find(u"-->", i + 4);
            if (i == std::u16string_view::npos) {
                return std::nullopt;
            }
            i += 2;
        } else if (ch == u'[') {
            ++nDepth;
        } else if (ch == u']') {
            --nDepth;
        } else if (ch == u'>' && nDepth <= 0) {
            return std::make_pair(n, i + 1);
        }
    }
    return std::nullopt;
}

}  // namespace

// MSXML refuses a document type declaration outright, where the compiler refuses it only once the
// document is known to be well-formed. The declaration is blanked out (keeping its line breaks, so
// that lines stay where they were) and the rest parsed, so both builds give the same verdict.
bool CDocument::Parse(std::u16string_view sXml, std::string& sReason, std::optional<long>& line) {
    line.reset();
    m_pDoc.Release();
    m_bDocumentType = false;
    std::u16string sText(sXml);
    if (const auto range = FindDocumentType(sText)) {
        for (std::size_t i = range->first; i < range->second; ++i) {
            if (sText[i] != u'\n' && sText[i] != u'\r') {
                sText[i] = u' ';
            }
        }
        m_bDocumentType = true;
    }
    CComPtr<platform::CXmlDocument> pDoc;
    if (FAILED(platform::CXmlDocument::Create(&pDoc))) {
        sReason = "out of memory";
        return false;
    }
    // Whitespace-only text is the document's own, as libxml2 keeps it.
    if (FAILED(pDoc->LoadXml(sText, platform::XmlWhitespace::Keep))) {
        const platform::XmlParseError& error = pDoc->ParseError();
        sReason = error.reason.empty() ? std::string("unknown error") : srtc::ToUtf8(error.reason);
        if (error.line > 0) {
            line = error.line;
        }
        m_bDocumentType = false;
        return false;
    }
    m_pDoc = std::move(pDoc);
    return true;
}

}  // namespace rulegen::tree
