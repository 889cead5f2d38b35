// printf-style formatting with the platform's C runtime conventions (the classic, non-validating
// printf of the platform's CRT), with typed arguments instead of a va_list.
//
// A literal format string is checked against the argument types at compile time: FormatString's
// constructor is consteval, so a mismatch does not compile and a correct call carries no checking cost
// at run time. A format string known only at run time goes through FormatRuntime/FormatNarrowRuntime
// (or RuntimeFormat(...)) and is checked while formatting: in debug builds a mismatch prints the format
// string and argument to stderr and aborts; in release builds it renders "%!d(bad argument)" (or
// "(missing argument)", "(unsupported)", "%!(extra arguments)") in place and goes on.
//
// Conversions: d i u o x X p c C s S %, flags - + space # 0, width and precision (digits or *), size
// prefixes h l ll I I32 I64 w (F L N are accepted and ignored, as the CRT does). In a wide format string
// %s is a wide string and %S a narrow one; in a narrow format string it is the other way round; h forces
// narrow, l and w force wide. Narrow text is UTF-8. Floating-point conversions, %n and %Z are not
// supported (a compile-time error, or the "(unsupported)" marker at run time).
//
// Argument rules: integer conversions take any integral type, bool or enum; without a prefix and with
// h, l or I32 it must be at most 4 bytes, with ll or I64 exactly 8, with I pointer-sized. %s/%S take
// const charX*, charX arrays, std::basic_string and std::basic_string_view of the matching character
// type, or nullptr ("(null)"). %p takes any pointer or nullptr. %c takes the matching character type or
// a non-character integer of at most 4 bytes. A * width or precision takes an integer of at most 4
// bytes.
#pragma once

#include <climits>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace platform {

