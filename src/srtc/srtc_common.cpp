// Names, case folding, dates and text conversion shared by the writer, reader and evaluator.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "srtc/srtc.h"

namespace srtc {

namespace {

constexpr std::uint64_t FILETIME_UNIX_EPOCH_SECONDS = 11644473600ULL;
// The year of the last FILETIME the platform turns into a calendar time (2^63 - 1 ticks).
constexpr unsigned MAX_FILETIME_YEAR = 30828;
constexpr std::uint64_t FILETIME_TICKS_PER_SECOND = 10000000ULL;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}

bool ParseDigits(std::string_view s, std::size_t pos, std::size_t count, unsigned& value) {
    value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(s[i] - '0');
    }
    return true;
}

}  // namespace

ValueClass ClassOf(Attribute attribute) {
    switch (attribute) {
        case Attribute::ActorFileLength:
        case Attribute::ActionDesiredAccess:
            return ValueClass::Number;
        case Attribute::EnvTime:
            return ValueClass::Time;
        default:
            return ValueClass::String;
    }
}

bool OperandFits(Function function, Attribute attribute, LiteralType type) {
    const ValueClass valueClass = ClassOf(attribute);
    const bool bNumber = type == LiteralType::Int32 || type == LiteralType::Hex32;
    switch (function) {
        case Function::Equals:
            return (valueClass == ValueClass::String && type == LiteralType::Str) ||
                   (valueClass == ValueClass::Number && bNumber) ||
                   (valueClass == ValueClass::Time && type == LiteralType::Date);
        case Function::BinaryAnd:
            return valueClass == ValueClass::Number && bNumber;
        case Function::Before:
            return valueClass == ValueClass::Time && type == LiteralType::Date;
        case Function::InSet:
            return false;  // takes a set, not a literal
    }
    return false;
}

char16_t UpperUnit(char16_t ch) {
    if (ch >= u'a' && ch <= u'z') {
        return static_cast<char16_t>(ch - (u'a' - u'A'));
    }
    if (ch < 0xE0) {
        return ch;
    }
    // Latin-1 and Latin Extended-A, the letters paths on this platform carry in practice.
    if ((ch >= 0xE0 && ch <= 0xFE && ch != 0xF7)) {
        return static_cast<char16_t>(ch - 0x20);
    }
    if (ch == 0xFF) {
        return 0x178;
    }
    if (ch >= 0x100 && ch <= 0x17F && ch != 0x130 && ch != 0x131 && ch != 0x138 && ch != 0x149 &&
        ch != 0x17F) {
        const bool bOddUpper = (ch >= 0x139 && ch <= 0x148) || (ch >= 0x179 && ch <= 0x17E);
        if (bOddUpper ? (ch % 2 == 0) : (ch % 2 == 1)) {
            return static_cast<char16_t>(ch - 1);
        }
        return ch;
    }
    if (ch >= 0x3B1 && ch <= 0x3C9 && ch != 0x3C2) {
        return static_cast<char16_t>(ch - 0x20);
    }
    if (ch >= 0x430 && ch <= 0x44F) {
        return static_cast<char16_t>(ch - 0x20);
    }
    if (ch >= 0x450 && ch <= 0x45F) {
        return static_cast<char16_t>(ch - 0x50);
    }
    if (ch >= 0xFF41 && ch <= 0xFF5A) {
        return static_cast<char16_t>(ch - 0x20);
    }
    return ch;
}

std::u16string Upper(std::u16string_view s) {
    std::u16string result(s);
    for (char16_t& ch : result) {
        ch = UpperUnit(ch);
    }
    return result;
}

