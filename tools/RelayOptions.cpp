#include "tools/RelayOptions.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "config/ConfigurationRules.h"
#include "config/CpuList.h"
#include "config/FieldList.h"
#include "engine/PcapLibrary.h"
#include "log/EventLog.h"
#include "tools/CommandLine.h"
#include "tools/MetricsServer.h"

const char* const kRelayHelp =
    "Usage: orma-relay --host-ip ADDRESS --zenta-ip ADDRESS [OPTION]... ROW...\n"
    "  or:  orma-relay --from-store [--store FOLDER] [--all] [OPTION]...\n"
    "Relays UDP market-data broadcasts without a window. Each configuration's\n"
    "broadcasts are received on the interface towards Host and re-sent from the\n"
    "interface towards ZENTA as 512-byte datagrams, new-format market data\n"
    "converted into old 7208 depth broadcasts where its NMKT field is Y.\n"
    "\n"
    "The configurations come from the command line (rows mode) or from the\n"
    "settings store the console writes (store mode). In store mode orma-relay\n"
    "holds the store's single-instance lock as long as it runs, so that it and\n"
    "the console never relay the same configurations at once; it never writes\n"
    "to the store.\n"
    "\n"
    "Once a second it prints one line per configuration: its status, Pkts Recv,\n"
    "Pkts Sent, Dropped (by the kernel: the receive buffer was full) and Failed\n"
    "(sends the system refused). The day's event log, PLUX_<ddMMMyyyy>.TXT, is\n"
    "written in the log folder.\n"
    "\n"
    "Rows mode:\n"
    "  --host-ip ADDRESS    IPv4 address of the local interface towards Host\n"
    "  --zenta-ip ADDRESS   IPv4 address of the local interface towards ZENTA\n"
    "  ROW                  a configuration in its stored form (see Rows)\n"
    "\n"
    "Store mode:\n"
    "  --from-store         run the configurations of the settings store's Auto\n"
    "                       Start list (those relaying when the console last\n"
    "                       closed)\n"
    "  --all                run every configuration of the store instead\n"
    "  --store FOLDER       the store's folder, laid out like\n"
    "                       ~/.config/orma-broadcast-server (default: the\n"
    "                       console's, $XDG_CONFIG_HOME/orma-broadcast-server)\n"
    "\n"
    "Options of both modes:\n"
    "  --log-dir FOLDER     where the event log goes (default: the working\n"
    "                       folder)\n"
    "  --wait-for-interfaces\n"
    "                       a relay whose Host-side or ZENTA-side address no\n"
    "                       interface holds yet waits for it instead of failing\n"
    "  --standby            one node of a relay pair: a relay whose ZENTA-side\n"
    "                       address no interface holds receives, counts and\n"
    "                       converts as usual and sends nothing (\"Standby\");\n"
    "                       it sends from the address as soon as an interface\n"
    "                       holds it (keepalived moving it here) and stands by\n"
    "                       again when it goes. In store mode also when the\n"
    "                       store says Standby=Y\n"
    "  --rejoin-seconds N   leave and join each group again every N seconds, for\n"
    "                       switches that snoop IGMP without a querier (default\n"
    "                       0: never)\n"
    "  --poll               every relay receives by polling instead of sleeping\n"
    "                       in the system: less latency for one CPU at 100 %\n"
    "                       per relay\n"
    "  --poll-cpus LIST     comma-separated CPU numbers, each once: the first\n"
    "                       relay polls on the first CPU, the second on the\n"
    "                       second, and so on; needs --poll and a CPU for every\n"
    "                       relay. A relay added by a reload takes the first\n"
    "                       CPU of the list that no relay holds, and does not\n"
    "                       start when there is none\n"
    "  --metrics [ADDRESS:]PORT\n"
    "                       serve the counters over HTTP at /metrics in the\n"
    "                       Prometheus text format, on 127.0.0.1 unless an IPv4\n"
    "                       address is given\n"
    "  --health-file FILE   keep FILE saying whether this node can relay, for\n"
    "                       keepalived's track_file of a relay pair: 1 while it\n"
    "                       can, 0 from the moment it cannot (a Host-side\n"
    "                       interface gone, down or without carrier, receives\n"
    "                       failing), when it stops, and when it dies, killed or\n"
    "                       not (a small keeper process writes it then)\n"
    "  --capture-dir FOLDER write what the relays whose Archive field is Y\n"
    "                       receive and send to pcap files in FOLDER, one set\n"
    "                       per market segment and direction\n"
    "                       (SEGMENT-received-...pcap, SEGMENT-sent-...pcap);\n"
    "                       the service's folder is /var/log/orma-relay/capture.\n"
    "                       Off without it\n"
    "  --capture-file-mb N  begin a new capture file after N MiB (default 64)\n"
    "  --capture-file-minutes N\n"
    "                       and after N minutes (default 60)\n"
    "  --capture-total-mb N delete the oldest capture files of the folder\n"
    "                       beyond N MiB in all (default 4096)\n"
    "  --seconds N          stop after N seconds (default: run until a signal)\n"
    "  --quiet              no per-second lines\n"
    "  --counters           per-second lines also under systemd (NOTIFY_SOCKET or\n"
    "                       INVOCATION_ID set), where they are off by default\n"
    "  --help               print this help and exit\n"
    "  --version            print the version and exit\n"
    "\n"
    "Rows:\n"
    "  Twelve fields, each followed by a comma: Config ID, segment, Receiver IP,\n"
    "  Receiver Port, protocol (UDP), mode (MULTICAST), Sender IP, Sender Port,\n"
    "  protocol (UDP), mode (MULTICAST), Archive (Y or N), NMKT (Y or N); a row\n"
    "  of eleven fields has NMKT N. For example\n"
    "\n"
    "    1,QA,239.255.10.1,34001,UDP,MULTICAST,239.255.20.1,34002,UDP,MULTICAST,N,N,\n"
    "\n"
    "  A row that is not written exactly so, breaks a rule of the console's\n"
    "  form, repeats a Config ID, or whose output would come back to its own\n"
    "  input (directly or through the other rows) is refused before anything\n"
    "  starts.\n"
    "\n"
    "Starting:\n"
    "  Every configuration starts at once. In rows mode a relay that cannot\n"
    "  start (once its interfaces are there, with --wait-for-interfaces) stops\n"
    "  the others in order and orma-relay ends with status 1. In store mode the\n"
    "  failure is logged and the others keep relaying, as in the console; a\n"
    "  stored row is read as strictly as a typed one, and a row refused, a\n"
    "  configuration that breaks a rule of the form, is named by the Auto Start\n"
    "  list but not stored, or would relay its own output back to itself is\n"
    "  logged and not started.\n"
    "\n"
    "Signals:\n"
    "  SIGINT, SIGTERM  stop in order: what the relays queued is sent, the event\n"
    "                   log says \"has been Closed\", the exit status is 0.\n"
    "  SIGPWR, SIGXCPU  stop in order, as SIGTERM.\n"
    "  SIGHUP           store mode: read the store again. Configurations added\n"
    "                   start, removed ones stop, changed ones (any field, the\n"
    "                   local addresses included) restart, ones that could not\n"
    "                   start are tried again, and unchanged ones keep relaying\n"
    "                   untouched; each change is one event log line. A row\n"
    "                   refused (read exactly, as rows mode reads) leaves its\n"
    "                   relay as it runs. When the store cannot be read whole\n"
    "                   (a damaged line, a row missing, no \"Record Count\"),\n"
    "                   the reload changes nothing and says why in one line.\n"
    "                   In rows mode: stop in order, as SIGTERM.\n"
    "  SIGPIPE          ignored: when standard output is closed, orma-relay stops\n"
    "                   printing and keeps relaying.\n"
    "  SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGXFSZ, SIGSTKFLT\n"
    "                   and the real-time signals: ignored.\n"
    "\n"
    "Exit status:\n"
    "  0  stopped by a signal or after --seconds\n"
    "  1  a relay could not start (rows mode), the store's lock could not be\n"
    "     taken, or a system call failed\n"
    "  2  the command line is wrong; nothing was started\n"
    "  3  the settings store is in use by another program (the console or\n"
    "     another orma-relay); nothing was started\n";

