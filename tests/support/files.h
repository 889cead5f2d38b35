#pragma once

#include <string>

namespace krelltest {

// The bytes of the file at a Windows-form path; empty when it does not exist.
std::string ReadFileBytes(const std::u16string& sWindowsPath);
bool FileExists(const std::u16string& sWindowsPath);
// Decodes UTF-16LE bytes (after a byte-order mark, if any) to UTF-8.
std::string Utf16LeToUtf8(const std::string& sBytes);

}  // namespace krelltest
