// orma-relay: the relay without a window, for machines without a display
// and for end-to-end tests. A thin shell over the core libraries.

#include "config/BroadcastConfig.h"
#include "config/ConfigurationRules.h"
#include "crashdump/CrashDumpWriter.h"
#include "engine/BroadcastEngine.h"
#include "log/EventLog.h"
#include "tools/CommandLine.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kUsageError = 2;

constexpr const char* kUsage =
    "usage: orma-relay --host-ip ADDR --zenta-ip ADDR [--seconds N] ROW [ROW ...]\n"
    "  ROW: a stored configuration row, for example\n"
    "  1,QA,239.255.10.1,34001,UDP,MULTICAST,239.255.20.1,34002,UDP,MULTICAST,N,N,\n";

// Without a window the operator messages go to stderr; they are thread-safe,
// so a relay thread may deliver them itself.
class CHeadlessOwner final : public CEngineOwner {
public:
    void OnBroadcastState(int) override {}
    void ShowOperatorMessage(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    void PostToOwnerThread(std::function<void()> task) override { task(); }
};

struct Options {
    long long seconds = -1;  // run until a signal
    std::vector<KOV_BCAST_CONFIG> configurations;
};

// Fills `options` from the command line; on a problem says what it is in `problem`.
bool ReadOptions(CCommandLine& line, Options& options, std::string& problem)
{
    const std::string hostSideIp = line.RequiredText("host-ip");
    const std::string zentaSideIp = line.RequiredText("zenta-ip");
    options.seconds = line.Number("seconds", -1, 0, 1LL << 40);
    if (!line.Valid()) {
        problem = line.Error();
        return false;
    }
    if (!IsIpv4Address(hostSideIp) || !IsIpv4Address(zentaSideIp)) {
        problem = "--host-ip and --zenta-ip need the IPv4 addresses of the interfaces towards Host and ZENTA";
        return false;
    }
    std::set<int> configIds;
    for (const std::string& row : line.Operands()) {
        KOV_BCAST_CONFIG configuration;
        std::string reason;
        if (ParseConfigurationRow(row, configuration, reason)) {
            configuration.HostSideIp = hostSideIp;
            configuration.ZentaSideIp = zentaSideIp;
            if (const auto found = FindConfigurationProblem(configuration))
                reason = found->Message;
            else if (!configIds.insert(configuration.ConfigId).second)
                reason = FormatText("Config ID %d is used twice", configuration.ConfigId);
        }
        if (!reason.empty()) {
            problem = FormatText("row \"%s\" refused: %s", row.c_str(), reason.c_str());
            return false;
        }
        options.configurations.push_back(std::move(configuration));
    }
    if (options.configurations.empty()) {
        problem = "no configuration row given";
        return false;
    }
    return true;
}

void PrintCounters(const std::vector<std::unique_ptr<CKOVBCastEngine>>& engines)
{
    for (const auto& engine : engines)
        std::printf("Config ID %d  %-21s Pkts Recv: %u  Pkts Sent: %u  Dropped: %u\n",
                    engine->GetConfiguration().ConfigId, engine->GetStatus().c_str(), engine->GetReceivedCount(),
                    engine->GetSentCount(), engine->GetDroppedCount());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("orma-relay (ORMA UDP Broadcast Server) %s\n", ORMA_VERSION_TEXT);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(
            "Usage: orma-relay --host-ip ADDRESS --zenta-ip ADDRESS [--seconds N] ROW [ROW]...\n"
            "Relays UDP market-data broadcasts without a window. Each ROW is a\n"
            "configuration in its stored form; its broadcasts are received on the\n"
            "interface towards Host and re-sent from the interface towards ZENTA as\n"
            "512-byte datagrams, new-format market data converted into old 7208 depth\n"
            "broadcasts where the row's NMKT field is Y. Every row starts at once; one\n"
            "line a second per configuration gives its status and its packets received,\n"
            "sent and dropped by the kernel. The day's event log, PLUX_<ddMMMyyyy>.TXT,\n"
            "is written in the current folder. A row that cannot be used is refused\n"
            "before anything starts.\n"
            "\n"
            "Options:\n"
            "  --host-ip ADDRESS   IPv4 address of the local interface towards Host\n"
            "                      (required)\n"
            "  --zenta-ip ADDRESS  IPv4 address of the local interface towards ZENTA\n"
            "                      (required)\n"
            "  --seconds N         stop after N seconds (run until SIGINT or SIGTERM)\n"
            "  --help              print this help and exit\n"
            "  --version           print the version and exit\n"
            "\n"
            "Rows:\n"
            "  Twelve fields, each followed by a comma: Config ID, segment, Receiver IP,\n"
            "  Receiver Port, protocol (UDP), mode (MULTICAST), Sender IP, Sender Port,\n"
            "  protocol, mode, Archive (Y or N), NMKT (Y or N), for example\n"
            "\n"
            "  1,QA,239.255.10.1,34001,UDP,MULTICAST,239.255.20.1,34002,UDP,MULTICAST,N,N,\n"
            "\n"
            "Exit status:\n"
            "  0  stopped by a signal or after --seconds\n"
            "  1  a system call failed before the relays started\n"
            "  2  the command line is wrong\n",
            stdout);
        return 0;
    }
    // A fault on any thread leaves a minidump; without it the relay still runs.
    (void)InstallCrashDumpWriter();

    CCommandLine line(argc, argv, {}, /*takesOperands=*/true);
    Options options;
    std::string problem;
    if (!ReadOptions(line, options, problem)) {
        std::fprintf(stderr, "orma-relay: %s\n%s", problem.c_str(), kUsage);
        return kUsageError;
    }

    // Signals are taken by sigtimedwait below, so every thread blocks them.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    if (const int error = pthread_sigmask(SIG_BLOCK, &endSignals, nullptr)) {
        std::fprintf(stderr, "orma-relay: pthread_sigmask: %s\n", std::strerror(error));
        return 1;
    }

    g_pEventLog = CEventLog::GetInstance();
    LogEvent("\n%s ORMA UDP Broadcast Server has been Started", LocalTimeText().c_str());

    CHeadlessOwner owner;
    std::vector<std::unique_ptr<CKOVBCastEngine>> engines;
    for (const KOV_BCAST_CONFIG& configuration : options.configurations)
        engines.push_back(std::make_unique<CKOVBCastEngine>(configuration, &owner));
    for (const auto& engine : engines) engine->Start();

    const timespec oneSecond{1, 0};
    for (long long elapsed = 0; options.seconds < 0 || elapsed < options.seconds; ++elapsed) {
        const int signal = sigtimedwait(&endSignals, nullptr, &oneSecond);
        if (signal == SIGINT || signal == SIGTERM)
            break;
        if (signal < 0 && errno != EAGAIN && errno != EINTR) {
            std::fprintf(stderr, "orma-relay: sigtimedwait: %s\n", std::strerror(errno));
            break;
        }
        PrintCounters(engines);
    }

    LogEvent("%s ORMA UDP Broadcast Server has been Closed", LocalTimeText().c_str());
    for (const auto& engine : engines) engine->Stop();
    PrintCounters(engines);
    engines.clear();
    return 0;
}
