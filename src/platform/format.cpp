#include "platform/format.h"

#include <cstdio>
#include <cstdlib>

#include "platform/strings.h"

namespace platform::format_detail {
namespace {

// The CRT caps integer precision at the size of its conversion buffer.
constexpr int MAX_PRECISION = 512;

// Length of a string argument: up to a NUL, cchMax characters or nLimit characters, whichever comes
// first. An argument never makes the scan read past its own end.
template <typename C>
std::size_t ScanLength(const C* p, std::size_t cchMax, std::size_t nLimit) {
    const std::size_t cchStop = cchMax < nLimit ? cchMax : nLimit;
    std::size_t n = 0;
    while (n < cchStop && p[n] != C(0)) {
        ++n;
    }
    return n;
}

// Like ScanLength for UTF-8 that is about to be widened: the CRT counts multibyte characters, not
// bytes, for the precision and the padding. Consumes each sequence as FromUtf8 decodes it, so the
// count equals the number of characters FromUtf8 produces. Returns the bytes consumed.
std::size_t ScanUtf8(const char* p, std::size_t cbMax, std::size_t nLimit, std::size_t& nChars) {
    std::size_t cb = 0;
    nChars = 0;
    while (nChars < nLimit && cb < cbMax && p[cb] != '\0') {
        const auto lead = static_cast<unsigned char>(p[cb++]);
        const int nTrail = (lead & 0xE0) == 0xC0   ? 1
                           : (lead & 0xF0) == 0xE0 ? 2
                           : (lead & 0xF8) == 0xF0 ? 3
                                                   : 0;
        for (int i = 0; i < nTrail && cb < cbMax && (static_cast<unsigned char>(p[cb]) & 0xC0) == 0x80; ++i) {
            ++cb;
        }
        ++nChars;
    }
    return cb;
}

#ifndef NDEBUG
std::string Narrow(std::u16string_view s) {
    return ToUtf8(s);
}
std::string Narrow(std::string_view s) {
    return std::string(s);
}
#endif

template <typename CharT>
class CFormatter {
public:
    using View = std::basic_string_view<CharT>;

    CFormatter(std::basic_string<CharT>& sOut, View sFmt, const FormatArg* pArgs, std::size_t nArgs)
        : m_sOut(sOut), m_sFmt(sFmt), m_pArgs(pArgs), m_nArgs(nArgs) {}

    void Literal(CharT ch) { m_sOut.push_back(ch); }

    int Star() {
        const std::size_t nIndex = m_nNext++;
        if (nIndex >= m_nArgs) {
            Fail(FormatError::TooFewArguments, '*', nIndex);
            return 0;
        }
        if (!StarFits(m_pArgs[nIndex].info)) {
            Fail(FormatError::Mismatch, '*', nIndex);
            return 0;
        }
        return static_cast<int>(static_cast<std::uint32_t>(m_pArgs[nIndex].qwValue));
    }

    void Convert(const Spec& spec) {
        const std::size_t nIndex = m_nNext++;
        if (nIndex >= m_nArgs) {
            const bool bUnsupported = Accepts<CharT>(spec, ArgInfo{}) == Verdict::Unsupported;
            Fail(bUnsupported ? FormatError::Unsupported : FormatError::TooFewArguments, spec.chType, nIndex);
            return;
        }
        const FormatArg& arg = m_pArgs[nIndex];
        switch (Accepts<CharT>(spec, arg.info)) {
            case Verdict::Fits:
                break;
            case Verdict::Mismatch:
                Fail(FormatError::Mismatch, spec.chType, nIndex);
                return;
            case Verdict::Unsupported:
                Fail(FormatError::Unsupported, spec.chType, nIndex);
                return;
        }
        switch (spec.chType) {
            case 'c':
            case 'C':
                Character(spec, arg);
                break;
            case 's':
            case 'S':
                String(spec, arg);
                break;
            default:
                Integer(spec, arg);
                break;
        }
    }

    void Finish() {
        if (m_nNext < m_nArgs) {
            Fail(FormatError::TooManyArguments, 0, m_nNext);
        }
    }

private:
    // Padding, sign or 0x prefix and text in the CRT's order. nTextLen is what the CRT counts for the
    // padding, which differs from the code units of sText when the text was converted.
    void Emit(int nWidth, unsigned dwFlags, View sPrefix, View sText, std::size_t nTextLen) {
        const long long llPadding = static_cast<long long>(nWidth) - static_cast<long long>(nTextLen) -
                                    static_cast<long long>(sPrefix.size());
        const std::size_t nPadding = llPadding > 0 ? static_cast<std::size_t>(llPadding) : 0;
        if (!(dwFlags & (FMT_LEFT | FMT_LEADZERO))) {
            m_sOut.append(nPadding, CharT(' '));
        }
        m_sOut.append(sPrefix);
        if ((dwFlags & FMT_LEADZERO) && !(dwFlags & FMT_LEFT)) {
            m_sOut.append(nPadding, CharT('0'));
        }
        m_sOut.append(sText);
        if (dwFlags & FMT_LEFT) {
            m_sOut.append(nPadding, CharT(' '));
        }
    }

