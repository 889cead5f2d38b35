// libFuzzer target for the guard-file parser. Besides crashes it checks the format's promise of one
// spelling: a file that parses is written back byte for byte, and anything refused is refused as bad
// data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "signature/guard_file.h"
#include "signature/signature_errors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    const std::span<const BYTE> data(pData, cbData);
    signature::GuardFile guard;
    try {
        guard = signature::ParseGuardFile(data);
    } catch (const signature::bad_data_error&) {
        return 0;
    }
    const std::string sBack = signature::FormatGuardFile(guard);
    if (sBack.size() != cbData ||
        sBack.compare(0, sBack.size(), reinterpret_cast<const char*>(pData), cbData) != 0) {
        std::abort();
    }
    return 0;
}
