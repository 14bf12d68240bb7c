#include "net/InterfaceWatcher.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// How often relays look again when the kernel cannot tell us about changes.
constexpr auto kTickWithoutNotifications = 2s;
constexpr auto kFirstBackOff = 100ms;
constexpr auto kLongestBackOff = 5s;

void Report(const char* what, int error)
{
    std::fprintf(stderr, "Interface watcher: %s: %s\n", what, std::strerror(error));
}

// Subscribed to link and IPv4 address changes; -1 (said on stderr) when not allowed here.
int OpenNetlink()
{
    const int netlink = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (netlink < 0) {
        Report("no netlink socket, interfaces are looked at again every 2 s instead", errno);
        return -1;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (bind(netlink, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
        Report("cannot subscribe to link and address changes, interfaces are looked at again every 2 s instead", errno);
        close(netlink);
        return -1;
    }
    return netlink;
}

uint64_t ChangesIn(const void* bytes, size_t length)
{
    uint64_t changes = 0;
    int remaining = static_cast<int>(length);
    for (auto* message = static_cast<const nlmsghdr*>(bytes); NLMSG_OK(message, remaining);
         message = NLMSG_NEXT(message, remaining)) {
        switch (message->nlmsg_type) {
        case RTM_NEWLINK:
        case RTM_DELLINK:
        case RTM_NEWADDR:
        case RTM_DELADDR:
            ++changes;
            break;
        default:
            break;
        }
    }
    return changes;
}

}  // namespace

CInterfaceWatcher& CInterfaceWatcher::Instance()
{
    // Never destroyed: its thread may be blocked in recv while the process's
    // statics are torn down, and must find the watcher still there.
    static CInterfaceWatcher* const watcher = new CInterfaceWatcher;
    return *watcher;
}

CInterfaceWatcher::CInterfaceWatcher() : m_netlink(OpenNetlink())
{
    // The thread starts with every signal blocked (it inherits this mask), so
    // a signal meant for the process, such as the SIGTERM a program waits for
    // with sigtimedwait, never goes to it.
    sigset_t all, previous;
    sigfillset(&all);
    const int blocked = pthread_sigmask(SIG_SETMASK, &all, &previous);
    if (blocked != 0)
        Report("cannot block signals for its thread", blocked);
    pthread_t thread;
    const int created = pthread_create(&thread, nullptr, &CInterfaceWatcher::ThreadMain, this);
    if (blocked == 0)
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);  // a mask just read back: cannot fail
    if (created != 0) {
        Report("cannot start its thread, interfaces are looked at again every 2 s instead", created);
        m_threadless = true;
        return;
    }
    (void)pthread_setname_np(thread, "orma-ifwatch");  // only a label for ps and top
    pthread_detach(thread);
}

uint64_t CInterfaceWatcher::Generation() const noexcept
{
    if (m_threadless) [[unlikely]]
        return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch() / kTickWithoutNotifications);
    return m_generation.load(std::memory_order_relaxed);
}

void* CInterfaceWatcher::ThreadMain(void* watcher)
{
    static_cast<CInterfaceWatcher*>(watcher)->Watch();
    return nullptr;
}

void CInterfaceWatcher::TickWithoutNotifications()
{
    for (;;) {
        std::this_thread::sleep_for(kTickWithoutNotifications);
        m_generation.fetch_add(1, std::memory_order_relaxed);
    }
}

void CInterfaceWatcher::Watch()
{
    if (m_netlink < 0)
        TickWithoutNotifications();
    alignas(nlmsghdr) static char buffer[32768];  // one watcher, one thread
    auto backOff = kFirstBackOff;
    bool readErrorSaid = false;
    for (;;) {
        // MSG_TRUNC: the length of the whole datagram, even one the buffer cut.
        const ssize_t received = recv(m_netlink, buffer, sizeof buffer, MSG_TRUNC);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            // ENOBUFS: the socket overran and changes were lost; after any
            // other error some may have been. Either way, look again.
            m_generation.fetch_add(1, std::memory_order_relaxed);
            if (errno == ENOBUFS)
                continue;
            if (!readErrorSaid)
                Report("cannot read link and address changes, retrying", errno);
            readErrorSaid = true;
            std::this_thread::sleep_for(backOff);
            backOff = std::min<std::chrono::milliseconds>(backOff * 2, kLongestBackOff);
            continue;
        }
        backOff = kFirstBackOff;
        const size_t length = static_cast<size_t>(received);
        const uint64_t cut = length > sizeof buffer ? 1 : 0;  // its last message is unread: count it
        m_generation.fetch_add(ChangesIn(buffer, std::min(length, sizeof buffer)) + cut, std::memory_order_relaxed);
    }
}

bool CInterfaceWatcher::AreOnOneInterface(const std::string& a, const std::string& b)
{
    if (a == b)
        return true;
    const int index = InterfaceIndexOf(a);
    return index != 0 && index == InterfaceIndexOf(b);
}

int CInterfaceWatcher::InterfaceIndexOf(const std::string& ipv4)
{
    in_addr wanted{};
    if (inet_pton(AF_INET, ipv4.c_str(), &wanted) != 1)
        return 0;
    // SIOCGIFCONF rather than a netlink dump: it works wherever an IPv4
    // socket does, also where netlink is not allowed. It lists every IPv4
    // address by its label ("eth0" or "eth0:1"); SIOCGIFINDEX takes either.
    static std::atomic<bool> failureSaid{false};
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        if (!failureSaid.exchange(true))
            Report("cannot open a socket to list the addresses", errno);
        return 0;
    }
    std::vector<ifreq> entries;
    ifconf list{};
    for (size_t room = 32;; room *= 2) {
        entries.resize(room);
        list.ifc_len = static_cast<int>(room * sizeof(ifreq));
        list.ifc_req = entries.data();
        if (ioctl(probe, SIOCGIFCONF, &list) < 0) {
            if (!failureSaid.exchange(true))
                Report("cannot list the addresses", errno);
            close(probe);
            return 0;
        }
        if (static_cast<size_t>(list.ifc_len) < room * sizeof(ifreq))
            break;  // a full list may have been cut short: ask again with more room
    }
    int index = 0;
    for (size_t i = 0; i < list.ifc_len / sizeof(ifreq); ++i) {
        const auto& address = reinterpret_cast<const sockaddr_in&>(entries[i].ifr_addr);
        if (address.sin_family != AF_INET || address.sin_addr.s_addr != wanted.s_addr)
            continue;
        ifreq byName{};
        std::memcpy(byName.ifr_name, entries[i].ifr_name, sizeof byName.ifr_name);
        // Fails when the interface went away since the listing: none holds it now.
        if (ioctl(probe, SIOCGIFINDEX, &byName) == 0)
            index = byName.ifr_ifindex;
        break;
    }
    close(probe);
    return index;
}

bool CInterfaceWatcher::HasCarrier(int index)
{
    ifreq request{};
    if (index <= 0 || !if_indextoname(static_cast<unsigned>(index), request.ifr_name))
        return true;  // no interface: that is told as a missing one, not as carrier
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return true;
    const bool known = ioctl(probe, SIOCGIFFLAGS, &request) == 0;
    close(probe);
    // IFF_RUNNING is the kernel's operational state: off without carrier
    // (IFF_LOWER_UP lies beyond these 16 bits).
    return !known || ((request.ifr_flags & IFF_UP) && (request.ifr_flags & IFF_RUNNING));
}
