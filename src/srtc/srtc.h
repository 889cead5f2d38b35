// Serialized rules ("SRTC", docs/srtc.md): the in-memory rule set, its writer and checking reader,
// and the evaluator a driver runs against one access. Self-contained: no platform, no globals, so
// the stand-in driver, kctool and ktRGen.dll can all link it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace srtc {

constexpr std::uint32_t SRTC_MAGIC = 0x43545253;  // "SRTC" read as a little-endian word
constexpr std::uint32_t SRTC_VERSION = 2;
constexpr std::uint32_t SRTC_HEADER_SIZE = 56;
constexpr std::uint32_t SRTC_NO_STRING = 0xFFFFFFFF;
// Longest chain of nested conditions (through named expressions too) that a reader accepts.
constexpr std::uint32_t SRTC_MAX_DEPTH = 64;

enum class RuleSetKind : std::uint32_t { Authorization = 0, Exclusion = 1, ProtectedResources = 2 };
enum class Effect : std::uint32_t { Allow = 0, Deny = 1 };
enum class LiteralType : std::uint32_t { Bool = 1, Date = 2, Str = 3, Int32 = 4, Hex32 = 5 };
enum class NodeKind : std::uint32_t { FunEval = 1, And = 2, Or = 3, Not = 4, ExprRef = 5, LiteralRef = 6 };
enum class Function : std::uint32_t { Equals = 1, BinaryAnd = 2, InSet = 3, Before = 4 };
enum class Attribute : std::uint32_t {
    ActorPath = 1,
    ActorSid = 2,
    ActorMd5 = 3,
    ActorSha1 = 4,
    ActorFileLength = 5,
    ActorDevice = 6,
    ActorLocation = 7,
    TargetPath = 8,
    TargetKind = 9,
    ActionDesiredAccess = 10,
    EnvTime = 11,
};
enum class OperandKind : std::uint32_t { Literal = 1, Set = 2 };
enum class TargetKind : std::uint32_t { File = 0, Registry = 1, Process = 2 };

enum class ValueClass { String, Number, Time };
ValueClass ClassOf(Attribute attribute);
// Whether a literal of this type may stand beside an attribute of this class for the function.
bool OperandFits(Function function, Attribute attribute, LiteralType type);

struct StringSet {
    std::u16string sId;
    // Canonical form (Canonicalize): upper-cased, sorted by code unit, no duplicates, and no prefix
    // item that begins with another prefix item (the shorter one already covers it).
    std::vector<std::u16string> exact;
    std::vector<std::u16string> prefix;

    friend bool operator==(const StringSet&, const StringSet&) = default;
};

// A set whose items lie end to end in one buffer. Compiling a document of many items this way keeps
// them in contiguous memory from parsing to writing, instead of one allocation per item.
struct PackedStringSet {
    struct Item {
        std::uint32_t dwOffset;  // in units
        std::uint32_t dwLength;
    };
    std::u16string sId;
    std::u16string units;
    std::vector<Item> exact;
    std::vector<Item> prefix;

    std::u16string_view View(const Item& item) const {
        return std::u16string_view(units).substr(item.dwOffset, item.dwLength);
    }
    // The set with one string per item, as StringSet holds it.
    StringSet Unpacked() const;
};

struct Literal {
    std::u16string sId;  // empty for a constant written in place in a condition
    LiteralType type = LiteralType::Bool;
    std::uint64_t qwValue = 0;  // bool 0/1, int32 and hex32 as 32 bits, date as FILETIME (UTC)
    std::u16string sText;       // str

    friend bool operator==(const Literal&, const Literal&) = default;
};

struct Node {
    NodeKind kind = NodeKind::FunEval;
    Function function = Function::Equals;        // FunEval
    Attribute attribute = Attribute::ActorPath;  // FunEval
    OperandKind operandKind = OperandKind::Literal;
    // FunEval: the literal or set; Not: the child node; ExprRef: the expression; LiteralRef: the literal.
    std::uint32_t dwIndex = 0;
    std::vector<std::uint32_t> children;  // And, Or

    friend bool operator==(const Node&, const Node&) = default;
};