namespace {

// Sorting large sets by pointer chasing into every string misses the cache on most comparisons. The
// records below carry each item's leading code units (after the part all items share) inline, stored
// big-endian so memcmp orders them by code unit; the sort then walks one contiguous array and looks
// at the strings themselves only when those units tie. Items whose units all fit a byte (most paths)
// store one byte a unit, so twice as many units decide before the strings are looked at.
constexpr std::size_t SORT_HEAD_BYTES = 48;

struct CSortRecord {
    std::uint8_t head[SORT_HEAD_BYTES];
    std::uint32_t dwLength;  // units after the shared part
    std::uint32_t dwIndex;
};

// The records of items in code-unit order; nShared units at the start are common to all items, and
// bNarrow says that every unit after them is below 0x100.
template <class ViewOf>
std::vector<CSortRecord> SortedRecords(std::size_t nItems, std::size_t nShared, bool bNarrow, ViewOf viewOf) {
    const std::size_t nHeadUnits = bNarrow ? SORT_HEAD_BYTES : SORT_HEAD_BYTES / 2;
    std::vector<CSortRecord> records(nItems);
    for (std::size_t k = 0; k < nItems; ++k) {
        CSortRecord& record = records[k];
        std::memset(record.head, 0, sizeof(record.head));
        const std::u16string_view item = viewOf(k);
        const std::size_t nHead = std::min(item.size() - nShared, nHeadUnits);
        for (std::size_t i = 0; i < nHead; ++i) {
            if (bNarrow) {
                record.head[i] = static_cast<std::uint8_t>(item[nShared + i]);
            } else {
                record.head[2 * i] = static_cast<std::uint8_t>(item[nShared + i] >> 8);
                record.head[2 * i + 1] = static_cast<std::uint8_t>(item[nShared + i]);
            }
        }
        record.dwLength = static_cast<std::uint32_t>(item.size() - nShared);
        record.dwIndex = static_cast<std::uint32_t>(k);
    }
    std::sort(records.begin(), records.end(), [&](const CSortRecord& a, const CSortRecord& b) {
        const int n = std::memcmp(a.head, b.head, sizeof(a.head));
        if (n != 0) {
            return n < 0;
        }
        // Equal heads: zero padding or real zero units, so the lengths or the tails decide.
        if (a.dwLength <= nHeadUnits || b.dwLength <= nHeadUnits) {
            return a.dwLength < b.dwLength;
        }
        return viewOf(a.dwIndex).substr(nShared + nHeadUnits) <
               viewOf(b.dwIndex).substr(nShared + nHeadUnits);
    });
    return records;
}

std::size_t SharedStart(std::size_t nShared, std::u16string_view first, std::u16string_view item) {
    std::size_t i = 0;
    while (i < nShared && i < item.size() && item[i] == first[i]) {
        ++i;
    }
    return i;
}

// Upper-cases the items and sorts them. Each string is touched twice in all: once to upper-case it
// and find the part all items share, once to fill its record.
void UpperAndSortItems(std::vector<std::u16string>& items) {
    if (items.empty()) {
        return;
    }
    // Upper-casing is idempotent, so the first item may be done twice.
    items[0] = Upper(items[0]);
    std::size_t nShared = items[0].size();
    char16_t chMax = 0;
    for (std::u16string& item : items) {
        for (char16_t& ch : item) {
            ch = UpperUnit(ch);
            chMax = std::max(chMax, ch);
        }
        nShared = SharedStart(nShared, items[0], item);
    }
    if (items.size() < 2) {
        return;
    }
    const std::vector<CSortRecord> records = SortedRecords(
        items.size(), nShared, chMax < 0x100, [&](std::size_t k) { return std::u16string_view(items[k]); });
    std::vector<std::u16string> sorted;
    sorted.reserve(items.size());
    for (const CSortRecord& record : records) {
        sorted.push_back(std::move(items[record.dwIndex]));
    }
    items.swap(sorted);
}

void CanonicalizeItems(std::vector<std::u16string>& items, bool bPrefix) {
    UpperAndSortItems(items);
    items.erase(std::unique(items.begin(), items.end()), items.end());
    if (!bPrefix) {
        return;
    }
    // Strings beginning with a prefix follow it directly in sorted order, so comparing with the last
    // prefix kept finds every covered one.
    std::size_t nKept = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (nKept > 0 && items[i].starts_with(items[nKept - 1])) {
            continue;
        }
        if (nKept != i) {
            items[nKept] = std::move(items[i]);
        }
        ++nKept;
    }
    items.resize(nKept);
}

}  // namespace

void Canonicalize(RuleSet& ruleSet) {
    for (StringSet& set : ruleSet.sets) {
        CanonicalizeItems(set.exact, false);
        CanonicalizeItems(set.prefix, true);
    }
}

