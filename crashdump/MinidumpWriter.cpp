#include "crashdump/MinidumpWriter.h"

#include "crashdump/ElfBuildId.h"
#include "crashdump/MapsReader.h"
#include "crashdump/RawSyscall.h"

#include <cstring>

namespace crashdump {

namespace {

// Below the stack pointer, leaf functions may keep data (the ABI's red zone).
constexpr uint64_t kStackRedZone = 128;
constexpr uint64_t kMaxStackBytes = 256 * 1024;
// A stack pointer this far below a mapping has overflowed the stack above.
constexpr uint64_t kOverflowReach = 64 * 1024;

enum StreamIndex {
    kThreadListIndex,
    kMemoryListIndex,
    kExceptionIndex,
    kSystemInfoIndex,
    kModuleListIndex,
    kLinuxMapsIndex,
    kLinuxStatusIndex,
    kLinuxCmdLineIndex,
    kStreamCount,
};

class CMinidumpComposer {
public:
    CMinidumpComposer(CDumpFile& file, CRASH_WORKSPACE& workspace) noexcept : m_file(file), m_workspace(workspace) {}

    bool Write(const CRASH_EVENT& crash) noexcept;

private:
    [[nodiscard]] bool IsCaptured(size_t thread) const noexcept
    {
        return m_workspace.Threads[thread].State.load(std::memory_order_acquire) == kCaptured;
    }
    void BeginStream() noexcept;
    void EndStream(StreamIndex index, uint32_t type) noexcept;
    void CollectThreads(const CRASH_EVENT& crash) noexcept;
    void LocateStacks() noexcept;
    void WriteThreads() noexcept;
    void WriteMemoryList() noexcept;
    void WriteException(const CRASH_EVENT& crash) noexcept;
    void WriteSystemInfo() noexcept;
    void WriteModules() noexcept;
    void WriteFileStream(StreamIndex index, uint32_t type, const char* path) noexcept;

