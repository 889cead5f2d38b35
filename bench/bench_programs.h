// The build's programs and libraries, found in its program directory as the tests find them, so a
// benchmark runs from wherever it is started.
#pragma once

#include <string>

inline std::string ProgramPath(const char* szName) {
    return std::string(KRELL_PROGRAM_DIR) + "/" + szName;
}
