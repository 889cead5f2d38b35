// Compiled on its own by ctest, once per case: every case except FORMAT_CASE_NONE must stop the build
// in FormatString's constructor, naming the check that failed.
#include <string>

#include "platform/format.h"

void Use() {
#if defined(FORMAT_CASE_NONE)
    (void)platform::Format(u"%d %S %s %p", 1, "narrow", u"wide", nullptr);
#elif defined(FORMAT_CASE_MISMATCH)
    (void)platform::Format(u"%d", "text");
#elif defined(FORMAT_CASE_WRONG_WIDTH)
    (void)platform::Format(u"%s", "narrow where wide is wanted");
#elif defined(FORMAT_CASE_WRONG_SIZE)
    (void)platform::Format(u"%X", 0x100000000ull);
#elif defined(FORMAT_CASE_TOO_FEW)
    (void)platform::Format(u"%d %d", 1);
#elif defined(FORMAT_CASE_TOO_MANY)
    (void)platform::FormatNarrow("%d", 1, 2);
#elif defined(FORMAT_CASE_UNSUPPORTED)
    (void)platform::Format(u"%f", 1.0);
#elif defined(FORMAT_CASE_NOT_LITERAL)
    std::u16string sFmt = u"%d";
    (void)platform::Format(sFmt, 1);
#endif
}
