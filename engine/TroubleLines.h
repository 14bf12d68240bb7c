#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Bounds what one relay writes about one kind of trouble: at most
// kEpisodesPerMinute episodes (a line when it begins, one when it ends) per
// minute and kind; the lines of further episodes are held back and counted,
// and the count is said in one line once the minute is over. Relay thread only.
class CTroubleLines {
public:
    enum class Kind { Interfaces, Carrier, Sends, Receives, Opening, Oversized, Loop, Count };
    static constexpr int kEpisodesPerMinute = 3;
    static constexpr int64_t kWindowSeconds = 60;

    // An episode begins at `now` (monotonic seconds): whether its lines are written.
    bool Begin(Kind kind, int64_t now) noexcept;
    // The episode ends: whether its closing line is written (only when its first was).
    bool End(Kind kind) noexcept;
    // A line in the middle of an episode: whether it is written.
    bool During(Kind kind) noexcept;
    // Calls say(kind, held) for every kind whose minute is over with lines held back.
    template <typename Say>
    void SayHeldBack(int64_t now, Say say)
    {
        m_anyHeld = false;
        for (size_t i = 0; i < m_kinds.size(); ++i) {
            PerKind& k = m_kinds[i];
            if (k.Held > 0 && now - k.WindowStart >= kWindowSeconds) {
                say(static_cast<Kind>(i), k.Held);
                k.Held = 0;
            }
            m_anyHeld = m_anyHeld || k.Held > 0;
        }
    }
    [[nodiscard]] bool HasHeldBack() const noexcept { return m_anyHeld; }
    [[nodiscard]] static const char* Name(Kind kind) noexcept;

private:
    struct PerKind {
        int64_t WindowStart = INT64_MIN / 2;
        int Begun = 0;
        uint32_t Held = 0;
        bool Written = true;  // the current episode's lines are written
    };
    std::array<PerKind, static_cast<size_t>(Kind::Count)> m_kinds{};
    bool m_anyHeld = false;
};
