// Load for many relay rows at once: `send` spreads a total rate evenly over
// ROWS groups (row i sends to the group base + i + 1), and `recv` joins
// ROWS output groups on one socket and counts what comes back per row.
// Each prints one line of key=value pairs. Bounded in count and time.
//
//   orma-bench-rows-load send --rows N --group-base A --port P --iface A --rate R --seconds S
//   orma-bench-rows-load recv --rows N --group-base A --port P --iface A --seconds S
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSendSize = 256;     // into the relay, as the shared harness sends
constexpr int kRelayedSize = 512;  // what a relay makes of it
constexpr int kBatch = 8;          // datagrams per sendmmsg, as the shared harness sends

struct Options {
    std::string Mode;
    int Rows = 1;
    in_addr_t GroupBase = 0;  // host order
    uint16_t Port = 0;
    in_addr_t Interface = 0;
    long Rate = 0;  // datagrams/s over all rows
    double Seconds = 0;
};

bool Parse(int argc, char** argv, Options& options)
{
    if (argc < 2)
        return false;
    options.Mode = argv[1];
    std::map<std::string, std::string> values;
    for (int i = 2; i + 1 < argc; i += 2) values[argv[i]] = argv[i + 1];
    options.Rows = std::atoi(values["--rows"].c_str());
    options.GroupBase = ntohl(inet_addr(values["--group-base"].c_str()));
    options.Port = static_cast<uint16_t>(std::atoi(values["--port"].c_str()));
    options.Interface = inet_addr(values["--iface"].c_str());
    options.Rate = std::atol(values["--rate"].c_str());
    options.Seconds = std::atof(values["--seconds"].c_str());
    return (options.Mode == "send" || options.Mode == "recv") && options.Rows > 0 && options.Rows <= 250 &&
           options.Port > 0 && options.Seconds > 0 && options.Seconds <= 60 &&
           (options.Mode == "recv" || (options.Rate > 0 && options.Rate <= 2000000));
}

sockaddr_in GroupOf(const Options& options, int row)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options.Port);
    address.sin_addr.s_addr = htonl(options.GroupBase + static_cast<in_addr_t>(row) + 1);
    return address;
}

int Send(const Options& options)
{
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    in_addr from{options.Interface};
    if (sock < 0 || setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &from, sizeof from) != 0) {
        std::perror("rows-load send");
        return 1;
    }
    std::vector<sockaddr_in> groups;
    for (int row = 0; row < options.Rows; ++row) groups.push_back(GroupOf(options, row));
    std::vector<uint64_t> sequence(static_cast<size_t>(options.Rows), 0);
    uint8_t payload[kBatch][kSendSize] = {};
    iovec vectors[kBatch];
    mmsghdr messages[kBatch] = {};
    const long total = static_cast<long>(options.Rate * options.Seconds);
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration<double>(options.Seconds * 1.5 + 1);
    long sent = 0, failed = 0;
    while (sent + failed < total && Clock::now() < deadline) {
        // Paced: never ahead of the rate since the start.
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const long due = std::min(total, static_cast<long>(elapsed * static_cast<double>(options.Rate)) + 1);
        if (sent + failed >= due) {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
            continue;
        }
        const int count = static_cast<int>(std::min<long>(kBatch, due - sent - failed));
        for (int i = 0; i < count; ++i) {
            const int row = static_cast<int>((sent + failed + i) % options.Rows);
            const uint32_t rowNumber = static_cast<uint32_t>(row);
            std::memcpy(payload[i], &rowNumber, sizeof rowNumber);
            std::memcpy(payload[i] + 4, &sequence[static_cast<size_t>(row)], sizeof(uint64_t));
            ++sequence[static_cast<size_t>(row)];
            vectors[i] = {payload[i], kSendSize};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_name = &groups[static_cast<size_t>(row)];
            messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        }
        const int done = sendmmsg(sock, messages, static_cast<unsigned>(count), 0);
        if (done < 0)
            failed += count;
        else
            sent += done, failed += count - done;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("sent=%ld failed=%ld seconds=%.3f rate=%.0f\n", sent, failed, seconds,
                static_cast<double>(sent) / seconds);
    return 0;
}

int Receive(const Options& options)
{
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1, buffer = 8 << 20;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(options.Port);
    if (sock < 0 || setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("rows-load recv");
        return 1;
    }
    (void)setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    for (int row = 0; row < options.Rows; ++row) {
        ip_mreq membership{GroupOf(options, row).sin_addr, {options.Interface}};
        if (setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
            std::perror("rows-load recv: join (raise net.ipv4.igmp_max_memberships)");
            return 1;
        }
    }
    const timeval wake{0, 100000};
    (void)setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
    static uint8_t data[64][kRelayedSize + 1];
    iovec vectors[64];
    mmsghdr messages[64] = {};
    for (int i = 0; i < 64; ++i) {
        vectors[i] = {data[i], sizeof data[i]};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    std::vector<long> perRow(static_cast<size_t>(options.Rows), 0);
    long received = 0, wrongSize = 0;
    const auto start = Clock::now();
    auto last = start;
    // Until the time is up, or 1 s after the last datagram once any came.
    while (Clock::now() - start < std::chrono::duration<double>(options.Seconds) &&
           !(received > 0 && Clock::now() - last > std::chrono::seconds(1))) {
        const int count = recvmmsg(sock, messages, 64, MSG_WAITFORONE, nullptr);
        for (int i = 0; i < count; ++i) {
            uint32_t row = 0;
            std::memcpy(&row, data[i], sizeof row);
            if (messages[i].msg_len != kRelayedSize || row >= perRow.size()) {
                ++wrongSize;
                continue;
            }
            ++received, ++perRow[row];
        }
        if (count > 0)
            last = Clock::now();
    }
    long fewest = received, most = 0;
    for (const long count : perRow) fewest = std::min(fewest, count), most = std::max(most, count);
    std::printf("received=%ld wrong=%ld fewest_per_row=%ld most_per_row=%ld\n", received, wrongSize, fewest, most);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!Parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s send|recv --rows N --group-base ADDRESS --port PORT --iface ADDRESS "
                     "[--rate PER_SECOND] --seconds S\n",
                     argv[0]);
        return 2;
    }
    return options.Mode == "send" ? Send(options) : Receive(options);
}
