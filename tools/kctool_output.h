// Text and JSON renderings of a checked KC file, kept apart from the command line so that the
// output can be tested without running the program.
#pragma once

#include <string>

#include "kcfile/kc_reader.h"

namespace kctool {

struct DumpOptions {
    bool bHex = false;   // every section's deciphered data as hexadecimal
    bool bJson = false;  // one JSON document instead of text
};

std::string RenderVerify(const std::string& sName, const kcfile::KCFileInfo& info);
std::string RenderDump(const std::string& sName, const kcfile::KCFileInfo& info, const DumpOptions& options);

}  // namespace kctool
