#include "net/Udp.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <thread>

namespace {

constexpr int kMulticastTtl = 64;
// How long a send waits for room in a full send buffer before what is left
// of its batch is given up; a stop never waits longer than this.
constexpr int kSendRoomWaitMs = 20;
// A receive that took longer than this waited for its datagram.
constexpr int64_t kWaitedNanoseconds = 5'000;

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

// The kernel's count of datagrams it dropped for this socket, receive
// buffer full among them; 0 when it cannot be read.
uint32_t SocketDrops(int socket) noexcept
{
    uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof memory;
    if (getsockopt(socket, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 ||
        length < (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t))
        return 0;
    return memory[SK_MEMINFO_DROPS];
}

int64_t MonotonicNanoseconds() noexcept
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

}  // namespace

// Headers and buffers for kBatch datagrams, pointed at each other once.
struct CUDP::ReceiveBatch {
    std::array<mmsghdr, kBatch> messages{};
    std::array<iovec, kBatch> vectors{};
    // Never written: each header names it with a length of 0, so the kernel
    // copies no address and still reports its length (0 only when the
    // socket is shut down, which tells that end from an empty datagram).
    sockaddr_in noSender{};
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
            header.msg_name = &noSender;
        }
        Restore(kBatch);
    }
    // The kernel rewrites the address lengths and flags of the messages it fills.
    void Restore(int used) noexcept
    {
        for (int i = 0; i < used; ++i) {
            messages[i].msg_hdr.msg_namelen = 0;
            messages[i].msg_hdr.msg_flags = 0;
        }
    }
};

// Each queued datagram is one piece: the caller's bytes, or a slot here
// that the caller wrote.
struct CUDP::SendBatch {
    std::array<mmsghdr, kBatch> messages{};
    std::array<iovec, kBatch> vectors{};
    std::array<std::array<uint8_t, kMaxQueued>, kBatch> slots;
    int count = 0;

