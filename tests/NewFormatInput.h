#pragma once

// New-format test input built byte by byte at the offsets of the format's
// tables, independently of engine/BroadcastLayouts.h, so that a wrong offset
// there cannot cancel out against the same mistake here.

#include <lz4.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline void PutLittleEndian(Bytes& bytes, size_t offset, uint64_t value, size_t width)
{
    if (bytes.size() < offset + width)
        bytes.resize(offset + width);
    for (size_t i = 0; i < width; ++i)
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint64_t DoubleBits(double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// One 140-byte depth record. `flags` holds flag k in bit k.
struct DepthInput {
    int32_t Token = 0;
    int32_t ValueA = 0;
    int32_t LastPrice = 0;
    int32_t ValueB = 0;
    int32_t ValueC = 0;
    double D = 0;
    double E = 0;
    uint32_t Flags = 0;
    struct Level {
        int32_t Value1 = 0, Value2 = 0;
        uint16_t Count = 0;
    };
    std::array<Level, 10> Levels{};
};

inline Bytes Encode(const DepthInput& record)
{
    Bytes bytes(140);
    PutLittleEndian(bytes, 0, static_cast<uint32_t>(record.Token), 4);
    PutLittleEndian(bytes, 4, static_cast<uint32_t>(record.ValueA), 4);
    PutLittleEndian(bytes, 8, static_cast<uint32_t>(record.LastPrice), 4);
    PutLittleEndian(bytes, 12, static_cast<uint32_t>(record.ValueB), 4);
    PutLittleEndian(bytes, 16, static_cast<uint32_t>(record.ValueC), 4);
    PutLittleEndian(bytes, 20, DoubleBits(record.D), 8);
    PutLittleEndian(bytes, 28, DoubleBits(record.E), 8);
    PutLittleEndian(bytes, 36, record.Flags, 3);
    bytes[39] = 0xEE;  // never read
    for (size_t j = 0; j < 10; ++j) {
        PutLittleEndian(bytes, 40 + 10 * j, static_cast<uint32_t>(record.Levels[j].Value1), 4);
        PutLittleEndian(bytes, 44 + 10 * j, static_cast<uint32_t>(record.Levels[j].Value2), 4);
        PutLittleEndian(bytes, 48 + 10 * j, record.Levels[j].Count, 2);
    }
    return bytes;
}

// A 28-byte 10750 record.
inline Bytes PriceRecord(int32_t token, int32_t open, int32_t high, int32_t low, int32_t close, int32_t value5 = 0,
                         int32_t value6 = 0)
{
    Bytes bytes;
    const int32_t values[] = {token, open, high, low, close, value5, value6};
    for (size_t i = 0; i < 7; ++i)
        PutLittleEndian(bytes, 4 * i, static_cast<uint32_t>(values[i]), 4);
    return bytes;
}

// A 16-byte 10600 record; the unread words carry noise.
inline Bytes OpenInterestRecord(int32_t token, int32_t openInterest)
{
    Bytes bytes;
    PutLittleEndian(bytes, 0, static_cast<uint32_t>(token), 4);
    PutLittleEndian(bytes, 4, 0xDEADBEEF, 4);
    PutLittleEndian(bytes, 8, static_cast<uint32_t>(openInterest), 4);
    PutLittleEndian(bytes, 12, 0xCAFEF00D, 4);
    return bytes;
}

inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
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
    block.push_back(static_cast<uint8_t>((n < 15 ? n : 15) << 4));
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
    bytes.insert(bytes.end(), block.begin(), block.end());
    return bytes;
}
inline Bytes Message(int16_t code, int16_t records, const Bytes& block)
{
    return Message(code, records, block, static_cast<int16_t>(block.size()));
}
inline Bytes CompressedMessage(int16_t code, int16_t records, const Bytes& raw)
{
    return Message(code, records, Compress(raw));
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