    void Integer(const Spec& spec, const FormatArg& arg) {
        unsigned dwFlags = spec.dwFlags;
        int nPrecision = spec.nPrecision;
        unsigned uRadix = 10;
        bool bUpper = true;
        CharT aPrefix[2] = {};
        std::size_t nPrefix = 0;

        switch (spec.chType) {
            case 'd':
            case 'i':
                dwFlags |= FMT_SIGNED;
                break;
            case 'o':
                uRadix = 8;
                if (dwFlags & FMT_ALTERNATE) {
                    dwFlags |= FMT_FORCEOCTAL;
                }
                break;
            case 'p':
                // All digits of the address, whatever the flags say.
                nPrecision = 2 * sizeof(void*);
                if constexpr (sizeof(void*) == 8) {
                    dwFlags |= FMT_I64;
                }
                [[fallthrough]];
            case 'x':
            case 'X':
                uRadix = 16;
                bUpper = spec.chType != 'x';
                if (dwFlags & FMT_ALTERNATE) {
                    aPrefix[0] = CharT('0');
                    aPrefix[1] = CharT(bUpper ? 'X' : 'x');
                    nPrefix = 2;
                }
                break;
            default:  // 'u'
                break;
        }

        // Read the argument as the CRT reads its va_list slot: the conversion, not the argument's
        // type, decides width and signedness.
        const std::uint64_t qwRaw = arg.qwValue;
        const bool bSigned = (dwFlags & FMT_SIGNED) != 0;
        std::int64_t llValue;
        if (dwFlags & (FMT_I64 | FMT_LONGLONG)) {
            llValue = static_cast<std::int64_t>(qwRaw);
        } else if (dwFlags & FMT_LONG) {
            llValue = static_cast<std::int32_t>(static_cast<std::uint32_t>(qwRaw));
        } else if (dwFlags & FMT_SHORT) {
            llValue =
                bSigned
                    ? static_cast<std::int64_t>(static_cast<std::int16_t>(static_cast<std::uint16_t>(qwRaw)))
                    : static_cast<std::int64_t>(static_cast<std::uint16_t>(qwRaw));
        } else {
            llValue =
                bSigned
                    ? static_cast<std::int64_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(qwRaw)))
                    : static_cast<std::int64_t>(static_cast<std::uint32_t>(qwRaw));
        }

        std::uint64_t qwNumber;
        if (bSigned && llValue < 0) {
            qwNumber = 0 - static_cast<std::uint64_t>(llValue);
            dwFlags |= FMT_NEGATIVE;
        } else {
            qwNumber = static_cast<std::uint64_t>(llValue);
        }
        if (!(dwFlags & (FMT_I64 | FMT_LONGLONG))) {
            qwNumber &= 0xFFFFFFFFu;
        }

        if (nPrecision < 0) {
            nPrecision = 1;
        } else {
            dwFlags &= ~FMT_LEADZERO;
            if (nPrecision > MAX_PRECISION) {
                nPrecision = MAX_PRECISION;
            }
        }
        // No 0x for zero.
        if (qwNumber == 0) {
            nPrefix = 0;
        }

        CharT aDigits[MAX_PRECISION + 32];
        CharT* const pEnd = aDigits + sizeof(aDigits) / sizeof(aDigits[0]);
        CharT* p = pEnd;
        while (nPrecision-- > 0 || qwNumber != 0) {
            const unsigned uDigit = static_cast<unsigned>(qwNumber % uRadix);
            qwNumber /= uRadix;
            *--p = CharT(uDigit < 10 ? '0' + uDigit : (bUpper ? 'A' : 'a') + uDigit - 10);
        }
        if ((dwFlags & FMT_FORCEOCTAL) && (p == pEnd || *p != CharT('0'))) {
            *--p = CharT('0');
        }

        if (bSigned) {
            if (dwFlags & FMT_NEGATIVE) {
                aPrefix[0] = CharT('-');
                nPrefix = 1;
            } else if (dwFlags & FMT_SIGN) {
                aPrefix[0] = CharT('+');
                nPrefix = 1;
            } else if (dwFlags & FMT_SIGNSP) {
                aPrefix[0] = CharT(' ');
                nPrefix = 1;
            }
        }
        const std::size_t nDigits = static_cast<std::size_t>(pEnd - p);
        Emit(spec.nWidth, dwFlags, View(aPrefix, nPrefix), View(p, nDigits), nDigits);
    }

    // Where the CRT would find no character for a narrow byte (a lone byte >= 0x80 is no UTF-8
    // character), U+FFFD stands in, as in the seam's other conversions.
    void Character(const Spec& spec, const FormatArg& arg) {
        const auto dwValue = static_cast<std::uint32_t>(arg.qwValue);
        if constexpr (sizeof(CharT) == 2) {
            char16_t ch;
            if (WantsWide<CharT>(spec)) {
                ch = static_cast<char16_t>(dwValue);
            } else {
                const auto byte = static_cast<unsigned char>(dwValue);
                ch = byte < 0x80 ? byte : u'\uFFFD';
            }
            Emit(spec.nWidth, spec.dwFlags, View(), View(&ch, 1), 1);
        } else {
            if (WantsWide<CharT>(spec)) {
                const auto wch = static_cast<char16_t>(dwValue);
                const std::string s = ToUtf8(std::u16string_view(&wch, 1));
                Emit(spec.nWidth, spec.dwFlags, View(), s, s.size());
            } else {
                const auto ch = static_cast<char>(dwValue);
                Emit(spec.nWidth, spec.dwFlags, View(), View(&ch, 1), 1);
            }
        }
    }

