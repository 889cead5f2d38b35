// The machine root: the directory that holds all state of one installation. Every process of one
// root shares its registry, its named objects and its drive C; two roots never interfere.
#pragma once

#include <string>

namespace platform {

// The root named by KRELL_ROOT, else a per-user default; created on first use. A POSIX path.
const std::string& RootDirectory();

// Makes sRoot (a POSIX path) the root of this process and of the processes it starts, before anything
// touches the root. On the platform itself the machine is the root and this does nothing.
void UseRoot(const std::string& sRoot);

// A directory inside the root (created on first use), e.g. "objects" or "run".
std::string RootSubdirectory(const char* szName);

}  // namespace platform
