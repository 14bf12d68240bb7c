#include "engine/CaptureWriter.h"

#include "engine/PcapLibrary.h"
#include "log/EventLog.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <tuple>

namespace {

constexpr int kEthernetBytes = 14, kIpBytes = 20, kUdpBytes = 8;
constexpr int kHeaderBytes = kEthernetBytes + kIpBytes + kUdpBytes;
constexpr int kSnapLength = 65535;
// What a received datagram's sender shows as: the relay does not keep it.
constexpr uint32_t kUnknownSender = 0xC0000201;  // 192.0.2.1, host order
constexpr int kIdleWaitMs = 5;
constexpr int kRetrySeconds = 1;
// A ring that lost nothing for this long ends its episode of falling behind.
constexpr int kCatchUpSeconds = 2;

// Only called with a FileSet whose Dead is set, which needs the library loaded.
const PCAP_FUNCTIONS& Pcap()
{
    return *PcapLibrary();
}

int64_t MonotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return now.tv_sec;
}

uint32_t Ipv4(const std::string& text)
{
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1 ? address.s_addr : 0;
}

// Only letters, digits and '_' of a segment code go into a file name.
std::string FileNamePart(const std::string& segment)
{
    std::string part;
    for (const char c : segment) part += (std::isalnum(static_cast<unsigned char>(c)) || c == '_') ? c : '_';
    return part.empty() ? "segment" : part;
}

const char* DirectionText(CAPTURE_DIRECTION direction)
{
    return direction == CAPTURE_DIRECTION::Sent ? "sent" : "received";
}

void Put16(uint8_t* at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

// Ethernet, IPv4 and UDP headers for `length` bytes from `source` to
// `destination` (network order): what a reader needs to show addresses and
// ports, and tcpreplay to send the datagram again.
void MakeHeaders(uint8_t* frame, uint32_t source, uint16_t sourcePort, uint32_t destination, uint16_t destinationPort,
                 int length)
{
    const auto* to = reinterpret_cast<const uint8_t*>(&destination);
    const auto* from = reinterpret_cast<const uint8_t*>(&source);
    uint8_t* ethernet = frame;
    if (to[0] >= 224 && to[0] <= 239) {
        // The group's own MAC address, as the switch delivers it.
        const uint8_t group[6] = {0x01, 0x00, 0x5e, static_cast<uint8_t>(to[1] & 0x7f), to[2], to[3]};
        std::memcpy(ethernet, group, 6);
    } else {
        const uint8_t unicast[6] = {0x02, 0, 0, 0, 0, 0x02};
        std::memcpy(ethernet, unicast, 6);
    }
    const uint8_t sender[6] = {0x02, 0, 0, 0, 0, 0x01};
    std::memcpy(ethernet + 6, sender, 6);
    Put16(ethernet + 12, 0x0800);

    uint8_t* ip = frame + kEthernetBytes;
    std::memset(ip, 0, kIpBytes);
    ip[0] = 0x45;
    Put16(ip + 2, static_cast<uint16_t>(kIpBytes + kUdpBytes + length));
    ip[8] = 64;
    ip[9] = 17;
    std::memcpy(ip + 12, from, 4);
    std::memcpy(ip + 16, to, 4);
    uint32_t sum = 0;
    for (int i = 0; i < kIpBytes; i += 2) sum += static_cast<uint32_t>(ip[i] << 8 | ip[i + 1]);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    Put16(ip + 10, static_cast<uint16_t>(~sum));

    uint8_t* udp = ip + kIpBytes;
    Put16(udp, sourcePort);
    Put16(udp + 2, destinationPort);
    Put16(udp + 4, static_cast<uint16_t>(kUdpBytes + length));
    Put16(udp + 6, 0);  // no checksum, as IPv4 allows
}

}  // namespace

struct CCaptureWriter::FileSet {
    std::string Segment;
    CAPTURE_DIRECTION Direction = CAPTURE_DIRECTION::Received;
    pcap_t* Dead = nullptr;
    pcap_dumper_t* Dumper = nullptr;
    std::string Path;
    int64_t OpenedAt = 0;
    int64_t FlushedBytes = 0;
    // Written since the last flush that worked, per ring: lost if the next one fails.
    std::vector<std::pair<CCaptureRing*, uint64_t>> Pending;
    bool Failing = false;
    int64_t RetryAt = 0;
    uint64_t FailedCount = 0;  // in this episode

    ~FileSet()
    {
        if (Dumper)
            Pcap().DumpClose(Dumper);
        if (Dead)
            Pcap().Close(Dead);
    }
};

CCaptureWriter::CCaptureWriter(CAPTURE_SETTINGS settings) : m_settings(std::move(settings))
{
    m_thread = std::thread([this] { Run(); });
}

CCaptureWriter::~CCaptureWriter()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

