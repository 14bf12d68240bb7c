#include "net/Udp.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// Headers, addresses and buffers for kBatch datagrams, pointed at each other once.
struct CUDP::ReceiveBatch {
    union Control {
        cmsghdr header;
        char bytes[CMSG_SPACE(sizeof(uint32_t))];
    };

    std::array<mmsghdr, kBatch> messages{};
    std::array<iovec, kBatch> vectors{};
    std::array<sockaddr_in, kBatch> senders{};
    std::array<Control, kBatch> controls{};
    std::array<std::array<uint8_t, kMaxDatagramLength>, kBatch> data;
    int count = 0;  // datagrams taken by the last system call
    int next = 0;   // the next of them to hand out

    ReceiveBatch()
    {
        for (int i = 0; i < kBatch; ++i) {
            vectors[i] = {data[i].data(), data[i].size()};
            msghdr& header = messages[i].msg_hdr;
            header.msg_iov = &vectors[i];
            header.msg_iovlen = 1;
            header.msg_name = &senders[i];
            header.msg_control = controls[i].bytes;
        }
        Restore(kBatch);
    }
    // The kernel rewrites the lengths and flags of the messages it fills.
    void Restore(int used) noexcept
    {
        for (int i = 0; i < used; ++i) {
            msghdr& header = messages[i].msg_hdr;
            header.msg_namelen = sizeof senders[i];
            header.msg_controllen = sizeof controls[i].bytes;
            header.msg_flags = 0;
        }
    }
};

struct CUDP::SendBatch {
    std::array<mmsghdr, kBatch> messages{};
    std::array<iovec, kBatch> vectors{};
    std::array<std::array<uint8_t, kMaxQueued>, kBatch> data;
    int count = 0;

    explicit SendBatch(sockaddr_in* destination)
    {
        for (int i = 0; i < kBatch; ++i) {
            vectors[i] = {data[i].data(), 0};
            msghdr& header = messages[i].msg_hdr;
            header.msg_iov = &vectors[i];
            header.msg_iovlen = 1;
            header.msg_name = destination;
            header.msg_namelen = sizeof *destination;
        }
    }
};

CUDP::CUDP() = default;

CUDP::~CUDP()
{
    Close();
}

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
    // Each datagram then carries the socket's count of datagrams dropped for a full buffer.
    if (SetOption(socket, SOL_SOCKET, SO_RXQ_OVFL, 1) < 0)
        return Fail();
    m_dropsOfEarlierSockets += m_dropsOfThisSocket;
    m_dropsOfThisSocket = 0;
    if (!m_receive)
        m_receive = std::make_unique<ReceiveBatch>();
    m_receive->Restore(m_receive->count);
    m_receive->count = m_receive->next = 0;
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
    if (!m_send)
        m_send = std::make_unique<SendBatch>(&m_destination);
    m_send->count = 0;
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
    if (!m_receive)
        return -1;
    ReceiveBatch& batch = *m_receive;
    if (m_socket.load(std::memory_order_relaxed) < 0) {
        batch.next = batch.count;  // a closed endpoint hands out nothing it took earlier
        return -1;
    }
    if (batch.next == batch.count && !FillReceiveBatch())
        return -1;

    const int index = batch.next++;
    const mmsghdr& received = batch.messages[index];
    NoteDrops(received.msg_hdr);
    // A datagram longer than the buffer is a failed receive, not a cut one.
    if (received.msg_hdr.msg_flags & MSG_TRUNC)
        return -1;
    // A shut-down socket returns 0 without a sender; an empty datagram has one.
    if (received.msg_len == 0 && received.msg_hdr.msg_namelen == 0)
        return -1;
    const int length = static_cast<int>(received.msg_len);
    if (length > capacity)
        return -1;
    std::memcpy(buffer, batch.data[index].data(), static_cast<size_t>(length));
    return length;
}

bool CUDP::FillReceiveBatch()
{
    ReceiveBatch& batch = *m_receive;
    batch.Restore(batch.count);
    batch.count = batch.next = 0;
    SocketUse use(*this);
    const int socket = use.Socket();
    if (socket < 0)
        return false;
    // Waits for the first datagram only, then takes what else is queued.
    const int received = recvmmsg(socket, batch.messages.data(), kBatch, MSG_WAITFORONE, nullptr);
    if (received <= 0)
        return false;
    batch.count = received;
    return true;
}

void CUDP::NoteDrops(const msghdr& message) noexcept
{
    for (const cmsghdr* control = CMSG_FIRSTHDR(&message); control;
         control = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(control))) {
        if (control->cmsg_level == SOL_SOCKET && control->cmsg_type == SO_RXQ_OVFL) {
            std::memcpy(&m_dropsOfThisSocket, CMSG_DATA(control), sizeof m_dropsOfThisSocket);
            m_dropped.store(m_dropsOfEarlierSockets + m_dropsOfThisSocket, std::memory_order_relaxed);
        }
    }
}

bool CUDP::HasPendingReceives() const noexcept
{
    return m_receive && m_receive->next < m_receive->count;
}

bool CUDP::QueueSend(const void* bytes, int length)
{
    if (!m_send || m_send->count == kBatch || length < 0 || length > kMaxQueued)
        return false;
    const int index = m_send->count++;
    std::memcpy(m_send->data[index].data(), bytes, static_cast<size_t>(length));
    m_send->vectors[index].iov_len = static_cast<size_t>(length);
    return true;
}

int CUDP::FlushSends()
{
    if (!m_send || m_send->count == 0)
        return 0;
    SendBatch& batch = *m_send;
    const int count = batch.count;
    batch.count = 0;
    SocketUse use(*this);
    const int socket = use.Socket();
    if (socket < 0)
        return 0;
    int accepted = 0;
    for (int first = 0; first < count;) {
        int sent = sendmmsg(socket, &batch.messages[first], static_cast<unsigned>(count - first), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            sent = 0;
        }
        accepted += sent;
        first += sent;
        // The kernel stops at a datagram it refuses; like a single failed
        // send it is not retried, and the ones after it still go.
        if (first < count)
            ++first;
    }
    return accepted;
}

int CUDP::QueuedSendRoom() const noexcept
{
    return m_send ? kBatch - m_send->count : 0;
}

uint32_t CUDP::DroppedCount() const noexcept
{
    return m_dropped.load(std::memory_order_relaxed);
}