struct Expression {
    std::u16string sId;
    std::uint32_t dwRoot = 0;

    friend bool operator==(const Expression&, const Expression&) = default;
};

struct Rule {
    std::u16string sId;
    Effect effect = Effect::Deny;
    std::uint32_t dwRoot = 0;

    friend bool operator==(const Rule&, const Rule&) = default;
};

struct RuleSet {
    RuleSetKind kind = RuleSetKind::ProtectedResources;
    Effect defaultEffect = Effect::Allow;
    std::vector<StringSet> sets;
    std::vector<Literal> literals;
    std::vector<Node> nodes;
    std::vector<Expression> expressions;
    std::vector<Rule> rules;  // in the order they are tried

    friend bool operator==(const RuleSet&, const RuleSet&) = default;
};

// Upper-cases per UTF-16 code unit, the way the platform compares paths.
char16_t UpperUnit(char16_t ch);
std::u16string Upper(std::u16string_view s);

// Brings every set into its canonical form; sorting once keeps this n log n in the items.
void Canonicalize(RuleSet& ruleSet);
// The same for a packed set; its units are laid out again in the items' canonical order, so what
// follows reads them front to back.
void Canonicalize(PackedStringSet& set);

// The blob of a rule set. Sets are canonicalized on the way, so equivalent sets give equal bytes.
std::vector<std::uint8_t> Write(const RuleSet& ruleSet);
// The same for a rule set already canonical (Canonicalize or Read), without copying it first.
std::vector<std::uint8_t> WriteCanonical(const RuleSet& ruleSet);
// The same for a rule set whose sets are given packed and canonical instead of in ruleSet.sets (which
// is not read); the bytes are those of the unpacked rule set.
std::vector<std::uint8_t> WriteCanonical(const RuleSet& ruleSet, std::span<const PackedStringSet> sets);

// Checks every count, offset and index of the blob and decodes it. On failure sError names the table,
// the entry and the field, what was found and what was expected; the blob is never read beyond its
// size. A rule set read successfully is canonical, acyclic and no deeper than SRTC_MAX_DEPTH.
bool Read(std::span<const std::uint8_t> blob, RuleSet& ruleSet, std::string& sError);
// Read's checks, with the same verdict and reason, for a writer checking its own output: set items are
// checked but not copied out.
bool Check(std::span<const std::uint8_t> blob, std::string& sError);

struct Access {
    std::u16string sActorPath;
    std::u16string sActorSid;
    std::u16string sActorMd5;
    std::u16string sActorSha1;
    std::uint32_t dwActorFileLength = 0;
    std::u16string sActorDevice;
    std::u16string sActorLocation;
    std::u16string sTargetPath;
    TargetKind targetKind = TargetKind::File;
    std::uint32_t dwDesiredAccess = 0;
    std::uint64_t qwTime = 0;  // FILETIME, UTC
};

constexpr std::int32_t SRTC_NO_RULE = -1;

struct Verdict {
    Effect effect = Effect::Allow;
    std::int32_t nRule = SRTC_NO_RULE;  // index of the rule that matched, or SRTC_NO_RULE for the default
};

// Decides an access against a rule set as Read gives it: the first rule whose condition holds, else
// the default effect.
Verdict Evaluate(const RuleSet& ruleSet, const Access& access);

// Names used in documents and dumps.
const char* NameOf(RuleSetKind kind);
const char* NameOf(Effect effect);
const char* NameOf(LiteralType type);
const char* NameOf(NodeKind kind);
const char* NameOf(Function function);
void NameOf(Attribute attribute, const char** pszOp, const char** pszAttr);
const char* NameOf(TargetKind kind);

// Dates as documents write them ("YYYY-MM-DDThh:mm:ssZ") and FILETIME.
bool ParseDate(std::string_view sText, std::uint64_t& qwFileTime);
std::string FormatDate(std::uint64_t qwFileTime);

std::string ToUtf8(std::u16string_view s);
std::u16string FromUtf8(std::string_view s);
// FromUtf8 appended to out.
void AppendUtf8(std::string_view s, std::u16string& out);

}  // namespace srtc
