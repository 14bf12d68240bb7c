#include "tools/RelayHealth.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log/EventLog.h"
#include "net/InterfaceWatcher.h"

bool IsInterfaceRunning(const std::string& ipv4)
{
    const int index = CInterfaceWatcher::InterfaceIndexOf(ipv4);
    ifreq request{};
    if (index == 0 || !if_indextoname(static_cast<unsigned>(index), request.ifr_name))
        return false;
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return true;  // cannot tell: the address is held, which is what counts most
    const bool known = ioctl(probe, SIOCGIFFLAGS, &request) == 0;
    close(probe);
    return !known || ((request.ifr_flags & IFF_UP) && (request.ifr_flags & IFF_RUNNING));
}

RELAY_HEALTH HealthOf(const KOV_BCAST_CONFIG& configuration, CKOVBCastEngine::RELAY_STATE state, bool hostSideRunning)
{
    if (!hostSideRunning)
        return {false, FormatText("Config ID %d: no running interface holds %s, the address towards Host",
                                  configuration.ConfigId, configuration.HostSideIp.c_str())};
    if (state == CKOVBCastEngine::RELAY_STATE::ReceiveFailing)
        return {false, FormatText("Config ID %d: its receives are failing", configuration.ConfigId)};
    if (state == CKOVBCastEngine::RELAY_STATE::OpenFailing)
        return {false, FormatText("Config ID %d: the system refuses its sockets", configuration.ConfigId)};
    return {};
}