namespace format_detail {

// Conversion flags, named and combined as the CRT does.
constexpr unsigned FMT_SIGN = 0x0001;        // '+'
constexpr unsigned FMT_SIGNSP = 0x0002;      // ' '
constexpr unsigned FMT_LEFT = 0x0004;        // '-'
constexpr unsigned FMT_LEADZERO = 0x0008;    // '0'
constexpr unsigned FMT_LONG = 0x0010;        // 'l'
constexpr unsigned FMT_SHORT = 0x0020;       // 'h'
constexpr unsigned FMT_SIGNED = 0x0040;      // d, i
constexpr unsigned FMT_ALTERNATE = 0x0080;   // '#'
constexpr unsigned FMT_NEGATIVE = 0x0100;    // value is negative
constexpr unsigned FMT_FORCEOCTAL = 0x0200;  // '#' with 'o'
constexpr unsigned FMT_WIDECHAR = 0x0800;    // 'w'
constexpr unsigned FMT_LONGLONG = 0x1000;    // 'll'
constexpr unsigned FMT_I64 = 0x8000;         // 'I64', or 'I' on a 64-bit build

// One conversion as parsed: flags, width, precision (-1 when none) and the type character.
struct Spec {
    unsigned dwFlags = 0;
    int nWidth = 0;
    int nPrecision = -1;
    char chType = 0;
};

enum class CharClass : unsigned char { Other, Percent, Dot, Star, Zero, Digit, Flag, Size, Type };
enum class ParseState : unsigned char { Normal, Percent, Flag, Width, Dot, Precision, Size, Type };

// The CRT's transition table: row = class of the character read, column = current state. A character
// that does not fit where it stands sends the parser back to Normal, where it is printed as text and
// whatever of the conversion was read so far is dropped ("%ux8" is %u then "x8"; "% 4 !" prints " !").
constexpr ParseState NextState(CharClass eClass, ParseState eState) {
    using S = ParseState;
    constexpr S kTable[9][8] = {
        // Normal    Percent     Flag        Width       Dot         Precision   Size       Type
        {S::Normal, S::Normal, S::Normal, S::Normal, S::Normal, S::Normal, S::Normal, S::Normal},     // other
        {S::Percent, S::Normal, S::Normal, S::Normal, S::Normal, S::Normal, S::Normal, S::Percent},   // %
        {S::Normal, S::Dot, S::Dot, S::Dot, S::Normal, S::Normal, S::Normal, S::Normal},              // .
        {S::Normal, S::Width, S::Width, S::Normal, S::Precision, S::Normal, S::Normal, S::Normal},    // *
        {S::Normal, S::Flag, S::Flag, S::Width, S::Precision, S::Precision, S::Normal, S::Normal},    // 0
        {S::Normal, S::Width, S::Width, S::Width, S::Precision, S::Precision, S::Normal, S::Normal},  // 1-9
        {S::Normal, S::Flag, S::Flag, S::Normal, S::Normal, S::Normal, S::Normal, S::Normal},         // flag
        {S::Normal, S::Size, S::Size, S::Size, S::Size, S::Size, S::Size, S::Normal},                 // size
        {S::Normal, S::Type, S::Type, S::Type, S::Type, S::Type, S::Type, S::Normal},                 // type
    };
    return kTable[static_cast<int>(eClass)][static_cast<int>(eState)];
}

constexpr CharClass ClassOf(char32_t ch) {
    if (ch < U' ' || ch > U'x') {
        return CharClass::Other;
    }
    switch (ch) {
        case U'%':
            return CharClass::Percent;
        case U'.':
            return CharClass::Dot;
        case U'*':
            return CharClass::Star;
        case U'0':
            return CharClass::Zero;
        case U' ':
        case U'#':
        case U'+':
        case U'-':
            return CharClass::Flag;
        case U'F':
        case U'I':
        case U'L':
        case U'N':
        case U'h':
        case U'l':
        case U'w':
            return CharClass::Size;
        case U'A':
        case U'C':
        case U'E':
        case U'G':
        case U'S':
        case U'X':
        case U'Z':
        case U'a':
        case U'c':
        case U'd':
        case U'e':
        case U'f':
        case U'g':
        case U'i':
        case U'n':
        case U'o':
        case U'p':
        case U's':
        case U'u':
        case U'x':
            return CharClass::Type;
        default:
            return ch >= U'1' && ch <= U'9' ? CharClass::Digit : CharClass::Other;
    }
}

template <typename CharT>
constexpr char32_t CodeOf(CharT ch) {
    return static_cast<char32_t>(static_cast<std::make_unsigned_t<CharT>>(ch));
}

// Width and precision digits saturate instead of overflowing.
constexpr int AddDigit(int nValue, char32_t chDigit) {
    const long long llNext = static_cast<long long>(nValue) * 10 + static_cast<int>(chDigit - U'0');
    return llNext > INT_MAX ? INT_MAX : (llNext < INT_MIN ? INT_MIN : static_cast<int>(llNext));
}

// Runs the CRT's parser over a format string. The visitor receives Literal(ch) for text, Star() for
// each '*' (it returns the int taken from the arguments) and Convert(spec) for each conversion. A NUL
// ends the format string, as it does for the CRT.
template <typename CharT, typename Visitor>
constexpr void Walk(std::basic_string_view<CharT> sFmt, Visitor& visitor) {
    ParseState eState = ParseState::Normal;
    Spec spec;
    std::size_t i = 0;
    while (i < sFmt.size() && sFmt[i] != CharT(0)) {
        const CharT ch = sFmt[i++];
        const char32_t c = CodeOf(ch);
        eState = NextState(ClassOf(c), eState);
        switch (eState) {
            case ParseState::Normal:
                visitor.Literal(ch);
                break;
            case ParseState::Percent:
                spec = Spec{};
                break;
            case ParseState::Flag:
                spec.dwFlags |= c == U'-'   ? FMT_LEFT
                                : c == U'+' ? FMT_SIGN
                                : c == U' ' ? FMT_SIGNSP
                                : c == U'#' ? FMT_ALTERNATE
                                            : FMT_LEADZERO;
                break;
            case ParseState::Width:
                if (c == U'*') {
                    int nWidth = visitor.Star();
                    if (nWidth < 0) {
                        spec.dwFlags |= FMT_LEFT;
                        nWidth = nWidth == INT_MIN ? INT_MAX : -nWidth;
                    }
                    spec.nWidth = nWidth;
                } else {
                    spec.nWidth = AddDigit(spec.nWidth, c);
                }
                break;
            case ParseState::Dot:
                spec.nPrecision = 0;
                break;
            case ParseState::Precision:
                if (c == U'*') {
                    const int nPrecision = visitor.Star();
                    spec.nPrecision = nPrecision < 0 ? -1 : nPrecision;
                } else {
                    spec.nPrecision = AddDigit(spec.nPrecision, c);
                }
                break;
            case ParseState::Size:
                if (c == U'l') {
                    if (i < sFmt.size() && sFmt[i] == CharT('l')) {
                        ++i;
                        spec.dwFlags |= FMT_LONGLONG;
                    } else {
                        spec.dwFlags |= FMT_LONG;
                    }
                } else if (c == U'h') {
                    spec.dwFlags |= FMT_SHORT;
                } else if (c == U'w') {
                    spec.dwFlags |= FMT_WIDECHAR;
                } else if (c == U'I') {
                    if constexpr (sizeof(void*) == 8) {
                        spec.dwFlags |= FMT_I64;
                    }
                    const char32_t c1 = i < sFmt.size() ? CodeOf(sFmt[i]) : 0;
                    const char32_t c2 = i + 1 < sFmt.size() ? CodeOf(sFmt[i + 1]) : 0;
                    if (c1 == U'6' && c2 == U'4') {
                        i += 2;
                        spec.dwFlags |= FMT_I64;
                    } else if (c1 == U'3' && c2 == U'2') {
                        i += 2;
                        spec.dwFlags &= ~FMT_I64;
                    } else if (c1 != U'd' && c1 != U'i' && c1 != U'o' && c1 != U'u' && c1 != U'x' &&
                               c1 != U'X') {
                        // A lone I before anything else is text.
                        eState = ParseState::Normal;
                        visitor.Literal(ch);
                    }
                }
                break;
            case ParseState::Type:
                spec.chType = static_cast<char>(c);
                visitor.Convert(spec);
                break;
        }
    }
}

// What an argument is, as far as the conversions care.
enum class ArgKind : unsigned char {
    Integer,  // integral types that are not characters or bool, and enums
    Bool,
    NarrowChar,    // char, char8_t
    WideChar,      // char16_t
    OtherChar,     // wchar_t, char32_t: integers only
    NarrowString,  // char or char8_t pointer, array, std::basic_string(_view)
    WideString,    // the same of char16_t
    NullPtr,
    Pointer,
    Other,
};

struct ArgInfo {
    ArgKind eKind = ArgKind::Other;
    unsigned char cbSize = 0;
    bool bPointer = false;  // a pointer or array, so %p takes it
};

template <typename T>
struct IsStringObject : std::false_type {};
template <typename C, typename Tr, typename A>
struct IsStringObject<std::basic_string<C, Tr, A>> : std::true_type {
    using Char = C;
};
template <typename C, typename Tr>
struct IsStringObject<std::basic_string_view<C, Tr>> : std::true_type {
    using Char = C;
};

template <typename C>
constexpr ArgKind StringKindOf() {
    using U = std::remove_cv_t<C>;
    if constexpr (std::is_same_v<U, char> || std::is_same_v<U, char8_t>) {
        return ArgKind::NarrowString;
    } else if constexpr (std::is_same_v<U, char16_t>) {
        return ArgKind::WideString;
    } else {
        return ArgKind::Pointer;
    }
}

template <typename T>
constexpr ArgInfo Describe() {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, bool>) {
        return {ArgKind::Bool, 1, false};
    } else if constexpr (std::is_same_v<U, char> || std::is_same_v<U, char8_t>) {
        return {ArgKind::NarrowChar, 1, false};
    } else if constexpr (std::is_same_v<U, char16_t>) {
        return {ArgKind::WideChar, 2, false};
    } else if constexpr (std::is_same_v<U, wchar_t> || std::is_same_v<U, char32_t>) {
        return {ArgKind::OtherChar, static_cast<unsigned char>(sizeof(U)), false};
    } else if constexpr (std::is_integral_v<U> || std::is_enum_v<U>) {
        return {ArgKind::Integer, static_cast<unsigned char>(sizeof(U)), false};
    } else if constexpr (std::is_null_pointer_v<U>) {
        return {ArgKind::NullPtr, static_cast<unsigned char>(sizeof(void*)), true};
    } else if constexpr (std::is_array_v<U>) {
        return {StringKindOf<std::remove_extent_t<U>>(), static_cast<unsigned char>(sizeof(void*)), true};
    } else if constexpr (std::is_pointer_v<U>) {
        return {StringKindOf<std::remove_pointer_t<U>>(), static_cast<unsigned char>(sizeof(void*)), true};
    } else if constexpr (IsStringObject<U>::value) {
        constexpr ArgKind eKind = StringKindOf<typename IsStringObject<U>::Char>();
        return {eKind == ArgKind::Pointer ? ArgKind::Other : eKind, 0, false};
    } else {
        return {ArgKind::Other, 0, false};
    }
}

