#pragma once

#include <array>
#include <cstdint>

// The values of new-format records and their byte encoding, for whatever
// produces new-format data (the feed generator, tests, the benchmark).

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

// Writes one record (NEW_DEPTH_RECORD, NEW_TICKER_PRICE_RECORD or
// NEW_TICKER_OI_RECORD) at `record`; bytes the layout leaves unread stay as they are.
void EncodeNewRecord(const DepthQuote& quote, uint8_t* record) noexcept;
void EncodeNewRecord(const TickerPrices& prices, uint8_t* record) noexcept;
void EncodeNewRecord(const TickerOpenInterest& value, uint8_t* record) noexcept;
