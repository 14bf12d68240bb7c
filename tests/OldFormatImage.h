#pragma once

// The expected bytes of an old-format 7208 datagram, written at the offsets
// of the format's tables (not through engine/BroadcastLayouts.h).

#include "tests/NewFormatInput.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
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
inline OldRecord CopiedFields(const DepthInput& input)
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

    // Record 0 starts at 56, record 1 at 56 + 212 ("QA") or 56 + 214.
    void PutQaRecord(int index, const OldRecord& r)
    {
        const size_t at = 56 + 212 * static_cast<size_t>(index);
        Put(at + 0, static_cast<uint16_t>(r.Token), 2);
        Put(at + 2, 1, 2);
        Put(at + 4, static_cast<uint16_t>(r.MarketState), 2);
        Put(at + 6, static_cast<uint32_t>(r.ValueA), 4);
        Put(at + 10, static_cast<uint32_t>(r.LastPrice), 4);
        Put(at + 14, static_cast<uint8_t>(r.Indicator), 1);
        Put(at + 16, static_cast<uint32_t>(r.NetChange), 4);
        Put(at + 20, static_cast<uint32_t>(r.OpenInterest), 4);
        Put(at + 24, static_cast<uint32_t>(r.ValueB), 4);
        Put(at + 28, static_cast<uint32_t>(r.ValueC), 4);
        for (size_t j = 0; j < 10; ++j) {
            Put(at + 54 + 12 * j, static_cast<uint32_t>(r.Levels[j].Value1), 4);
            Put(at + 58 + 12 * j, static_cast<uint32_t>(r.Levels[j].Value2), 4);
            Put(at + 62 + 12 * j, r.Levels[j].Count, 2);
            Put(at + 64 + 12 * j, static_cast<uint16_t>(r.Levels[j].Flag), 2);
        }
        Put(at + 174, static_cast<uint16_t>(r.SideFlag), 2);
        Put(at + 176, static_cast<uint16_t>(r.Flag19State), 2);
        Put(at + 178, DoubleBits(r.D), 8);
        Put(at + 186, DoubleBits(r.E), 8);
        Put(at + 196, static_cast<uint32_t>(r.ClosePrice), 4);
        Put(at + 200, static_cast<uint32_t>(r.OpenPrice), 4);
        Put(at + 204, static_cast<uint32_t>(r.HighPrice), 4);
        Put(at + 208, static_cast<uint32_t>(r.LowPrice), 4);
    }

    void PutRecord(int index, const OldRecord& r)
    {
        const size_t at = 56 + 214 * static_cast<size_t>(index);
        Put(at + 0, static_cast<uint32_t>(r.Token), 4);
        Put(at + 4, 1, 2);
        Put(at + 6, static_cast<uint16_t>(r.MarketState), 2);
        Put(at + 8, static_cast<uint32_t>(r.ValueA), 4);
        Put(at + 12, static_cast<uint32_t>(r.LastPrice), 4);
        Put(at + 16, static_cast<uint8_t>(r.Indicator), 1);
        Put(at + 18, static_cast<uint32_t>(r.NetChange), 4);
        Put(at + 22, static_cast<uint32_t>(r.OpenInterest), 4);
        Put(at + 26, static_cast<uint32_t>(r.ValueB), 4);
        Put(at + 30, static_cast<uint32_t>(r.ValueC), 4);
        for (size_t j = 0; j < 10; ++j) {
            Put(at + 56 + 12 * j, static_cast<uint32_t>(r.Levels[j].Value1), 4);
            Put(at + 60 + 12 * j, static_cast<uint32_t>(r.Levels[j].Value2), 4);
            Put(at + 64 + 12 * j, r.Levels[j].Count, 2);
        }
        Put(at + 180, DoubleBits(r.D), 8);
        Put(at + 188, DoubleBits(r.E), 8);
        Put(at + 198, static_cast<uint32_t>(r.ClosePrice), 4);
        Put(at + 202, static_cast<uint32_t>(r.OpenPrice), 4);
        Put(at + 206, static_cast<uint32_t>(r.HighPrice), 4);
        Put(at + 210, static_cast<uint32_t>(r.LowPrice), 4);
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
