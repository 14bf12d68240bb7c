#include "log/LogLineQueue.h"

#include <algorithm>
#include <cstring>

CLogLineQueue::CLogLineQueue()
{
    for (size_t i = 0; i < kCapacity; ++i) m_slots[i].Sequence.store(i, std::memory_order_relaxed);
}

LOG_LINE_SLOT* CLogLineQueue::Claim() noexcept
{
    uint64_t position = m_writePosition.load(std::memory_order_relaxed);
    for (;;) {
        LOG_LINE_SLOT& slot = m_slots[position & (kCapacity - 1)];
        const uint64_t sequence = slot.Sequence.load(std::memory_order_acquire);
        const auto lag = static_cast<int64_t>(sequence - position);
        if (lag == 0) {
            if (m_writePosition.compare_exchange_weak(position, position + 1, std::memory_order_relaxed))
                return &slot;
        } else if (lag < 0) {
            return nullptr;  // the writer has not taken this slot's previous line yet
        } else {
            position = m_writePosition.load(std::memory_order_relaxed);
        }
    }
}

void CLogLineQueue::Publish(LOG_LINE_SLOT& slot) noexcept
{
    slot.Sequence.store(slot.Sequence.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    Wake();
}

void CLogLineQueue::Wake() noexcept
{
    m_published.fetch_add(1, std::memory_order_release);
    m_published.notify_one();
}

void CLogLineQueue::Release(LOG_LINE_SLOT& slot)
{
    if (slot.IsLong) {
        slot.Long = std::string();  // its memory goes back now, not when the slot comes round again
        slot.IsLong = false;
    }
    slot.Sequence.store(m_readPosition + kCapacity, std::memory_order_release);
    ++m_readPosition;
}

bool CLogLineQueue::PushText(std::time_t time, std::string_view line)
{
    return Push(time, [line](LOG_LINE_SLOT& slot) {
        slot.Length = line.size();
        slot.IsLong = line.size() > LOG_LINE_SLOT::kInlineLength;
        if (slot.IsLong)
            slot.Long.assign(line);
        else
            std::memcpy(slot.Text, line.data(), line.size());
    });
}
