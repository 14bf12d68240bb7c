#pragma once

#include "engine/WireField.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// The broadcast formats the relay reads and writes, as field offsets into
// byte buffers. New format: little-endian, LZ4-compressed records.
// Old format: big-endian, 512-byte datagrams with transaction code 7208.

// ---- New format ------------------------------------------------------------

// One received datagram: a 6-byte header and one raw LZ4 block.
struct NEW_BCAST_MESSAGE {
    using TransactionCode = LeField<int16_t, 0>;
    using CompressedLength = LeField<int16_t, 2>;
    using NoOfRecords = LeField<int16_t, 4>;
    static constexpr size_t kBlockOffset = 6;
    // The block decompresses to at most this many bytes.
    static constexpr int kMaxDecompressedLength = 6000;

    static constexpr int16_t kDepthCode = 10500;
    static constexpr int16_t kTickerOpenInterestCode = 10600;
    static constexpr int16_t kTickerPriceCode = 10750;
};
static_assert(NEW_BCAST_MESSAGE::NoOfRecords::kEnd == NEW_BCAST_MESSAGE::kBlockOffset);

// Depth record of a 10500 message.
struct NEW_DEPTH_RECORD {
    using Token = LeField<int32_t, 0>;
    using ValueA = LeField<int32_t, 4>;
    using LastPrice = LeField<int32_t, 8>;
    using ValueB = LeField<int32_t, 12>;
    using ValueC = LeField<int32_t, 16>;
    using DoubleD = LeField<double, 20>;
    using DoubleE = LeField<double, 28>;
    static constexpr size_t kFlagBytes = 36;  // three bytes of flags, then one unread byte
    static constexpr size_t kLevels = 40;

    struct Level {
        using Value1 = LeField<int32_t, 0>;
        using Value2 = LeField<int32_t, 4>;
        using Count = LeField<uint16_t, 8>;
        static constexpr size_t kSize = 10;
    };
    static constexpr int kLevelCount = 10;
    static constexpr size_t kSize = 140;

    [[nodiscard]] static constexpr size_t LevelOffset(int level) noexcept { return kLevels + level * Level::kSize; }
    // Flag k is bit (k mod 8) of flag byte (k div 8), bit 0 the least significant.
    [[nodiscard]] static bool Flag(const uint8_t* record, int k) noexcept
    {
        return (record[kFlagBytes + k / 8] >> (k % 8)) & 1;
    }
    static void SetFlag(uint8_t* record, int k, bool on) noexcept
    {
        const auto bit = static_cast<uint8_t>(1u << (k % 8));
        record[kFlagBytes + k / 8] =
            static_cast<uint8_t>(on ? record[kFlagBytes + k / 8] | bit : record[kFlagBytes + k / 8] & ~bit);
    }
};
static_assert(NEW_DEPTH_RECORD::DoubleE::kEnd == NEW_DEPTH_RECORD::kFlagBytes);
static_assert(NEW_DEPTH_RECORD::Level::Count::kEnd == NEW_DEPTH_RECORD::Level::kSize);
static_assert(NEW_DEPTH_RECORD::LevelOffset(NEW_DEPTH_RECORD::kLevelCount) == NEW_DEPTH_RECORD::kSize);

// Ticker price record of a 10750 message.
struct NEW_TICKER_PRICE_RECORD {
    using Token = LeField<int32_t, 0>;
    using OpenPrice = LeField<int32_t, 4>;
    using HighPrice = LeField<int32_t, 8>;
    using LowPrice = LeField<int32_t, 12>;
    using ClosePrice = LeField<int32_t, 16>;
    using TickerValue5 = LeField<int32_t, 20>;
    using TickerValue6 = LeField<int32_t, 24>;
    static constexpr size_t kSize = 28;
};
static_assert(NEW_TICKER_PRICE_RECORD::TickerValue6::kEnd == NEW_TICKER_PRICE_RECORD::kSize);

// Ticker open-interest record of a 10600 message.
struct NEW_TICKER_OI_RECORD {
    using Token = LeField<int32_t, 0>;
    using OpenInterest = LeField<int32_t, 8>;
    static constexpr size_t kSize = 16;
};
static_assert(NEW_TICKER_OI_RECORD::OpenInterest::kEnd + 4 == NEW_TICKER_OI_RECORD::kSize);

// ---- Old format ------------------------------------------------------------

// The 40-byte header of an old broadcast message.
struct OLD_BCAST_HEADER {
    using LogTime = BeField<int32_t, 4>;
    using TransactionCode = BeField<int16_t, 10>;
    using ErrorCode = BeField<int16_t, 12>;
    using MessageLength = BeField<int16_t, 38>;
    static constexpr size_t kSize = 40;
    static constexpr int16_t kDepthCode = 7208;
};
static_assert(OLD_BCAST_HEADER::MessageLength::kEnd == OLD_BCAST_HEADER::kSize);

// An old depth record. The "QA" record has a 2-byte token, the others a
// 4-byte one, which shifts every later field by 2; otherwise they share
// one layout and differ only in how the conversion fills them.
template <size_t TokenWidth>
struct OldDepthRecordLayout {
    static_assert(TokenWidth == 2 || TokenWidth == 4);
    static constexpr bool kShortToken = TokenWidth == 2;
    static constexpr size_t S = TokenWidth;

