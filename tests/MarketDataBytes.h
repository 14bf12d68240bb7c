#pragma once

// The bytes of market data for the tests.
//
// New-format input: records come from the shared encoder, whose offsets a
// test pins to hand-written bytes; messages are put together here so that a
// test can state any header, right or wrong.
//
// Old-format output: the expected bytes of a 7208 datagram, written at the
// offsets of the format's tables (not through engine/BroadcastLayouts.h).

#include "engine/NewFormatRecords.h"

#include <lz4.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline void PutLittleEndian(Bytes& bytes, size_t offset, uint64_t value, size_t width)
{
    if (bytes.size() < offset + width)
        bytes.resize(offset + width);
    for (size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A DepthQuote, TickerPrices or TickerOpenInterest as its record's bytes.
template <class Record>
Bytes Encoded(const Record& record)
{
    Bytes bytes(std::is_same_v<Record, DepthQuote> ? 140 : std::is_same_v<Record, TickerPrices> ? 28 : 16);
    EncodeNewRecord(record, bytes.data());
    return bytes;
}

inline Bytes operator+(Bytes front, const Bytes& back)
{
    front.insert(front.end(), back.begin(), back.end());
    return front;
}

// The records make(first) to make(first + count - 1), one after the other.
template <class Make>
Bytes EncodedRecords(int32_t first, int32_t count, Make make)
{
    Bytes all;
    for (int32_t token = first; token < first + count; ++token) all = all + Encoded(make(token));
    return all;
}

inline Bytes Compress(const Bytes& raw)
{
    Bytes block(static_cast<size_t>(LZ4_compressBound(static_cast<int>(raw.size()))));
    const int length =
        LZ4_compress_default(reinterpret_cast<const char*>(raw.data()), reinterpret_cast<char*>(block.data()),
                             static_cast<int>(raw.size()), static_cast<int>(block.size()));
    block.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return block;
}

// A raw LZ4 block of literals only, written by hand: its length is exact
// (1 token byte, the length bytes of the literal run, the literals).
inline Bytes LiteralBlock(const Bytes& raw)
{
    Bytes block;
    const size_t n = raw.size();
    block.push_back(static_cast<uint8_t>(std::min<size_t>(n, 15) << 4));
    if (n >= 15) {
        size_t rest = n - 15;
        for (; rest >= 255; rest -= 255) block.push_back(255);
        block.push_back(static_cast<uint8_t>(rest));
    }
    block.insert(block.end(), raw.begin(), raw.end());
    return block;
}

// The 6-byte header (the block's own length unless told otherwise) and a block: what a feed sends.
inline Bytes Message(int16_t code, int16_t records, const Bytes& block, std::optional<int16_t> compressedLength = {})
{
    Bytes header;
    for (const int16_t field : {code, compressedLength.value_or(static_cast<int16_t>(block.size())), records})
        PutLittleEndian(header, header.size(), static_cast<uint16_t>(field), 2);
    return header + block;
}
inline Bytes CompressedMessage(int16_t code, int16_t records, const Bytes& raw)
{
    return Message(code, records, Compress(raw));
}
inline Bytes DepthMessage(const std::vector<DepthQuote>& quotes)
{
    const auto count = static_cast<int16_t>(quotes.size());
    return CompressedMessage(10500, count, EncodedRecords(0, count, [&](int32_t i) { return quotes[i]; }));
}

// Bytes as "0A 1B ..", 16 to a line, so that a failed comparison shows the lines that differ.
inline std::string Hex(const uint8_t* bytes, size_t length)
{
    std::string text;
    char part[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(part, sizeof part, "%c%02X", i % 16 ? ' ' : '\n', bytes[i]);
        text += part;
    }
    return text.substr(std::min<size_t>(text.size(), 1));
}

// A converted record: the fields copied from its input, and those the conversion sets.
struct OldRecord {
    DepthQuote In;
    int16_t MarketState = 2;
    char Indicator = ' ';
    int32_t NetChange = 0;
    int32_t OpenInterest = 0;
    std::array<int16_t, 10> LevelFlags{};
    int16_t SideFlag = 0;
    int16_t Flag19State = 0;
    std::array<int32_t, 4> Prices{};  // close, open, high, low
};

class OldDatagramImage {
public:
    std::array<uint8_t, 512> Bytes{};

    [[nodiscard]] std::string Text() const { return Hex(Bytes.data(), Bytes.size()); }

    // The low `width` bytes of `value`, big-endian.
    void Put(size_t offset, uint64_t value, size_t width)
    {
        for (size_t i = 0; i < width; ++i) Bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    }

    // The datagram prefix and the message header for `records` records.
    OldDatagramImage(uint8_t streamCode, bool qa, int16_t records)
    {
        Put(0, streamCode, 1);
        Put(2, 1, 2);
        if (streamCode == 0)
            return;
        Put(24, 7208, 2);
        Put(52, qa ? 466 : 470, 2);
        Put(54, static_cast<uint16_t>(records), 2);
    }

    // Record 0 starts at 56, record 1 at 56 + 212 ("QA") or 56 + 214. The
    // "QA" record's token is 2 bytes, the others' 4, which shifts every
    // later field by 2: `t` is the token's width.
    void PutRecord(int index, const OldRecord& r, bool qa)
    {
        const size_t t = qa ? 2 : 4;
        const size_t at = 56 + (210 + t) * static_cast<size_t>(index);
        const DepthQuote& q = r.In;
        Put(at, static_cast<uint32_t>(q.Token), t);
        // {offset after the token, value, width}
        const std::tuple<size_t, uint64_t, size_t> fields[] = {{0, 1, 2},
                                                               {2, r.MarketState, 2},
                                                               {4, q.ValueA, 4},
                                                               {8, q.LastPrice, 4},
                                                               {12, r.Indicator, 1},
                                                               {14, r.NetChange, 4},
                                                               {18, r.OpenInterest, 4},
                                                               {22, q.ValueB, 4},
                                                               {26, q.ValueC, 4},
                                                               {172, r.SideFlag, 2},
                                                               {174, r.Flag19State, 2},
                                                               {194, r.Prices[0], 4},
                                                               {198, r.Prices[1], 4},
                                                               {202, r.Prices[2], 4},
                                                               {206, r.Prices[3], 4},
                                                               {176, std::bit_cast<uint64_t>(q.D), 8},
                                                               {184, std::bit_cast<uint64_t>(q.E), 8}};
        for (const auto& [offset, value, width] : fields) Put(at + t + offset, value, width);
        for (size_t j = 0; j < 10; ++j) {
            Put(at + t + 52 + 12 * j, q.Levels[j].Value1, 4);
            Put(at + t + 56 + 12 * j, q.Levels[j].Value2, 4);
            Put(at + t + 60 + 12 * j, q.Levels[j].Count, 2);
            Put(at + t + 62 + 12 * j, r.LevelFlags[j], 2);
        }
    }
};
