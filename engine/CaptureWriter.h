#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/BroadcastConfig.h"
#include "engine/CaptureRing.h"

// Where the capture goes and how much of it is kept.
struct CAPTURE_SETTINGS {
    std::string Directory;
    uint64_t FileBytes = 64ull << 20;  // a file this large is closed and a new one begun
    int FileSeconds = 3600;            // and so is one this old
    uint64_t TotalBytes = 4ull << 30;  // beyond this the oldest capture files are deleted
};

// The capture archive: a thread that takes the datagrams of every captured
// relay from its ring and writes them as pcap files, one set for what was
// received and one for what was sent per market segment, named
// SEGMENT-received-YYYYMMDDTHHMMSSZ-N.pcap (and -sent-). The datagrams carry
// Ethernet, IPv4 and UDP headers made from the configuration, so that
// readers show addresses and ports; a received datagram's sender is unknown
// and shown as 192.0.2.1. A file that cannot be written is counted in its
// relays' not-captured totals, said once per episode in the event log, and
// tried again a second later.
class CCaptureWriter {
public:
    explicit CCaptureWriter(CAPTURE_SETTINGS settings);
    // Writes what the rings still hold and closes the files.
    ~CCaptureWriter();
    CCaptureWriter(const CCaptureWriter&) = delete;
    CCaptureWriter& operator=(const CCaptureWriter&) = delete;

    // A ring for a relay of `configuration`, written from now until the
    // relay lets go of it (and the writer has emptied it).
    [[nodiscard]] std::shared_ptr<CCaptureRing> AddRelay(const KOV_BCAST_CONFIG& configuration);

    // Writes what the rings hold now and flushes the files (for a reader
    // that wants what was relayed so far).
    void Flush();

    // The capture file names of a folder, oldest first.
    [[nodiscard]] static std::vector<std::string> CaptureFiles(const std::string& directory);

private:
    struct FileSet;
    struct Relay {
        std::shared_ptr<CCaptureRing> Ring;
        int ConfigId = 0;
        uint64_t RingFullSeen = 0;   // at the last pass
        int64_t RingFullSince = -1;  // seconds on the monotonic clock of the episode's last loss; -1: none
        uint64_t RingFullAtStart = 0;
    };

    void Run();
    // One pass over the rings; whether anything was written.
    bool Drain();
    void WriteOne(Relay& relay, const CAPTURED_DATAGRAM& datagram);
    FileSet& SetFor(const std::string& segment, CAPTURE_DIRECTION direction);
    bool OpenFile(FileSet& set, int64_t nowSeconds);
    void CloseFile(FileSet& set);
    void FailFile(FileSet& set, int error);
    void FlushFiles();
    void NoteRingEpisodes(int64_t nowSeconds);
    void KeepWithinTotal();

    const CAPTURE_SETTINGS m_settings;
    std::mutex m_mutex;  // guards m_relays and m_stop; never taken by a relay thread
    std::condition_variable m_wake;
    bool m_stop = false;
    std::vector<Relay> m_relays;
    std::map<std::pair<std::string, int>, std::unique_ptr<FileSet>> m_sets;  // writer thread only
    unsigned m_sequence = 0;
    int64_t m_nextHousekeeping = 0;
    std::thread m_thread;
};
