#include "tools/ServiceManager.h"

#include "log/EventLog.h"

// The entries name the event, not this file's lines.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <strings.h>
#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// A status with a line end would end the notify message's field early.
std::string OneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

int Notify(const std::string& message)
{
    return sd_notify(0, message.c_str());
}

bool ContainsWord(const std::string& line, const char* word)
{
    const size_t length = std::strlen(word);
    for (size_t i = 0; i + length <= line.size(); ++i) {
        if (strncasecmp(line.c_str() + i, word, length) == 0)
            return true;
    }
    return false;
}

}  // namespace

int NotifyReady(const std::string& status)
{
    return Notify("READY=1\nSTATUS=" + OneLine(status));
}

int NotifyStatus(const std::string& status)
{
    return Notify("STATUS=" + OneLine(status));
}

int NotifyReloading(const std::string& status)
{
    return Notify("RELOADING=1\nSTATUS=" + OneLine(status));
}

int NotifyStopping()
{
    return Notify("STOPPING=1");
}

int PingWatchdog()
{
    return Notify("WATCHDOG=1");
}

uint64_t WatchdogMicroseconds()
{
    uint64_t microseconds = 0;
    return sd_watchdog_enabled(0, &microseconds) > 0 ? microseconds : 0;
}

bool RunsUnderSystemd()
{
    const char* invocation = std::getenv("INVOCATION_ID");
    return invocation && *invocation;
}

const char* ErrorPriorityPrefix()
{
    return RunsUnderSystemd() ? SD_ERR : "";
}

RELAY_COUNTS CountRelays(const std::vector<CKOVBCastEngine::RELAY_STATE>& states)
{
    using enum CKOVBCastEngine::RELAY_STATE;
    RELAY_COUNTS counts;
    counts.Total = static_cast<int>(states.size());
    for (const CKOVBCastEngine::RELAY_STATE state : states) {
        switch (state) {
        case SendFailing:
        case ReceiveFailing:
        case NoCarrier:
            ++counts.Failing;
            [[fallthrough]];
        case Connected:
        case Running:
            ++counts.Running;
            break;
        case WaitingForInterface:
            ++counts.Waiting;
            break;
        case LoopRefused:
        case OpenFailing:
            ++counts.Held;
            break;
        case Standby:
            ++counts.Standby;
            break;
        case ReceiveConnectError:
        case SendConnectError:
        case Stopped:
            ++counts.Failed;
            break;
        case NotRunning:
            ++counts.Starting;
            break;
        }
    }
    return counts;
}

std::string StatusText(const RELAY_COUNTS& counts)
{
    std::string text =
        FormatText("%d of %d relay%s running", counts.Running, counts.Total, counts.Total == 1 ? "" : "s");
    if (counts.Failing > 0)
        text += FormatText(" (%d failing)", counts.Failing);
    if (counts.Standby > 0)
        text += FormatText(", %d standby", counts.Standby);
    if (counts.Waiting > 0)
        text += FormatText(", %d waiting for %s", counts.Waiting,
                           counts.Waiting == 1 ? "its interface" : "their interfaces");
    if (counts.Held > 0)
        text += FormatText(", %d held back (a loop, or sockets refused)", counts.Held);
    if (counts.Failed > 0)
        text += FormatText(", %d failed", counts.Failed);
    if (counts.Starting > 0)
        text += FormatText(", %d starting", counts.Starting);
    return text;
}

bool HasLiveRelayThread(CKOVBCastEngine::RELAY_STATE state)
{
    using enum CKOVBCastEngine::RELAY_STATE;
    switch (state) {
    case Connected:
    case Running:
    case SendFailing:
    case ReceiveFailing:
    case WaitingForInterface:
    case LoopRefused:
    case OpenFailing:
    case NoCarrier:
    case Standby:
        return true;
    case NotRunning:
    case Stopped:
    case ReceiveConnectError:
    case SendConnectError:
        return false;
    }
    return false;
}

std::vector<int> FindWedgedRelays(const std::vector<RELAY_HEARTBEAT>& relays)
{
    std::vector<int> wedged;
    for (const RELAY_HEARTBEAT& relay : relays) {
        if (relay.Now == relay.Previous)
            wedged.push_back(relay.ConfigId);
    }
    return wedged;
}

std::vector<int> CheckRelaysAndPing(const std::vector<RELAY_HEARTBEAT>& relays)
{
    std::vector<int> wedged = FindWedgedRelays(relays);
    if (wedged.empty())
        PingWatchdog();
    return wedged;
}

JOURNAL_ENTRY JournalEntryOf(const std::string& line)
{
    JOURNAL_ENTRY entry;
    entry.Priority = LOG_INFO;
    for (const char* trouble : {"failing", "error", "cannot", "skipped", "wedged", "carrier", "loop"}) {
        if (ContainsWord(line, trouble))
            entry.Priority = LOG_WARNING;
    }
    if (const size_t at = line.find("Config ID "); at != std::string::npos)
        entry.ConfigId = std::max(0, std::atoi(line.c_str() + at + std::strlen("Config ID ")));
    return entry;
}

int SendToJournal(const std::string& line)
{
    const JOURNAL_ENTRY entry = JournalEntryOf(line);
    // Lines that open with a line end (the start banner) show without it.
    const size_t first = std::min(line.find_first_not_of('\n'), line.size());
    std::string fields[] = {"MESSAGE=" + line.substr(first), "SYSLOG_IDENTIFIER=orma-relay",
                            FormatText("PRIORITY=%d", entry.Priority), FormatText("CONFIG_ID=%d", entry.ConfigId)};
    iovec parts[4];
    for (int i = 0; i < 4; ++i) parts[i] = {fields[i].data(), fields[i].size()};
    return sd_journal_sendv(parts, entry.ConfigId > 0 ? 4 : 3);
}