namespace {

// About 31 years: longer is "until a signal" anyway, and the clock's nanoseconds stay in range.
constexpr long long kMaxSeconds = 1000000000;

// The CPUs this process may run on; a polling relay can be pinned to no other.
bool ReadPollingCpus(CCommandLine& line, RelayOptions& options, std::string& problem)
{
    if (!line.Has("poll-cpus"))
        return true;
    if (!options.Relay.Polling) {
        problem = "--poll-cpus needs --poll";
        return false;
    }
    std::string why;
    if (!ParseCpuList(line.Text("poll-cpus"), options.PollingCpus, why)) {
        problem = "--poll-cpus: " + why;
        return false;
    }
    return true;
}

bool ReadCapture(CCommandLine& line, RelayOptions& options, std::string& problem)
{
    CAPTURE_SETTINGS& capture = options.Capture;
    capture.FileBytes = static_cast<uint64_t>(line.Number("capture-file-mb", 64, 1, 1 << 20)) << 20;
    capture.FileSeconds = static_cast<int>(line.Number("capture-file-minutes", 60, 1, 7 * 24 * 60)) * 60;
    capture.TotalBytes = static_cast<uint64_t>(line.Number("capture-total-mb", 4096, 1, 1 << 30)) << 20;
    if (!line.Has("capture-dir")) {
        if (line.Has("capture-file-mb") || line.Has("capture-file-minutes") || line.Has("capture-total-mb")) {
            problem = "--capture-file-mb, --capture-file-minutes and --capture-total-mb go with --capture-dir";
            return false;
        }
        return true;
    }
    std::error_code error;
    capture.Directory = std::filesystem::absolute(line.Text("capture-dir"), error).lexically_normal().string();
    if (error || !std::filesystem::is_directory(capture.Directory, error)) {
        problem = "--capture-dir " + line.Text("capture-dir") + " is not a folder";
        return false;
    }
    std::string why;
    if (!PcapLibrary(&why)) {
        problem = "--capture-dir: " + why;
        return false;
    }
    return true;
}

bool ReadRows(CCommandLine& line, RelayOptions& options, std::string& problem)
{
    if (line.Has("all") || line.Has("store")) {
        problem = "--all and --store go with --from-store";
        return false;
    }
    const std::string hostSideIp = line.RequiredText("host-ip");
    const std::string zentaSideIp = line.RequiredText("zenta-ip");
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
        if (ParseExactConfigurationRow(row, configuration, reason)) {
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
        options.Rows.push_back(std::move(configuration));
    }
    if (options.Rows.empty()) {
        problem = "no configuration row given";
        return false;
    }
    return CheckPollingCpuCount(options, options.Rows.size(), problem);
}

bool ReadStoreMode(CCommandLine& line, RelayOptions& options, std::string& problem)
{
    options.AllConfigurations = line.Has("all");
    const std::string store = line.Text("store");
    if (!line.Valid()) {
        problem = line.Error();
        return false;
    }
    if (!line.Operands().empty()) {
        problem = "--from-store takes its configurations from the store, not rows (\"" + line.Operands()[0] + "\")";
        return false;
    }
    if (line.Has("store")) {
        if (store.empty()) {
            problem = "--store needs a folder";
            return false;
        }
        // The store is opened from "/" down: a relative folder names one below the working folder.
        std::error_code error;
        options.StoreDirectory = std::filesystem::absolute(store, error).lexically_normal().string();
        if (error) {
            problem = "--store " + store + ": " + error.message();
            return false;
        }
        while (options.StoreDirectory.size() > 1 && options.StoreDirectory.back() == '/')
            options.StoreDirectory.pop_back();
    }
    return true;
}

}  // namespace

