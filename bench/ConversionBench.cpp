// Conversion speed on one core: new-format messages in, old-format
// datagrams out, with no sockets. The messages are encoded before the
// clock starts, so only ProcessNewMarketData is measured.
//
// Usage: orma-bench-conversion [--seconds S]   (default 3 per run)

#include "engine/MarketDataConverter.h"
#include "tools/CommandLine.h"
#include "tools/NewFeedEncoder.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

struct Message {
    std::vector<uint8_t> Bytes;
    int DepthRecords = 0;
};

struct CountingSink final : COldDatagramSink {
    long long Converted = 0;
    long long Sent = 0;
    uint8_t Checksum = 0;  // reads each datagram, as a send would
    uint8_t Place[512];
    void CountConverted() override { ++Converted; }
    uint8_t* NextDatagram() override { return Place; }
    void SendPacket(const uint8_t* datagram) override
    {
        ++Sent;
        Checksum ^= datagram[57];
    }
};

Message Place(const std::vector<uint8_t>& encoded, int depthRecords)
{
    return Message{encoded, depthRecords};
}

DepthQuote Quote(std::mt19937& random, int32_t token)
{
    DepthQuote quote;
    quote.Token = token;
    quote.LastPrice = 100000 + static_cast<int32_t>(random() % 5000);
    quote.ValueA = static_cast<int32_t>(random() % 100000);
    quote.ValueB = quote.LastPrice - 5;
    quote.ValueC = quote.LastPrice + 5;
    quote.D = quote.LastPrice / 100.0;
    quote.E = quote.ValueA * 1.5;
    quote.Flags = static_cast<uint32_t>(random()) & 0x7FFFFF;
    for (int j = 0; j < 10; ++j)
        quote.Levels[j] = {static_cast<int32_t>(random() % 10000), quote.LastPrice + (j < 5 ? -j : j - 4),
                           static_cast<uint16_t>(random() % 50)};
    return quote;
}

// A trading-day mix over 5000 tokens: nine in ten messages are depth with
// 1 to 8 records, the rest ticker prices and open interest, 100 records each.
std::vector<Message> Mix(size_t count)
{
    std::mt19937 random(42);
    constexpr int32_t kTokens = 5000;
    auto token = [&] { return static_cast<int32_t>(1 + random() % kTokens); };
    std::vector<Message> messages;
    for (size_t i = 0; i < count; ++i) {
        const unsigned kind = random() % 100;
        if (kind < 90) {
            std::vector<DepthQuote> quotes(1 + random() % 8);
            for (DepthQuote& quote : quotes) quote = Quote(random, token());
            messages.push_back(Place(EncodeDepthMessage(quotes), static_cast<int>(quotes.size())));
        } else if (kind < 97) {
            std::vector<TickerPrices> prices(100);
            for (TickerPrices& price : prices) price = {token(), 100000, 101000, 99000, 100500, 0, 0};
            messages.push_back(Place(EncodePriceMessage(prices), 0));
        } else {
            std::vector<TickerOpenInterest> values(100);
            for (TickerOpenInterest& value : values) value = {token(), static_cast<int32_t>(random() % 1000000)};
            messages.push_back(Place(EncodeOpenInterestMessage(values), 0));
        }
    }
    return messages;
}

// Depth messages of exactly two records: one datagram each.
std::vector<Message> PairsOnly(size_t count)
{
    std::mt19937 random(7);
    std::vector<Message> messages;
    for (size_t i = 0; i < count; ++i) {
        const auto token = static_cast<int32_t>(1 + random() % 5000);
        messages.push_back(Place(EncodeDepthMessage({Quote(random, token), Quote(random, token + 1)}), 2));
    }
    return messages;
}

void Run(const char* name, const std::vector<Message>& messages, const char* segment, double seconds)
{
    CMarketDataConverter converter;
    CountingSink sink;
    const auto process = [&](const Message& message) {
        converter.ProcessNewMarketData(message.Bytes.data(), static_cast<int>(message.Bytes.size()), segment, sink);
    };
    for (const Message& message : messages)  // warm-up: fills the ticker map
        process(message);

    sink = CountingSink();
    long long processed = 0, records = 0;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto now = start;
    while (now < end) {
        for (const Message& message : messages) {
            process(message);
            records += message.DepthRecords;
        }
        processed += static_cast<long long>(messages.size());
        now = Clock::now();
    }
    const double elapsed = std::chrono::duration<double>(now - start).count();
    std::printf(
        "%-22s %-4s %12.0f msg/s %12.0f depth rec/s %12.0f datagrams/s %8.0f ns/msg  (%lld msgs, checksum %02x)\n",
        name, segment, static_cast<double>(processed) / elapsed, static_cast<double>(records) / elapsed,
        static_cast<double>(sink.Sent) / elapsed, elapsed * 1e9 / static_cast<double>(processed), processed,
        sink.Checksum);
}

}  // namespace

int main(int argc, char** argv)
{
    CCommandLine line(argc, argv, {});
    const double seconds = line.Decimal("seconds", 3, 0.1, 600);
    if (!line.Valid()) {
        std::fprintf(stderr, "orma-bench-conversion: %s\nusage: orma-bench-conversion [--seconds S]\n",
                     line.Error().c_str());
        return 2;
    }
    const std::vector<Message> mix = Mix(20000);
    const std::vector<Message> pairs = PairsOnly(20000);
    for (const char* segment : {"QA", "QB"}) {
        Run("mixed feed", mix, segment, seconds);
        Run("depth, 2 records", pairs, segment, seconds);
    }
    return 0;
}
