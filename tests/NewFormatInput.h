#pragma once

// New-format test input. Records come from the shared encoder, whose
// offsets NewFormatRecordsTest pins to hand-written bytes; messages are put
// together here so that a test can state any header, right or wrong.

#include "engine/NewFormatRecords.h"

#include <lz4.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline void PutLittleEndian(Bytes& bytes, size_t offset, uint64_t value, size_t width)
{
    if (bytes.size() < offset + width)
        bytes.resize(offset + width);
    for (size_t i = 0; i < width; ++i)
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A DepthQuote, TickerPrices or TickerOpenInterest as its record's bytes.
template <class Record>
Bytes Encoded(const Record& record)
{
    Bytes bytes(std::is_same_v<Record, DepthQuote> ? 140 : std::is_same_v<Record, TickerPrices> ? 28 : 16);
    EncodeNewRecord(record, bytes.data());
    return bytes;
}

inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The records make(first) to make(first + count - 1), one after the other.
template <class Make>
Bytes EncodedRecords(int32_t first, int32_t count, Make make)
{
    Bytes all;
    for (int32_t token = first; token < first + count; ++token)
        all = Concat({all, Encoded(make(token))});
    return all;
}

inline Bytes Compress(const Bytes& raw)
{
    Bytes block(static_cast<size_t>(LZ4_compressBound(static_cast<int>(raw.size()))));
    const int length = LZ4_compress_default(reinterpret_cast<const char*>(raw.data()),
                                            reinterpret_cast<char*>(block.data()), static_cast<int>(raw.size()),
                                            static_cast<int>(block.size()));
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
        for (; rest >= 255; rest -= 255)
            block.push_back(255);
        block.push_back(static_cast<uint8_t>(rest));
    }
    block.insert(block.end(), raw.begin(), raw.end());
    return block;
}

// The 6-byte header and a block: what a feed sends.
inline Bytes Message(int16_t code, int16_t records, const Bytes& block, int16_t compressedLength)
{
    Bytes bytes;
    PutLittleEndian(bytes, 0, static_cast<uint16_t>(code), 2);
    PutLittleEndian(bytes, 2, static_cast<uint16_t>(compressedLength), 2);
    PutLittleEndian(bytes, 4, static_cast<uint16_t>(records), 2);
    return Concat({bytes, block});
}
inline Bytes Message(int16_t code, int16_t records, const Bytes& block)
{
    return Message(code, records, block, static_cast<int16_t>(block.size()));
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

// A message as the relay's receive buffer holds it: 2500 bytes, zero behind it.
inline std::array<uint8_t, 2500> ReceiveBuffer(const Bytes& message)
{
    std::array<uint8_t, 2500> buffer{};
    std::copy_n(message.begin(), std::min(message.size(), buffer.size()), buffer.begin());
    return buffer;
}

// Bytes as "0A 1B ..", for readable comparisons.
inline std::string Hex(const uint8_t* bytes, size_t length)
{
    std::string text;
    char part[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(part, sizeof part, i ? " %02X" : "%02X", bytes[i]);
        text += part;
    }
    return text;
}
