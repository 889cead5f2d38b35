// libFuzzer target for the transported form of events. Besides crashes and over-reads it checks
// what an accepted input promises: the header the event manager reads agrees with the full decode,
// and the decoded event encodes back to the very same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "event_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    krellevt::CEventRecord record;
    const bool bDecoded = krellevt::DecodeEvent(pData, cbData, &record);
    ULONG nType = 0;
    LONG nId = 0;
    LONG nState = 0;
    const bool bHeader = krellevt::PeekEventHeader(pData, cbData, &nType, &nId, &nState);
    if (bDecoded) {
        if (!bHeader || nType != record.nType || nId != record.nId || nState != record.nState) {
            std::abort();
        }
        const std::vector<BYTE> bytes = krellevt::EncodeEvent(record);
        if (bytes.size() != cbData || !std::equal(bytes.begin(), bytes.end(), pData)) {
            std::abort();
        }
    }
    return 0;
}
