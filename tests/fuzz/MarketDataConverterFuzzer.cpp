// libFuzzer target: any datagram, exactly its bytes as the relay hands them
// over (a read past them is an AddressSanitizer error), goes through the
// conversion for a "QA", a "QB" and an unknown segment. Besides the sanitizers' checks, every datagram sent must have
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
    uint8_t Place[512];

    void CountConverted() override { ++Converted; }
    // Filled with garbage, so that a byte the conversion leaves unwritten shows.
    uint8_t* NextDatagram() override
    {
        std::memset(Place, 0xEE, sizeof Place);
        return Place;
    }
    void SendPacket(const uint8_t* d) override
    {
        ++Sent;
        Check(d == Place, "written where it is sent from");
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
    for (const char* segment : {"QA", "QB", "QDLN"}) {
        CheckingSink sink(segment);
        g_converter->ProcessNewMarketData(data, static_cast<int>(size), segment, sink);
        Check(sink.Converted <= 1, "one count per datagram");
        Check(sink.Sent == 0 || sink.Converted == 1, "a send without a count");
        Check(sink.Sent <= 21, "at most 42 records in 6000 bytes");
    }
    return 0;
}
