// The MDMP file layout (x86-64), as the platform's debug-help library and breakpad write it.
#pragma once

#include <cstdint>

namespace platform::posix::mdmp {

constexpr std::uint32_t SIGNATURE = 0x504D444D;  // "MDMP"
constexpr std::uint32_t VERSION = 0x0000A793;

constexpr std::uint32_t STREAM_THREAD_LIST = 3;
constexpr std::uint32_t STREAM_MODULE_LIST = 4;
constexpr std::uint32_t STREAM_MEMORY_LIST = 5;
constexpr std::uint32_t STREAM_EXCEPTION = 6;
constexpr std::uint32_t STREAM_SYSTEM_INFO = 7;
constexpr std::uint32_t STREAM_MEMORY64_LIST = 9;
constexpr std::uint32_t STREAM_MISC_INFO = 15;
constexpr std::uint32_t STREAM_LINUX_MAPS = 0x47670009;  // breakpad's copy of /proc/PID/maps

constexpr std::uint16_t ARCH_AMD64 = 9;
constexpr std::uint32_t PLATFORM_LINUX = 0x8201;
constexpr std::uint32_t CONTEXT_AMD64_FULL = 0x0010000B;  // control, integer, floating point
constexpr std::uint32_t CV_SIGNATURE_ELF = 0x4270454C;    // "BpEL": the build id follows
constexpr std::uint32_t MISC1_PROCESS_ID = 0x00000001;

#pragma pack(push, 4)
struct Location {
    std::uint32_t DataSize;
    std::uint32_t Rva;
};
struct Header {
    std::uint32_t Signature;
    std::uint32_t Version;
    std::uint32_t NumberOfStreams;
    std::uint32_t StreamDirectoryRva;
    std::uint32_t CheckSum;
    std::uint32_t TimeDateStamp;
    std::uint64_t Flags;
};
struct Directory {
    std::uint32_t StreamType;
    Location Loc;
};
struct MemoryDescriptor {
    std::uint64_t StartOfMemoryRange;
    Location Memory;
};
struct MemoryDescriptor64 {
    std::uint64_t StartOfMemoryRange;
    std::uint64_t DataSize;
};
struct Thread {
    std::uint32_t ThreadId;
    std::uint32_t SuspendCount;
    std::uint32_t PriorityClass;
    std::uint32_t Priority;
    std::uint64_t Teb;
    MemoryDescriptor Stack;
    Location ThreadContext;
};
struct FixedFileInfo {
    std::uint32_t Fields[13];
};
struct Module {
    std::uint64_t BaseOfImage;
    std::uint32_t SizeOfImage;
    std::uint32_t CheckSum;
    std::uint32_t TimeDateStamp;
    std::uint32_t ModuleNameRva;
    FixedFileInfo VersionInfo;
    Location CvRecord;
    Location MiscRecord;
    std::uint64_t Reserved0;
    std::uint64_t Reserved1;
};
struct ExceptionRecord {
    std::uint32_t ExceptionCode;
    std::uint32_t ExceptionFlags;
    std::uint64_t ExceptionRecord;
    std::uint64_t ExceptionAddress;
    std::uint32_t NumberParameters;
    std::uint32_t UnusedAlignment;
    std::uint64_t ExceptionInformation[15];
};
struct ExceptionStream {
    std::uint32_t ThreadId;
    std::uint32_t Alignment;
    ExceptionRecord Exception;
    Location ThreadContext;
};
struct SystemInfo {
    std::uint16_t ProcessorArchitecture;
    std::uint16_t ProcessorLevel;
    std::uint16_t ProcessorRevision;
    std::uint8_t NumberOfProcessors;
    std::uint8_t ProductType;
    std::uint32_t MajorVersion;
    std::uint32_t MinorVersion;
    std::uint32_t BuildNumber;
    std::uint32_t PlatformId;
    std::uint32_t CSDVersionRva;
    std::uint16_t SuiteMask;
    std::uint16_t Reserved2;
    std::uint32_t VendorId[3];
    std::uint32_t VersionInformation;
    std::uint32_t FeatureInformation;
    std::uint32_t AMDExtendedCpuFeatures;
};
struct MiscInfo {
    std::uint32_t SizeOfInfo;
    std::uint32_t Flags1;
    std::uint32_t ProcessId;
    std::uint32_t ProcessCreateTime;
    std::uint32_t ProcessUserTime;
    std::uint32_t ProcessKernelTime;
};
#pragma pack(pop)

// CONTEXT for AMD64 (breakpad's MDRawContextAMD64).
struct alignas(16) ContextAmd64 {
    std::uint64_t PHome[6];
    std::uint32_t ContextFlags;
    std::uint32_t MxCsr;
    std::uint16_t SegCs, SegDs, SegEs, SegFs, SegGs, SegSs;
    std::uint32_t EFlags;
    std::uint64_t Dr0, Dr1, Dr2, Dr3, Dr6, Dr7;
    std::uint64_t Rax, Rcx, Rdx, Rbx, Rsp, Rbp, Rsi, Rdi;
    std::uint64_t R8, R9, R10, R11, R12, R13, R14, R15;
    std::uint64_t Rip;
    std::uint8_t FltSave[512];  // the FXSAVE image
    std::uint8_t VectorRegister[26][16];
    std::uint64_t VectorControl;
    std::uint64_t DebugControl;
    std::uint64_t LastBranchToRip;
    std::uint64_t LastBranchFromRip;
    std::uint64_t LastExceptionToRip;
    std::uint64_t LastExceptionFromRip;
};

static_assert(sizeof(Header) == 32);
static_assert(sizeof(Directory) == 12);
static_assert(sizeof(Thread) == 48);
static_assert(sizeof(Module) == 108);
static_assert(sizeof(ExceptionStream) == 168);
static_assert(sizeof(SystemInfo) == 56);
static_assert(sizeof(ContextAmd64) == 1232);
static_assert(offsetof(ContextAmd64, Rip) == 248);

}  // namespace platform::posix::mdmp
