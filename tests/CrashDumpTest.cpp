// Runs orma_crash_child, which dies in a known way, and reads the minidump it
// leaves with the format's documented offsets (not the writer's records).
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <map>
#include <regex>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kChild = fs::canonical(ORMA_CRASH_CHILD).string();

constexpr uint32_t kThreadList = 3, kModuleList = 4, kMemoryList = 5, kException = 6, kSystemInfo = 7;
constexpr uint32_t kLinuxStatus = 0x47670004, kLinuxCmdLine = 0x47670006, kLinuxMaps = 0x47670009;
// Offsets into the exception stream and into an amd64 thread context.
constexpr uint32_t kExceptionCode = 8, kExceptionFlags = 12, kExceptionAddress = 24, kExceptionContext = 160;
constexpr uint32_t kContextRsp = 0x98, kContextRip = 0xf8;

// What a program prints on stdout and stderr, when it has ended.
std::string Output(const std::vector<std::string>& argv)
{
    ChildProcess program(argv, "/");
    program.Wait(60s);
    return program.Stdout() + program.Stderr();
}

struct CHILD_RUN {
    int Status = 0;  // as ChildProcess::Wait gives it: 128 + the signal that ended it
    std::map<std::string, uint64_t> Printed;  // the child's "name value" lines
    std::vector<std::string> Dumps;           // the dump files in its directory
};

// Runs the child in `directory`; as user nobody when asked.
CHILD_RUN RunChild(const std::string& directory, const std::string& mode, bool asNobody = false)
{
    std::vector<std::string> argv{kChild, mode};
    if (asNobody && geteuid() == 0)
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    ChildProcess child(argv, directory);
    CHILD_RUN run{child.Wait(60s), {}, {}};
    std::istringstream lines(child.Stdout());
    for (std::string name, value; lines >> name >> value;)
        run.Printed[name] = std::strtoull(value.c_str(), nullptr, 16);
    static const std::regex pattern(R"(PLUXCrash_-?\d+\.dmp)");
    for (const auto& entry : fs::directory_iterator(directory))
        if (std::regex_match(entry.path().filename().string(), pattern))
            run.Dumps.push_back(entry.path());
    return run;
}

// A minidump read by byte offsets; a read outside the file fails the test.
class CDumpView {
public:
    explicit CDumpView(const std::string& path) : m_bytes(ReadFile(path)) {}

    [[nodiscard]] bool InFile(uint64_t at, uint64_t size) const
    {
        EXPECT_LE(at + size, m_bytes.size()) << "a read past the end of the dump";
        return at + size <= m_bytes.size();
    }
    [[nodiscard]] std::string Bytes(uint64_t at, uint64_t size) const
    {
        return InFile(at, size) ? m_bytes.substr(at, size) : "";
    }
    // The stream's {rva, size}, from the stream directory; {0, 0} when it has none.
    [[nodiscard]] std::pair<uint32_t, uint32_t> Stream(uint32_t type) const
    {
        for (uint32_t i = 0; i < Read(8); ++i) {
            const uint64_t entry = Read(12) + i * 12ULL;
            if (Read(entry) == type)
                return {Read(entry + 8), Read(entry + 4)};
        }
        return {0, 0};
    }
    [[nodiscard]] std::string Data(uint32_t type) const { return Bytes(Stream(type).first, Stream(type).second); }

    template <class T = uint32_t>
    [[nodiscard]] T Read(uint64_t at) const
    {
        T value{};
        if (InFile(at, sizeof value))
            std::memcpy(&value, m_bytes.data() + at, sizeof value);
        return value;
    }

private:
    std::string m_bytes;
};

enum class FaultAddress { Null, NullRecordMember, Instruction, NearStackPointer };

struct FAULT_CASE {
    const char* Mode;
    int Signal;
    int Code;
    FaultAddress Address;
    const char* Function;
    bool FunctionOnTop;  // abort() leaves libc's frames above it
    bool OnMainThread;
};