    CDumpFile& m_file;
    CRASH_WORKSPACE& m_workspace;
    size_t m_threadCount = 0;
    uint32_t m_streamStart = 0;
    MINIDUMP_DIRECTORY m_directory[kStreamCount] = {};
};

bool CMinidumpComposer::Write(const CRASH_EVENT& crash) noexcept
{
    const MINIDUMP_HEADER header{
        MINIDUMP_SIGNATURE, MINIDUMP_VERSION, kStreamCount, sizeof(MINIDUMP_HEADER), 0, crash.Time, 0};
    m_file.AppendZeros(sizeof header + sizeof m_directory);  // filled in at the end
    CollectThreads(crash);
    LocateStacks();
    WriteThreads();
    ReleaseCapturedThreads();
    WriteMemoryList();
    WriteException(crash);
    WriteSystemInfo();
    WriteModules();
    WriteFileStream(kLinuxMapsIndex, LinuxMapsStream, "/proc/self/maps");
    WriteFileStream(kLinuxStatusIndex, LinuxProcStatusStream, "/proc/self/status");
    WriteFileStream(kLinuxCmdLineIndex, LinuxCmdLineStream, "/proc/self/cmdline");
    m_file.WriteAt(0, &header, sizeof header);
    m_file.WriteAt(sizeof header, m_directory, sizeof m_directory);
    return m_file.Finish();
}

void CMinidumpComposer::BeginStream() noexcept
{
    m_file.Align(8);
    m_streamStart = m_file.Position();
}

void CMinidumpComposer::EndStream(StreamIndex index, uint32_t type) noexcept
{
    m_directory[index] = {type, {m_file.Position() - m_streamStart, m_streamStart}};
}

void CMinidumpComposer::CollectThreads(const CRASH_EVENT& crash) noexcept
{
    CAPTURED_THREAD& faulting = m_workspace.Threads[0];
    faulting.Tid = crash.Tid;
    ContextFromSignal(*crash.Context, faulting.Context);
    faulting.State.store(kCaptured, std::memory_order_relaxed);
    m_threadCount = CaptureOtherThreads(m_workspace.Threads, 1, CRASH_WORKSPACE::kMaxThreads, crash.Tid,
                                        m_workspace.TextBuffer, sizeof m_workspace.TextBuffer);
}

// Each stack is saved from just below its stack pointer up to the top of
// its mapping, at most kMaxStackBytes: the frames a debugger unwinds.
void CMinidumpComposer::LocateStacks() noexcept
{
    CMapsReader maps(m_workspace.TextBuffer, sizeof m_workspace.TextBuffer);
    MAPPING mapping;
    while (maps.Next(mapping)) {
        if (!mapping.Readable)
            continue;
        for (size_t i = 0; i < m_threadCount; ++i) {
            MINIDUMP_MEMORY_DESCRIPTOR& stack = m_workspace.Threads[i].Stack;
            const uint64_t pointer = m_workspace.Threads[i].Context.Rsp;
            if (!IsCaptured(i) || stack.Memory.DataSize != 0)
                continue;
            uint64_t low;
            if (pointer >= mapping.Start && pointer < mapping.End)
                low = pointer - mapping.Start > kStackRedZone ? pointer - kStackRedZone : mapping.Start;
            else if (pointer < mapping.Start && mapping.Start - pointer <= kOverflowReach)
                low = mapping.Start;
            else
                continue;
            const uint64_t high = mapping.End - low < kMaxStackBytes ? mapping.End : low + kMaxStackBytes;
            stack.StartOfMemoryRange = low;
            stack.Memory.DataSize = static_cast<uint32_t>(high - low);
        }
    }
}

void CMinidumpComposer::WriteThreads() noexcept
{
    uint32_t captured = 0;
    for (size_t i = 0; i < m_threadCount; ++i) {
        if (!IsCaptured(i))
            continue;
        CAPTURED_THREAD& thread = m_workspace.Threads[i];
        thread.ContextLocation = m_file.AppendRecord(thread.Context);
        if (thread.Stack.Memory.DataSize != 0)
            thread.Stack.Memory = m_file.AppendMemory(thread.Stack.StartOfMemoryRange, thread.Stack.Memory.DataSize);
        ++captured;
    }
    BeginStream();
    m_file.Append(&captured, sizeof captured);
    for (size_t i = 0; i < m_threadCount; ++i) {
        if (!IsCaptured(i))
            continue;
        const CAPTURED_THREAD& thread = m_workspace.Threads[i];
        const MINIDUMP_THREAD record{
            static_cast<uint32_t>(thread.Tid), 0, 0, 0, 0, thread.Stack, thread.ContextLocation};
        m_file.Append(&record, sizeof record);
    }
    EndStream(kThreadListIndex, ThreadListStream);
}

// Debuggers read a dump's memory only through this list: the stacks.
void CMinidumpComposer::WriteMemoryList() noexcept
{
    uint32_t ranges = 0;
    for (size_t i = 0; i < m_threadCount; ++i)
        ranges += IsCaptured(i) && m_workspace.Threads[i].Stack.Memory.DataSize != 0;
    BeginStream();
    m_file.Append(&ranges, sizeof ranges);
    for (size_t i = 0; i < m_threadCount; ++i) {
        if (IsCaptured(i) && m_workspace.Threads[i].Stack.Memory.DataSize != 0)
            m_file.Append(&m_workspace.Threads[i].Stack, sizeof(MINIDUMP_MEMORY_DESCRIPTOR));
    }
    EndStream(kMemoryListIndex, MemoryListStream);
}

void CMinidumpComposer::WriteException(const CRASH_EVENT& crash) noexcept
{
    MINIDUMP_EXCEPTION_STREAM exception{};
    exception.ThreadId = static_cast<uint32_t>(crash.Tid);
    exception.ExceptionRecord.ExceptionCode = static_cast<uint32_t>(crash.Signal);
    exception.ExceptionRecord.ExceptionFlags = static_cast<uint32_t>(crash.Code);
    exception.ExceptionRecord.ExceptionAddress = crash.Address;
    exception.ThreadContext = m_workspace.Threads[0].ContextLocation;
    BeginStream();
    m_file.Append(&exception, sizeof exception);
    EndStream(kExceptionIndex, ExceptionStream);
}

void CMinidumpComposer::WriteSystemInfo() noexcept
{
    MINIDUMP_SYSTEM_INFO info = m_workspace.SystemInfo;
    info.CSDVersionRva = m_file.AppendString(m_workspace.SystemDescription);
    BeginStream();
    m_file.Append(&info, sizeof info);
    EndStream(kSystemInfoIndex, SystemInfoStream);
}

// One module per ELF file mapped from offset 0, spanning the mappings of
// that file that follow it; named by its path, identified by its build id.
void CMinidumpComposer::WriteModules() noexcept
{
    uint32_t count = 0;
    MINIDUMP_MODULE* current = nullptr;
    char* path = m_workspace.ModulePath;
    CMapsReader maps(m_workspace.TextBuffer, sizeof m_workspace.TextBuffer);
    MAPPING mapping;
    while (maps.Next(mapping)) {
        if (mapping.Path[0] == '\0')
            continue;  // anonymous memory (a module's zero-filled data) does not end it
        if (current && std::strcmp(mapping.Path, path) == 0) {
            current->SizeOfImage = static_cast<uint32_t>(mapping.End - current->BaseOfImage);
            continue;
        }
        current = nullptr;
        const size_t pathLength = std::strlen(mapping.Path);
        if (mapping.Path[0] != '/' || mapping.Offset != 0 || mapping.Inode == 0 || !mapping.Readable ||
            pathLength >= sizeof m_workspace.ModulePath || count == CRASH_WORKSPACE::kMaxModules ||
            !IsElfImage(mapping.Start))
            continue;
        std::memcpy(path, mapping.Path, pathLength + 1);
        current = &m_workspace.Modules[count++];
        std::memset(current, 0, sizeof *current);
        current->BaseOfImage = mapping.Start;
        current->SizeOfImage = static_cast<uint32_t>(mapping.End - mapping.Start);
        current->ModuleNameRva = m_file.AppendString(path);
        uint8_t buildId[kMaxBuildIdSize];
        if (const size_t length = ReadElfBuildId(mapping.Start, buildId)) {
            m_file.Align(4);
            current->CvRecord = {static_cast<uint32_t>(sizeof CV_SIGNATURE_ELF_BUILD_ID + length), m_file.Position()};
            m_file.Append(&CV_SIGNATURE_ELF_BUILD_ID, sizeof CV_SIGNATURE_ELF_BUILD_ID);
            m_file.Append(buildId, length);
        }
    }
    BeginStream();
    m_file.Append(&count, sizeof count);
    m_file.Append(m_workspace.Modules, count * sizeof(MINIDUMP_MODULE));
    EndStream(kModuleListIndex, ModuleListStream);
}

void CMinidumpComposer::WriteFileStream(StreamIndex index, uint32_t type, const char* path) noexcept
{
    const MINIDUMP_LOCATION_DESCRIPTOR location = m_file.AppendFileContents(path);
    m_directory[index] = {location.DataSize != 0 ? type : UnusedStream, location};
}

}  // namespace

bool WriteMinidump(CDumpFile& file, CRASH_WORKSPACE& workspace, const CRASH_EVENT& crash) noexcept
{
    CMinidumpComposer composer(file, workspace);
    return composer.Write(crash);
}

}  // namespace crashdump
