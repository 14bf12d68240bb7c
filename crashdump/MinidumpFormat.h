#pragma once

#include <cstddef>
#include <cstdint>

// The records of the minidump file format as debuggers read them: little
// endian, packed to 4 bytes. The Linux additions (platform id, process
// streams, ELF build id as code-view record) are the ones Linux debuggers
// recognise.

inline constexpr uint32_t MINIDUMP_SIGNATURE = 0x504d444d;  // "MDMP"
inline constexpr uint32_t MINIDUMP_VERSION = 0xa793;

enum MINIDUMP_STREAM_TYPE : uint32_t {
    UnusedStream = 0,
    ThreadListStream = 3,
    ModuleListStream = 4,
    MemoryListStream = 5,
    ExceptionStream = 6,
    SystemInfoStream = 7,
    LinuxProcStatusStream = 0x47670004,
    LinuxCmdLineStream = 0x47670006,
    LinuxMapsStream = 0x47670009,
};

inline constexpr uint16_t PROCESSOR_ARCHITECTURE_AMD64 = 9;
inline constexpr uint32_t PLATFORM_ID_LINUX = 0x8201;
// Code-view record holding an ELF build id: this value, then the id's bytes.
inline constexpr uint32_t CV_SIGNATURE_ELF_BUILD_ID = 0x4270454c;
// amd64 context with control, integer, segment and floating-point registers.
inline constexpr uint32_t CONTEXT_AMD64_FULL = 0x0010000f;

#pragma pack(push, 4)

struct MINIDUMP_LOCATION_DESCRIPTOR {
    uint32_t DataSize;
    uint32_t Rva;
};

struct MINIDUMP_MEMORY_DESCRIPTOR {
    uint64_t StartOfMemoryRange;
    MINIDUMP_LOCATION_DESCRIPTOR Memory;
};

struct MINIDUMP_HEADER {
    uint32_t Signature;
    uint32_t Version;
    uint32_t NumberOfStreams;
    uint32_t StreamDirectoryRva;
    uint32_t CheckSum;
    uint32_t TimeDateStamp;
    uint64_t Flags;
};

struct MINIDUMP_DIRECTORY {
    uint32_t StreamType;
    MINIDUMP_LOCATION_DESCRIPTOR Location;
};

struct MINIDUMP_SYSTEM_INFO {
    uint16_t ProcessorArchitecture;
    uint16_t ProcessorLevel;
    uint16_t ProcessorRevision;
    uint8_t NumberOfProcessors;
    uint8_t ProductType;
    uint32_t MajorVersion;
    uint32_t MinorVersion;
    uint32_t BuildNumber;
    uint32_t PlatformId;
    uint32_t CSDVersionRva;
    uint16_t SuiteMask;
    uint16_t Reserved2;
    uint32_t VendorId[3];
    uint32_t VersionInformation;
    uint32_t FeatureInformation;
    uint32_t AMDExtendedCpuFeatures;
};

struct MINIDUMP_EXCEPTION {
    uint32_t ExceptionCode;
    uint32_t ExceptionFlags;
    uint64_t ExceptionRecord;
    uint64_t ExceptionAddress;
    uint32_t NumberParameters;
    uint32_t UnusedAlignment;
    uint64_t ExceptionInformation[15];
};

struct MINIDUMP_EXCEPTION_STREAM {
    uint32_t ThreadId;
    uint32_t UnusedAlignment;
    MINIDUMP_EXCEPTION ExceptionRecord;
    MINIDUMP_LOCATION_DESCRIPTOR ThreadContext;
};

struct MINIDUMP_THREAD {
    uint32_t ThreadId;
    uint32_t SuspendCount;
    uint32_t PriorityClass;
    uint32_t Priority;
    uint64_t Teb;
    MINIDUMP_MEMORY_DESCRIPTOR Stack;
    MINIDUMP_LOCATION_DESCRIPTOR ThreadContext;
};

struct MINIDUMP_MODULE {
    uint64_t BaseOfImage;
    uint32_t SizeOfImage;
    uint32_t CheckSum;
    uint32_t TimeDateStamp;
    uint32_t ModuleNameRva;
    uint32_t VersionInfo[13];
    MINIDUMP_LOCATION_DESCRIPTOR CvRecord;
    MINIDUMP_LOCATION_DESCRIPTOR MiscRecord;
    uint64_t Reserved0;
    uint64_t Reserved1;
};

struct MINIDUMP_CONTEXT_AMD64 {
    uint64_t ParameterHome[6];
    uint32_t ContextFlags;
    uint32_t MxCsr;
    uint16_t SegCs;
    uint16_t SegDs;
    uint16_t SegEs;
    uint16_t SegFs;
    uint16_t SegGs;
    uint16_t SegSs;
    uint32_t EFlags;
    uint64_t DebugRegisters[6];
    uint64_t Rax;
    uint64_t Rcx;
    uint64_t Rdx;
    uint64_t Rbx;
    uint64_t Rsp;
    uint64_t Rbp;
    uint64_t Rsi;
    uint64_t Rdi;
    uint64_t R8;
    uint64_t R9;
    uint64_t R10;
    uint64_t R11;
    uint64_t R12;
    uint64_t R13;
    uint64_t R14;
    uint64_t R15;
    uint64_t Rip;
    uint8_t FltSave[512];  // the FXSAVE image
    uint64_t VectorRegister[52];
    uint64_t VectorControl;
    uint64_t DebugControl;
    uint64_t LastBranchToRip;
    uint64_t LastBranchFromRip;
    uint64_t LastExceptionToRip;
    uint64_t LastExceptionFromRip;
};

#pragma pack(pop)

static_assert(sizeof(MINIDUMP_LOCATION_DESCRIPTOR) == 8);
static_assert(sizeof(MINIDUMP_MEMORY_DESCRIPTOR) == 16);
static_assert(sizeof(MINIDUMP_HEADER) == 32);
static_assert(sizeof(MINIDUMP_DIRECTORY) == 12);
static_assert(sizeof(MINIDUMP_SYSTEM_INFO) == 56);
static_assert(offsetof(MINIDUMP_SYSTEM_INFO, PlatformId) == 20);
static_assert(sizeof(MINIDUMP_EXCEPTION) == 152);
static_assert(sizeof(MINIDUMP_EXCEPTION_STREAM) == 168);
static_assert(sizeof(MINIDUMP_THREAD) == 48);
static_assert(sizeof(MINIDUMP_MODULE) == 108);
static_assert(offsetof(MINIDUMP_MODULE, CvRecord) == 76);
static_assert(sizeof(MINIDUMP_CONTEXT_AMD64) == 0x4d0);
static_assert(offsetof(MINIDUMP_CONTEXT_AMD64, ContextFlags) == 0x30);
static_assert(offsetof(MINIDUMP_CONTEXT_AMD64, EFlags) == 0x44);
static_assert(offsetof(MINIDUMP_CONTEXT_AMD64, Rax) == 0x78);
static_assert(offsetof(MINIDUMP_CONTEXT_AMD64, Rsp) == 0x98);
static_assert(offsetof(MINIDUMP_CONTEXT_AMD64, Rip) == 0xf8);
static_assert(offsetof(MINIDUMP_CONTEXT_AMD64, FltSave) == 0x100);
static_assert(offsetof(MINIDUMP_CONTEXT_AMD64, VectorRegister) == 0x300);
static_assert(offsetof(MINIDUMP_CONTEXT_AMD64, VectorControl) == 0x4a0);
