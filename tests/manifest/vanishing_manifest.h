// The ways a manifest "gone" comes and goes while loads read the folder, shared by the loader's race
// test and the whole-system one: which of its files come and go in each cycle, and which stay.
#pragma once

#include <string>
#include <vector>

namespace manifesttest {

struct CVanishingCase {
    const char* szName;
    std::vector<std::string> cycled;
    std::vector<std::string> steady;
};

inline const CVanishingCase VANISHING_CASES[] = {
    {"the whole set", {"gone.grd", "gone.sig", "gone.gwm"}, {}},
    {"the signature files", {"gone.grd", "gone.sig"}, {"gone.gwm"}},
    {"the manifest alone", {"gone.gwm"}, {"gone.grd", "gone.sig"}},
};

}  // namespace manifesttest
