// Drives one engine's relay loop with a fixed load, for counting what each
// relayed datagram costs: instructions under callgrind, system calls under
// strace (bench/loop-cost.sh runs both). Runs in a network namespace of its
// own with only the loopback interface, so nothing leaves the process.
//
//   relay_loop_cost [--nmkt] [DATAGRAMS] [BURST]
//
// With --nmkt every datagram fed is a full new-format depth message of 42
// records, which the relay turns into 21 old-format datagrams.
//
// The feed sends with write() and the sink reads with read(), so every
// recvmsg/recvmmsg/sendto/sendmmsg in a trace is the relay's.

#include "engine/BroadcastEngine.h"
#include "tools/NewFeedEncoder.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kInGroup = "239.77.0.1";
constexpr const char* kOutGroup = "239.77.0.2";
constexpr uint16_t kInPort = 41001;
constexpr uint16_t kOutPort = 41002;
constexpr size_t kDatagramSize = 256;

class CQuietOwner final : public CEngineOwner {
public:
    void OnBroadcastState(int) override {}
    void ShowOperatorMessage(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    void PostToOwnerThread(std::function<void()> task) override { task(); }
};

int Fail(const char* what)
{
    std::fprintf(stderr, "relay_loop_cost: %s: %s\n", what, std::strerror(errno));
    return 1;
}

sockaddr_in Address(const char* ip, uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, ip, &address.sin_addr);
    return address;
}

// A full depth message: 42 records, alike enough to compress into one datagram.
std::vector<uint8_t> FullDepthMessage()
{
    std::vector<DepthQuote> quotes(kMaxDepthRecords);
    for (int i = 0; i < kMaxDepthRecords; ++i) {
        DepthQuote& quote = quotes[i];
        quote.Token = 1000 + i;
        quote.LastPrice = 250000;
        for (int level = 0; level < 10; ++level)
            quote.Levels[level] = {quote.LastPrice - 5 * level, 100 * (level + 1), static_cast<uint16_t>(level + 1)};
    }
    return EncodeDepthMessage(quotes);
}

}  // namespace

int main(int argc, char** argv)
{
    const bool nmkt = argc > 1 && std::strcmp(argv[1], "--nmkt") == 0;
    if (nmkt) {
        --argc;
        ++argv;
    }
    const long datagrams = argc > 1 ? std::atol(argv[1]) : 20000;
    const long burst = argc > 2 ? std::atol(argv[2]) : 32;
    if (datagrams <= 0 || burst <= 0)
        return std::fprintf(stderr, "usage: relay_loop_cost [--nmkt] [DATAGRAMS] [BURST]\n"), 2;
    const long outPerIn = nmkt ? CKOVBCastEngine::kMaxSentPerReceived : 1;

    if (unshare(CLONE_NEWNET) != 0)
        return Fail("unshare(CLONE_NEWNET) (needs root)");
    if (std::system("ip link set lo up && ip link set lo multicast on") != 0)
        return Fail("ip link set lo");

    const int feed = socket(AF_INET, SOCK_DGRAM, 0);
    const int sink = socket(AF_INET, SOCK_DGRAM, 0);
    const in_addr loopback{htonl(INADDR_LOOPBACK)};
    const sockaddr_in in = Address(kInGroup, kInPort);
    const sockaddr_in out = Address(kOutGroup, kOutPort);
    ip_mreqn membership{};
    membership.imr_multiaddr = out.sin_addr;
    membership.imr_address = loopback;
    if (setsockopt(feed, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback) != 0 ||
        connect(feed, reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0)
        return Fail("feed socket");
    // A burst of full depth messages is hundreds of datagrams: room for all of them.
    const int sinkBuffer = 8 * 1024 * 1024;
    if (setsockopt(sink, SOL_SOCKET, SO_RCVBUFFORCE, &sinkBuffer, sizeof sinkBuffer) != 0 ||
        bind(sink, reinterpret_cast<const sockaddr*>(&out), sizeof out) != 0 ||
        setsockopt(sink, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
        return Fail("sink socket");

    CQuietOwner owner;
    KOV_BCAST_CONFIG configuration;
    configuration.ConfigId = 1;
    configuration.SegmentCode = "QA";
    configuration.ReceiveIp = kInGroup;
    configuration.ReceivePort = kInPort;
    configuration.SendIp = kOutGroup;
    configuration.SendPort = kOutPort;
    configuration.NmktFlag = nmkt;
    configuration.HostSideIp = configuration.ZentaSideIp = "127.0.0.1";
    CKOVBCastEngine engine(configuration, &owner);
    engine.Start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (engine.GetStatus() != "Connected" && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    // Bursts, each drained at the sink before the next: the relay never
    // overflows and every run sees the same batches.
    const std::vector<uint8_t> datagram = nmkt ? FullDepthMessage() : std::vector<uint8_t>(kDatagramSize, 0x42);
    if (datagram.empty())
        return std::fprintf(stderr, "relay_loop_cost: the depth message does not fit a datagram\n"), 1;
    std::vector<uint8_t> received(2048);
    long relayed = 0;
    for (long sent = 0; sent < datagrams && std::chrono::steady_clock::now() < deadline;) {
        const long count = std::min(burst, datagrams - sent);
        for (long i = 0; i < count; ++i)
            if (write(feed, datagram.data(), datagram.size()) < 0)
                return Fail("write");
        sent += count;
        pollfd waiting{sink, POLLIN, 0};
        while (relayed < sent * outPerIn && poll(&waiting, 1, 2000) > 0)
            if (read(sink, received.data(), received.size()) == 512)
                ++relayed;
        if (relayed < sent * outPerIn)
            break;
    }
    engine.Stop();
    std::printf("fed %ld relayed %ld received %u sent %u\n", datagrams, relayed, engine.GetReceivedCount(),
                engine.GetSentCount());
    return relayed == datagrams * outPerIn ? 0 : 1;
}
