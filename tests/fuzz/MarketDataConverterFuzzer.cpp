// libFuzzer target: any datagram, placed in a receive buffer as the relay
// does, goes through the conversion for a "QA", a "QB" and an unknown
// segment. Besides the sanitizers' checks, every datagram sent must have
// the old layout's fixed bytes, and the counts must stay within bounds.

#include "engine/MarketDataConverter.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void Check(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

bool AllZero(const uint8_t* bytes, size_t length)
{
    return std::all_of(bytes, bytes + length, [](uint8_t byte) { return byte == 0; });
}

struct CheckingSink final : COldDatagramSink {
    explicit CheckingSink(const char* segment) : StreamCode(StreamCodeOfSegment(segment)) {}

    const uint8_t StreamCode;
    int Converted = 0;
    int Sent = 0;

    void CountConverted() override { ++Converted; }
    void SendPacket(const uint8_t* d) override
    {
        ++Sent;
        const uint8_t prefix[] = {StreamCode, 0, 0, 1, 0, 0};
        Check(std::memcmp(d, prefix, sizeof prefix) == 0, "prefix");
        if (StreamCode == 0)
            return Check(AllZero(d + 4, 508), "a datagram without message");
        const size_t record = StreamCode == kQaStreamCode ? 212 : 214;
        Check(d[24] == 0x1C && d[25] == 0x28, "transaction code");
        Check(d[52] == 0x01 && d[53] == (record == 212 ? 0xD2 : 0xD6), "message length");
        Check(d[54] == 0 && (d[55] == 1 || d[55] == 2), "record count");
        Check(d[55] == 2 || AllZero(d + 56 + record, record), "zero second record");
        Check(AllZero(d + 56 + 2 * record, 512 - 56 - 2 * record), "zero tail");
    }
};

// One converter for the whole run, like an engine's; replaced when its
// ticker map has grown large, so that a long run stays within memory.
std::unique_ptr<CMarketDataConverter> g_converter;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The relay drops a datagram longer than its receive buffer before converting.
    if (size > kMaxDatagramLength)
        return 0;
    if (!g_converter || g_converter->TickerCount() > 1000000)
        g_converter = std::make_unique<CMarketDataConverter>();
    static uint8_t buffer[kMaxDatagramLength];
    std::memset(buffer, 0, sizeof buffer);
    if (size)
        std::memcpy(buffer, data, size);

    for (const char* segment : {"QA", "QB", "QDLN"}) {
        CheckingSink sink(segment);
        g_converter->ProcessNewMarketData(buffer, segment, sink);
        Check(sink.Converted <= 1, "one count per datagram");
        Check(sink.Sent == 0 || sink.Converted == 1, "a send without a count");
        Check(sink.Sent <= 21, "at most 42 records in 6000 bytes");
    }
    return 0;
}
