// The transported form of an event: what the event library hands the event manager and what the
// manager hands back to proxies. A plain record and its byte encoding (docs/events.md), kept free of
// the object model so the fuzz target and the manager's tests can use it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "events/event_interfaces.h"

namespace krellevt {

struct CPropertyValue {
    std::u16string sName;
    KT_PROPERTY_TYPE type = KT_PROPERTY_I4;
    // I4, UI4, BOOL and HRESULT keep their 32 bits here; FILETIME all 64.
    std::uint64_t ullNumber = 0;
    std::u16string sText;

    friend bool operator==(const CPropertyValue&, const CPropertyValue&) = default;
};

struct CErrorEntry {
    LONG nSeverity = KT_SEVERITY_INFO;
    std::u16string sText;

    friend bool operator==(const CErrorEntry&, const CErrorEntry&) = default;
};

struct CEventRecord {
    ULONG nType = 0;
    LONG nId = 0;
    LONG nState = KT_EVENT_STATE_CREATED;
    std::vector<CPropertyValue> properties;
    // Only configuration-change events carry an error stack.
    bool bHasErrorStack = false;
    LONG nStackStatus = KT_SEVERITY_INFO;
    std::vector<CErrorEntry> stack;

    friend bool operator==(const CEventRecord&, const CEventRecord&) = default;
};

constexpr std::uint32_t TRANSPORT_MAGIC = 0x5645544B;  // "KTEV"
constexpr std::uint16_t TRANSPORT_VERSION = 1;
constexpr std::uint16_t TRANSPORT_FLAG_ERROR_STACK = 0x0001;
// Fixed header fields, read and patched in place by the event manager.
constexpr std::size_t TRANSPORT_OFFSET_TYPE = 8;
constexpr std::size_t TRANSPORT_OFFSET_ID = 12;
constexpr std::size_t TRANSPORT_OFFSET_STATE = 16;
constexpr std::size_t TRANSPORT_HEADER_SIZE = 28;
constexpr std::size_t MAX_NAME_CHARS = 256;
constexpr std::size_t MAX_TEXT_CHARS = 32768;
constexpr std::size_t MAX_PROPERTIES = 256;
constexpr std::size_t MAX_STACK_ENTRIES = 1024;

// The worst of two severities (0 is worst).
LONG FoldSeverity(LONG nStatus, LONG nValue);
bool CarriesErrorStack(ULONG nType);

std::vector<BYTE> EncodeEvent(const CEventRecord& record);
// False for bytes that are truncated, too long, of another version or inconsistent; never reads
// past cbData.
bool DecodeEvent(const BYTE* pData, std::size_t cbData, CEventRecord* pRecord);

// Reads the header fields the manager routes by; false when the header is not a valid one.
bool PeekEventHeader(const BYTE* pData, std::size_t cbData, ULONG* pnType, LONG* pnId, LONG* pnState);
void PatchEventHeader(BYTE* pData, std::size_t cbData, LONG nId, LONG nState);

// UTC file times and calendar times, without the platform.
std::uint64_t FileTimeFromSystemTime(const SYSTEMTIME& time);
SYSTEMTIME SystemTimeFromFileTime(std::uint64_t ullFileTime);

}  // namespace krellevt