// Whether %c/%s of this spec, in a format string of CharT, means a wide character or string.
template <typename CharT>
constexpr bool WantsWide(const Spec& spec) {
    unsigned dwFlags = spec.dwFlags;
    const bool bIso = spec.chType == 'S' || spec.chType == 'C';
    if constexpr (sizeof(CharT) == 1) {
        if (bIso && !(dwFlags & (FMT_SHORT | FMT_LONG | FMT_WIDECHAR))) {
            dwFlags |= FMT_WIDECHAR;
        }
        return (dwFlags & (FMT_LONG | FMT_WIDECHAR)) != 0;
    } else {
        if (bIso && !(dwFlags & (FMT_SHORT | FMT_LONG | FMT_WIDECHAR))) {
            dwFlags |= FMT_SHORT;
        }
        return (dwFlags & FMT_SHORT) == 0;
    }
}

enum class Verdict : unsigned char { Fits, Mismatch, Unsupported };

constexpr bool IsIntegral(ArgKind eKind) {
    return eKind == ArgKind::Integer || eKind == ArgKind::Bool || eKind == ArgKind::NarrowChar ||
           eKind == ArgKind::WideChar || eKind == ArgKind::OtherChar;
}

// A '*' width or precision is read as an int.
constexpr bool StarFits(const ArgInfo& arg) {
    return IsIntegral(arg.eKind) && arg.eKind != ArgKind::Bool && arg.cbSize <= 4;
}

