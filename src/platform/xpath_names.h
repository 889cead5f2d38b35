// The default-namespace rule of the XML DOM's selections, shared by both halves: an unprefixed
// element name test is rewritten to a reserved prefix that the half binds to the default namespace
// in scope.
#pragma once

#include <string>

namespace platform {

// Not a prefix the documents use.
inline constexpr const char* XPATH_DEFAULT_PREFIX = "krell-default-ns";

// Puts every unprefixed element name test of an XPath expression (UTF-8) into XPATH_DEFAULT_PREFIX.
// Tokens follow the XPath 1.0 lexical rules, including the one that tells operator names from name
// tests.
std::string QualifyNameTests(const std::string& sPath);

}  // namespace platform
