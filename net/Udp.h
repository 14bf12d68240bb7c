#pragma once

#include "net/NwProtocol.h"

#include <netinet/in.h>

#include <atomic>

// A UDP endpoint on a POSIX datagram socket.
class CUDP final : public CNWProtocol {
public:
    CUDP() = default;
    CUDP(const CUDP&) = delete;
    CUDP& operator=(const CUDP&) = delete;
    // Does not close the socket: the owner calls Close first.
    ~CUDP() override = default;

    [[nodiscard]] int Open(const NW_PROTOCOL_SETTINGS& settings) override;
    int Prepare() override { return 1; }
    int Close() override;
    int Send(const void* bytes, int length) override;
    int Receive(void* buffer, int capacity) override;

private:
    int OpenReceive(const NW_PROTOCOL_SETTINGS& settings);
    int OpenSend(const NW_PROTOCOL_SETTINGS& settings);
    int Fail();

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
};
