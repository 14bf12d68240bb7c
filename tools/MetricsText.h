#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/BroadcastEngine.h"

// One relay's counters as a scrape shows them. The counters are the
// engine's 32-bit ones: they wrap, and a wrap reads as a counter reset,
// which rate() and increase() already take in their stride.
struct RELAY_METRICS {
    int ConfigId = 0;
    std::string SegmentCode;
    std::string ReceiveGroup;
    int ReceivePort = 0;
    std::string SendGroup;
    int SendPort = 0;
    uint32_t Received = 0;   // datagrams passed through (NMKT off)
    uint32_t Converted = 0;  // new-format messages converted (NMKT on)
    uint32_t Sent = 0;
    uint32_t Dropped = 0;  // by the kernel, for a full receive buffer
    uint32_t FailedSends = 0;
    int ReceiveBufferBytes = 0;  // granted at the last start; 0 before
    CKOVBCastEngine::RELAY_STATE State = CKOVBCastEngine::RELAY_STATE::NotRunning;
    // Negative before the first datagram.
    int64_t SecondsSinceLastDatagram = -1;
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
