#pragma once

#include "net/NwProtocol.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>

// A UDP endpoint on a POSIX datagram socket. It receives up to kBatch
// datagrams per system call (recvmmsg) and hands them out one at a time
// where they lie; queued sends go out in one system call (sendmmsg).
// Datagrams that come one at a time are received and sent with the
// single-datagram calls, which cost less.
class CUDP : public CNWProtocol {
public:
    static constexpr int kBatch = 64;
    static constexpr int kMaxQueued = 512;  // longest datagram a send slot holds

    CUDP();
    CUDP(const CUDP&) = delete;
    CUDP& operator=(const CUDP&) = delete;
    // Closes the socket, as Close does.
    ~CUDP() override;

    [[nodiscard]] int Open(const NW_PROTOCOL_SETTINGS& settings) override;
    int Prepare() override { return 1; }
    int Close() override;
    int Send(const void* bytes, int length) override;
    int Receive(void* buffer, int capacity) override;

    int ReceiveNext(uint8_t*& bytes) override;
    [[nodiscard]] bool HasPendingReceives() const noexcept override;
    [[nodiscard]] int ReceiveError() const noexcept override { return m_receiveError; }
    void InterruptReceive() override;
    void StopWaiting() override { m_receiveFlags = MSG_DONTWAIT; }
    void InterruptSend() override { m_sendInterrupted.store(true, std::memory_order_relaxed); }
    void ReleaseBuffers() override;
    int RefreshMembership() override;

    [[nodiscard]] bool QueueSend(const uint8_t* bytes, int length) override;
    [[nodiscard]] uint8_t* SendSlot() override;
    void QueueWrittenSend(int length) override;
    SEND_RESULT FlushSends() override;
    [[nodiscard]] int QueuedSendRoom() const noexcept override;
    [[nodiscard]] uint64_t DroppedCount() const override;

private:
    struct ReceiveBatch;
    struct SendBatch;

    int OpenReceive(const NW_PROTOCOL_SETTINGS& settings);
    int OpenSend(const NW_PROTOCOL_SETTINGS& settings);
    int Fail();
    // Takes what the socket holds: how many datagrams, 0 when none came, -1 on failure.
    int FillReceiveBatch();
    // recvfrom into the batch's first slot, its header filled as recvmmsg would: 1, or -1 on failure.
    int ReceiveOne(int socket, ReceiveBatch& batch) noexcept;
    // One queued datagram with sendto, counted as sendmmsg counts: 1, or -1 on failure.
    static int SendOne(int socket, const msghdr& message) noexcept;
    // Waits a little for room in the send buffer; false when none came.
    bool WaitForSendRoom(int socket);
    // Reads what IP_RECVERR queued on the send socket, so that it never fills.
    static void DrainErrorQueue(int socket);

    // Counts the threads inside a socket call, so that Close never releases
    // a descriptor number that such a call could still be using.
    class SocketUse {
    public:
        explicit SocketUse(CUDP& udp) noexcept : m_udp(udp) { m_udp.m_users.fetch_add(1); }
        ~SocketUse() { m_udp.m_users.fetch_sub(1); }
        SocketUse(const SocketUse&) = delete;
        SocketUse& operator=(const SocketUse&) = delete;
        // Read after the count is raised: Close either sees this use or this sees -1.
        [[nodiscard]] int Socket() const noexcept { return m_udp.m_socket.load(); }

    private:
        CUDP& m_udp;
    };

    std::atomic<int> m_socket{-1};
    std::atomic<int> m_users{0};
    sockaddr_in m_destination{};
    int m_receiveFlags = MSG_WAITFORONE;
    bool m_singleReceive = false;  // the next receive takes one datagram (recvfrom)
    ip_mreqn m_membership{};       // the group joined at the last receive Open
    bool m_joined = false;
    int m_receiveError = 0;
    std::atomic<bool> m_sendInterrupted{false};
    bool m_sendStuck = false;  // the last flush gave up on a full send buffer
    // Set up by Open for its mode and reused for every datagram.
    std::unique_ptr<ReceiveBatch> m_receive;
    std::unique_ptr<SendBatch> m_send;
    // The kernel counts drops per socket; those of the sockets closed
    // before are kept here. The lock keeps the sum whole while a socket closes.
    mutable std::mutex m_dropsMutex;
    uint64_t m_dropsOfClosedSockets = 0;
};
