#pragma once

// The expected bytes of an old-format 7208 datagram, written at the offsets
// of the format's tables (not through engine/BroadcastLayouts.h).

#include "tests/NewFormatInput.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct OldRecord {
    int32_t Token = 0;
    int16_t MarketState = 2;
    int32_t ValueA = 0;
    int32_t LastPrice = 0;
    char Indicator = ' ';
    int32_t NetChange = 0;
    int32_t OpenInterest = 0;
    int32_t ValueB = 0;
    int32_t ValueC = 0;
    struct Level {
        int32_t Value1 = 0, Value2 = 0;
        uint16_t Count = 0;
        int16_t Flag = 0;
    };
    std::array<Level, 10> Levels{};
    int16_t SideFlag = 0;
    int16_t Flag19State = 0;
    double D = 0;
    double E = 0;
    int32_t ClosePrice = 0;
    int32_t OpenPrice = 0;
    int32_t HighPrice = 0;
    int32_t LowPrice = 0;
};

// The fields a record carries over unchanged from its new-format input.
inline OldRecord CopiedFields(const DepthQuote& input)
{
    OldRecord record;
    record.Token = input.Token;
    record.ValueA = input.ValueA;
    record.LastPrice = input.LastPrice;
    record.ValueB = input.ValueB;
    record.ValueC = input.ValueC;
    record.D = input.D;
    record.E = input.E;
    for (size_t j = 0; j < 10; ++j)
        record.Levels[j] = {input.Levels[j].Value1, input.Levels[j].Value2, input.Levels[j].Count, 0};
    return record;
}

inline uint64_t DoubleBits(double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

class OldDatagramImage {
public:
    std::array<uint8_t, 512> Bytes{};

    void Put(size_t offset, uint64_t value, size_t width)
    {
        for (size_t i = 0; i < width; ++i)
            Bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
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
        Put(at + 0, static_cast<uint32_t>(r.Token), t);
        Put(at + t, 1, 2);
        Put(at + t + 2, static_cast<uint16_t>(r.MarketState), 2);
        Put(at + t + 4, static_cast<uint32_t>(r.ValueA), 4);
        Put(at + t + 8, static_cast<uint32_t>(r.LastPrice), 4);
        Put(at + t + 12, static_cast<uint8_t>(r.Indicator), 1);
        Put(at + t + 14, static_cast<uint32_t>(r.NetChange), 4);
        Put(at + t + 18, static_cast<uint32_t>(r.OpenInterest), 4);
        Put(at + t + 22, static_cast<uint32_t>(r.ValueB), 4);
        Put(at + t + 26, static_cast<uint32_t>(r.ValueC), 4);
        for (size_t j = 0; j < 10; ++j) {
            Put(at + t + 52 + 12 * j, static_cast<uint32_t>(r.Levels[j].Value1), 4);
            Put(at + t + 56 + 12 * j, static_cast<uint32_t>(r.Levels[j].Value2), 4);
            Put(at + t + 60 + 12 * j, r.Levels[j].Count, 2);
            Put(at + t + 62 + 12 * j, static_cast<uint16_t>(r.Levels[j].Flag), 2);
        }
        Put(at + t + 172, static_cast<uint16_t>(r.SideFlag), 2);
        Put(at + t + 174, static_cast<uint16_t>(r.Flag19State), 2);
        Put(at + t + 176, DoubleBits(r.D), 8);
        Put(at + t + 184, DoubleBits(r.E), 8);
        Put(at + t + 194, static_cast<uint32_t>(r.ClosePrice), 4);
        Put(at + t + 198, static_cast<uint32_t>(r.OpenPrice), 4);
        Put(at + t + 202, static_cast<uint32_t>(r.HighPrice), 4);
        Put(at + t + 206, static_cast<uint32_t>(r.LowPrice), 4);
    }
};

// Equal when every byte is; otherwise names the first differing offsets.
inline ::testing::AssertionResult SameBytes(const uint8_t* actual, size_t length, const OldDatagramImage& expected)
{
    if (length != expected.Bytes.size())
        return ::testing::AssertionFailure() << "length " << length << ", expected 512";
    std::string differences;
    int shown = 0;
    for (size_t i = 0; i < length && shown < 12; ++i) {
        if (actual[i] != expected.Bytes[i]) {
            differences += " [" + std::to_string(i) + "] " + Hex(actual + i, 1) + " not " + Hex(&expected.Bytes[i], 1);
            ++shown;
        }
    }
    if (shown == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "differs at" << differences;
}
