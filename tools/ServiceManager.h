#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/BroadcastEngine.h"

// The systemd side of the service, through libsystemd. Outside systemd
// (no NOTIFY_SOCKET) the notify calls do nothing and return 0; otherwise
// they return what sd_notify does: above 0 when sent, -errno on failure.

// READY=1 with the status line: once every listed relay runs or has failed.
int NotifyReady(const std::string& status);
int NotifyStatus(const std::string& status);
// Around a reload (RELOADING=1, then NotifyReady again) and at shutdown.
int NotifyReloading(const std::string& status);
int NotifyStopping();
// WATCHDOG=1: only through CheckRelaysAndPing, which decides whether to.
int PingWatchdog();
// The watchdog interval systemd set for this process (WatchdogSec=), in
// microseconds; 0 when it is off. Check, and ping, about twice per interval.
[[nodiscard]] uint64_t WatchdogMicroseconds();
// Started by systemd as a service (it sets INVOCATION_ID): the journal is there.
[[nodiscard]] bool RunsUnderSystemd();

// Put before a line on standard error, makes the journal file it at error
// priority under systemd (where it reads such prefixes); "" otherwise.
[[nodiscard]] const char* ErrorPriorityPrefix();

// The relays by what their states say, for the status line.
struct RELAY_COUNTS {
    int Total = 0;
    int Running = 0;   // relaying or ready to (failing sends or receives included)
    int Failing = 0;   // of those, with sends or receives failing
    int Waiting = 0;   // for the interface towards Host or ZENTA
    int Held = 0;      // their sockets refused, or they would close a loop: retried when things change
    int Standby = 0;   // one node of a pair, ready to relay when the ZENTA-side address comes
    int Failed = 0;    // could not open their sockets, or stopped
    int Starting = 0;  // not settled yet: READY waits for these
};
[[nodiscard]] RELAY_COUNTS CountRelays(const std::vector<CKOVBCastEngine::RELAY_STATE>& states);
// "3 of 3 relays running", "2 of 3 relays running, 1 waiting for its interface",
// "1 of 2 relays running, 1 standby".
[[nodiscard]] std::string StatusText(const RELAY_COUNTS& counts);

// A relay thread's heartbeat at this check and at the one before.
struct RELAY_HEARTBEAT {
    int ConfigId = 0;
    uint64_t Previous = 0;
    uint64_t Now = 0;
};
// States in which a relay thread runs, connecting, relaying or waiting, and
// so must keep its heartbeat moving; the others have no thread to judge.
[[nodiscard]] bool HasLiveRelayThread(CKOVBCastEngine::RELAY_STATE state);
// The Config IDs of the wedged relays: a healthy relay thread moves its
// heartbeat at every batch and at least every kWakeAfterMs while it waits,
// so one that did not move between two checks is stuck. Pass only relays
// whose thread ran through both checks (the same engine, not stopped between).
[[nodiscard]] std::vector<int> FindWedgedRelays(const std::vector<RELAY_HEARTBEAT>& relays);
// Once per check: pings the watchdog when no relay is wedged, so a stuck
// relay gets the service restarted. Returns the wedged ones.
std::vector<int> CheckRelaysAndPing(const std::vector<RELAY_HEARTBEAT>& relays);

// One event-log line as a journal entry.
struct JOURNAL_ENTRY {
    int Priority = 0;  // LOG_WARNING for trouble, LOG_INFO otherwise
    int ConfigId = 0;  // of the "Config ID <n>" the line names; 0 when none
};
[[nodiscard]] JOURNAL_ENTRY JournalEntryOf(const std::string& line);
// Sends the line to the journal as MESSAGE=, with SYSLOG_IDENTIFIER=orma-relay,
// its PRIORITY= and CONFIG_ID=. 0 when sent, -errno otherwise.
int SendToJournal(const std::string& line);