std::ostream& operator<<(std::ostream& out, const FAULT_CASE& fault)
{
    return out << fault.Mode;
}

class CrashDumpTest : public testing::Test {
protected:
    TempDirectory m_directory;
};

class CrashDumpFaultTest : public CrashDumpTest, public testing::WithParamInterface<FAULT_CASE> {};

// The child of the case leaves one dump, named for the second of the fault,
// which a debugger opens at the faulting function.
TEST_P(CrashDumpFaultTest, DumpRecordsTheFaultingThread)
{
    const FAULT_CASE& fault = GetParam();
    // The fine clock, as the writer reads it: time() runs up to a tick behind.
    const auto now = [] { return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()); };
    const time_t before = now();
    CHILD_RUN run = RunChild(m_directory.Path(), fault.Mode);
    const time_t after = now();
    ASSERT_EQ(run.Status, 128 + fault.Signal);
    ASSERT_EQ(run.Dumps.size(), 1U);
    const long seconds = std::stol(fs::path(run.Dumps[0]).filename().string().substr(std::strlen("PLUXCrash_")));
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);

    const CDumpView dump(run.Dumps[0]);
    ASSERT_TRUE(dump.InFile(0, 32));
    EXPECT_EQ(dump.Read(0), 0x504d444dU);  // "MDMP"
    EXPECT_EQ(dump.Read(4) & 0xffff, 0xa793U);
    for (const uint32_t type : {kThreadList, kModuleList, kMemoryList, kException, kSystemInfo, kLinuxStatus,
                                kLinuxCmdLine, kLinuxMaps}) {
        const auto [rva, size] = dump.Stream(type);
        ASSERT_GT(size, 0U) << "stream " << std::hex << type;
        EXPECT_TRUE(dump.InFile(rva, size));
    }
    const uint32_t system = dump.Stream(kSystemInfo).first;
    EXPECT_EQ(dump.Read(system) & 0xffff, 9U);   // amd64
    EXPECT_EQ(dump.Read(system + 20), 0x8201U);  // Linux

    // The exception: signal, si_code, address, and the thread's registers.
    const uint32_t exception = dump.Stream(kException).first;
    const uint32_t faultingTid = dump.Read(exception);
    EXPECT_EQ(dump.Read(exception + kExceptionCode), static_cast<uint32_t>(fault.Signal));
    EXPECT_EQ(static_cast<int32_t>(dump.Read(exception + kExceptionFlags)), fault.Code);
    const uint64_t address = dump.Read<uint64_t>(exception + kExceptionAddress);
    ASSERT_EQ(dump.Read(exception + kExceptionContext), 0x4d0U);
    const uint32_t context = dump.Read(exception + kExceptionContext + 4);
    const uint64_t rip = dump.Read<uint64_t>(context + kContextRip);
    const uint64_t rsp = dump.Read<uint64_t>(context + kContextRsp);
    const uint64_t function = run.Printed["function"];
    if (fault.FunctionOnTop) {
        EXPECT_GE(rip, function);
        EXPECT_LT(rip, function + 256) << "the fault is outside " << fault.Function;
    }
    switch (fault.Address) {
    case FaultAddress::Null: EXPECT_EQ(address, 0U); break;
    case FaultAddress::NullRecordMember: EXPECT_EQ(address, 0x18U); break;
    case FaultAddress::Instruction: EXPECT_EQ(address, rip); break;
    case FaultAddress::NearStackPointer: EXPECT_LT(address - rsp + 4096, 8192U); break;
    }

    // The thread list: the faulting thread with the same registers and a
    // stack inside its real stack; the other threads with theirs.
    const uint32_t threads = dump.Stream(kThreadList).first;
    EXPECT_EQ(dump.Read(threads), fault.OnMainThread ? 1U : 2U);
    std::vector<std::pair<uint64_t, uint64_t>> stacks;
    int faultingThreads = 0;
    for (uint32_t i = 0; i < dump.Read(threads); ++i) {
        const uint64_t thread = threads + 4 + i * 48ULL;
        const uint64_t stackStart = dump.Read<uint64_t>(thread + 24);
        const uint64_t stackEnd = stackStart + dump.Read(thread + 32);
        const uint32_t threadContext = dump.Read(thread + 44);
        const uint64_t threadRsp = dump.Read<uint64_t>(threadContext + kContextRsp);
        stacks.emplace_back(stackStart, stackEnd);
        if (dump.Read(thread) != faultingTid) {
            EXPECT_GE(threadRsp + 128, stackStart);
            EXPECT_LT(threadRsp, stackEnd);
            continue;
        }
        ++faultingThreads;
        EXPECT_EQ(dump.Read<uint64_t>(threadContext + kContextRip), rip);
        EXPECT_GE(stackStart, run.Printed["stack_low"]);
        EXPECT_LE(stackEnd, run.Printed["stack_high"]);
        EXPECT_GT(stackEnd - stackStart, 256U);
        if (fault.Address != FaultAddress::NearStackPointer) {  // an overflowed one lies just below
            EXPECT_LE(stackStart, rsp);
            EXPECT_LT(rsp, stackEnd);
        }
    }
    EXPECT_EQ(faultingThreads, 1);

    // Every stack is in the memory list, where debuggers read memory.
    const uint32_t memory = dump.Stream(kMemoryList).first;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (uint32_t i = 0; i < dump.Read(memory); ++i) {
        const uint64_t range = memory + 4 + i * 16ULL;
        ranges.emplace_back(dump.Read<uint64_t>(range), dump.Read<uint64_t>(range) + dump.Read(range + 8));
        EXPECT_TRUE(dump.InFile(dump.Read(range + 12), dump.Read(range + 8)));
    }
    EXPECT_EQ(ranges, stacks);

    // The program itself among the modules, identified by its build id as binutils reads it.
    std::smatch buildId;
    const std::string notes = Output({"readelf", "-n", kChild});
    ASSERT_TRUE(std::regex_search(notes, buildId, std::regex(R"(Build ID: ([0-9a-f]+))")));
    std::string id;
    for (size_t i = 0; i + 1 < buildId[1].str().size(); i += 2)
        id.push_back(static_cast<char>(std::stoi(buildId[1].str().substr(i, 2), nullptr, 16)));
    std::string name;  // as a MINIDUMP_STRING holds it: UTF-16
    for (const char c : kChild) name += {c, '\0'};
    const uint32_t modules = dump.Stream(kModuleList).first;
    int programListed = 0;
    for (uint32_t i = 0; i < dump.Read(modules); ++i) {
        const uint64_t module = modules + 4 + i * 108ULL;
        const uint32_t nameAt = dump.Read(module + 20);
        if (dump.Bytes(nameAt + 4, dump.Read(nameAt)) != name)
            continue;
        ++programListed;
        EXPECT_LE(dump.Read<uint64_t>(module), function);
        EXPECT_GT(dump.Read<uint64_t>(module) + dump.Read(module + 8), function);
        const uint32_t codeView = dump.Read(module + 80);
        EXPECT_EQ(dump.Read(codeView), 0x4270454cU);
        EXPECT_EQ(dump.Bytes(codeView + 4, dump.Read(module + 76) - 4), id);
    }
    EXPECT_EQ(programListed, 1);

    EXPECT_EQ(dump.Data(kLinuxCmdLine), kChild + '\0' + fault.Mode + '\0');
    EXPECT_NE(dump.Data(kLinuxMaps).find(kChild), std::string::npos);
    EXPECT_TRUE(dump.Data(kLinuxStatus).starts_with("Name:"));

    if (Output({"lldb", "--version"}).find("lldb") == std::string::npos)
        GTEST_SKIP() << "lldb is not installed";
    std::string output = Output({"lldb", "--batch", "--no-lldbinit", "--core", run.Dumps[0], kChild, "-o",
                                 "thread backtrace"});
    output.resize(std::min<size_t>(output.size(), 4000));  // enough for the top frames
    EXPECT_NE(output.find(std::string("stop reason = signal SIG") + sigabbrev_np(fault.Signal)), std::string::npos)
        << output;
    const size_t top = output.find("frame #0:");
    ASSERT_NE(top, std::string::npos) << output;
    const std::string topFrame = output.substr(top, output.find('\n', top) - top);
    EXPECT_NE((fault.FunctionOnTop ? topFrame : output.substr(top)).find(fault.Function), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CrashDumpFaultTest,
    testing::Values(
        FAULT_CASE{"null_write", SIGSEGV, SEGV_MAPERR, FaultAddress::NullRecordMember, "WriteThroughNullRecord", true,
                   false},
        FAULT_CASE{"abort", SIGABRT, SI_TKILL, FaultAddress::Null, "AbortOnWorker", false, false},
        FAULT_CASE{"divide", SIGFPE, FPE_INTDIV, FaultAddress::Instruction, "DivideByZero", true, false},
        FAULT_CASE{"overflow", SIGSEGV, SEGV_MAPERR, FaultAddress::NearStackPointer, "RecurseForever", true, true},
        // A thread's stack ends in a guard page; the main thread's in unmapped memory.
        FAULT_CASE{"relay_overflow", SIGSEGV, SEGV_ACCERR, FaultAddress::NearStackPointer, "RecurseForever", true,
                   false}),
    [](const testing::TestParamInfo<FAULT_CASE>& info) { return std::string(info.param.Mode); });

