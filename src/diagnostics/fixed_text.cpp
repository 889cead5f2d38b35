#include "diagnostics/fixed_text.h"

#include "platform/system.h"
#include "platform/utf8_units.h"

CFixedText& CFixedText::AddUtf8(const char* psz) {
    const auto* p = reinterpret_cast<const unsigned char*>(psz);
    while (p != nullptr && *p != 0) {
        char16_t units[2];
        const int nUnits = platform::NextUtf16Units(&p, units);
        for (int i = 0; i < nUnits; ++i) {
            AddChar(units[i]);
        }
    }
    return *this;
}

CFixedText& CFixedText::AddDecimal(std::int64_t nValue, int nWidth) {
    char16_t digits[24];
    int n = 0;
    const bool bNegative = nValue < 0;
    std::uint64_t qw =
        bNegative ? 0 - static_cast<std::uint64_t>(nValue) : static_cast<std::uint64_t>(nValue);
    do {
        digits[n++] = static_cast<char16_t>(u'0' + qw % 10);
        qw /= 10;
    } while (qw != 0);
    if (bNegative) {
        AddChar(u'-');
    }
    // The sign counts towards the width, as in printf.
    for (int i = n + (bNegative ? 1 : 0); i < nWidth; ++i) {
        AddChar(u'0');
    }
    while (n > 0) {
        AddChar(digits[--n]);
    }
    return *this;
}

CFixedText& CFixedText::AddHex(std::uint64_t qwValue, int nWidth) {
    char16_t digits[16];
    int n = 0;
    do {
        digits[n++] = u"0123456789ABCDEF"[qwValue & 0xF];
        qwValue >>= 4;
    } while (qwValue != 0);
    for (int i = n; i < nWidth; ++i) {
        AddChar(u'0');
    }
    while (n > 0) {
        AddChar(digits[--n]);
    }
    return *this;
}

void GetLocalTimeAt(long nUtcOffsetSeconds, SYSTEMTIME* pTime) {
    std::int64_t nNow = 0;
    long nNanoseconds = 0;
    platform::GetUnixTime(&nNow, &nNanoseconds);
    const std::int64_t nSeconds = nNow + nUtcOffsetSeconds;
    std::int64_t nDays = nSeconds / 86400;
    std::int64_t nOfDay = nSeconds % 86400;
    if (nOfDay < 0) {
        nOfDay += 86400;
        --nDays;
    }
    // Civil date from days since 1970-01-01 (Howard Hinnant's algorithm).
    nDays += 719468;
    const std::int64_t nEra = (nDays >= 0 ? nDays : nDays - 146096) / 146097;
    const std::int64_t nDayOfEra = nDays - nEra * 146097;
    const std::int64_t nYearOfEra =
        (nDayOfEra - nDayOfEra / 1460 + nDayOfEra / 36524 - nDayOfEra / 146096) / 365;
    const std::int64_t nDayOfYear = nDayOfEra - (365 * nYearOfEra + nYearOfEra / 4 - nYearOfEra / 100);
    const std::int64_t nMonthIndex = (5 * nDayOfYear + 2) / 153;
    const std::int64_t nDay = nDayOfYear - (153 * nMonthIndex + 2) / 5 + 1;
    const std::int64_t nMonth = nMonthIndex < 10 ? nMonthIndex + 3 : nMonthIndex - 9;
    const std::int64_t nYear = nYearOfEra + nEra * 400 + (nMonth <= 2 ? 1 : 0);
    pTime->wYear = static_cast<WORD>(nYear);
    pTime->wMonth = static_cast<WORD>(nMonth);
    pTime->wDay = static_cast<WORD>(nDay);
    pTime->wHour = static_cast<WORD>(nOfDay / 3600);
    pTime->wMinute = static_cast<WORD>(nOfDay / 60 % 60);
    pTime->wSecond = static_cast<WORD>(nOfDay % 60);
    pTime->wMilliseconds = static_cast<WORD>(nNanoseconds / 1000000);
    pTime->wDayOfWeek = static_cast<WORD>((nSeconds / 86400 % 7 + 11) % 7);
}

long CurrentUtcOffset() {
    return platform::GetUtcOffset();
}
