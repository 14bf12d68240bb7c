// orma-monitor: joins a group on a local interface and prints the
// old-format datagrams it receives, with a running count and rate, until
// --count datagrams came, --seconds passed, or it is interrupted.

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "net/Udp.h"
#include "tools/CommandLine.h"
#include "tools/OldDatagramText.h"

namespace {

constexpr const char* kUsage =
    "Usage: orma-monitor --group ADDRESS --port PORT --interface ADDRESS [OPTION]...\n"
    "Joins a multicast group on a local interface and prints every old-format\n"
    "datagram it receives (stream code, transaction code, and each record's token,\n"
    "prices, net change and depth levels) with a running count and rate, until\n"
    "--count datagrams came, --seconds passed, or SIGINT or SIGTERM: the ZENTA side\n"
    "of an end-to-end check of a relay. A last line gives the total and the rate.\n"
    "\n"
    "Options:\n"
    "  --group ADDRESS      multicast group to join (required)\n"
    "  --port PORT          UDP port to receive on, 1 to 65535 (required)\n"
    "  --interface ADDRESS  IPv4 address of the local interface to join the group on\n"
    "                       (required)\n"
    "  --count N            stop after N datagrams (no limit)\n"
    "  --seconds S          stop after S seconds, decimals allowed (no limit)\n"
    "  --quiet              print a progress line a second instead of every datagram\n"
    "  --help               print this help and exit\n"
    "  --version            print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  it stopped as asked\n"
    "  1  the group could not be joined\n"
    "  2  the command line is wrong\n";

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int)
{
    g_interrupted = true;
}

// Datagrams a second since the first one came: the rate of the traffic,
// whenever the monitor was started.
double RatePerSecond(long long count, std::chrono::steady_clock::time_point first,
                     std::chrono::steady_clock::time_point now)
{
    const double seconds = std::chrono::duration<double>(now - first).count();
    return count > 1 && seconds > 0 ? static_cast<double>(count - 1) / seconds : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (AnswerHelpOrVersion(argc, argv, "orma-monitor", kUsage))
        return 0;
    CCommandLine line(argc, argv, {"quiet"});
    const std::string group = line.RequiredText("group");
    const auto port = static_cast<uint16_t>(line.RequiredNumber("port", 1, 65535));
    const std::string interfaceIp = line.RequiredText("interface");
    const long long maxCount = line.Number("count", 0, 1, 1000000000000);
    const double seconds = line.Decimal("seconds", 0, 0.001, 1e9);
    const bool quiet = line.Has("quiet");
    in_addr address{};
    if (line.Valid() &&
        (inet_pton(AF_INET, group.c_str(), &address) != 1 || inet_pton(AF_INET, interfaceIp.c_str(), &address) != 1)) {
        std::fprintf(stderr, "orma-monitor: --group and --interface must be IPv4 addresses\n%s", kUsage);
        return 2;
    }
    if (!line.Error().empty()) {
        std::fprintf(stderr, "orma-monitor: %s\n%s", line.Error().c_str(), kUsage);
        return 2;
    }

    CUDP endpoint;
    NW_PROTOCOL_SETTINGS open;
    open.Mode = 1;
    open.RemoteIp = group;
    open.LocalIp = interfaceIp;
    open.Port = htons(port);
    open.BufferSize = 1048576;
    open.Multicast = 1;
    if (endpoint.Open(open) == -1) {
        std::fprintf(stderr, "orma-monitor: cannot join %s port %u on %s: %s\n", group.c_str(), port,
                     interfaceIp.c_str(), std::strerror(endpoint.LastSocketError()));
        return 1;
    }
    std::printf("orma-monitor: listening on %s port %u via %s\n", group.c_str(), port, interfaceIp.c_str());
    std::fflush(stdout);

    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline =
        seconds > 0 ? start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds))
                    : Clock::time_point::max();
    // Closing the endpoint is what ends a receive that waits: the watcher
    // does it at the deadline, on an interrupt, or when the count is reached.
    std::atomic<bool> finished{false};
    std::mutex mutex;
    std::condition_variable wake;
    std::thread watcher([&] {
        std::unique_lock lock(mutex);
        while (!finished && !g_interrupted && Clock::now() < deadline)
            wake.wait_for(lock, std::chrono::milliseconds(50));
        finished = true;
        endpoint.Close();
    });

    static uint8_t buffer[65536];
    long long count = 0;
    auto first = start, lastProgress = start;
    while (!finished) {
        const int received = endpoint.Receive(buffer, sizeof buffer);
        if (received < 0)
            continue;  // closed (the loop ends) or a datagram too long for the buffer
        const auto now = Clock::now();
        if (count++ == 0)
            first = now;
        const double rate = RatePerSecond(count, first, now);
        if (!quiet) {
            std::printf("#%lld  %.3f s  %.1f/s  %s\n", count, std::chrono::duration<double>(now - start).count(), rate,
                        DescribeOldDatagram(buffer, static_cast<size_t>(received)).c_str());
        } else if (now - lastProgress >= std::chrono::seconds(1)) {
            std::printf("orma-monitor: %lld datagrams, %.1f/s\n", count, rate);
            lastProgress = now;
        }
        std::fflush(stdout);
        if (maxCount > 0 && count >= maxCount) {
            {
                std::lock_guard lock(mutex);
                finished = true;
            }
            wake.notify_one();
        }
    }
    watcher.join();
    const auto end = Clock::now();
    std::printf("orma-monitor: %lld datagrams in %.2f s (%.1f/s)\n", count,
                std::chrono::duration<double>(end - start).count(), RatePerSecond(count, first, end));
    return 0;
}
