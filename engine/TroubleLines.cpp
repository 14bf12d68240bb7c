#include "engine/TroubleLines.h"

bool CTroubleLines::Begin(Kind kind, int64_t now) noexcept
{
    PerKind& k = m_kinds[static_cast<size_t>(kind)];
    if (now - k.WindowStart >= kWindowSeconds) {  // what was held back is said first (SayHeldBack)
        k.WindowStart = now;
        k.Begun = 0;
    }
    k.Written = k.Begun < kEpisodesPerMinute;
    if (k.Written)
        ++k.Begun;
    else
        ++k.Held;
    m_anyHeld = m_anyHeld || !k.Written;
    return k.Written;
}

bool CTroubleLines::End(Kind kind) noexcept
{
    return During(kind);
}

bool CTroubleLines::During(Kind kind) noexcept
{
    PerKind& k = m_kinds[static_cast<size_t>(kind)];
    if (!k.Written) {
        ++k.Held;
        m_anyHeld = true;
    }
    return k.Written;
}

const char* CTroubleLines::Name(Kind kind) noexcept
{
    switch (kind) {
    case Kind::Interfaces:
        return "its interfaces";
    case Kind::Carrier:
        return "carrier";
    case Kind::Sends:
        return "failing sends";
    case Kind::Receives:
        return "failing receives";
    case Kind::Opening:
        return "opening its sockets";
    case Kind::Oversized:
        return "oversized datagrams";
    case Kind::Loop:
        return "a feedback loop";
    case Kind::Count:
        break;
    }
    return "";
}
