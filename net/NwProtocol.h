#pragma once

#include <cstdint>
#include <string>

// The longest datagram a receive takes whole; a longer one is a failed
// receive, dropped and not counted.
inline constexpr int kMaxDatagramLength = 2500;

// What an endpoint is opened with. Mode 1 = receive endpoint, 0 = send endpoint.
struct NW_PROTOCOL_SETTINGS {
    uint32_t Mode = 0;
    std::string RemoteIp;   // receive: group (or unicast address) to receive on; send: destination
    std::string LocalIp;    // receive: local interface for the membership; empty for send
    std::string BindIp;     // send: local interface to bind and send multicast from; empty for receive
    uint16_t Port = 0;      // network byte order; send: both the local and the destination port
    uint32_t BufferSize = 0;  // receive: socket receive buffer in bytes
    uint32_t Multicast = 0;   // receive: nonzero = join RemoteIp as a group
};

// The engine reaches the network only through endpoints. Results follow
// the socket layer: -1 on failure.
class CNWProtocol {
public:
    virtual ~CNWProtocol() = default;

    [[nodiscard]] virtual int Open(const NW_PROTOCOL_SETTINGS&) { return 1; }
    virtual int Prepare() { return 1; }
    // Thread-safe: may be called while another thread is blocked in Receive
    // or Send, which then return -1 promptly.
    virtual int Close() { return 1; }
    virtual int Send(const void* /*bytes*/, int /*length*/) { return -1; }
    virtual int Receive(void* /*buffer*/, int /*capacity*/) { return -1; }

    // Batched receiving: true when the next Receive returns a datagram
    // already taken from the socket, without a system call.
    [[nodiscard]] virtual bool HasPendingReceives() const noexcept { return false; }
    // Batched sending: QueueSend copies a datagram into the batch (false
    // when the batch is full or the datagram too long for it); FlushSends
    // sends the batch, in order, and gives how many datagrams the kernel
    // accepted. Each datagram is tried once; a refused one is not retried.
    [[nodiscard]] virtual bool QueueSend(const void* /*bytes*/, int /*length*/) { return false; }
    virtual int FlushSends() { return 0; }
    [[nodiscard]] virtual int QueuedSendRoom() const noexcept { return 0; }
    // Datagrams the kernel dropped because the receive buffer was full,
    // over every socket this endpoint opened. Safe to read from any thread.
    [[nodiscard]] virtual uint32_t DroppedCount() const noexcept { return 0; }

    // errno of the call that made the last Open fail; 0 when none.
    [[nodiscard]] int LastSocketError() const noexcept { return m_lastSocketError; }
    void ClearLastSocketError() noexcept { m_lastSocketError = 0; }
    // Receive buffer the kernel granted at the last receive Open, in bytes.
    [[nodiscard]] int GrantedReceiveBuffer() const noexcept { return m_grantedReceiveBuffer; }

protected:
    int m_lastSocketError = 0;
    int m_grantedReceiveBuffer = 0;
};
