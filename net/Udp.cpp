#include "net/Udp.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace {

constexpr int kMulticastTtl = 64;

sockaddr_in MakeAddress(const std::string& ip, uint16_t networkPort)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = networkPort;
    // inet_addr keeps the classic rule: empty or malformed text is INADDR_NONE,
    // which the call that uses it then refuses.
    address.sin_addr.s_addr = inet_addr(ip.c_str());
    return address;
}

template <typename T>
int SetOption(int socket, int level, int name, const T& value)
{
    return setsockopt(socket, level, name, &value, sizeof value);
}

}  // namespace

int CUDP::Fail()
{
    m_lastSocketError = errno;
    return -1;
}

int CUDP::Open(const NW_PROTOCOL_SETTINGS& settings)
{
    Close();
    m_lastSocketError = 0;
    SocketUse use(*this);  // a concurrent Close waits until the set-up is done
    switch (settings.Mode) {
    case 1:
        return OpenReceive(settings);
    case 0:
        return OpenSend(settings);
    default:
        return 0;
    }
}

int CUDP::OpenReceive(const NW_PROTOCOL_SETTINGS& settings)
{
    const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (socket < 0)
        return Fail();
    m_socket.store(socket);

    // Before the bind, so that several configurations can take the same group and port.
    if (SetOption(socket, SOL_SOCKET, SO_REUSEADDR, 1) < 0)
        return Fail();
    // Bound to the group, not to the interface address: on Linux a socket
    // bound to a unicast address never sees group traffic.
    const sockaddr_in local = MakeAddress(settings.RemoteIp, settings.Port);
    if (bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0)
        return Fail();

    if (settings.Multicast) {
        // Only the group joined here, not every group joined on this port by the process.
        if (SetOption(socket, IPPROTO_IP, IP_MULTICAST_ALL, 0) < 0)
            return Fail();
        if (SetOption(socket, IPPROTO_IP, IP_MULTICAST_TTL, kMulticastTtl) < 0)
            return Fail();
        ip_mreqn membership{};
        membership.imr_multiaddr.s_addr = inet_addr(settings.RemoteIp.c_str());
        membership.imr_address.s_addr = inet_addr(settings.LocalIp.c_str());
        if (SetOption(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, membership) < 0)
            return Fail();
    }

    // As root the buffer may exceed net.core.rmem_max; otherwise the kernel caps it.
    const int size = static_cast<int>(settings.BufferSize);
    if (SetOption(socket, SOL_SOCKET, SO_RCVBUFFORCE, size) < 0 &&
        SetOption(socket, SOL_SOCKET, SO_RCVBUF, size) < 0)
        return Fail();
    int granted = 0;
    socklen_t length = sizeof granted;
    if (getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &granted, &length) < 0)
        return Fail();
    // The kernel reports twice the data it will hold; halve it to compare with the request.
    m_grantedReceiveBuffer = granted / 2;
    return 0;
}

int CUDP::OpenSend(const NW_PROTOCOL_SETTINGS& settings)
{
    const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (socket < 0)
        return Fail();
    m_socket.store(socket);

    // Configurations of one segment may share a sending port.
    if (SetOption(socket, SOL_SOCKET, SO_REUSEADDR, 1) < 0)
        return Fail();
    const sockaddr_in local = MakeAddress(settings.BindIp, settings.Port);
    if (bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0)
        return Fail();
    // Multicast leaves from the ZENTA-side interface whatever the routing table says.
    if (SetOption(socket, IPPROTO_IP, IP_MULTICAST_IF, local.sin_addr) < 0)
        return Fail();
    if (SetOption(socket, IPPROTO_IP, IP_MULTICAST_TTL, kMulticastTtl) < 0)
        return Fail();
    m_destination = MakeAddress(settings.RemoteIp, settings.Port);
    return 0;
}

int CUDP::Close()
{
    const int socket = m_socket.exchange(-1);
    if (socket >= 0) {
        // close() alone does not wake a thread blocked in recvmsg on Linux;
        // shutdown does (it fails with ENOTCONN on an unconnected socket but
        // still marks it shut down and wakes the waiters).
        shutdown(socket, SHUT_RDWR);
        while (m_users.load() != 0)
            std::this_thread::yield();
        ::close(socket);
    }
    return 1;
}

int CUDP::Send(const void* bytes, int length)
{
    SocketUse use(*this);
    const int socket = use.Socket();
    if (socket < 0)
        return -1;
    const ssize_t sent = sendto(socket, bytes, static_cast<size_t>(length), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&m_destination), sizeof m_destination);
    return sent < 0 ? -1 : static_cast<int>(sent);
}

int CUDP::Receive(void* buffer, int capacity)
{
    if (!buffer)
        return 0;
    SocketUse use(*this);
    const int socket = use.Socket();
    if (socket < 0)
        return -1;
    sockaddr_in from{};
    iovec data{buffer, static_cast<size_t>(capacity)};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    const ssize_t received = recvmsg(socket, &message, 0);
    if (received < 0)
        return -1;
    // A datagram longer than the buffer is a failed receive, not a cut one.
    if (message.msg_flags & MSG_TRUNC)
        return -1;
    // A shut-down socket returns 0 without a sender; an empty datagram has one.
    if (received == 0 && message.msg_namelen == 0)
        return -1;
    return static_cast<int>(received);
}
