// Scrape time of /metrics with 50 configurations published: many GETs on
// loopback, each on a connection of its own (as a scraper that does not keep
// its connections open), and the time Publish takes to make the text.
//   orma-bench-metrics [scrapes]

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/MetricsServer.h"

namespace {

using Clock = std::chrono::steady_clock;

double Microseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::micro>(duration).count();
}

// One GET /metrics on a new connection; the bytes of the reply, -1 on failure.
long Scrape(const sockaddr_in& address)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    const char request[] = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    long total = send(fd, request, sizeof request - 1, 0) == sizeof request - 1 ? 0 : -1;
    char buffer[65536];
    for (ssize_t length; total >= 0 && (length = recv(fd, buffer, sizeof buffer, 0)) > 0;) total += length;
    close(fd);
    return total;
}

}  // namespace

int main(int argc, char** argv)
{
    const int scrapes = argc > 1 ? std::atoi(argv[1]) : 2000;
    std::vector<RELAY_METRICS> relays(50);
    for (int i = 0; i < 50; ++i) {
        RELAY_METRICS& relay = relays[static_cast<size_t>(i)];
        relay.ConfigId = i + 1;
        relay.SegmentCode = "FO";
        relay.ReceiveGroup = "239.255.10." + std::to_string(i + 1);
        relay.ReceivePort = 34001 + i;
        relay.SendGroup = "239.255.20." + std::to_string(i + 1);
        relay.SendPort = 35001 + i;
        relay.Received = relay.Sent = 4000000000u - static_cast<uint32_t>(i);
        relay.State = CKOVBCastEngine::RELAY_STATE::Running;
        relay.LastDatagramTimestamp = 1796428799 - i;
    }
    CMetricsServer server(PROCESS_METRICS{ProcessStartTimeSeconds(), ORMA_VERSION_TEXT});
    sockaddr_in address{};
    std::string problem;
    if (!ParseMetricsAddress("127.0.0.1:1", address))
        return 1;
    address.sin_port = 0;
    if (!server.Start(address, problem)) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 1;
    }
    address.sin_port = htons(static_cast<uint16_t>(server.Port()));

    const auto publishStart = Clock::now();
    for (int i = 0; i < 1000; ++i) server.Publish(relays);
    const double publish = Microseconds(Clock::now() - publishStart) / 1000;

    std::vector<double> times;
    long bytes = 0;
    for (int i = 0; i < scrapes; ++i) {
        const auto start = Clock::now();
        bytes = Scrape(address);
        times.push_back(Microseconds(Clock::now() - start));
        if (bytes < 0) {
            std::fprintf(stderr, "scrape %d failed\n", i);
            return 1;
        }
    }
    std::sort(times.begin(), times.end());
    const auto at = [&](double share) { return times[static_cast<size_t>(share * (times.size() - 1))]; };
    std::printf("50 relays, %ld bytes per reply; Publish %.0f us\n", bytes, publish);
    std::printf("%d scrapes: median %.0f us, p99 %.0f us, max %.0f us\n", scrapes, at(0.5), at(0.99), times.back());
    return 0;
}