template <typename CharT>
constexpr Verdict Accepts(const Spec& spec, const ArgInfo& arg) {
    switch (spec.chType) {
        case 'd':
        case 'i':
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            if (!IsIntegral(arg.eKind)) {
                return Verdict::Mismatch;
            }
            const bool b64 = (spec.dwFlags & (FMT_I64 | FMT_LONGLONG)) != 0;
            return (b64 ? arg.cbSize == 8 : arg.cbSize <= 4) ? Verdict::Fits : Verdict::Mismatch;
        }
        case 'p':
            return arg.bPointer ? Verdict::Fits : Verdict::Mismatch;
        case 'c':
        case 'C': {
            const ArgKind eChar = WantsWide<CharT>(spec) ? ArgKind::WideChar : ArgKind::NarrowChar;
            return arg.eKind == eChar || (arg.eKind == ArgKind::Integer && arg.cbSize <= 4)
                       ? Verdict::Fits
                       : Verdict::Mismatch;
        }
        case 's':
        case 'S': {
            const ArgKind eString = WantsWide<CharT>(spec) ? ArgKind::WideString : ArgKind::NarrowString;
            return arg.eKind == eString || arg.eKind == ArgKind::NullPtr ? Verdict::Fits : Verdict::Mismatch;
        }
        default:  // floating point, %n, %Z
            return Verdict::Unsupported;
    }
}

