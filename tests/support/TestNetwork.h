#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// A throwaway network made by a test, removed when it ends:
//
//   feed ns  feed0 198.18.0.1 ==== host0 198.18.0.2   relay ns   zenta0 198.18.1.1 ==== sink0 198.18.1.2  sink ns
//
// The relay's Host side and ZENTA side are different interfaces, so a
// membership or a send on the wrong one gets nothing through. Needs root.
// The sockets it hands out are closed with it.
class TestNetwork {
public:
    static constexpr const char* kFeedIp = "198.18.0.1";
    static constexpr const char* kHostSideIp = "198.18.0.2";
    static constexpr const char* kZentaSideIp = "198.18.1.1";
    static constexpr const char* kSinkIp = "198.18.1.2";

    // Null, with the reason in `why`, when namespaces cannot be made here.
    static std::unique_ptr<TestNetwork> Create(std::string& why);
    ~TestNetwork();
    TestNetwork(const TestNetwork&) = delete;
    TestNetwork& operator=(const TestNetwork&) = delete;

    // For programs run there with "ip netns exec".
    [[nodiscard]] const std::string& FeedNamespace() const { return m_feed; }
    [[nodiscard]] const std::string& RelayNamespace() const { return m_relay; }
    [[nodiscard]] const std::string& SinkNamespace() const { return m_sink; }
    // Moves the calling thread into the relay namespace (threads it starts
    // later are there too) and back.
    void EnterRelay();
    void LeaveRelay();

    // Makes the veth pair of the relay's Host side (or ZENTA side) with its
    // addresses, up; again after a test deleted it.
    bool MakeLink(bool hostSide);

    // Sends a datagram from the feed namespace, out of feed0.
    bool Feed(const std::string& group, uint16_t port, const std::vector<uint8_t>& datagram);
    // A socket in the sink namespace joined to group:port on sink0.
    [[nodiscard]] int OpenSinkSocket(const std::string& group, uint16_t port);

private:
    TestNetwork() = default;
    int SocketIn(const std::string& ns);

    std::string m_feed, m_relay, m_sink;
    std::vector<int> m_sockets;
    int m_feedSocket = -1;
    int m_originalNs = -1;
};

// Runs a shell command, its output discarded; whether it succeeded.
bool Shell(const std::string& command);
// Whether `text` holds `part`, and how many times.
bool Contains(const std::string& text, const std::string& part);
int CountOf(const std::string& text, const std::string& part);

sockaddr_in Ipv4Address(const std::string& ip, uint16_t port);
// Binds `socket` to group:port and joins the group on the interface holding `local`.
bool JoinGroup(int socket, const std::string& group, uint16_t port, const std::string& local);
// Makes `socket` send multicast out of the interface holding `local`.
bool SendsFrom(int socket, const std::string& local);

// A UDP socket of the namespace (made on a thread that moved there); -1 on failure.
[[nodiscard]] int UdpSocketIn(const std::string& ns);

// Receives one datagram within the timeout; -1 when none came.
int ReceiveDatagram(int socket, std::vector<uint8_t>& data, std::chrono::milliseconds timeout);

// Waits until `done` holds or the timeout passes; returns `done()`.
template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(5))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