void Canonicalize(PackedStringSet& set) {
    char16_t chMax = 0;
    for (char16_t& ch : set.units) {
        ch = UpperUnit(ch);
        chMax = std::max(chMax, ch);
    }
    // Items are copied in sorted order into fresh units. Duplicates and covered prefixes are met right after
    // the item kept before them.
    std::u16string units;
    units.reserve(set.units.size());
    for (const bool bPrefix : {false, true}) {
        std::vector<PackedStringSet::Item>& items = bPrefix ? set.prefix : set.exact;
        if (items.empty()) {
            continue;
        }
        const std::u16string_view first = set.View(items[0]);
        std::size_t nShared = first.size();
        for (const PackedStringSet::Item& item : items) {
            nShared = SharedStart(nShared, first, set.View(item));
        }
        const std::vector<CSortRecord> records = SortedRecords(
            items.size(), nShared, chMax < 0x100, [&](std::size_t k) { return set.View(items[k]); });
        std::vector<PackedStringSet::Item> kept;
        kept.reserve(items.size());
        constexpr std::size_t AHEAD = 8;
        for (std::size_t k = 0; k < records.size(); ++k) {
            // The only pass that reads items out of order: fetch the item's place, then its units, ahead.
            if (k + 2 * AHEAD < records.size()) {
                __builtin_prefetch(&items[records[k + 2 * AHEAD].dwIndex]);
            }
            if (k + AHEAD < records.size()) {
                const PackedStringSet::Item& ahead = items[records[k + AHEAD].dwIndex];
                __builtin_prefetch(set.units.data() + ahead.dwOffset);
                __builtin_prefetch(set.units.data() + ahead.dwOffset + ahead.dwLength);
            }
            const std::u16string_view item = set.View(items[records[k].dwIndex]);
            if (!kept.empty()) {
                const std::u16string_view previous =
                    std::u16string_view(units).substr(kept.back().dwOffset, kept.back().dwLength);
                if (bPrefix ? item.starts_with(previous) : item == previous) {
                    continue;
                }
            }
            kept.push_back(
                {static_cast<std::uint32_t>(units.size()), static_cast<std::uint32_t>(item.size())});
            units.append(item);
        }
        items.swap(kept);
    }
    set.units.swap(units);
}

StringSet PackedStringSet::Unpacked() const {
    StringSet set;
    set.sId = sId;
    set.exact.reserve(exact.size());
    for (const Item& item : exact) {
        set.exact.emplace_back(View(item));
    }
    set.prefix.reserve(prefix.size());
    for (const Item& item : prefix) {
        set.prefix.emplace_back(View(item));
    }
    return set;
}

const char* NameOf(RuleSetKind kind) {
    switch (kind) {
        case RuleSetKind::Authorization:
            return "authorization";
        case RuleSetKind::Exclusion:
            return "exclusion";
        case RuleSetKind::ProtectedResources:
            return "protected-resources";
    }
    return "?";
}

const char* NameOf(Effect effect) {
    return effect == Effect::Deny ? "deny" : "allow";
}

const char* NameOf(LiteralType type) {
    switch (type) {
        case LiteralType::Bool:
            return "bool";
        case LiteralType::Date:
            return "date";
        case LiteralType::Str:
            return "str";
        case LiteralType::Int32:
            return "int32";
        case LiteralType::Hex32:
            return "hex32";
    }
    return "?";
}

const char* NameOf(NodeKind kind) {
    switch (kind) {
        case NodeKind::FunEval:
            return "funEval";
        case NodeKind::And:
            return "and";
        case NodeKind::Or:
            return "or";
        case NodeKind::Not:
            return "not";
        case NodeKind::ExprRef:
            return "exprRef";
        case NodeKind::LiteralRef:
            return "literalRef";
    }
    return "?";
}

const char* NameOf(Function function) {
    switch (function) {
        case Function::Equals:
            return "equals";
        case Function::BinaryAnd:
            return "binary-and";
        case Function::InSet:
            return "in-set";
        case Function::Before:
            return "before";
    }
    return "?";
}

