#include "tools/MetricsText.h"

#include <time.h>

#include <algorithm>
#include <functional>
#include <string_view>

#include "log/EventLog.h"

namespace {

double WallClockSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Taken while the program loads, before any relay starts.
const double g_loadTime = WallClockSeconds();

// The clock the engine stamps its last datagram with.
int64_t MonotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return now.tv_sec;
}

// Length of the valid UTF-8 sequence at text[i], 0 when there is none
// (a stray byte, an overlong form, a surrogate, beyond U+10FFFF).
size_t Utf8SequenceLength(std::string_view text, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (size_t k = i + 2; k < i + length; ++k) {
        if (byte(k) < 0x80 || byte(k) > 0xBF)
            return 0;
    }
    return length;
}

// A label value as the format wants it: \, " and line ends escaped, and
// bytes that are not UTF-8 (a hand-edited store) as U+FFFD, since one bad
// byte would make the whole scrape unreadable.
std::string EscapeLabelValue(std::string_view text)
{
    std::string escaped;
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '\\' || c == '"') {
            escaped += {'\\', c};
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (const size_t length = Utf8SequenceLength(text, i); length > 0) {
            escaped.append(text, i, length);
            i += length;
            continue;
        } else {
            escaped += "\xEF\xBF\xBD";
        }
        ++i;
    }
    return escaped;
}

std::string RelayLabels(const RELAY_METRICS& relay)
{
    return FormatText(
        "config_id=\"%d\",segment=\"%s\",receive_group=\"%s\",receive_port=\"%d\",send_group=\"%s\","
        "send_port=\"%d\"",
        relay.ConfigId, EscapeLabelValue(relay.SegmentCode).c_str(), EscapeLabelValue(relay.ReceiveGroup).c_str(),
        relay.ReceivePort, EscapeLabelValue(relay.SendGroup).c_str(), relay.SendPort);
}

