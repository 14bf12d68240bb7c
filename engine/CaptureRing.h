#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "net/NwProtocol.h"

// Which way a captured datagram went.
enum class CAPTURE_DIRECTION : uint8_t { Received = 0, Sent = 1 };

// One captured datagram: when it arrived or was handed over to be sent, in
// microseconds since the epoch, and its bytes.
struct CAPTURED_DATAGRAM {
    int64_t TimeMicroseconds = 0;
    uint16_t Length = 0;
    CAPTURE_DIRECTION Direction = CAPTURE_DIRECTION::Received;
    uint8_t Bytes[kMaxDatagramLength];
};

// Where the datagrams of one relay went, for the addresses a capture file shows.
struct CAPTURE_ENDPOINTS {
    std::string SegmentCode;
    uint32_t ReceiveIp = 0;  // network order, as in the configuration
    uint16_t ReceivePort = 0;
    uint32_t SendIp = 0;
    uint16_t SendPort = 0;
    uint32_t ZentaSideIp = 0;
};

// The hand-over from one relay thread (the only producer) to the capture
// writer (the only consumer): fixed slots made once, no lock and no
// allocation on either side. A datagram that finds the ring full is counted
// as not captured, and the relay goes on.
class CCaptureRing {
public:
    static constexpr uint32_t kDefaultSlots = 2048;  // a power of two

    CCaptureRing(CAPTURE_ENDPOINTS endpoints, uint32_t slots = kDefaultSlots);
    CCaptureRing(const CCaptureRing&) = delete;
    CCaptureRing& operator=(const CCaptureRing&) = delete;

    // Producer: `length` bytes, stamped now.
    void Push(CAPTURE_DIRECTION direction, const uint8_t* bytes, int length) noexcept;

    // Consumer: the oldest datagram not yet taken, or null; Pop releases it.
    [[nodiscard]] const CAPTURED_DATAGRAM* Peek() const noexcept;
    void Pop() noexcept;
    // Consumer: datagrams taken from the ring that could not be written.
    void CountUnwritten(uint64_t count) noexcept;

    // Datagrams not captured: the ring was full, or the writer could not write them.
    [[nodiscard]] uint64_t NotCapturedTotal() const noexcept;
    [[nodiscard]] uint64_t RingFullTotal() const noexcept { return m_ringFull.load(std::memory_order_relaxed); }
    [[nodiscard]] const CAPTURE_ENDPOINTS& Endpoints() const noexcept { return m_endpoints; }

private:
    const CAPTURE_ENDPOINTS m_endpoints;
    const uint32_t m_mask;
    std::unique_ptr<CAPTURED_DATAGRAM[]> m_slots;
    alignas(64) std::atomic<uint64_t> m_head{0};  // next slot the producer fills
    std::atomic<uint64_t> m_ringFull{0};          // producer only
    alignas(64) std::atomic<uint64_t> m_tail{0};  // next slot the consumer takes
    std::atomic<uint64_t> m_unwritten{0};         // consumer only
};
