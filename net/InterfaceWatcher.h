#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// The process's one watcher of the kernel's link and IPv4 address changes.
// Relay threads do not get called back: each keeps the generation it saw when
// it last looked at its interfaces and, once per received batch, compares it
// with Generation(); only when it moved does it look again with
// InterfaceIndexOf. Read Generation() before InterfaceIndexOf, so that a
// change during the look-up shows as a newer generation at the next check.
//
// Started by the first Instance() call, subscribed before that call returns,
// in the network namespace of the calling thread. Where the kernel's
// notifications cannot be had (no netlink socket allowed here), the
// generation advances on its own every 2 seconds instead, so relays still
// look again now and then.
class CInterfaceWatcher final {
public:
    static CInterfaceWatcher& Instance();

    CInterfaceWatcher(const CInterfaceWatcher&) = delete;
    CInterfaceWatcher& operator=(const CInterfaceWatcher&) = delete;

    // Moves whenever a link or an IPv4 address was added, removed or changed,
    // or notifications were lost.
    [[nodiscard]] uint64_t Generation() const noexcept;

    // The index of the interface that holds this IPv4 address now, asked of
    // the kernel at the call; 0 when none does or the text is no address.
    [[nodiscard]] static int InterfaceIndexOf(const std::string& ipv4);
    // Whether the interface is up and has its carrier (a cable, a veth peer
    // that is up), asked of the kernel at the call; true when it cannot be told.
    [[nodiscard]] static bool HasCarrier(int index);
    // Whether two local addresses are on one interface; addresses that no
    // interface holds count as one when their texts are equal.
    [[nodiscard]] static bool AreOnOneInterface(const std::string& a, const std::string& b);

private:
    CInterfaceWatcher();
    ~CInterfaceWatcher() = default;  // never runs: the watcher lives as long as the process
    static void* ThreadMain(void* watcher);
    void Watch();
    [[noreturn]] void TickWithoutNotifications();

    int m_netlink = -1;
    bool m_threadless = false;  // no thread could be started: the clock stands in
    std::atomic<uint64_t> m_generation{0};
};