    using Token = BeField<std::conditional_t<kShortToken, int16_t, int32_t>, 0>;
    using One = BeField<int16_t, S>;  // always 1
    using MarketState = BeField<int16_t, S + 2>;
    using ValueA = BeField<int32_t, S + 4>;
    using LastPrice = BeField<int32_t, S + 8>;
    using NetChangeIndicator = BeField<char, S + 12>;
    using NetChange = BeField<int32_t, S + 14>;
    using OpenInterest = BeField<int32_t, S + 18>;
    using ValueB = BeField<int32_t, S + 22>;
    using ValueC = BeField<int32_t, S + 26>;
    static constexpr size_t kLevels = S + 52;  // after 22 zero bytes

    struct Level {
        using Value1 = BeField<int32_t, 0>;
        using Value2 = BeField<int32_t, 4>;
        using Count = BeField<uint16_t, 8>;
        using Flag = BeField<int16_t, 10>;
        static constexpr size_t kSize = 12;
    };
    static constexpr int kLevelCount = 10;

    using SideFlag = BeField<int16_t, S + 172>;
    using Flag19State = BeField<int16_t, S + 174>;
    using DoubleD = BeField<double, S + 176>;
    using DoubleE = BeField<double, S + 184>;
    using ClosePrice = BeField<int32_t, S + 194>;  // after 2 zero bytes
    using OpenPrice = BeField<int32_t, S + 198>;
    using HighPrice = BeField<int32_t, S + 202>;
    using LowPrice = BeField<int32_t, S + 206>;
    static constexpr size_t kSize = S + 210;

    [[nodiscard]] static constexpr size_t LevelOffset(int level) noexcept { return kLevels + level * Level::kSize; }
    static_assert(LevelOffset(kLevelCount) == SideFlag::kOffset);
    static_assert(DoubleE::kEnd + 2 == ClosePrice::kOffset);
    static_assert(LowPrice::kEnd == kSize);
};
using OLD_DEPTH_RECORD_QA = OldDepthRecordLayout<2>;
using OLD_DEPTH_RECORD = OldDepthRecordLayout<4>;
static_assert(OLD_DEPTH_RECORD_QA::kSize == 212);
static_assert(OLD_DEPTH_RECORD::kSize == 214);

// An old depth message: 8 zero bytes, the header, the record count and two
// records (the second all zero when only one is filled).
struct OLD_DEPTH_MESSAGE {
    static constexpr size_t kHeaderOffset = 8;
    using NoOfRecords = BeField<int16_t, 48>;
    static constexpr size_t kRecordsOffset = 50;
    static constexpr int kMaxRecords = 2;

    template <typename Record>
    static constexpr size_t kSize = kRecordsOffset + kMaxRecords* Record::kSize;
    // MessageLength counts from the header on.
    template <typename Record>
    static constexpr int16_t kMessageLength = static_cast<int16_t>(kSize<Record> - kHeaderOffset);
};
static_assert(OLD_DEPTH_MESSAGE::kHeaderOffset + OLD_BCAST_HEADER::kSize == OLD_DEPTH_MESSAGE::NoOfRecords::kOffset);
static_assert(OLD_DEPTH_MESSAGE::NoOfRecords::kEnd == OLD_DEPTH_MESSAGE::kRecordsOffset);
static_assert(OLD_DEPTH_MESSAGE::kSize<OLD_DEPTH_RECORD_QA> == 474);
static_assert(OLD_DEPTH_MESSAGE::kSize<OLD_DEPTH_RECORD> == 478);
static_assert(OLD_DEPTH_MESSAGE::kMessageLength<OLD_DEPTH_RECORD_QA> == 466);
static_assert(OLD_DEPTH_MESSAGE::kMessageLength<OLD_DEPTH_RECORD> == 470);

// The 512-byte old datagram: a 6-byte prefix and one depth message, or no
// message for a segment without a stream code.
struct OLD_BCAST_DATAGRAM {
    using StreamCode = BeField<uint8_t, 0>;
    using MessageCount = BeField<int16_t, 2>;  // always 1
    static constexpr size_t kMessageOffset = 6;
    static constexpr size_t kSize = 512;
};
static_assert(OLD_BCAST_DATAGRAM::MessageCount::kEnd + 2 == OLD_BCAST_DATAGRAM::kMessageOffset);
static_assert(OLD_BCAST_DATAGRAM::kMessageOffset + OLD_DEPTH_MESSAGE::kSize<OLD_DEPTH_RECORD> <=
              OLD_BCAST_DATAGRAM::kSize);

inline constexpr uint8_t kQaStreamCode = 4;
inline constexpr uint8_t kQbStreamCode = 2;
inline constexpr uint8_t kQcStreamCode = 6;
inline constexpr uint8_t kQeStreamCode = 8;

// Stream code of a segment: 0 for any segment but these four, whose
// datagrams then carry no message.
[[nodiscard]] constexpr uint8_t StreamCodeOfSegment(std::string_view segmentCode) noexcept
{
    if (segmentCode == "QA")
        return kQaStreamCode;
    if (segmentCode == "QB")
        return kQbStreamCode;
    if (segmentCode == "QC")
        return kQcStreamCode;
    if (segmentCode == "QE")
        return kQeStreamCode;
    return 0;
}

[[nodiscard]] constexpr bool StreamCarriesMessage(uint8_t streamCode) noexcept
{
    return streamCode == kQaStreamCode || streamCode == kQbStreamCode || streamCode == kQcStreamCode ||
           streamCode == kQeStreamCode;
}