enum class FormatError : unsigned char { None, Mismatch, Unsupported, TooFewArguments, TooManyArguments };

struct CheckResult {
    FormatError eError = FormatError::None;
    std::size_t nArg = 0;  // zero-based index of the offending argument
    char chType = 0;       // the conversion ('*' for a width or precision)
};

template <typename CharT>
class CChecker {
public:
    constexpr CChecker(const ArgInfo* pArgs, std::size_t nArgs) : m_pArgs(pArgs), m_nArgs(nArgs) {}

    constexpr void Literal(CharT) {}
    constexpr int Star() {
        if (m_nNext >= m_nArgs) {
            Record(FormatError::TooFewArguments, '*');
        } else if (!StarFits(m_pArgs[m_nNext])) {
            Record(FormatError::Mismatch, '*');
        }
        ++m_nNext;
        return 0;
    }
    constexpr void Convert(const Spec& spec) {
        if (m_nNext >= m_nArgs) {
            Accepts<CharT>(spec, ArgInfo{}) == Verdict::Unsupported
                ? Record(FormatError::Unsupported, spec.chType)
                : Record(FormatError::TooFewArguments, spec.chType);
        } else {
            const Verdict eVerdict = Accepts<CharT>(spec, m_pArgs[m_nNext]);
            if (eVerdict != Verdict::Fits) {
                Record(eVerdict == Verdict::Unsupported ? FormatError::Unsupported : FormatError::Mismatch,
                       spec.chType);
            }
        }
        ++m_nNext;
    }
    constexpr CheckResult Finish() {
        if (m_nNext < m_nArgs) {
            Record(FormatError::TooManyArguments, 0);
        }
        return m_result;
    }

private:
    constexpr void Record(FormatError eError, char chType) {
        if (m_result.eError == FormatError::None) {
            m_result = CheckResult{eError, m_nNext, chType};
        }
    }

    const ArgInfo* m_pArgs;
    std::size_t m_nArgs;
    std::size_t m_nNext = 0;
    CheckResult m_result;
};

// Checks a format string against argument types; usable in constant expressions.
template <typename CharT, typename... Args>
constexpr CheckResult CheckFormat(std::basic_string_view<CharT> sFmt) {
    const ArgInfo aArgs[sizeof...(Args) + 1] = {Describe<Args>()..., ArgInfo{}};
    CChecker<CharT> checker(aArgs, sizeof...(Args));
    Walk(sFmt, checker);
    return checker.Finish();
}

// Called only when a literal format string fails its check: they are not constexpr, so the compiler
// stops and names them.
inline void FormatArgumentDoesNotFitConversion(std::size_t) {}
inline void FormatConversionNotSupported(std::size_t) {}
inline void FormatStringNeedsMoreArguments(std::size_t) {}
inline void FormatStringHasTooManyArguments(std::size_t) {}

// One argument, type-erased for the formatting engine.
struct FormatArg {
    ArgInfo info;
    std::uint64_t qwValue = 0;    // integers sign- or zero-extended; pointers as their address
    const void* pText = nullptr;  // strings: the first character, or null
    std::size_t cchMax = 0;       // strings: the scan stops at a NUL or after this many characters
};

template <typename T>
FormatArg MakeArg(const T& value) {
    using U = std::remove_cvref_t<T>;
    FormatArg arg;
    arg.info = Describe<U>();
    if constexpr (std::is_enum_v<U>) {
        arg.qwValue = MakeArg(static_cast<std::underlying_type_t<U>>(value)).qwValue;
    } else if constexpr (std::is_integral_v<U>) {
        if constexpr (std::is_signed_v<U>) {
            arg.qwValue = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
        } else {
            arg.qwValue = static_cast<std::uint64_t>(value);
        }
    } else if constexpr (std::is_array_v<U>) {
        arg.pText = value;
        arg.cchMax = std::extent_v<U>;
        arg.qwValue = reinterpret_cast<std::uintptr_t>(&value[0]);
    } else if constexpr (std::is_pointer_v<U>) {
        arg.qwValue = reinterpret_cast<std::uintptr_t>(value);
        arg.pText = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(arg.qwValue));
        arg.cchMax = SIZE_MAX;
    } else if constexpr (IsStringObject<U>::value) {
        arg.pText = value.data();
        arg.cchMax = value.size();
    }
    return arg;
}

