// orma-relay: the relay without a window, for machines without a display
// and for end-to-end tests. A thin shell over the core library.
//
//   orma-relay --host-ip ADDR --zenta-ip ADDR [--seconds N] ROW [ROW ...]
//
// Each ROW is a stored configuration row, for example
//   1,QA,239.255.10.1,34001,UDP,MULTICAST,239.255.20.1,34002,UDP,MULTICAST,N,N,

#include <arpa/inet.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "config/BroadcastConfig.h"
#include "console/crashdump/CrashDumpWriter.h"
#include "engine/BroadcastEngine.h"
#include "log/EventLog.h"

namespace
{

constexpr int kUsageError = 2;

// Without a window the operator messages go to stderr; they are thread-safe,
// so a relay thread may deliver them itself.
class CHeadlessOwner final : public CEngineOwner
{
public:
    void OnBroadcastState(int) override {}
    void ShowOperatorMessage(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    void PostToOwnerThread(std::function<void()> task) override { task(); }
};

struct Options {
    std::string hostSideIp;
    std::string zentaSideIp;
    long seconds = -1;  // run until a signal
    std::vector<StoredConfiguration> configurations;
};

// Prints the problem and the usage; false, for the argument parser.
bool Refuse(const std::string& problem)
{
    std::fprintf(stderr,
                 "orma-relay: %s\n"
                 "usage: orma-relay --host-ip ADDR --zenta-ip ADDR [--seconds N] ROW [ROW ...]\n"
                 "  ROW: a stored configuration row, for example\n"
                 "  1,QA,239.255.10.1,34001,UDP,MULTICAST,239.255.20.1,34002,UDP,MULTICAST,N,N,\n",
                 problem.c_str());
    return false;
}

bool IsDottedAddress(const std::string& text)
{
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

// Fills `options`; on a problem prints it and returns false.
bool ParseArguments(int argc, char** argv, Options& options)
{
    std::set<int> configIds;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--host-ip" && hasValue) {
            options.hostSideIp = argv[++i];
        } else if (argument == "--zenta-ip" && hasValue) {
            options.zentaSideIp = argv[++i];
        } else if (argument == "--seconds" && hasValue) {
            char* end = nullptr;
            options.seconds = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || options.seconds < 0)
                return Refuse(FormatText("--seconds needs a whole number of seconds, not \"%s\"", argv[i]));
        } else if (argument.rfind("--", 0) == 0) {
            return Refuse(FormatText("unknown option \"%s\"", argument.c_str()));
        } else {
            StoredConfiguration configuration;
            std::string reason;
            if (!ParseConfigurationRow(argument, configuration, reason))
                return Refuse(FormatText("row \"%s\" refused: %s", argument.c_str(), reason.c_str()));
            for (const std::string* address : {&configuration.ReceiveIp, &configuration.SendIp})
                if (!IsDottedAddress(*address))
                    return Refuse(FormatText("row \"%s\" refused: \"%s\" is not an IPv4 address", argument.c_str(),
                                             address->c_str()));
            for (const int port : {configuration.ReceivePort, configuration.SendPort})
                if (port < 1 || port > 65535)
                    return Refuse(
                        FormatText("row \"%s\" refused: port %d is not between 1 and 65535", argument.c_str(), port));
            if (!configIds.insert(configuration.ConfigId).second)
                return Refuse(FormatText("row \"%s\" refused: Config ID %d is used twice", argument.c_str(),
                                         configuration.ConfigId));
            options.configurations.push_back(std::move(configuration));
        }
    }
    if (!IsDottedAddress(options.hostSideIp))
        return Refuse("--host-ip needs the IPv4 address of the interface towards Host");
    if (!IsDottedAddress(options.zentaSideIp))
        return Refuse("--zenta-ip needs the IPv4 address of the interface towards ZENTA");
    if (options.configurations.empty())
        return Refuse("no configuration row given");
    return true;
}

void PrintCounters(const std::vector<std::unique_ptr<CKOVBCastEngine>>& engines)
{
    for (const auto& engine : engines)
        std::printf("Config ID %d  %-21s Pkts Recv: %u  Pkts Sent: %u  Dropped: %u\n", engine->ConfigId,
                    engine->GetStatus().c_str(), engine->GetReceivedCount(), engine->GetSentCount(),
                    engine->GetDroppedCount());
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

    Options options;
    if (!ParseArguments(argc, argv, options))
        return kUsageError;

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
    for (const StoredConfiguration& configuration : options.configurations)
        engines.push_back(CreateEngine(configuration, options.hostSideIp, options.zentaSideIp, &owner));
    for (const auto& engine : engines) engine->Start();

    const timespec oneSecond{1, 0};
    for (long elapsed = 0; options.seconds < 0 || elapsed < options.seconds; ++elapsed) {
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
