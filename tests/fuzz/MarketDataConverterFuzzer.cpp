// libFuzzer target: any datagram, placed in a receive buffer as the relay
// does, goes through the conversion for a "QA", a "QB" and an unknown
// segment. Besides the sanitizers' checks, every datagram sent must have
// the old layout's fixed bytes, and the counts must stay within bounds.

#include "engine/MarketDataConverter.h"

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
    for (size_t i = 0; i < length; ++i)
        if (bytes[i])
            return false;
    return true;
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
        Check(d[0] == StreamCode && d[1] == 0 && d[2] == 0 && d[3] == 1 && d[4] == 0 && d[5] == 0, "prefix");
        if (StreamCode == 0) {
            Check(AllZero(d + 4, 508), "a datagram without message");
            return;
        }
        const bool qa = StreamCode == kQaStreamCode;
        Check(d[24] == 0x1C && d[25] == 0x28, "transaction code");
        Check(d[52] == 0x01 && d[53] == (qa ? 0xD2 : 0xD6), "message length");
        Check(d[54] == 0 && (d[55] == 1 || d[55] == 2), "record count");
        const size_t record = qa ? 212 : 214;
        if (d[55] == 1)
            Check(AllZero(d + 56 + record, record), "zero second record");
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
    if (size > CMarketDataConverter::kReceiveBufferSize)
        return 0;
    if (!g_converter || g_converter->TickerCount() > 1000000)
        g_converter = std::make_unique<CMarketDataConverter>();
    static uint8_t buffer[CMarketDataConverter::kReceiveBufferSize];
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
