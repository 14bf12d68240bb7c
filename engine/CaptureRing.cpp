#include "engine/CaptureRing.h"

#include <algorithm>
#include <cstring>
#include <ctime>

CCaptureRing::CCaptureRing(CAPTURE_ENDPOINTS endpoints, uint32_t slots)
    : m_endpoints(std::move(endpoints)), m_mask(slots - 1), m_slots(std::make_unique<CAPTURED_DATAGRAM[]>(slots))
{
}

void CCaptureRing::Push(CAPTURE_DIRECTION direction, const uint8_t* bytes, int length) noexcept
{
    const uint64_t head = m_head.load(std::memory_order_relaxed);
    if (head - m_tail.load(std::memory_order_acquire) > m_mask) {
        m_ringFull.store(m_ringFull.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        return;
    }
    CAPTURED_DATAGRAM& slot = m_slots[head & m_mask];
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    slot.TimeMicroseconds = static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    const int kept = std::clamp(length, 0, kMaxDatagramLength);
    std::memcpy(slot.Bytes, bytes, static_cast<size_t>(kept));
    slot.Length = static_cast<uint16_t>(kept);
    slot.Direction = direction;
    m_head.store(head + 1, std::memory_order_release);
}

const CAPTURED_DATAGRAM* CCaptureRing::Peek() const noexcept
{
    const uint64_t tail = m_tail.load(std::memory_order_relaxed);
    if (tail == m_head.load(std::memory_order_acquire))
        return nullptr;
    return &m_slots[tail & m_mask];
}

void CCaptureRing::Pop() noexcept
{
    m_tail.store(m_tail.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

void CCaptureRing::CountUnwritten(uint64_t count) noexcept
{
    m_unwritten.store(m_unwritten.load(std::memory_order_relaxed) + count, std::memory_order_relaxed);
}

uint64_t CCaptureRing::NotCapturedTotal() const noexcept
{
    return m_ringFull.load(std::memory_order_relaxed) + m_unwritten.load(std::memory_order_relaxed);
}
