#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// One queued line: the time that names its file, and its text, held in the
// slot itself unless it is longer than the slot (rare; no relay thread line is).
struct LOG_LINE_SLOT {
    static constexpr size_t kInlineLength = 256;

    std::atomic<uint64_t> Sequence{0};
    std::time_t Time = 0;
    size_t Length = 0;
    bool IsLong = false;
    std::string Long;
    char Text[kInlineLength];

    [[nodiscard]] std::string_view Line() const
    {
        return IsLong ? std::string_view(Long) : std::string_view(Text, Length);
    }
};

// Lines on their way from any thread to the log's one writer thread: a fixed
// ring of slots, claimed and published with atomics (a bounded multi-producer
// queue after Vyukov's design), so that a writer stuck on a disk never holds
// up a producer: a full ring refuses the line, and counts it. A producer
// takes no lock and, for a line that fits its slot, allocates nothing.
class CLogLineQueue {
public:
    static constexpr size_t kCapacity = 2048;  // a power of two

    CLogLineQueue();
    CLogLineQueue(const CLogLineQueue&) = delete;
    CLogLineQueue& operator=(const CLogLineQueue&) = delete;

    // Claims a slot, lets fill(slot) write its Length, IsLong and text, and
    // hands it to the writer; false (and counted) when the ring is full.
    template <class Fill>
    bool Push(std::time_t time, Fill&& fill)
    {
        LOG_LINE_SLOT* slot = Claim();
        if (!slot) {
            m_dropped.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        slot->Time = time;
        fill(*slot);
        Publish(*slot);
        return true;
    }
    bool PushText(std::time_t time, std::string_view line);

    // The writer: each published line in order to take(slot), at most `limit`;
    // how many were taken.
    template <class Take>
    size_t Drain(size_t limit, Take&& take)
    {
        size_t taken = 0;
        for (; taken < limit; ++taken) {
            LOG_LINE_SLOT& slot = m_slots[m_readPosition & (kCapacity - 1)];
            if (slot.Sequence.load(std::memory_order_acquire) != m_readPosition + 1)
                break;  // empty, or claimed and still being written
            take(static_cast<const LOG_LINE_SLOT&>(slot));
            Release(slot);
        }
        return taken;
    }
    // The writer sleeps here until a line may have been published since `seen`.
    [[nodiscard]] uint32_t PublishedGeneration() const noexcept { return m_published.load(std::memory_order_acquire); }
    void WaitForPublish(uint32_t seen) const noexcept { m_published.wait(seen, std::memory_order_acquire); }
    // Wakes the writer without a line (to look at a flush request).
    void Wake() noexcept;

    // Lines claimed so far; the writer's own count of lines taken.
    [[nodiscard]] uint64_t ClaimedCount() const noexcept { return m_writePosition.load(std::memory_order_acquire); }
    [[nodiscard]] uint64_t TakenCount() const noexcept { return m_readPosition; }
    // Lines refused because the ring was full, since the last call.
    [[nodiscard]] uint64_t TakeDroppedCount() noexcept { return m_dropped.exchange(0, std::memory_order_relaxed); }

private:
    LOG_LINE_SLOT* Claim() noexcept;
    void Publish(LOG_LINE_SLOT& slot) noexcept;
    void Release(LOG_LINE_SLOT& slot);

    std::array<LOG_LINE_SLOT, kCapacity> m_slots;
    alignas(64) std::atomic<uint64_t> m_writePosition{0};
    alignas(64) uint64_t m_readPosition = 0;  // the writer's alone
    alignas(64) std::atomic<uint32_t> m_published{0};
    std::atomic<uint64_t> m_dropped{0};
};
