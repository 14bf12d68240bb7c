// Runs orma_crash_child, which dies in a known way, and reads the minidump it
// leaves: the fault's own fields with the format's documented offsets (not
// the writer's records), the rest as a debugger does, through lldb.
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
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

// Runs the child in `directory` (as user nobody when asked); its status
// (128 + the signal that ended it) and the dumps it left.
std::pair<int, std::vector<std::string>> RunChild(const std::string& directory, const std::string& mode,
                                                  bool asNobody = false)
{
    std::vector<std::string> argv{kChild, mode};
    if (asNobody && geteuid() == 0)
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    ChildProcess child(argv, directory);
    const int status = child.Wait(60s);
    std::vector<std::string> dumps;
    for (const auto& entry : fs::directory_iterator(directory))
        if (std::regex_match(entry.path().filename().string(), std::regex(R"(PLUXCrash_-?\d+(_\d+)?\.dmp)")))
            dumps.push_back(entry.path());
    return {status, dumps};
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
    // The bytes of a stream, or (type 0) of the range given.
    [[nodiscard]] std::string Data(uint32_t type, uint64_t at = 0, uint64_t size = 0) const
    {
        if (type != 0)
            std::tie(at, size) = Stream(type);
        return InFile(at, size) ? m_bytes.substr(at, size) : "";
    }
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
    uint32_t Threads;
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
// which a debugger opens at the faulting function with every thread.
TEST_P(CrashDumpFaultTest, DumpRecordsTheFaultingThread)
{
    const FAULT_CASE& fault = GetParam();
    // The fine clock, as the writer reads it: time() runs up to a tick behind.
    const auto now = [] { return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()); };
    const time_t before = now();
    const auto [status, dumps] = RunChild(m_directory.Path(), fault.Mode);
    const time_t after = now();
    ASSERT_EQ(status, 128 + fault.Signal);
    ASSERT_EQ(dumps.size(), 1U);
    const long seconds = std::stol(fs::path(dumps[0]).filename().string().substr(std::strlen("PLUXCrash_")));
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);

    const CDumpView dump(dumps[0]);
    EXPECT_EQ(dump.Read(0), 0x504d444dU);  // "MDMP"
    const uint32_t system = dump.Stream(kSystemInfo).first;
    EXPECT_EQ(dump.Read(system) & 0xffff, 9U);   // amd64
    EXPECT_EQ(dump.Read(system + 20), 0x8201U);  // Linux
    EXPECT_EQ(dump.Data(kLinuxCmdLine), kChild + '\0' + fault.Mode + '\0');
    EXPECT_NE(dump.Data(kLinuxMaps).find(kChild), std::string::npos);
    EXPECT_TRUE(dump.Data(kLinuxStatus).starts_with("Name:"));

    // The exception: signal, si_code, address, and the thread's registers.
    const uint32_t exception = dump.Stream(kException).first;
    EXPECT_EQ(dump.Read(exception + kExceptionCode), static_cast<uint32_t>(fault.Signal));
    EXPECT_EQ(static_cast<int32_t>(dump.Read(exception + kExceptionFlags)), fault.Code);
    const uint64_t address = dump.Read<uint64_t>(exception + kExceptionAddress);
    ASSERT_EQ(dump.Read(exception + kExceptionContext), 0x4d0U);
    const uint32_t context = dump.Read(exception + kExceptionContext + 4);
    const uint64_t rip = dump.Read<uint64_t>(context + kContextRip);
    const uint64_t rsp = dump.Read<uint64_t>(context + kContextRsp);
    switch (fault.Address) {
    case FaultAddress::Null:
        EXPECT_EQ(address, 0U);
        break;
    case FaultAddress::NullRecordMember:
        EXPECT_EQ(address, 0x18U);
        break;
    case FaultAddress::Instruction:
        EXPECT_EQ(address, rip);
        break;
    case FaultAddress::NearStackPointer:
        EXPECT_LT(address - rsp + 4096, 8192U);
        break;
    }

    // Every thread's stack, as its record says, is in the memory list, where debuggers read memory.
    const uint32_t threads = dump.Stream(kThreadList).first;
    const uint32_t memory = dump.Stream(kMemoryList).first;
    ASSERT_EQ(dump.Read(threads), fault.Threads);
    ASSERT_EQ(dump.Read(memory), fault.Threads);
    for (uint32_t i = 0; i < fault.Threads; ++i) {
        const uint64_t thread = threads + 4 + i * 48ULL, range = memory + 4 + i * 16ULL;
        EXPECT_EQ(dump.Read<uint64_t>(thread + 24), dump.Read<uint64_t>(range)) << "stack start";
        EXPECT_EQ(dump.Read(thread + 32), dump.Read(range + 8)) << "stack size";
        EXPECT_GT(dump.Read(range + 8), 256U);
        EXPECT_TRUE(dump.InFile(dump.Read(range + 12), dump.Read(range + 8)));
    }

    // The program among the modules, spanning its mappings, identified by its build id as binutils reads it.
    uint64_t low = UINT64_MAX, high = 0;
    std::istringstream maps(dump.Data(kLinuxMaps));
    for (std::string line; std::getline(maps, line);) {
        if (line.ends_with(" " + kChild)) {
            low = std::min<uint64_t>(low, std::stoull(line, nullptr, 16));
            high = std::max<uint64_t>(high, std::stoull(line.substr(line.find('-') + 1), nullptr, 16));
        }
    }
    std::smatch buildId;
    const std::string notes = Output({"readelf", "-n", kChild});
    ASSERT_TRUE(std::regex_search(notes, buildId, std::regex(R"(Build ID: ([0-9a-f]+))")));
    std::string id, name;  // the name as a MINIDUMP_STRING holds it: UTF-16
    for (size_t i = 0; i + 1 < buildId[1].str().size(); i += 2)
        id.push_back(static_cast<char>(std::stoi(buildId[1].str().substr(i, 2), nullptr, 16)));
    for (const char c : kChild) name += {c, '\0'};
    const uint32_t modules = dump.Stream(kModuleList).first;
    int programListed = 0;
    for (uint32_t i = 0; i < dump.Read(modules); ++i) {
        const uint64_t module = modules + 4 + i * 108ULL;
        const uint32_t nameAt = dump.Read(module + 20), codeView = dump.Read(module + 80);
        if (dump.Data(0, nameAt + 4, dump.Read(nameAt)) != name)
            continue;
        ++programListed;
        EXPECT_EQ(dump.Read<uint64_t>(module), low);
        EXPECT_EQ(dump.Read<uint64_t>(module) + dump.Read(module + 8), high);
        EXPECT_EQ(dump.Read(codeView), 0x4270454cU);
        EXPECT_EQ(dump.Data(0, codeView + 4, dump.Read(module + 76) - 4), id);
    }
    EXPECT_EQ(programListed, 1);

    if (Output({"lldb", "--version"}).find("lldb") == std::string::npos)
        GTEST_SKIP() << "lldb is not installed";
    const std::string output = Output({"lldb", "--batch", "--no-lldbinit", "--core", dumps[0], kChild, "-o",
                                       "thread list", "-o", "thread backtrace all -c 12"});
    EXPECT_NE(output.find(std::string("stop reason = signal SIG") + sigabbrev_np(fault.Signal)), std::string::npos)
        << output;
    const size_t top = output.find("* frame #0:");
    ASSERT_NE(top, std::string::npos) << output;
    const std::string topFrame = output.substr(top, output.find('\n', top) - top);
    EXPECT_NE((fault.FunctionOnTop ? topFrame : output.substr(top)).find(fault.Function), std::string::npos) << output;
    // The other threads unwind through their stacks: the main thread waits in main.
    if (fault.Threads > 1) {
        EXPECT_NE(output.find("orma_crash_child`main"), std::string::npos) << output;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CrashDumpFaultTest,
    testing::Values(
        FAULT_CASE{"null_write", SIGSEGV, SEGV_MAPERR, FaultAddress::NullRecordMember, "WriteThroughNullRecord", true,
                   2},
        FAULT_CASE{"abort", SIGABRT, SI_TKILL, FaultAddress::Null, "AbortOnWorker", false, 2},
        FAULT_CASE{"divide", SIGFPE, FPE_INTDIV, FaultAddress::Instruction, "DivideByZero", true, 2},
        FAULT_CASE{"overflow", SIGSEGV, SEGV_MAPERR, FaultAddress::NearStackPointer, "RecurseForever", true, 1},
        // A thread's stack ends in a guard page; the main thread's in unmapped memory.
        FAULT_CASE{"relay_overflow", SIGSEGV, SEGV_ACCERR, FaultAddress::NearStackPointer, "RecurseForever", true, 2},
        // Two threads at once: one dump, of the first, with both and main.
        FAULT_CASE{"two_faults", SIGSEGV, SEGV_MAPERR, FaultAddress::NullRecordMember, "WriteThroughNullRecord", true,
                   3}),
    [](const testing::TestParamInfo<FAULT_CASE>& info) { return std::string(info.param.Mode); });