void AddFamily(std::string& text, const char* name, const char* type, const char* help)
{
    text += FormatText("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// One family with a series per relay: {labels} and the value's text.
void AddRelayFamily(std::string& text, const std::vector<std::string>& labels, const std::vector<RELAY_METRICS>& relays,
                    const char* name, const char* type, const char* help,
                    const std::function<std::string(const RELAY_METRICS&)>& value)
{
    AddFamily(text, name, type, help);
    for (size_t i = 0; i < relays.size(); ++i)
        text += FormatText("%s{%s} %s\n", name, labels[i].c_str(), value(relays[i]).c_str());
}

}  // namespace

RELAY_METRICS MetricsOf(const CKOVBCastEngine& engine)
{
    const KOV_BCAST_CONFIG& c = engine.GetConfiguration();
    RELAY_METRICS m;
    m.ConfigId = c.ConfigId;
    m.SegmentCode = c.SegmentCode;
    m.ReceiveGroup = c.ReceiveIp;
    m.ReceivePort = c.ReceivePort;
    m.SendGroup = c.SendIp;
    m.SendPort = c.SendPort;
    m.Received = engine.GetReceivedTotal();
    m.Converted = engine.GetConvertedTotal();
    m.Sent = engine.GetSentTotal();
    m.Dropped = engine.GetDroppedTotal();
    m.FailedSends = engine.GetFailedSendTotal();
    m.Oversized = engine.GetOversizedTotal();
    m.TickerTokens = engine.GetTickerMapSize();
    m.TickerEvictions = engine.GetTickerEvictionCount();
    m.RefusedTokens = engine.GetRefusedTokenCount();
    m.NotCaptured = engine.GetNotCapturedTotal();
    m.ReceiveBufferBytes = engine.GetGrantedReceiveBuffer();
    m.State = engine.GetState();
    // The engine stamps on the monotonic clock; a scraper wants the wall clock.
    if (const int64_t last = engine.GetLastDatagramTime(); last > 0)
        m.LastDatagramTimestamp =
            static_cast<int64_t>(WallClockSeconds()) - std::max<int64_t>(0, MonotonicSeconds() - last);
    return m;
}

double ProcessStartTimeSeconds()
{
    return g_loadTime;
}

std::string MetricsText(const std::vector<RELAY_METRICS>& relays, const PROCESS_METRICS& process)
{
    std::vector<std::string> labels;
    labels.reserve(relays.size());
    for (const RELAY_METRICS& relay : relays) labels.push_back(RelayLabels(relay));

    std::string text;
    const auto counter = [&](const char* name, const char* help, uint64_t RELAY_METRICS::*field) {
        AddRelayFamily(text, labels, relays, name, "counter", help,
                       [field](const RELAY_METRICS& relay) { return std::to_string(relay.*field); });
    };
    counter("orma_relay_received_datagrams_total",
            "Datagrams received and relayed as they came (configurations with NMKT off).", &RELAY_METRICS::Received);
    counter("orma_relay_converted_messages_total",
            "New-format market-data messages converted to old-format broadcasts (NMKT on).", &RELAY_METRICS::Converted);
    counter("orma_relay_sent_datagrams_total", "Datagrams the kernel accepted for sending towards ZENTA.",
            &RELAY_METRICS::Sent);
    counter("orma_relay_dropped_datagrams_total",
            "Datagrams the kernel dropped before the relay read them, its receive buffer being full.",
            &RELAY_METRICS::Dropped);
    counter("orma_relay_failed_sends_total", "Datagrams the kernel refused to send.", &RELAY_METRICS::FailedSends);
    counter("orma_relay_oversized_datagrams_total", "Datagrams received too long to relay, and not relayed.",
            &RELAY_METRICS::Oversized);
    counter("orma_relay_ticker_evictions_total",
            "Tokens the ticker map let go, least recently updated first, to take new ones at its ceiling.",
            &RELAY_METRICS::TickerEvictions);
    counter("orma_relay_refused_tokens_total", "Ticker records not stored because no memory could be had for them.",
            &RELAY_METRICS::RefusedTokens);
    AddRelayFamily(text, labels, relays, "orma_relay_ticker_tokens", "gauge",
                   "Tokens whose ticker values the relay holds (NMKT on); emptied when it stops.",
                   [](const RELAY_METRICS& relay) { return std::to_string(relay.TickerTokens); });
    counter("orma_relay_not_captured_datagrams_total",
            "Datagrams received or sent that the capture archive could not keep (its writer fell behind or could "
            "not write); 0 without capture.",
            &RELAY_METRICS::NotCaptured);
    AddRelayFamily(text, labels, relays, "orma_relay_receive_buffer_bytes", "gauge",
                   "Receive buffer the kernel granted at the relay's last start, in bytes; 0 before.",
                   [](const RELAY_METRICS& relay) { return std::to_string(relay.ReceiveBufferBytes); });

    AddFamily(text, "orma_relay_state", "gauge",
              "The relay's state as the console shows it, in the state label; always 1.");
    for (size_t i = 0; i < relays.size(); ++i)
        text += FormatText("orma_relay_state{%s,state=\"%s\"} 1\n", labels[i].c_str(),
                           EscapeLabelValue(CKOVBCastEngine::StateText(relays[i].State)).c_str());

    AddRelayFamily(text, labels, relays, "orma_relay_last_datagram_timestamp_seconds", "gauge",
                   "When the relay last received a datagram, seconds since the epoch; 0 before the first.",
                   [](const RELAY_METRICS& relay) { return std::to_string(relay.LastDatagramTimestamp); });

    AddFamily(text, "orma_relay_start_time_seconds", "gauge",
              "When this orma-relay process started, seconds since the epoch.");
    text += FormatText("orma_relay_start_time_seconds %.3f\n", process.StartTimeSeconds);
    AddFamily(text, "orma_relay_build_info", "gauge", "The program's version, in the version label; always 1.");
    text += FormatText("orma_relay_build_info{version=\"%s\"} 1\n", EscapeLabelValue(process.Version).c_str());
    return text;
}