std::shared_ptr<CCaptureRing> CCaptureWriter::AddRelay(const KOV_BCAST_CONFIG& configuration)
{
    CAPTURE_ENDPOINTS endpoints;
    endpoints.SegmentCode = configuration.SegmentCode;
    endpoints.ReceiveIp = Ipv4(configuration.ReceiveIp);
    endpoints.ReceivePort = static_cast<uint16_t>(configuration.ReceivePort);
    endpoints.SendIp = Ipv4(configuration.SendIp);
    endpoints.SendPort = static_cast<uint16_t>(configuration.SendPort);
    endpoints.ZentaSideIp = Ipv4(configuration.ZentaSideIp);
    auto ring = std::make_shared<CCaptureRing>(std::move(endpoints));
    std::lock_guard lock(m_mutex);
    m_relays.push_back({ring, configuration.ConfigId});
    return ring;
}

void CCaptureWriter::Flush()
{
    std::lock_guard lock(m_mutex);
    while (Drain()) {}
    FlushFiles();
}

void CCaptureWriter::Run()
{
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        if (Drain())
            FlushFiles();
        else
            m_wake.wait_for(lock, std::chrono::milliseconds(kIdleWaitMs));
        if (const int64_t now = MonotonicSeconds(); now >= m_nextHousekeeping) {
            m_nextHousekeeping = now + 1;
            NoteRingEpisodes(now);
            KeepWithinTotal();
        }
    }
    while (Drain()) {}
    FlushFiles();
    NoteRingEpisodes(MonotonicSeconds() + kCatchUpSeconds);
    m_sets.clear();
    KeepWithinTotal();
}

bool CCaptureWriter::Drain()
{
    bool wrote = false;
    for (Relay& relay : m_relays) {
        // A bounded share per ring per pass, so that one busy relay cannot starve the others.
        for (int i = 0; i < 256; ++i) {
            const CAPTURED_DATAGRAM* datagram = relay.Ring->Peek();
            if (!datagram)
                break;
            WriteOne(relay, *datagram);
            relay.Ring->Pop();
            wrote = true;
        }
    }
    // A relay that let go of its ring is done once the ring is empty.
    std::erase_if(m_relays, [](const Relay& relay) { return relay.Ring.use_count() == 1 && !relay.Ring->Peek(); });
    return wrote;
}

CCaptureWriter::FileSet& CCaptureWriter::SetFor(const std::string& segment, CAPTURE_DIRECTION direction)
{
    auto& set = m_sets[{segment, static_cast<int>(direction)}];
    if (!set) {
        set = std::make_unique<FileSet>();
        set->Segment = segment;
        set->Direction = direction;
        if (PcapLibrary())
            set->Dead = Pcap().OpenDead(DLT_EN10MB, kSnapLength, PCAP_TSTAMP_PRECISION_MICRO);
    }
    return *set;
}

void CCaptureWriter::WriteOne(Relay& relay, const CAPTURED_DATAGRAM& datagram)
{
    const CAPTURE_ENDPOINTS& endpoints = relay.Ring->Endpoints();
    FileSet& set = SetFor(endpoints.SegmentCode, datagram.Direction);
    const int64_t now = MonotonicSeconds();
    if (set.Dumper && (Pcap().DumpFtell64(set.Dumper) >= static_cast<int64_t>(m_settings.FileBytes) ||
                       now - set.OpenedAt >= m_settings.FileSeconds))
        CloseFile(set);
    if (!set.Dumper && (!set.Failing || now >= set.RetryAt) && !OpenFile(set, now)) {
        set.RetryAt = now + kRetrySeconds;
    }
    if (!set.Dumper || !set.Dead) {
        relay.Ring->CountUnwritten(1);
        ++set.FailedCount;
        return;
    }

    uint8_t frame[kHeaderBytes + kMaxDatagramLength];
    if (datagram.Direction == CAPTURE_DIRECTION::Received)
        MakeHeaders(frame, htonl(kUnknownSender), endpoints.ReceivePort, endpoints.ReceiveIp, endpoints.ReceivePort,
                    datagram.Length);
    else
        MakeHeaders(frame, endpoints.ZentaSideIp, endpoints.SendPort, endpoints.SendIp, endpoints.SendPort,
                    datagram.Length);
    std::memcpy(frame + kHeaderBytes, datagram.Bytes, datagram.Length);
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(datagram.TimeMicroseconds / 1000000);
    header.ts.tv_usec = static_cast<suseconds_t>(datagram.TimeMicroseconds % 1000000);
    header.caplen = header.len = static_cast<bpf_u_int32>(kHeaderBytes + datagram.Length);
    Pcap().Dump(reinterpret_cast<u_char*>(set.Dumper), &header, frame);
    if (set.Pending.empty() || set.Pending.back().first != relay.Ring.get())
        set.Pending.emplace_back(relay.Ring.get(), 0);
    ++set.Pending.back().second;
    if (std::ferror(Pcap().DumpFile(set.Dumper)))
        FailFile(set, errno);
}