    // Precision limits the characters taken; the CRT counts UTF-16 code units of a wide string (a
    // precision may split a surrogate pair, as it does there), bytes of a narrow string printed
    // narrow, and characters of a narrow string printed wide.
    void String(const Spec& spec, const FormatArg& arg) {
        const std::size_t nLimit = spec.nPrecision < 0 ? SIZE_MAX : static_cast<std::size_t>(spec.nPrecision);
        if (WantsWide<CharT>(spec)) {
            const auto* p = static_cast<const char16_t*>(arg.pText);
            std::size_t cchMax = arg.cchMax;
            if (p == nullptr) {
                p = u"(null)";
                cchMax = 6;
            }
            const std::size_t n = ScanLength(p, cchMax, nLimit);
            if constexpr (sizeof(CharT) == 2) {
                Emit(spec.nWidth, spec.dwFlags, View(), View(p, n), n);
            } else {
                const std::string s = ToUtf8(std::u16string_view(p, n));
                Emit(spec.nWidth, spec.dwFlags, View(), s, n);
            }
        } else {
            const auto* p = static_cast<const char*>(arg.pText);
            std::size_t cbMax = arg.cchMax;
            if (p == nullptr) {
                p = "(null)";
                cbMax = 6;
            }
            if constexpr (sizeof(CharT) == 1) {
                const std::size_t n = ScanLength(p, cbMax, nLimit);
                Emit(spec.nWidth, spec.dwFlags, View(), View(p, n), n);
            } else {
                std::size_t nChars;
                const std::size_t cb = ScanUtf8(p, cbMax, nLimit, nChars);
                const std::u16string s = FromUtf8(std::string_view(p, cb));
                Emit(spec.nWidth, spec.dwFlags, View(), s, nChars);
            }
        }
    }

    void Fail(FormatError eError, char chType, std::size_t nIndex) {
#ifndef NDEBUG
        // A run-time format string that does not fit its arguments is a programming error: stop where
        // it happens, naming the format string and the argument (counted from 1).
        char szWhat[160];
        switch (eError) {
            case FormatError::Mismatch:
                std::snprintf(szWhat, sizeof(szWhat), "argument %zu does not fit %%%c", nIndex + 1, chType);
                break;
            case FormatError::TooFewArguments:
                std::snprintf(szWhat, sizeof(szWhat), "argument %zu for %%%c is missing (%zu given)",
                              nIndex + 1, chType, m_nArgs);
                break;
            case FormatError::Unsupported:
                std::snprintf(szWhat, sizeof(szWhat), "conversion %%%c (argument %zu) is not supported",
                              chType, nIndex + 1);
                break;
            default:
                std::snprintf(szWhat, sizeof(szWhat), "%zu arguments given, the format string uses %zu",
                              m_nArgs, nIndex);
                break;
        }
        std::fprintf(stderr, "platform::Format: %s in format string \"%s\"\n", szWhat,
                     Narrow(m_sFmt).c_str());
        std::fflush(stderr);
        std::abort();
#else
        const char* szMarker = eError == FormatError::Mismatch          ? "(bad argument)"
                               : eError == FormatError::TooFewArguments ? "(missing argument)"
                               : eError == FormatError::Unsupported     ? "(unsupported)"
                                                                        : "(extra arguments)";
        m_sOut.append({CharT('%'), CharT('!')});
        if (chType != 0) {
            m_sOut.push_back(CharT(chType));
        }
        for (const char* p = szMarker; *p != '\0'; ++p) {
            m_sOut.push_back(CharT(*p));
        }
#endif
    }

    std::basic_string<CharT>& m_sOut;
    View m_sFmt;
    const FormatArg* m_pArgs;
    std::size_t m_nArgs;
    std::size_t m_nNext = 0;
};

template <typename CharT>
void FormatInto(std::basic_string<CharT>& sOut, std::basic_string_view<CharT> sFmt, const FormatArg* pArgs,
                std::size_t nArgs) {
    // Most messages are the format string with a few short substitutions.
    sOut.reserve(sFmt.size() + 16 * nArgs);
    CFormatter<CharT> formatter(sOut, sFmt, pArgs, nArgs);
    Walk(sFmt, formatter);
    formatter.Finish();
}

}  // namespace

void FormatTo(std::u16string& sOut, std::u16string_view sFmt, const FormatArg* pArgs, std::size_t nArgs) {
    FormatInto(sOut, sFmt, pArgs, nArgs);
}

void FormatTo(std::string& sOut, std::string_view sFmt, const FormatArg* pArgs, std::size_t nArgs) {
    FormatInto(sOut, sFmt, pArgs, nArgs);
}

}  // namespace platform::format_detail
