#pragma once

#include <cstdint>
#include <string>

// The longest datagram a receive takes whole; a longer one is dropped and
// counted as oversized (ReceiveNext gives kOversized).
inline constexpr int kMaxDatagramLength = 2500;

// What an endpoint is opened with. Mode 1 = receive endpoint, 0 = send endpoint.
struct NW_PROTOCOL_SETTINGS {
    uint32_t Mode = 0;
    std::string RemoteIp;     // receive: group (or unicast address) to receive on; send: destination
    std::string LocalIp;      // receive: local interface for the membership; empty for send
    std::string BindIp;       // send: local interface to bind and send multicast from; empty for receive
    uint16_t Port = 0;        // network byte order; send: both the local and the destination port
    uint32_t BufferSize = 0;  // receive: socket receive buffer in bytes
    uint32_t Multicast = 0;   // receive: nonzero = join RemoteIp as a group
    // Receive: never wait in the system for a datagram (a polling relay asks again itself).
    bool Polling = false;
    // Receive: a waiting receive gives up after this long (0 = waits until a
    // datagram comes), so that its thread can look after other things.
    int WakeAfterMs = 0;
};

// What one flush of queued sends did.
struct SEND_RESULT {
    int Accepted = 0;  // datagrams the kernel took
    int Refused = 0;   // datagrams it refused; each was tried once
    int Error = 0;     // errno of a refusal, 0 when the kernel did not say
    // Refused because the socket's send buffer stayed full (the queue
    // towards the interface did not move): the send side is stuck.
    bool Stuck = false;
};

// The engine reaches the network only through endpoints. Results follow
// the socket layer: -1 on failure.
class CNWProtocol {
public:
    // ReceiveNext: no datagram came (a polling receive, or a waiting one that gave up).
    static constexpr int kNothingYet = -2;
    // ReceiveNext: a datagram longer than kMaxDatagramLength came and was dropped.
    static constexpr int kOversized = -3;

    virtual ~CNWProtocol() = default;

    [[nodiscard]] virtual int Open(const NW_PROTOCOL_SETTINGS&) { return 1; }
    virtual int Prepare() { return 1; }
    // Thread-safe: may be called while another thread is blocked in Receive
    // or Send, which then return -1 promptly.
    virtual int Close() { return 1; }
    virtual int Send(const void* /*bytes*/, int /*length*/) { return -1; }
    // Copies the next datagram into the buffer.
    virtual int Receive(void* /*buffer*/, int /*capacity*/) { return -1; }

    // ---- Batched use, without copies (the relay loop) ----

    // The next received datagram where the endpoint's batch holds it: its
    // length, with `bytes` pointing at it. The bytes, and the rest of their
    // kMaxDatagramLength-byte buffer, are the caller's to change (to pad the
    // datagram in place) until a call that finds no pending datagram takes
    // a new batch. -1 for a failed receive (the endpoint closed or
    // interrupted, a system error: ReceiveError), kNothingYet when none
    // came, kOversized for a datagram too long for the buffer.
    virtual int ReceiveNext(uint8_t*& /*bytes*/) { return -1; }
    // True when ReceiveNext returns a datagram already taken, without a system call.
    [[nodiscard]] virtual bool HasPendingReceives() const noexcept { return false; }
    // errno of the last receive system call that failed, 0 once one works again.
    [[nodiscard]] virtual int ReceiveError() const noexcept { return 0; }
    // Thread-safe: a thread waiting in ReceiveNext returns -1 at once, and
    // so does every later receive; sending goes on.
    virtual void InterruptReceive() {}
    // From now until the next Open, receives never wait: what the socket
    // holds is handed out, then kNothingYet (draining before a close).
    virtual void StopWaiting() {}
    // Thread-safe: sends that find the queue full are refused at once
    // instead of waiting a little for room (a stop is under way).
    virtual void InterruptSend() {}
    // Frees the batch buffers; the next Open makes them again. Only from
    // the thread that receives and sends, or when none does.
    virtual void ReleaseBuffers() {}
    // Leaves the group and joins it again, so that the network hears of the
    // membership anew; 0 on success, -1 on failure.
    virtual int RefreshMembership() { return 0; }

    // Queues the datagram of `length` bytes at `bytes`. Nothing is copied:
    // the bytes must stay as they are until FlushSends. False when the
    // batch is full.
    [[nodiscard]] virtual bool QueueSend(const uint8_t* /*bytes*/, int /*length*/) { return false; }
    // A place in the batch for a datagram that the caller writes there and
    // then queues with QueueWrittenSend; null when the batch is full.
    [[nodiscard]] virtual uint8_t* SendSlot() { return nullptr; }
    virtual void QueueWrittenSend(int /*length*/) {}
    // Sends the batch in order; each datagram is tried once. Never blocks
    // for long: a full send buffer is waited on briefly, then what is left
    // of the batch is refused (Stuck).
    virtual SEND_RESULT FlushSends() { return {}; }
    [[nodiscard]] virtual int QueuedSendRoom() const noexcept { return 0; }

    // Datagrams the kernel dropped because the receive buffer was full, over
    // every socket this endpoint opened, as the kernel counts them now. Safe
    // to call from any thread.
    [[nodiscard]] virtual uint64_t DroppedCount() const { return 0; }

    // errno of the call that made the last Open fail; 0 when none.
    [[nodiscard]] int LastSocketError() const noexcept { return m_lastSocketError; }
    void ClearLastSocketError() noexcept { m_lastSocketError = 0; }
    // Receive buffer the kernel granted at the last receive Open, in bytes.
    [[nodiscard]] int GrantedReceiveBuffer() const noexcept { return m_grantedReceiveBuffer; }

protected:
    int m_lastSocketError = 0;
    int m_grantedReceiveBuffer = 0;
};
