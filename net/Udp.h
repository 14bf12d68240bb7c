#pragma once

#include "net/NwProtocol.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <memory>

// A UDP endpoint on a POSIX datagram socket. It receives up to kBatch
// datagrams per system call (recvmmsg) and hands them out one at a time
// through Receive; queued sends go out in one system call (sendmmsg).
class CUDP final : public CNWProtocol {
public:
    static constexpr int kBatch = 64;
    static constexpr int kMaxQueued = 512;

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

    [[nodiscard]] bool HasPendingReceives() const noexcept override;
    [[nodiscard]] bool QueueSend(const void* bytes, int length) override;
    int FlushSends() override;
    [[nodiscard]] int QueuedSendRoom() const noexcept override;
    [[nodiscard]] uint32_t DroppedCount() const noexcept override;

private:
    struct ReceiveBatch;
    struct SendBatch;

    int OpenReceive(const NW_PROTOCOL_SETTINGS& settings);
    int OpenSend(const NW_PROTOCOL_SETTINGS& settings);
    int Fail();
    // Takes what the socket holds, waiting for the first datagram; false on failure.
    bool FillReceiveBatch();
    void NoteDrops(const msghdr& message) noexcept;

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
    // Set up by Open for its mode and reused for every datagram.
    std::unique_ptr<ReceiveBatch> m_receive;
    std::unique_ptr<SendBatch> m_send;
    // The kernel reports a socket's drops so far; earlier sockets' drops are kept apart.
    uint32_t m_dropsOfEarlierSockets = 0;
    uint32_t m_dropsOfThisSocket = 0;
    std::atomic<uint32_t> m_dropped{0};
};