bool CCaptureWriter::OpenFile(FileSet& set, int64_t nowSeconds)
{
    if (!set.Dead)
        return false;
    const time_t wall = std::time(nullptr);
    tm utc{};
    gmtime_r(&wall, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    set.Path = m_settings.Directory + "/" + FileNamePart(set.Segment) + "-" + DirectionText(set.Direction) + "-" +
               stamp + "-" + std::to_string(++m_sequence) + ".pcap";
    // A file of our own, never one a link points at or one already there.
    const int fd = open(set.Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    FILE* file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (!file) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        FailFile(set, error);
        return false;
    }
    set.Dumper = Pcap().DumpFopen(set.Dead, file);
    if (!set.Dumper) {
        std::fclose(file);
        unlink(set.Path.c_str());
        FailFile(set, EIO);
        return false;
    }
    set.OpenedAt = nowSeconds;
    set.FlushedBytes = 0;
    return true;
}

void CCaptureWriter::CloseFile(FileSet& set)
{
    if (!set.Dumper)
        return;
    if (Pcap().DumpFlush(set.Dumper) != 0) {
        FailFile(set, errno);
        return;
    }
    set.Pending.clear();
    // pcap_dump_close gives no result: close the file ourselves to see the last write's.
    const int closed = std::fclose(Pcap().DumpFile(set.Dumper));
    const int error = errno;
    set.Dumper = nullptr;
    if (closed != 0)
        FailFile(set, error);
}

void CCaptureWriter::FailFile(FileSet& set, int error)
{
    const bool episodeBegins = !set.Failing;
    if (episodeBegins)
        set.FailedCount = 0;
    for (const auto& [ring, count] : set.Pending) {
        ring->CountUnwritten(count);
        set.FailedCount += count;
    }
    set.Pending.clear();
    if (set.Dumper) {
        std::fclose(Pcap().DumpFile(set.Dumper));
        set.Dumper = nullptr;
        // A file that never held a datagram is no record: do not leave one per retry.
        if (set.FlushedBytes <= 24)
            unlink(set.Path.c_str());
    }
    set.RetryAt = MonotonicSeconds() + kRetrySeconds;
    if (episodeBegins) {
        set.Failing = true;
        LogEvent(
            "%s Capture of segment %s (%s) cannot be written to %s: %s; datagrams are relayed but not "
            "captured.",
            LocalTimeText().c_str(), set.Segment.c_str(), DirectionText(set.Direction), m_settings.Directory.c_str(),
            std::strerror(error));
    }
}

void CCaptureWriter::FlushFiles()
{
    for (auto& [key, set] : m_sets) {
        if (!set->Dumper || set->Pending.empty())
            continue;
        if (Pcap().DumpFlush(set->Dumper) != 0) {
            FailFile(*set, errno);
            continue;
        }
        set->Pending.clear();
        set->FlushedBytes = Pcap().DumpFtell64(set->Dumper);
        if (set->Failing) {
            set->Failing = false;
            LogEvent("%s Capture of segment %s (%s) is written again; %" PRIu64 " datagrams were not captured.",
                     LocalTimeText().c_str(), set->Segment.c_str(), DirectionText(set->Direction), set->FailedCount);
        }
    }
}

void CCaptureWriter::NoteRingEpisodes(int64_t nowSeconds)
{
    for (Relay& relay : m_relays) {
        const uint64_t full = relay.Ring->RingFullTotal();
        if (full > relay.RingFullSeen) {
            if (relay.RingFullSince < 0) {
                relay.RingFullAtStart = relay.RingFullSeen;
                LogEvent("%s Config ID %d Capture falls behind: datagrams are relayed but not captured.",
                         LocalTimeText().c_str(), relay.ConfigId);
            }
            relay.RingFullSince = nowSeconds;
            relay.RingFullSeen = full;
        } else if (relay.RingFullSince >= 0 && nowSeconds - relay.RingFullSince >= kCatchUpSeconds) {
            LogEvent("%s Config ID %d Capture keeps up again; %" PRIu64 " datagrams were not captured.",
                     LocalTimeText().c_str(), relay.ConfigId, full - relay.RingFullAtStart);
            relay.RingFullSince = -1;
        }
    }
}

std::vector<std::string> CCaptureWriter::CaptureFiles(const std::string& directory)
{
    std::vector<std::tuple<std::filesystem::file_time_type, std::string>> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        const std::string name = entry.path().filename().string();
        const bool ours = name.ends_with(".pcap") &&
                          (name.find("-received-") != std::string::npos || name.find("-sent-") != std::string::npos);
        std::error_code statError;
        if (ours && entry.is_regular_file(statError))
            found.emplace_back(entry.last_write_time(statError), entry.path().string());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& [time, path] : found) paths.push_back(std::move(path));
    return paths;
}

void CCaptureWriter::KeepWithinTotal()
{
    const std::vector<std::string> files = CaptureFiles(m_settings.Directory);
    std::vector<uint64_t> sizes;
    uint64_t total = 0;
    for (const std::string& path : files) {
        struct stat status {};
        sizes.push_back(stat(path.c_str(), &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0);
        total += sizes.back();
    }
    for (size_t i = 0; i < files.size() && total > m_settings.TotalBytes; ++i) {
        const bool open = std::any_of(m_sets.begin(), m_sets.end(), [&](const auto& set) {
            return set.second->Dumper && set.second->Path == files[i];
        });
        if (open || unlink(files[i].c_str()) != 0)
            continue;
        total -= sizes[i];
    }
}
