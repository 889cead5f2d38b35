#include "event_transport.h"

#include <cstring>
#include <set>

namespace krellevt {
namespace {

class CWriter {
public:
    void U8(std::uint8_t n) { m_bytes.push_back(n); }
    void U16(std::uint16_t n) { Raw(&n, sizeof(n)); }
    void U32(std::uint32_t n) { Raw(&n, sizeof(n)); }
    void U64(std::uint64_t n) { Raw(&n, sizeof(n)); }
    void Text16(const std::u16string& s) {
        U16(static_cast<std::uint16_t>(s.size()));
        Raw(s.data(), s.size() * sizeof(char16_t));
    }
    void Text32(const std::u16string& s) {
        U32(static_cast<std::uint32_t>(s.size()));
        Raw(s.data(), s.size() * sizeof(char16_t));
    }
    std::vector<BYTE>& Bytes() { return m_bytes; }

private:
    void Raw(const void* p, std::size_t cb) {
        const auto* pBytes = static_cast<const BYTE*>(p);
        m_bytes.insert(m_bytes.end(), pBytes, pBytes + cb);
    }
    std::vector<BYTE> m_bytes;
};

// Every read checks the remaining length first, so a short buffer fails instead of over-reading.
class CReader {
public:
    CReader(const BYTE* p, std::size_t cb) : m_p(p), m_cb(cb) {}
    bool U8(std::uint8_t* pn) { return Raw(pn, sizeof(*pn)); }
    bool U16(std::uint16_t* pn) { return Raw(pn, sizeof(*pn)); }
    bool U32(std::uint32_t* pn) { return Raw(pn, sizeof(*pn)); }
    bool I32(LONG* pn) { return Raw(pn, sizeof(*pn)); }
    bool U64(std::uint64_t* pn) { return Raw(pn, sizeof(*pn)); }
    bool Text(std::size_t cch, std::u16string* ps) {
        if (cch > (m_cb - m_nPos) / sizeof(char16_t)) {
            return false;
        }
        ps->resize(cch);
        return Raw(ps->data(), cch * sizeof(char16_t));
    }
    bool AtEnd() const { return m_nPos == m_cb; }

private:
    bool Raw(void* p, std::size_t cb) {
        if (cb > m_cb - m_nPos) {
            return false;
        }
        std::memcpy(p, m_p + m_nPos, cb);
        m_nPos += cb;
        return true;
    }
    const BYTE* m_p;
    std::size_t m_cb;
    std::size_t m_nPos = 0;
};

bool ValidState(LONG nState) {
    return nState >= KT_EVENT_STATE_CREATED && nState <= KT_EVENT_STATE_CANCELLED;
}

bool ValidSeverity(LONG nSeverity) {
    return nSeverity >= KT_SEVERITY_ERROR && nSeverity <= KT_SEVERITY_INFO;
}

bool ReadProperty(CReader& reader, CPropertyValue* pProperty) {
    std::uint16_t cchName = 0;
    std::uint8_t nKind = 0;
    if (!reader.U16(&cchName) || cchName == 0 || cchName > MAX_NAME_CHARS ||
        !reader.Text(cchName, &pProperty->sName) || !reader.U8(&nKind)) {
        return false;
    }
    pProperty->type = static_cast<KT_PROPERTY_TYPE>(nKind);
    switch (nKind) {
        case KT_PROPERTY_I4:
        case KT_PROPERTY_UI4:
        case KT_PROPERTY_HRESULT:
        case KT_PROPERTY_BOOL: {
            std::uint32_t n = 0;
            if (!reader.U32(&n) || (nKind == KT_PROPERTY_BOOL && n > 1)) {
                return false;
            }
            pProperty->ullNumber = n;
            return true;
        }
        case KT_PROPERTY_FILETIME:
            return reader.U64(&pProperty->ullNumber);
        case KT_PROPERTY_STRING: {
            std::uint32_t cch = 0;
            return reader.U32(&cch) && cch <= MAX_TEXT_CHARS && reader.Text(cch, &pProperty->sText);
        }
        default:
            return false;
    }
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

constexpr std::uint64_t TICKS_PER_SECOND = 10000000;
constexpr std::int64_t DAYS_1601_TO_1970 = 134774;

}  // namespace

LONG FoldSeverity(LONG nStatus, LONG nValue) {
    if (nStatus == KT_SEVERITY_ERROR || nValue == KT_SEVERITY_ERROR) {
        return KT_SEVERITY_ERROR;
    }
    if (nStatus == KT_SEVERITY_WARNING || nValue == KT_SEVERITY_WARNING) {
        return KT_SEVERITY_WARNING;
    }
    return KT_SEVERITY_INFO;
}

bool CarriesErrorStack(ULONG nType) {
    return nType == KT_EVENT_CONFIG_CHANGE;
}

std::vector<BYTE> EncodeEvent(const CEventRecord& record) {
    CWriter writer;
    writer.U32(TRANSPORT_MAGIC);
    writer.U16(TRANSPORT_VERSION);
    writer.U16(record.bHasErrorStack ? TRANSPORT_FLAG_ERROR_STACK : 0);
    writer.U32(record.nType);
    writer.U32(static_cast<std::uint32_t>(record.nId));
    writer.U32(static_cast<std::uint32_t>(record.nState));
    writer.U32(0);  // total length, filled in below
    writer.U32(static_cast<std::uint32_t>(record.properties.size()));
    for (const CPropertyValue& property : record.properties) {
        writer.Text16(property.sName);
        writer.U8(static_cast<std::uint8_t>(property.type));
        if (property.type == KT_PROPERTY_FILETIME) {
            writer.U64(property.ullNumber);
        } else if (property.type == KT_PROPERTY_STRING) {
            writer.Text32(property.sText);
        } else {
            writer.U32(static_cast<std::uint32_t>(property.ullNumber));
        }
    }
    if (record.bHasErrorStack) {
        writer.U32(static_cast<std::uint32_t>(record.nStackStatus));
        writer.U32(static_cast<std::uint32_t>(record.stack.size()));
        for (const CErrorEntry& entry : record.stack) {
            writer.U32(static_cast<std::uint32_t>(entry.nSeverity));
            writer.Text32(entry.sText);
        }
    }
    std::vector<BYTE>& bytes = writer.Bytes();
    const auto cbTotal = static_cast<std::uint32_t>(bytes.size());
    std::memcpy(bytes.data() + 20, &cbTotal, sizeof(cbTotal));
    return std::move(bytes);
}

bool DecodeEvent(const BYTE* pData, std::size_t cbData, CEventRecord* pRecord) {
    if (pData == nullptr || pRecord == nullptr) {
        return false;
    }
    CReader reader(pData, cbData);
    std::uint32_t nMagic = 0;
    std::uint16_t nVersion = 0;
    std::uint16_t nFlags = 0;
    std::uint32_t cbTotal = 0;
    std::uint32_t nProperties = 0;
    CEventRecord record;
    if (!reader.U32(&nMagic) || nMagic != TRANSPORT_MAGIC || !reader.U16(&nVersion) ||
        nVersion != TRANSPORT_VERSION || !reader.U16(&nFlags) ||
        (nFlags & ~TRANSPORT_FLAG_ERROR_STACK) != 0 || !reader.U32(&record.nType) ||
        !reader.I32(&record.nId) || !reader.I32(&record.nState) || !ValidState(record.nState) ||
        !reader.U32(&cbTotal) || cbTotal != cbData || !reader.U32(&nProperties) ||
        nProperties > MAX_PROPERTIES) {
        return false;
    }
    record.bHasErrorStack = (nFlags & TRANSPORT_FLAG_ERROR_STACK) != 0;
    if (record.bHasErrorStack != CarriesErrorStack(record.nType)) {
        return false;
    }
    std::set<std::u16string> names;
    for (std::uint32_t i = 0; i < nProperties; ++i) {
        CPropertyValue property;
        if (!ReadProperty(reader, &property) || !names.insert(property.sName).second) {
            return false;
        }
        record.properties.push_back(std::move(property));
    }
    if (record.bHasErrorStack) {
        std::uint32_t nEntries = 0;
        if (!reader.I32(&record.nStackStatus) || !ValidSeverity(record.nStackStatus) ||
            !reader.U32(&nEntries) || nEntries > MAX_STACK_ENTRIES) {
            return false;
        }
        for (std::uint32_t i = 0; i < nEntries; ++i) {
            CErrorEntry entry;
            std::uint32_t cch = 0;
            if (!reader.I32(&entry.nSeverity) || !ValidSeverity(entry.nSeverity) || !reader.U32(&cch) ||
                cch > MAX_TEXT_CHARS || !reader.Text(cch, &entry.sText)) {
                return false;
            }
            // The status is the worst severity seen, so no entry may be worse than it.
            if (FoldSeverity(record.nStackStatus, entry.nSeverity) != record.nStackStatus) {
                return false;
            }
            record.stack.push_back(std::move(entry));
        }
    }
    if (!reader.AtEnd()) {
        return false;
    }
    *pRecord = std::move(record);
    return true;
}

bool PeekEventHeader(const BYTE* pData, std::size_t cbData, ULONG* pnType, LONG* pnId, LONG* pnState) {
    if (pData == nullptr || cbData < TRANSPORT_HEADER_SIZE) {
        return false;
    }
    CReader reader(pData, cbData);
    std::uint32_t nMagic = 0;
    std::uint16_t nVersion = 0;
    std::uint16_t nFlags = 0;
    std::uint32_t cbTotal = 0;
    ULONG nType = 0;
    LONG nId = 0;
    LONG nState = 0;
    if (!reader.U32(&nMagic) || nMagic != TRANSPORT_MAGIC || !reader.U16(&nVersion) ||
        nVersion != TRANSPORT_VERSION || !reader.U16(&nFlags) || !reader.U32(&nType) || !reader.I32(&nId) ||
        !reader.I32(&nState) || !ValidState(nState) || !reader.U32(&cbTotal) || cbTotal != cbData) {
        return false;
    }
    *pnType = nType;
    *pnId = nId;
    *pnState = nState;
    return true;
}

void PatchEventHeader(BYTE* pData, std::size_t cbData, LONG nId, LONG nState) {
    if (pData == nullptr || cbData < TRANSPORT_HEADER_SIZE) {
        return;
    }
    std::memcpy(pData + TRANSPORT_OFFSET_ID, &nId, sizeof(nId));
    std::memcpy(pData + TRANSPORT_OFFSET_STATE, &nState, sizeof(nState));
}

std::uint64_t FileTimeFromSystemTime(const SYSTEMTIME& time) {
    const std::int64_t nDays = DaysFromCivil(time.wYear, time.wMonth, time.wDay) + DAYS_1601_TO_1970;
    if (nDays < 0) {
        return 0;
    }
    const std::uint64_t ullSeconds =
        static_cast<std::uint64_t>(nDays) * 86400 + time.wHour * 3600u + time.wMinute * 60u + time.wSecond;
    return ullSeconds * TICKS_PER_SECOND + time.wMilliseconds * 10000ull;
}

SYSTEMTIME SystemTimeFromFileTime(std::uint64_t ullFileTime) {
    const std::uint64_t ullSeconds = ullFileTime / TICKS_PER_SECOND;
    const auto nDays = static_cast<std::int64_t>(ullSeconds / 86400) - DAYS_1601_TO_1970;
    const std::uint64_t ullSecondOfDay = ullSeconds % 86400;
    // Civil date from days since 1970 (the inverse of DaysFromCivil).
    const std::int64_t z = nDays + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(y);
    time.wMonth = static_cast<WORD>(m);
    time.wDay = static_cast<WORD>(d);
    // 1970-01-01 was a Thursday.
    time.wDayOfWeek = static_cast<WORD>(((nDays % 7) + 11) % 7);
    time.wHour = static_cast<WORD>(ullSecondOfDay / 3600);
    time.wMinute = static_cast<WORD>(ullSecondOfDay / 60 % 60);
    time.wSecond = static_cast<WORD>(ullSecondOfDay % 60);
    time.wMilliseconds = static_cast<WORD>(ullFileTime / 10000 % 1000);
    return time;
}

}  // namespace krellevt