TEST_F(CrashDumpTest, UnwritableDirectoryGetsNoDumpAndTheProcessStillDies)
{
    ASSERT_EQ(chmod(m_directory.Path().c_str(), 0555), 0);
    EXPECT_EQ(RunChild(m_directory.Path(), "null_write", true).Status, 128 + SIGSEGV);
    EXPECT_TRUE(fs::is_empty(m_directory.Path()));
    ASSERT_EQ(chmod(m_directory.Path().c_str(), 0700), 0);
}

TEST_F(CrashDumpTest, TwoThreadsFaultingAtOnceLeaveOneDumpOfBoth)
{
    const CHILD_RUN run = RunChild(m_directory.Path(), "two_faults");
    EXPECT_EQ(run.Status, 128 + SIGSEGV);
    ASSERT_EQ(run.Dumps.size(), 1U);
    const CDumpView dump(run.Dumps[0]);
    const uint32_t context = dump.Read(dump.Stream(kException).first + kExceptionContext + 4);
    const uint64_t rip = dump.Read<uint64_t>(context + kContextRip);
    EXPECT_GE(rip, run.Printed.at("function"));
    EXPECT_LT(rip, run.Printed.at("function") + 256);
    EXPECT_EQ(dump.Read(dump.Stream(kThreadList).first), 3U);  // main and both workers
}

TEST_F(CrashDumpTest, DumpReplacesTheFileOfTheSameSecond)
{
    // Larger stale files under every name the crash can take: the dump's is the only one cut short.
    constexpr uintmax_t kStaleSize = 64 << 20;
    const time_t now = time(nullptr);
    for (time_t second = now - 1; second <= now + 60; ++second) {
        const std::string path = m_directory.File("PLUXCrash_" + std::to_string(second) + ".dmp");
        std::ofstream(path) << "stale";
        fs::resize_file(path, kStaleSize);
    }
    const CHILD_RUN run = RunChild(m_directory.Path(), "null_write");
    ASSERT_EQ(run.Status, 128 + SIGSEGV);
    EXPECT_EQ(std::count_if(run.Dumps.begin(), run.Dumps.end(),
                            [&](const std::string& path) { return fs::file_size(path) < kStaleSize; }),
              1);
}

}  // namespace