void NameOf(Attribute attribute, const char** pszOp, const char** pszAttr) {
    static const char* const kNames[][2] = {
        {"?", "?"},
        {"actor", "path"},
        {"actor", "sid"},
        {"actor", "md5-hash"},
        {"actor", "sha1-hash"},
        {"actor", "file-length"},
        {"actor", "device"},
        {"actor", "location"},
        {"target", "path"},
        {"target", "kind"},
        {"action", "desired-access"},
        {"env", "time"},
    };
    const auto n = static_cast<std::uint32_t>(attribute);
    const std::size_t i = n < std::size(kNames) ? n : 0;
    *pszOp = kNames[i][0];
    *pszAttr = kNames[i][1];
}

const char* NameOf(TargetKind kind) {
    switch (kind) {
        case TargetKind::File:
            return "file";
        case TargetKind::Registry:
            return "registry";
        case TargetKind::Process:
            return "process";
    }
    return "?";
}

bool ParseDate(std::string_view s, std::uint64_t& qwFileTime) {
    // YYYY-MM-DDThh:mm:ssZ; years after 9999 take five digits, as far as a FILETIME reaches.
    const std::size_t nYearDigits = s.size() == 21 ? 5 : 4;
    if (s.size() != 16 + nYearDigits) {
        return false;
    }
    const std::string_view rest = s.substr(nYearDigits);
    if (rest[0] != '-' || rest[3] != '-' || rest[6] != 'T' || rest[9] != ':' || rest[12] != ':' ||
        rest[15] != 'Z') {
        return false;
    }
    unsigned year, month, day, hour, minute, second;
    if (!ParseDigits(s, 0, nYearDigits, year) || !ParseDigits(rest, 1, 2, month) ||
        !ParseDigits(rest, 4, 2, day) || !ParseDigits(rest, 7, 2, hour) ||
        !ParseDigits(rest, 10, 2, minute) || !ParseDigits(rest, 13, 2, second)) {
        return false;
    }
    if (nYearDigits == 5 && (year < 10000 || year > MAX_FILETIME_YEAR)) {
        return false;
    }
    static const unsigned kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool bLeap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1601 || month < 1 || month > 12 || day < 1 ||
        day > kDaysInMonth[month - 1] + (month == 2 && bLeap ? 1 : 0) || hour > 23 || minute > 59 ||
        second > 59) {
        return false;
    }
    const std::int64_t nSeconds =
        DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    qwFileTime =
        static_cast<std::uint64_t>(nSeconds + static_cast<std::int64_t>(FILETIME_UNIX_EPOCH_SECONDS)) *
        FILETIME_TICKS_PER_SECOND;
    return true;
}

std::string FormatDate(std::uint64_t qwFileTime) {
    const std::int64_t nSeconds = static_cast<std::int64_t>(qwFileTime / FILETIME_TICKS_PER_SECOND) -
                                  static_cast<std::int64_t>(FILETIME_UNIX_EPOCH_SECONDS);
    std::int64_t nDays = nSeconds / 86400;
    std::int64_t nRest = nSeconds % 86400;
    if (nRest < 0) {
        nRest += 86400;
        --nDays;
    }
    std::int64_t year;
    unsigned month, day;
    CivilFromDays(nDays, year, month, day);
    char szText[48];
    std::snprintf(szText, sizeof(szText), "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(year), month, day, static_cast<long long>(nRest / 3600),
                  static_cast<long long>(nRest / 60 % 60), static_cast<long long>(nRest % 60));
    return szText;
}

std::string ToUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::u16string FromUtf8(std::string_view s) {
    std::u16string out;
    AppendUtf8(s, out);
    return out;
}

void AppendUtf8(std::string_view s, std::u16string& out) {
    if (out.empty()) {
        out.reserve(s.size());
    }
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::uint32_t cp = 0xFFFD;
        std::size_t n = 1;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            n = 3;
        } else if ((b & 0xF8) == 0xF0) {
            n = 4;
        }
        if (n > 1) {
            if (i + n > s.size()) {
                n = 1;
            } else {
                cp = b & (0x7F >> n);
                for (std::size_t k = 1; k < n; ++k) {
                    const auto c = static_cast<unsigned char>(s[i + k]);
                    if ((c & 0xC0) != 0x80) {
                        cp = 0xFFFD;
                        n = k;
                        break;
                    }
                    cp = (cp << 6) | (c & 0x3F);
                }
            }
        }
        i += n;
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp > 0x10FFFF ? 0xFFFD : cp);
        }
    }
}

}  // namespace srtc
