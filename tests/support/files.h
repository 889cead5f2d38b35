#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/types.h"

namespace krelltest {

// The bytes of the file at a Windows-form path; empty when it does not exist.
std::string ReadFileBytes(const std::u16string& sWindowsPath);
bool FileExists(const std::u16string& sWindowsPath);
// The text of the file at a path of this machine; empty when it cannot be read.
std::string ReadText(const std::string& sPath);
// A wait until that text contains sText.
bool WaitForFileText(const std::string& sPath, const std::string& sText, int nTimeoutMs = 20000);
// The non-empty lines of a text, and how often a text occurs in another.
std::vector<std::string> NonEmptyLines(const std::string& sText);
std::size_t CountOf(const std::string& sText, const std::string& sWhat);
// Decodes UTF-16LE bytes (after a byte-order mark, if any) to UTF-8.
std::string Utf16LeToUtf8(const std::string& sBytes);
// The bytes of a text.
std::vector<BYTE> Bytes(const std::string& s);

}  // namespace krelltest
