#include "tests/support/TestNetwork.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <tuple>

namespace {

// Moves the calling thread into the namespace.
bool EnterNamespace(const std::string& ns)
{
    const int target = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        close(target);
    return entered;
}

}  // namespace

bool Shell(const std::string& command)
{
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

int CountOf(const std::string& text, const std::string& part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

sockaddr_in Ipv4Address(const std::string& ip, uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    return address;
}

bool JoinGroup(int socket, const std::string& group, uint16_t port, const std::string& local)
{
    const int on = 1;
    const sockaddr_in address = Ipv4Address(group, port);
    ip_mreqn membership{};
    membership.imr_multiaddr = address.sin_addr;
    membership.imr_address = Ipv4Address(local, 0).sin_addr;
    return setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
           bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
           setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
}

bool SendsFrom(int socket, const std::string& local)
{
    const in_addr out = Ipv4Address(local, 0).sin_addr;
    return setsockopt(socket, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out) == 0;
}

std::unique_ptr<TestNetwork> TestNetwork::Create(std::string& why)
{
    if (geteuid() != 0) {
        why = "needs root to create network namespaces";
        return nullptr;
    }
    static std::atomic<int> counter{0};
    std::unique_ptr<TestNetwork> network(new TestNetwork);  // its destructor removes what was made
    const std::string stem = "orma" + std::to_string(getpid()) + "x" + std::to_string(counter++);
    const std::string& f = network->m_feed = stem + "f";
    const std::string& r = network->m_relay = stem + "r";
    const std::string& s = network->m_sink = stem + "s";
    bool made = true;
    for (const std::string* ns : {&f, &r, &s}) {
        made = made && Shell("ip netns add " + *ns);
        Shell(
            "ip netns exec " + *ns +
            " sh -c 'ip link set lo up; sysctl -w net.ipv4.conf.all.rp_filter=0 "
            "net.ipv4.conf.default.rp_filter=0 net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1'");
    }
    made = made && network->MakeLink(true) && network->MakeLink(false);
    if (!made) {
        why = "could not make the namespaces, their veth pairs and addresses";
        return nullptr;
    }
    return network;
}

bool TestNetwork::MakeLink(bool hostSide)
{
    const auto& [outerNs, outer, outerIp, inner, innerIp] =
        hostSide ? std::tuple{m_feed, "feed0", kFeedIp, "host0", kHostSideIp}
                 : std::tuple{m_sink, "sink0", kSinkIp, "zenta0", kZentaSideIp};
    const std::string ends[][3] = {{outerNs, outer, outerIp}, {m_relay, inner, innerIp}};
    bool made = Shell("ip link add " + std::string(outer) + " netns " + outerNs + " type veth peer name " + inner +
                      " netns " + m_relay);
    for (const auto& [ns, link, ip] : ends)
        made = made && Shell("ip -n " + ns + " addr add " + ip + "/24 dev " + link + " && ip -n " + ns + " link set " +
                             link + " up");
    // Until the kernel's link watch has marked a new link up (it may take up
    // to a second), the link has no queue and drops what is sent on it.
    for (const auto& [ns, link, ip] : ends)
        made =
            made && WaitFor([&] { return Shell("ip -n " + ns + " link show dev " + link + " | grep -q 'state UP'"); });
    return made;
}

TestNetwork::~TestNetwork()
{
    LeaveRelay();
    for (const int socket : m_sockets) close(socket);
    for (const std::string* ns : {&m_feed, &m_relay, &m_sink}) Shell("ip netns del " + *ns);
}

void TestNetwork::EnterRelay()
{
    if (m_originalNs < 0) {
        m_originalNs = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        EnterNamespace(m_relay);
    }
}

void TestNetwork::LeaveRelay()
{
    if (m_originalNs >= 0) {
        setns(m_originalNs, CLONE_NEWNET);
        close(m_originalNs);
        m_originalNs = -1;
    }
}

int UdpSocketIn(const std::string& ns)
{
    // Sockets belong to the namespace of the thread that makes them, so
    // make it on a thread that moved there and use it from anywhere.
    int result = -1;
    std::thread([&] {
        if (EnterNamespace(ns))
            result = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    }).join();
    return result;
}

int TestNetwork::SocketIn(const std::string& ns)
{
    const int result = UdpSocketIn(ns);
    if (result >= 0)
        m_sockets.push_back(result);
    return result;
}

bool TestNetwork::Feed(const std::string& group, uint16_t port, const std::vector<uint8_t>& datagram)
{
    // A socket sends multicast by the interface it was set to; a test that
    // makes feed0 anew needs a new one.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (m_feedSocket < 0) {
            m_feedSocket = SocketIn(m_feed);
            SendsFrom(m_feedSocket, kFeedIp);
        }
        const sockaddr_in to = Ipv4Address(group, port);
        if (sendto(m_feedSocket, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to) == static_cast<ssize_t>(datagram.size()))
            return true;
        m_feedSocket = -1;  // closed with the others
    }
    return false;
}

int TestNetwork::OpenSinkSocket(const std::string& group, uint16_t port)
{
    const int s = SocketIn(m_sink);
    return JoinGroup(s, group, port, kSinkIp) ? s : -1;
}

int ReceiveDatagram(int socket, std::vector<uint8_t>& data, std::chrono::milliseconds timeout)
{
    pollfd waiting{socket, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(timeout.count())) <= 0)
        return -1;
    data.resize(65536);
    const ssize_t received = recv(socket, data.data(), data.size(), 0);
    data.resize(received > 0 ? static_cast<size_t>(received) : 0);
    return static_cast<int>(received);
}
