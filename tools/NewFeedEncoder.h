#pragma once

#include <array>
#include <cstdint>
#include <vector>

// Builds new-format market-data datagrams (10500 depth, 10750 ticker
// prices, 10600 open interest) for the feed generator and the benchmark.

struct DepthQuote {
    int32_t Token = 0;
    int32_t ValueA = 0;
    int32_t LastPrice = 0;
    int32_t ValueB = 0;
    int32_t ValueC = 0;
    double D = 0;
    double E = 0;
    uint32_t Flags = 0;  // flag k in bit k, flags 0 to 23
    struct Level {
        int32_t Value1 = 0;
        int32_t Value2 = 0;
        uint16_t Count = 0;
    };
    std::array<Level, 10> Levels{};
};

struct TickerPrices {
    int32_t Token = 0;
    int32_t OpenPrice = 0;
    int32_t HighPrice = 0;
    int32_t LowPrice = 0;
    int32_t ClosePrice = 0;
    int32_t TickerValue5 = 0;
    int32_t TickerValue6 = 0;
};

struct TickerOpenInterest {
    int32_t Token = 0;
    int32_t OpenInterest = 0;
};

// Most records of each kind that one message can carry (6000 decompressed bytes).
inline constexpr int kMaxDepthRecords = 42;
inline constexpr int kMaxPriceRecords = 214;
inline constexpr int kMaxOpenInterestRecords = 375;

// One datagram each: the 6-byte header and the LZ4-compressed records.
// Empty when there are no records, too many, or the block would not fit
// the relay's 2500-byte receive buffer.
[[nodiscard]] std::vector<uint8_t> EncodeDepthMessage(const std::vector<DepthQuote>& quotes);
[[nodiscard]] std::vector<uint8_t> EncodePriceMessage(const std::vector<TickerPrices>& prices);
[[nodiscard]] std::vector<uint8_t> EncodeOpenInterestMessage(const std::vector<TickerOpenInterest>& values);