    explicit SendBatch(sockaddr_in* destination)
    {
        for (int i = 0; i < kBatch; ++i) {
            vectors[i] = {slots[i].data(), 0};
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
    // bound to a unicast address never sees group traffic, and one bound to
    // the group sees that group only.
    const sockaddr_in local = MakeAddress(settings.RemoteIp, settings.Port);
    if (bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0)
        return Fail();

    m_joined = false;
    if (settings.Multicast) {
        if (SetOption(socket, IPPROTO_IP, IP_MULTICAST_TTL, kMulticastTtl) < 0)
            return Fail();
        // Only the memberships of this socket count, and each for its own
        // interface: without this Linux hands the socket the group's
        // datagrams from every interface on which anything on the machine
        // joined it, the relay's own sends looped back among them.
        if (SetOption(socket, IPPROTO_IP, IP_MULTICAST_ALL, 0) < 0)
            return Fail();
        m_membership = {};
        m_membership.imr_multiaddr.s_addr = inet_addr(settings.RemoteIp.c_str());
        m_membership.imr_address.s_addr = inet_addr(settings.LocalIp.c_str());
        if (SetOption(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, m_membership) < 0)
            return Fail();
        m_joined = true;
    }

    // As root the buffer may exceed net.core.rmem_max; otherwise the kernel caps it.
    const int size = static_cast<int>(settings.BufferSize);
    if (SetOption(socket, SOL_SOCKET, SO_RCVBUFFORCE, size) < 0 && SetOption(socket, SOL_SOCKET, SO_RCVBUF, size) < 0)
        return Fail();
    int granted = 0;
    socklen_t length = sizeof granted;
    if (getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &granted, &length) < 0)
        return Fail();
    // The kernel reports twice the data it will hold; halve it to compare with the request.
    m_grantedReceiveBuffer = granted / 2;

    if (settings.Polling) {
        // Where the driver supports it the kernel polls the device briefly
        // too; it needs CAP_NET_ADMIN beyond net.core.busy_read, so a refusal is no failure.
        (void)SetOption(socket, SOL_SOCKET, SO_BUSY_POLL, 50);
        m_receiveFlags = MSG_DONTWAIT;
    } else {
        // Waits for the first datagram only, then takes what else is queued.
        m_receiveFlags = MSG_WAITFORONE;
        const timeval wake{settings.WakeAfterMs / 1000, settings.WakeAfterMs % 1000 * 1000};
        if (settings.WakeAfterMs > 0 && SetOption(socket, SOL_SOCKET, SO_RCVTIMEO, wake) < 0)
            return Fail();
    }
    if (!m_receive)
        m_receive = std::make_unique<ReceiveBatch>();
    m_receive->Restore(m_receive->count);
    m_receive->count = m_receive->next = 0;
    m_receiveError = 0;
    m_singleReceive = false;
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
    // A datagram the queue towards the interface drops after the send
    // accepted it is then a failed send (ENOBUFS), not a silent loss.
    if (SetOption(socket, IPPROTO_IP, IP_RECVERR, 1) < 0)
        return Fail();
    m_destination = MakeAddress(settings.RemoteIp, settings.Port);
    m_sendInterrupted.store(false, std::memory_order_relaxed);
    m_sendStuck = false;
    if (!m_send)
        m_send = std::make_unique<SendBatch>(&m_destination);
    m_send->count = 0;
    return 0;
}

int CUDP::Close()
{
    int socket = -1;
    {
        std::lock_guard lock(m_dropsMutex);
        socket = m_socket.exchange(-1);
        if (socket >= 0)
            m_dropsOfClosedSockets += SocketDrops(socket);
    }
    if (socket >= 0) {
        // close() alone does not wake a thread blocked in recvmsg on Linux;
        // shutdown does (it fails with ENOTCONN on an unconnected socket but
        // still marks it shut down and wakes the waiters).
        shutdown(socket, SHUT_RDWR);
        while (m_users.load() != 0) std::this_thread::yield();
        ::close(socket);
    }
    return 1;
}

void CUDP::ReleaseBuffers()
{
    m_receive.reset();
    m_send.reset();
}

void CUDP::InterruptReceive()
{
    SocketUse use(*this);
    if (const int socket = use.Socket(); socket >= 0)
        shutdown(socket, SHUT_RD);
}

int CUDP::RefreshMembership()
{
    SocketUse use(*this);
    const int socket = use.Socket();
    if (socket < 0 || !m_joined)
        return -1;
    // A new join makes the kernel report the membership at once.
    (void)SetOption(socket, IPPROTO_IP, IP_DROP_MEMBERSHIP, m_membership);
    return SetOption(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, m_membership) < 0 ? -1 : 0;
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
    uint8_t* bytes = nullptr;
    int length = kNothingYet;
    while (length == kNothingYet) length = ReceiveNext(bytes);
    if (length < 0 || length > capacity)
        return -1;
    std::memcpy(buffer, bytes, static_cast<size_t>(length));
    return length;
}

int CUDP::ReceiveNext(uint8_t*& bytes)
{
    ReceiveBatch* batch = m_receive.get();
    if (!batch)
        return -1;
    if (m_socket.load(std::memory_order_relaxed) < 0) {
        batch->next = batch->count;  // a closed endpoint hands out nothing it took earlier
        return -1;
    }
    if (batch->next == batch->count) {
        const int taken = FillReceiveBatch();
        if (taken <= 0)
            return taken == 0 ? kNothingYet : -1;
    }
    const int index = batch->next++;
    const mmsghdr& received = batch->messages[index];
    // A datagram longer than the buffer is dropped, not relayed cut.
    if (received.msg_hdr.msg_flags & MSG_TRUNC)
        return kOversized;
    // A shut-down socket returns 0 without a sender; an empty datagram has one.
    if (received.msg_len == 0 && received.msg_hdr.msg_namelen == 0)
        return -1;
    bytes = batch->data[index].data();
    return static_cast<int>(received.msg_len);
}

int CUDP::FillReceiveBatch()
{
    ReceiveBatch& batch = *m_receive;
    batch.Restore(batch.count);
    batch.count = batch.next = 0;
    SocketUse use(*this);
    const int socket = use.Socket();
    if (socket < 0)
        return -1;
    const bool mayWait = (m_receiveFlags & MSG_DONTWAIT) == 0;
    const int64_t called = mayWait ? MonotonicNanoseconds() : 0;
    const int received = m_singleReceive ? ReceiveOne(socket, batch)
                                         : recvmmsg(socket, batch.messages.data(), kBatch, m_receiveFlags, nullptr);
    if (received > 0) {
        batch.count = received;
        m_receiveError = 0;
        // A datagram that the call waited for came to an empty socket: the
        // next is likely to as well, and a call for one datagram costs less
        // than a batch call that finds one. A datagram that was queued
        // returns at once and brings the batches back.
        m_singleReceive = mayWait && received == 1 && MonotonicNanoseconds() - called > kWaitedNanoseconds;
        return received;
    }
    if (received < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    m_receiveError = received < 0 ? errno : 0;
    return -1;
}

int CUDP::ReceiveOne(int socket, ReceiveBatch& batch) noexcept
{
    // Fills the first header as recvmmsg would: MSG_TRUNC makes the call
    // report a longer datagram's whole length, and the address length
    // written back tells a shut-down socket's end as before.
    mmsghdr& first = batch.messages[0];
    const ssize_t length =
        recvfrom(socket, batch.data[0].data(), batch.data[0].size(), (m_receiveFlags & MSG_DONTWAIT) | MSG_TRUNC,
                 reinterpret_cast<sockaddr*>(&batch.noSender), &first.msg_hdr.msg_namelen);
    if (length < 0)
        return -1;
    const bool oversized = length > static_cast<ssize_t>(batch.data[0].size());
    first.msg_len = oversized ? static_cast<unsigned>(batch.data[0].size()) : static_cast<unsigned>(length);
    first.msg_hdr.msg_flags = oversized ? MSG_TRUNC : 0;
    return 1;
}

bool CUDP::HasPendingReceives() const noexcept
{
    return m_receive && m_receive->next < m_receive->count;
}

bool CUDP::QueueSend(const uint8_t* bytes, int length)
{
    if (!m_send || m_send->count == kBatch || length < 0)
        return false;
    m_send->vectors[m_send->count++] = {const_cast<uint8_t*>(bytes), static_cast<size_t>(length)};
    return true;
}

uint8_t* CUDP::SendSlot()
{
    if (!m_send || m_send->count == kBatch)
        return nullptr;
    return m_send->slots[m_send->count].data();
}

void CUDP::QueueWrittenSend(int length)
{
    if (!m_send || m_send->count == kBatch || length < 0 || length > kMaxQueued)
        return;
    const int index = m_send->count++;
    m_send->vectors[index] = {m_send->slots[index].data(), static_cast<size_t>(length)};
}

SEND_RESULT CUDP::FlushSends()
{
    SEND_RESULT result;
    if (!m_send || m_send->count == 0)
        return result;
    SendBatch& batch = *m_send;
    const int count = batch.count;
    batch.count = 0;
    SocketUse use(*this);
    const int socket = use.Socket();
    if (socket < 0) {
        result.Refused = count;
        result.Error = EBADF;
        return result;
    }
    bool waited = false;  // since the last progress: one wait, then no more
    for (int first = 0; first < count;) {
        // Never blocks: a full send buffer is waited on here, bounded in time.
        int sent = count - first == 1 ? SendOne(socket, batch.messages[first].msg_hdr)
                                      : sendmmsg(socket, &batch.messages[first], static_cast<unsigned>(count - first),
                                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN && !m_sendStuck && !waited && WaitForSendRoom(socket)) {
                waited = true;
                continue;
            }
            result.Error = errno;
            if (errno == EAGAIN) {
                // The queue did not move: give up the rest rather than wait for it.
                m_sendStuck = result.Stuck = true;
                result.Refused += count - first;
                break;
            }
            sent = 0;
        }
        if (sent > 0)
            m_sendStuck = waited = false;
        result.Accepted += sent;
        first += sent;
        // The kernel stops at a datagram it refuses (saying why only when it
        // is the first of the call); like a single failed send it is not
        // retried, and the ones after it still go.
        if (first < count) {
            ++result.Refused;
            ++first;
        }
    }
    if (result.Refused > 0)
        DrainErrorQueue(socket);
    return result;
}

int CUDP::SendOne(int socket, const msghdr& message) noexcept
{
    // sendto spares the kernel the message header sendmmsg reads.
    const iovec& piece = *message.msg_iov;
    return sendto(socket, piece.iov_base, piece.iov_len, MSG_NOSIGNAL | MSG_DONTWAIT,
                  static_cast<const sockaddr*>(message.msg_name), message.msg_namelen) < 0
               ? -1
               : 1;
}

bool CUDP::WaitForSendRoom(int socket)
{
    if (m_sendInterrupted.load(std::memory_order_relaxed))
        return false;
    pollfd room{socket, POLLOUT, 0};
    // A signal that wakes the thread (its wake timer's) cuts the wait short only by the time it took.
    const int64_t end = MonotonicNanoseconds() + kSendRoomWaitMs * 1'000'000LL;
    for (;;) {
        const int64_t left = end - MonotonicNanoseconds();
        const int ready = poll(&room, 1, left > 0 ? static_cast<int>((left + 999'999) / 1'000'000) : 0);
        if (ready >= 0 || errno != EINTR || left <= 0)
            return ready > 0 && (room.revents & POLLOUT);
    }
}

void CUDP::DrainErrorQueue(int socket)
{
    // Local refusals were returned by the send itself and are counted
    // there; what the network reported later (ICMP) concerns datagrams that
    // left. Either way the entry only has to go. Bounded: the queue is
    // capped by the socket's receive buffer anyway.
    alignas(cmsghdr) char control[256];
    for (int i = 0; i < CUDP::kBatch; ++i) {
        msghdr message{};
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (recvmsg(socket, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
            break;
    }
}

int CUDP::QueuedSendRoom() const noexcept
{
    return m_send ? kBatch - m_send->count : 0;
}

uint64_t CUDP::DroppedCount() const
{
    // Under the lock the socket cannot be closed, so its count is read from
    // the socket itself and never both from it and from the closed sum.
    std::lock_guard lock(m_dropsMutex);
    const int socket = m_socket.load();
    return m_dropsOfClosedSockets + (socket >= 0 ? SocketDrops(socket) : 0);
}