void FormatTo(std::u16string& sOut, std::u16string_view sFmt, const FormatArg* pArgs, std::size_t nArgs);
void FormatTo(std::string& sOut, std::string_view sFmt, const FormatArg* pArgs, std::size_t nArgs);

template <typename CharT, typename... Args>
std::basic_string<CharT> Run(std::basic_string_view<CharT> sFmt, const Args&... args) {
    std::basic_string<CharT> sOut;
    if constexpr (sizeof...(Args) == 0) {
        FormatTo(sOut, sFmt, nullptr, 0);
    } else {
        const FormatArg aArgs[] = {MakeArg(args)...};
        FormatTo(sOut, sFmt, aArgs, sizeof...(Args));
    }
    return sOut;
}

}  // namespace format_detail

// A format string only known at run time; see RuntimeFormat.
template <typename CharT>
struct RuntimeFormatString {
    std::basic_string_view<CharT> sFmt;
};

inline RuntimeFormatString<char16_t> RuntimeFormat(std::u16string_view sFmt) {
    return {sFmt};
}
inline RuntimeFormatString<char> RuntimeFormat(std::string_view sFmt) {
    return {sFmt};
}

// A format string checked against Args: at compile time when built from a literal, at run time when
// built from RuntimeFormat(...). Use as FormatString<CharT, std::type_identity_t<Args>...> in a
// function that forwards its arguments to Format.
template <typename CharT, typename... Args>
class FormatString {
public:
    template <typename T>
    requires std::convertible_to<const T&, std::basic_string_view<CharT>>
    consteval FormatString(const T& sFmt) : m_sFmt(sFmt) {
        using namespace format_detail;
        const CheckResult result = CheckFormat<CharT, Args...>(m_sFmt);
        switch (result.eError) {
            case FormatError::None:
                break;
            case FormatError::Mismatch:
                FormatArgumentDoesNotFitConversion(result.nArg);
                break;
            case FormatError::Unsupported:
                FormatConversionNotSupported(result.nArg);
                break;
            case FormatError::TooFewArguments:
                FormatStringNeedsMoreArguments(result.nArg);
                break;
            case FormatError::TooManyArguments:
                FormatStringHasTooManyArguments(result.nArg);
                break;
        }
    }
    FormatString(RuntimeFormatString<CharT> runtime) noexcept : m_sFmt(runtime.sFmt) {}

    constexpr std::basic_string_view<CharT> get() const noexcept { return m_sFmt; }

private:
    std::basic_string_view<CharT> m_sFmt;
};

// True when a literal format string fits the argument types (what FormatString's constructor checks).
template <typename CharT, typename... Args>
constexpr bool FormatFits(std::basic_string_view<CharT> sFmt) {
    return format_detail::CheckFormat<CharT, Args...>(sFmt).eError == format_detail::FormatError::None;
}

// Wide format string: %s wide, %S narrow (UTF-8, widened).
template <typename... Args>
std::u16string Format(FormatString<char16_t, std::type_identity_t<Args>...> fmt, const Args&... args) {
    return format_detail::Run<char16_t>(fmt.get(), args...);
}

// Narrow format string: %s narrow, %S wide (written as UTF-8).
template <typename... Args>
std::string FormatNarrow(FormatString<char, std::type_identity_t<Args>...> fmt, const Args&... args) {
    return format_detail::Run<char>(fmt.get(), args...);
}

template <typename... Args>
std::u16string FormatRuntime(std::u16string_view sFmt, const Args&... args) {
    return format_detail::Run<char16_t>(sFmt, args...);
}

template <typename... Args>
std::string FormatNarrowRuntime(std::string_view sFmt, const Args&... args) {
    return format_detail::Run<char>(sFmt, args...);
}

}  // namespace platform
