#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/BroadcastEngine.h"

// One relay's counters as a scrape shows them: the engine's 64-bit totals,
// which never wrap (the console keeps its 32-bit counts).
struct RELAY_METRICS {
    int ConfigId = 0;
    std::string SegmentCode;
    std::string ReceiveGroup;
    int ReceivePort = 0;
    std::string SendGroup;
    int SendPort = 0;
    uint64_t Received = 0;   // datagrams passed through (NMKT off)
    uint64_t Converted = 0;  // new-format messages converted (NMKT on)
    uint64_t Sent = 0;
    uint64_t Dropped = 0;  // by the kernel, for a full receive buffer
    uint64_t FailedSends = 0;
    uint64_t Oversized = 0;  // too long to relay
    uint64_t TickerTokens = 0;
    uint64_t TickerEvictions = 0;
    uint64_t RefusedTokens = 0;
    uint64_t NotCaptured = 0;    // relayed, but not in the capture files
    int ReceiveBufferBytes = 0;  // granted at the last start; 0 before
    CKOVBCastEngine::RELAY_STATE State = CKOVBCastEngine::RELAY_STATE::NotRunning;
    // When the last datagram arrived, seconds since the epoch; 0 before the first.
    int64_t LastDatagramTimestamp = 0;
};

// The engine's counters now. Reads the kernel's drop count (one system
// call) but takes no lock a relay thread waits on.
[[nodiscard]] RELAY_METRICS MetricsOf(const CKOVBCastEngine& engine);

// What the process as a whole shows.
struct PROCESS_METRICS {
    double StartTimeSeconds = 0;  // since the epoch
    std::string Version;
};

// Start time of this process, seconds since the epoch (from /proc/self/stat
// and the boot time); now when that cannot be read.
[[nodiscard]] double ProcessStartTimeSeconds();

// The Prometheus text exposition (format 0.0.4) of the relays and the
// process: HELP and TYPE lines, one series per relay and metric, label
// values escaped and made valid UTF-8.
[[nodiscard]] std::string MetricsText(const std::vector<RELAY_METRICS>& relays, const PROCESS_METRICS& process);