TEST_F(CrashDumpTest, UnwritableDirectoryGetsNoDumpAndTheProcessStillDies)
{
    ASSERT_EQ(chmod(m_directory.Path().c_str(), 0555), 0);
    EXPECT_EQ(RunChild(m_directory.Path(), "null_write", true).first, 128 + SIGSEGV);
    EXPECT_TRUE(fs::is_empty(m_directory.Path()));
    ASSERT_EQ(chmod(m_directory.Path().c_str(), 0700), 0);
}

// Run as root in a folder that others can write, where the names the next
// crashes will take were planted (another user's files, mode 0666, and links
// to a missing path and to root's own file): the dump takes the first free
// name, made new with mode 0600, and leaves every plant as it was.
TEST_F(CrashDumpTest, PlantedDumpNamesAreNeitherReusedNorFollowed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "planting another user's files takes root";
    ASSERT_EQ(chmod(m_directory.Path().c_str(), 01777), 0);
    const std::string victim = m_directory.File("victim"), missing = m_directory.File("made-by-the-dump");
    std::ofstream(victim) << "root's own";
    const time_t now = time(nullptr);
    for (time_t second = now - 1; second <= now + 60; ++second) {
        const std::string name = m_directory.File("PLUXCrash_" + std::to_string(second));
        std::ofstream(name + ".dmp") << "stale";
        ASSERT_EQ(chmod((name + ".dmp").c_str(), 0666), 0);
        ASSERT_EQ(chown((name + ".dmp").c_str(), 65534, 65534), 0);
        ASSERT_EQ(symlink(missing.c_str(), (name + "_1.dmp").c_str()), 0);
        ASSERT_EQ(symlink(victim.c_str(), (name + "_2.dmp").c_str()), 0);
    }
    const auto [status, dumps] = RunChild(m_directory.Path(), "null_write");
    ASSERT_EQ(status, 128 + SIGSEGV);
    std::vector<std::string> made;
    for (const std::string& dump : dumps) {
        struct stat file {};
        ASSERT_EQ(lstat(dump.c_str(), &file), 0);
        if (S_ISREG(file.st_mode) && file.st_uid == 0) {
            made.push_back(dump);
        } else if (S_ISREG(file.st_mode)) {
            EXPECT_TRUE(ReadFile(dump) == "stale") << dump << " was written";
        }
    }
    ASSERT_EQ(made.size(), 1U);
    EXPECT_TRUE(made[0].ends_with("_3.dmp")) << made[0];
    struct stat file {};
    ASSERT_EQ(stat(made[0].c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 07777, 0600U);
    EXPECT_EQ(CDumpView(made[0]).Read(0), 0x504d444dU);  // "MDMP"
    EXPECT_EQ(ReadFile(victim), "root's own");
    EXPECT_FALSE(fs::exists(missing));
}

}  // namespace
