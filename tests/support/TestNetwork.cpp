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
#include <fstream>
#include <sstream>

bool TestNetwork::Run(const std::string& command)
{
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

std::unique_ptr<TestNetwork> TestNetwork::Create(std::string& why)
{
    static std::atomic<int> counter{0};
    std::unique_ptr<TestNetwork> network(new TestNetwork);
    const std::string stem = "orma" + std::to_string(getpid()) + "x" + std::to_string(counter++);
    network->m_feed = stem + "f";
    network->m_relay = stem + "r";
    network->m_sink = stem + "s";

    if (geteuid() != 0) {
        why = "needs root to create network namespaces";
        return nullptr;
    }
    for (const std::string* ns : {&network->m_feed, &network->m_relay, &network->m_sink}) {
        if (!Run("ip netns add " + *ns)) {
            why = "ip netns add " + *ns + " failed";
            return nullptr;  // the destructor removes what was made
        }
        const std::string in = "ip netns exec " + *ns + " ";
        Run(in + "ip link set lo up");
        Run(in + "sysctl -w net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0");
        Run(in + "sysctl -w net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1");
    }
    const std::string& f = network->m_feed;
    const std::string& r = network->m_relay;
    const std::string& s = network->m_sink;
    const bool made = Run("ip link add feed0 netns " + f + " type veth peer name host0 netns " + r) &&
                      Run("ip link add zenta0 netns " + r + " type veth peer name sink0 netns " + s) &&
                      Run("ip -n " + f + " addr add " + kFeedIp + "/24 dev feed0") &&
                      Run("ip -n " + r + " addr add " + kHostSideIp + "/24 dev host0") &&
                      Run("ip -n " + r + " addr add " + kZentaSideIp + "/24 dev zenta0") &&
                      Run("ip -n " + s + " addr add " + kSinkIp + "/24 dev sink0") &&
                      Run("ip -n " + f + " link set feed0 up") && Run("ip -n " + r + " link set host0 up") &&
                      Run("ip -n " + r + " link set zenta0 up") && Run("ip -n " + s + " link set sink0 up");
    if (!made) {
        why = "could not make the veth pairs";
        return nullptr;
    }
    // Until the kernel's link watch has marked a new link up (it may take up
    // to a second), the link has no queue and drops what is sent on it.
    const std::pair<const std::string*, const char*> links[] = {
        {&f, "feed0"}, {&r, "host0"}, {&r, "zenta0"}, {&s, "sink0"}};
    for (const auto& [ns, link] : links) {
        const std::string isUp = "ip -n " + *ns + " link show dev " + link + " | grep -q 'state UP'";
        if (!WaitFor([&] { return Run(isUp); }, std::chrono::seconds(5))) {
            why = std::string("link ") + link + " did not come up";
            return nullptr;
        }
    }
    return network;
}

TestNetwork::~TestNetwork()
{
    LeaveRelay();
    for (const std::string* ns : {&m_feed, &m_relay, &m_sink})
        if (!ns->empty())
            Run("ip netns del " + *ns);
}

void TestNetwork::EnterRelay()
{
    if (m_entered)
        return;
    m_originalNs = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int relay = open(("/run/netns/" + m_relay).c_str(), O_RDONLY | O_CLOEXEC);
    if (relay >= 0 && setns(relay, CLONE_NEWNET) == 0)
        m_entered = true;
    if (relay >= 0)
        close(relay);
}

void TestNetwork::LeaveRelay()
{
    if (m_entered)
        setns(m_originalNs, CLONE_NEWNET);
    if (m_originalNs >= 0)
        close(m_originalNs);
    m_originalNs = -1;
    m_entered = false;
}

int TestNetwork::SocketIn(const std::string& ns)
{
    // Sockets belong to the namespace of the thread that makes them, so
    // make it on a thread that moved there and use it from anywhere.
    int result = -1;
    std::thread maker([&] {
        const int target = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (target < 0)
            return;
        if (setns(target, CLONE_NEWNET) == 0)
            result = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
        close(target);
    });
    maker.join();
    return result;
}

int TestNetwork::OpenFeedSocket()
{
    const int s = SocketIn(m_feed);
    in_addr out{};
    inet_pton(AF_INET, kFeedIp, &out);
    setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out);
    return s;
}

int TestNetwork::OpenSinkSocket(const std::string& group, uint16_t port)
{
    const int s = SocketIn(m_sink);
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_pton(AF_INET, group.c_str(), &local.sin_addr);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0)
        return -1;
    ip_mreqn membership{};
    inet_pton(AF_INET, group.c_str(), &membership.imr_multiaddr);
    inet_pton(AF_INET, kSinkIp, &membership.imr_address);
    if (IN_MULTICAST(ntohl(local.sin_addr.s_addr)) &&
        setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) < 0)
        return -1;
    return s;
}

int TestNetwork::OpenRelaySocket()
{
    return SocketIn(m_relay);
}

bool SendDatagram(int socket, const std::string& ip, uint16_t port, const void* data, size_t length)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
    return sendto(socket, data, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == static_cast<ssize_t>(length);
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

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}
