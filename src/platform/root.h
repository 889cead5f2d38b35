// The machine root: the directory that holds all state of one installation. Every process of one
// root shares its registry, its named objects and its drive C; two roots never interfere.
#pragma once

#include <string>

namespace platform {

// The root named by KRELL_ROOT, else a per-user default; created on first use. A POSIX path.
const std::string& RootDirectory();

// A directory inside the root (created on first use), e.g. "objects" or "run".
std::string RootSubdirectory(const char* szName);

}  // namespace platform