bool ReadRelayOptions(int argc, char** argv, RelayOptions& options, std::string& problem)
{
    CCommandLine line(argc, argv, {"from-store", "all", "wait-for-interfaces", "standby", "poll", "quiet", "counters"},
                      /*takesOperands=*/true);
    options.FromStore = line.Has("from-store");
    options.LogDirectory = line.Text("log-dir", ".");
    options.Seconds = line.Number("seconds", -1, 0, kMaxSeconds);
    options.Relay.WaitForInterfaces = line.Has("wait-for-interfaces");
    options.Relay.Standby = line.Has("standby");
    options.Relay.RejoinSeconds = static_cast<int>(line.Number("rejoin-seconds", 0, 0, 86400));
    options.Relay.Polling = line.Has("poll");
    const bool quiet = line.Has("quiet");
    const bool counters = line.Has("counters");
    options.MetricsAddress = line.Text("metrics");
    std::error_code ignoredError;
    sockaddr_in metrics{};
    if (line.Has("metrics") && !ParseMetricsAddress(options.MetricsAddress, metrics)) {
        problem = "--metrics needs PORT or IPV4-ADDRESS:PORT, not \"" + options.MetricsAddress + "\"";
        return false;
    }
    options.HealthFile = line.Text("health-file");
    if (line.Has("health-file") &&
        !std::filesystem::is_directory(std::filesystem::absolute(options.HealthFile, ignoredError).parent_path(),
                                       ignoredError)) {
        problem = "--health-file " + options.HealthFile + ": its folder does not exist";
        return false;
    }
    if (!ReadPollingCpus(line, options, problem))
        return false;
    if (!ReadCapture(line, options, problem))
        return false;
    // Under systemd the journal would take the lines, and it is no counter store.
    const bool underSystemd = std::getenv("NOTIFY_SOCKET") || std::getenv("INVOCATION_ID");
    options.PrintCounters = counters || (!quiet && !underSystemd);
    if (!(options.FromStore ? ReadStoreMode(line, options, problem) : ReadRows(line, options, problem)))
        return false;
    if (quiet && counters) {
        problem = "--quiet and --counters contradict each other";
        return false;
    }
    std::error_code error;
    if (!std::filesystem::is_directory(options.LogDirectory, error)) {
        problem = "--log-dir " + options.LogDirectory + " is not a folder";
        return false;
    }
    return true;
}

bool CheckPollingCpuCount(const RelayOptions& options, size_t relays, std::string& problem)
{
    if (options.PollingCpus.empty() || options.PollingCpus.size() >= relays)
        return true;
    problem = FormatText("--poll-cpus names %zu CPU%s for %zu polling relays: each needs a CPU of its own",
                         options.PollingCpus.size(), options.PollingCpus.size() == 1 ? "" : "s", relays);
    return false;
}
