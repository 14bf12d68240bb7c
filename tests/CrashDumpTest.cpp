// Runs orma_crash_child, which dies in a known way, and reads the minidump it
// leaves with the format's documented offsets (not the writer's records).
#include <gtest/gtest.h>

#include <chrono>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kChild = fs::canonical(ORMA_CRASH_CHILD).string();

constexpr uint32_t kThreadList = 3, kModuleList = 4, kMemoryList = 5, kException = 6, kSystemInfo = 7;
constexpr uint32_t kLinuxStatus = 0x47670004, kLinuxCmdLine = 0x47670006, kLinuxMaps = 0x47670009;
// Offsets into the exception stream and into an amd64 thread context.
constexpr uint32_t kExceptionCode = 8, kExceptionFlags = 12, kExceptionAddress = 24, kExceptionContext = 160;
constexpr uint32_t kContextRsp = 0x98, kContextRip = 0xf8;

struct CHILD_RUN {
    int Signal = 0;  // that ended the child; -(exit status) when it exited
    std::map<std::string, uint64_t> Printed;  // the child's "name value" lines
};

// Runs the child in `directory` with no core file; as user nobody when asked.
CHILD_RUN RunChild(const std::string& directory, const std::string& mode, bool asNobody = false)
{
    int output[2];
    if (pipe(output) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(output[1], STDOUT_FILENO);
        const rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        if (chdir(directory.c_str()) != 0)
            _exit(120);
        if (asNobody && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(121);
        execl(kChild.c_str(), kChild.c_str(), mode.c_str(), nullptr);
        _exit(122);
    }
    close(output[1]);
    std::string text;
    char buffer[512];
    ssize_t count;
    while ((count = read(output[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(count));
    close(output[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    CHILD_RUN run;
    run.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status);
    std::istringstream lines(text);
    std::string name, value;
    while (lines >> name >> value)
        run.Printed[name] = std::strtoull(value.c_str(), nullptr, 16);
    return run;
}

std::vector<std::string> DumpFiles(const std::string& directory)
{
    static const std::regex pattern(R"(PLUXCrash_-?\d+\.dmp)");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        if (std::regex_match(entry.path().filename().string(), pattern))
            names.push_back(entry.path().filename().string());
    }
    return names;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string CommandOutput(const std::string& command)
{
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t count;
        while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            text.append(buffer, count);
        pclose(pipe);
    }
    return text;
}

// The GNU build id as binutils reads it from the file, for an independent check.
std::string BuildIdOf(const std::string& path)
{
    const std::string text = CommandOutput("readelf -n '" + path + "' 2>/dev/null");
    std::smatch match;
    std::string id;
    if (std::regex_search(text, match, std::regex(R"(Build ID: ([0-9a-f]+))"))) {
        const std::string hex = match[1];
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            id.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return id;
}

bool FindInPath(const char* program)
{
    std::istringstream path(getenv("PATH") ? getenv("PATH") : "");
    std::string directory;
    while (std::getline(path, directory, ':')) {
        if (access((directory + "/" + program).c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

// A minidump read by byte offsets; a read outside the file fails the test.
class CDumpView {
public:
    explicit CDumpView(std::string bytes) : m_bytes(std::move(bytes)) {}

    [[nodiscard]] size_t Size() const { return m_bytes.size(); }
    [[nodiscard]] uint32_t U32(uint64_t at) const { return Read<uint32_t>(at); }
    [[nodiscard]] uint64_t U64(uint64_t at) const { return Read<uint64_t>(at); }
    [[nodiscard]] std::string Bytes(uint64_t at, uint64_t size) const
    {
        if (!InFile(at, size))
            return {};
        return m_bytes.substr(at, size);
    }
    [[nodiscard]] bool InFile(uint64_t at, uint64_t size) const
    {
        EXPECT_LE(at + size, m_bytes.size()) << "a read past the end of the dump";
        return at + size <= m_bytes.size();
    }
    // The stream's {rva, size}.
    [[nodiscard]] std::optional<std::pair<uint32_t, uint32_t>> Stream(uint32_t type) const
    {
        const uint32_t count = U32(8), directory = U32(12);
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t entry = directory + i * 12ULL;
            if (U32(entry) == type)
                return std::make_pair(U32(entry + 8), U32(entry + 4));
        }
        return std::nullopt;
    }
    // A MINIDUMP_STRING with ASCII text.
    [[nodiscard]] std::string String(uint32_t rva) const
    {
        std::string text;
        const std::string units = Bytes(rva + 4, U32(rva));
        for (size_t i = 0; i < units.size(); i += 2)
            text.push_back(units[i]);
        return text;
    }

private:
    template <class T>
    T Read(uint64_t at) const
    {
        T value{};
        if (InFile(at, sizeof value))
            std::memcpy(&value, m_bytes.data() + at, sizeof value);
        return value;
    }

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

// Each test runs the child in a fresh directory.
class CrashDumpTest : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/orma-crash-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_directory = pattern;
    }
    void TearDown() override
    {
        chmod(m_directory.c_str(), 0700);
        fs::remove_all(m_directory);
    }

    std::string m_directory;
};

class CrashDumpFaultTest : public CrashDumpTest, public testing::WithParamInterface<FAULT_CASE> {
protected:
    void SetUp() override
    {
        CrashDumpTest::SetUp();
        // The fine clock, as the writer reads it: time() runs up to a tick behind.
        m_before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
        m_run = RunChild(m_directory, GetParam().Mode);
        m_after = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    }

    // The one dump the child left, checked for its name.
    std::optional<CDumpView> TheDump()
    {
        EXPECT_EQ(m_run.Signal, GetParam().Signal);
        const std::vector<std::string> names = DumpFiles(m_directory);
        EXPECT_EQ(names.size(), 1U);
        if (names.size() != 1)
            return std::nullopt;
        const long seconds = std::stol(names[0].substr(std::strlen("PLUXCrash_")));
        EXPECT_GE(seconds, m_before);
        EXPECT_LE(seconds, m_after);
        m_dumpPath = m_directory + "/" + names[0];
        return CDumpView(ReadFile(m_dumpPath));
    }

    std::string m_dumpPath;
    time_t m_before = 0;
    time_t m_after = 0;
    CHILD_RUN m_run;
};

TEST_P(CrashDumpFaultTest, DumpRecordsTheFaultingThread)
{
    const FAULT_CASE& fault = GetParam();
    const std::optional<CDumpView> found = TheDump();
    ASSERT_TRUE(found);
    const CDumpView& dump = *found;

    ASSERT_GE(dump.Size(), 32U);
    EXPECT_EQ(dump.U32(0), 0x504d444dU);  // "MDMP"
    EXPECT_EQ(dump.U32(4) & 0xffff, 0xa793U);
    for (const uint32_t type : {kThreadList, kModuleList, kMemoryList, kException, kSystemInfo, kLinuxStatus,
                                kLinuxCmdLine, kLinuxMaps}) {
        const auto stream = dump.Stream(type);
        ASSERT_TRUE(stream) << "stream " << std::hex << type;
        EXPECT_TRUE(dump.InFile(stream->first, stream->second));
    }

    const uint32_t system = dump.Stream(kSystemInfo)->first;
    EXPECT_EQ(dump.U32(system) & 0xffff, 9U);  // amd64
    EXPECT_EQ(dump.U32(system + 20), 0x8201U);  // Linux

    // The exception: signal, si_code, address, and the thread's registers.
    const uint32_t exception = dump.Stream(kException)->first;
    const uint32_t faultingTid = dump.U32(exception);
    EXPECT_EQ(dump.U32(exception + kExceptionCode), static_cast<uint32_t>(fault.Signal));
    EXPECT_EQ(static_cast<int32_t>(dump.U32(exception + kExceptionFlags)), fault.Code);
    const uint64_t address = dump.U64(exception + kExceptionAddress);
    ASSERT_EQ(dump.U32(exception + kExceptionContext), 0x4d0U);
    const uint32_t context = dump.U32(exception + kExceptionContext + 4);
    const uint64_t rip = dump.U64(context + kContextRip);
    const uint64_t rsp = dump.U64(context + kContextRsp);
    const uint64_t function = m_run.Printed["function"];
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
    const uint32_t threads = dump.Stream(kThreadList)->first;
    const uint32_t threadCount = dump.U32(threads);
    EXPECT_EQ(threadCount, fault.OnMainThread ? 1U : 2U);
    std::vector<std::pair<uint64_t, uint64_t>> stacks;
    bool faultingThreadListed = false;
    for (uint32_t i = 0; i < threadCount; ++i) {
        const uint64_t thread = threads + 4 + i * 48ULL;
        const uint64_t stackStart = dump.U64(thread + 24);
        const uint64_t stackEnd = stackStart + dump.U32(thread + 32);
        const uint32_t threadContext = dump.U32(thread + 44);
        const uint64_t threadRsp = dump.U64(threadContext + kContextRsp);
        stacks.emplace_back(stackStart, stackEnd);
        if (dump.U32(thread) != faultingTid) {
            EXPECT_GE(threadRsp + 128, stackStart);
            EXPECT_LT(threadRsp, stackEnd);
            continue;
        }
        faultingThreadListed = true;
        EXPECT_EQ(dump.U64(threadContext + kContextRip), rip);
        EXPECT_GE(stackStart, m_run.Printed["stack_low"]);
        EXPECT_LE(stackEnd, m_run.Printed["stack_high"]);
        EXPECT_GT(stackEnd - stackStart, 256U);
        if (!fault.OnMainThread) {
            EXPECT_LE(stackStart, rsp);
            EXPECT_LT(rsp, stackEnd);
        }
    }
    EXPECT_TRUE(faultingThreadListed);

    // Every stack is in the memory list, where debuggers read memory.
    const uint32_t memory = dump.Stream(kMemoryList)->first;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (uint32_t i = 0; i < dump.U32(memory); ++i) {
        const uint64_t range = memory + 4 + i * 16ULL;
        ranges.emplace_back(dump.U64(range), dump.U64(range) + dump.U32(range + 8));
        EXPECT_TRUE(dump.InFile(dump.U32(range + 12), dump.U32(range + 8)));
    }
    EXPECT_EQ(ranges, stacks);

    // The program itself among the modules, identified by its build id.
    const uint32_t modules = dump.Stream(kModuleList)->first;
    bool programListed = false;
    for (uint32_t i = 0; i < dump.U32(modules); ++i) {
        const uint64_t module = modules + 4 + i * 108ULL;
        if (dump.String(dump.U32(module + 20)) != kChild)
            continue;
        programListed = true;
        EXPECT_LE(dump.U64(module), function);
        EXPECT_GT(dump.U64(module) + dump.U32(module + 8), function);
        const uint32_t codeView = dump.U32(module + 80);
        EXPECT_EQ(dump.U32(codeView), 0x4270454cU);
        EXPECT_EQ(dump.Bytes(codeView + 4, dump.U32(module + 76) - 4), BuildIdOf(kChild));
    }
    EXPECT_TRUE(programListed);

    const auto commandLine = dump.Stream(kLinuxCmdLine);
    EXPECT_EQ(dump.Bytes(commandLine->first, commandLine->second), kChild + '\0' + fault.Mode + '\0');
    const auto maps = dump.Stream(kLinuxMaps);
    EXPECT_NE(dump.Bytes(maps->first, maps->second).find(kChild), std::string::npos);
    const auto status = dump.Stream(kLinuxStatus);
    EXPECT_EQ(dump.Bytes(status->first, status->second).rfind("Name:", 0), 0U);
}

TEST_P(CrashDumpFaultTest, DebuggerShowsTheFaultingFunction)
{
    if (!FindInPath("lldb"))
        GTEST_SKIP() << "lldb is not installed";
    const FAULT_CASE& fault = GetParam();
    ASSERT_TRUE(TheDump());
    const std::string command = "lldb --batch --no-lldbinit --core '" + m_dumpPath + "' '" + kChild +
                                "' -o 'thread backtrace' 2>&1";
    std::string output = CommandOutput(command);
    output.resize(std::min<size_t>(output.size(), 4000));  // enough for the top frames
    EXPECT_NE(output.find(std::string("stop reason = signal SIG") + sigabbrev_np(fault.Signal)), std::string::npos)
        << output;
    const size_t top = output.find("frame #0:");
    ASSERT_NE(top, std::string::npos) << output;
    const std::string topFrame = output.substr(top, output.find('\n', top) - top);
    if (fault.FunctionOnTop)
        EXPECT_NE(topFrame.find(fault.Function), std::string::npos) << output;
    else
        EXPECT_NE(output.find(fault.Function, top), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CrashDumpFaultTest,
    testing::Values(
        FAULT_CASE{"null-write", SIGSEGV, SEGV_MAPERR, FaultAddress::NullRecordMember, "WriteThroughNullRecord", true,
                   false},
        FAULT_CASE{"abort", SIGABRT, SI_TKILL, FaultAddress::Null, "AbortOnWorker", false, false},
        FAULT_CASE{"divide", SIGFPE, FPE_INTDIV, FaultAddress::Instruction, "DivideByZero", true, false},
        FAULT_CASE{"overflow", SIGSEGV, SEGV_MAPERR, FaultAddress::NearStackPointer, "RecurseForever", true, true}),
    [](const testing::TestParamInfo<FAULT_CASE>& info) {
        std::string name = info.param.Mode;
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    });

TEST_F(CrashDumpTest, UnwritableDirectoryGetsNoDumpAndTheProcessStillDies)
{
    ASSERT_EQ(chmod(m_directory.c_str(), 0555), 0);
    const CHILD_RUN run = RunChild(m_directory, "null-write", true);
    EXPECT_EQ(run.Signal, SIGSEGV);
    EXPECT_TRUE(fs::is_empty(m_directory));
}

TEST_F(CrashDumpTest, TwoThreadsFaultingAtOnceLeaveOneDumpOfBoth)
{
    const CHILD_RUN run = RunChild(m_directory, "two-faults");
    EXPECT_EQ(run.Signal, SIGSEGV);
    const std::vector<std::string> names = DumpFiles(m_directory);
    ASSERT_EQ(names.size(), 1U);
    const CDumpView dump(ReadFile(m_directory + "/" + names[0]));
    const auto exception = dump.Stream(kException);
    const auto threads = dump.Stream(kThreadList);
    ASSERT_TRUE(exception && threads);
    const uint64_t rip = dump.U64(dump.U32(exception->first + kExceptionContext + 4) + kContextRip);
    EXPECT_GE(rip, run.Printed.at("function"));
    EXPECT_LT(rip, run.Printed.at("function") + 256);
    EXPECT_EQ(dump.U32(threads->first), 3U);  // main and both workers
}

TEST_F(CrashDumpTest, NoSignalInformationGetsNoDump)
{
    const CHILD_RUN run = RunChild(m_directory, "no-info");
    EXPECT_EQ(run.Signal, SIGSEGV);
    EXPECT_TRUE(fs::is_empty(m_directory));
}

TEST_F(CrashDumpTest, DumpReplacesTheFileOfTheSameSecond)
{
    // Larger stale files under every name the crash can take.
    constexpr off_t kStaleSize = 64 << 20;
    const time_t now = time(nullptr);
    for (time_t second = now - 1; second <= now + 60; ++second) {
        const std::string path = m_directory + "/PLUXCrash_" + std::to_string(second) + ".dmp";
        std::ofstream(path) << "stale";
        ASSERT_EQ(truncate(path.c_str(), kStaleSize), 0);
    }
    const CHILD_RUN run = RunChild(m_directory, "null-write");
    ASSERT_EQ(run.Signal, SIGSEGV);
    int replaced = 0;
    for (const std::string& name : DumpFiles(m_directory)) {
        const std::string path = m_directory + "/" + name;
        char signature[4] = {};
        std::ifstream(path, std::ios::binary).read(signature, sizeof signature);
        if (std::memcmp(signature, "MDMP", 4) != 0)
            continue;
        ++replaced;
        EXPECT_LT(fs::file_size(path), static_cast<uintmax_t>(kStaleSize)) << "not truncated";
    }
    EXPECT_EQ(replaced, 1);
}

}  // namespace
