#pragma once

#include "engine/NewFormatRecords.h"

#include <cstdint>
#include <vector>

// Builds new-format market-data datagrams (10500 depth, 10750 ticker
// prices, 10600 open interest) for the feed generator, the tests and the
// benchmark.

// Most depth records one message can carry (6000 decompressed bytes).
inline constexpr int kMaxDepthRecords = 42;

// One datagram each: the 6-byte header and the LZ4-compressed records.
// Empty when there are no records, too many, or the block would not fit
// the relay's 2500-byte receive buffer.
[[nodiscard]] std::vector<uint8_t> EncodeDepthMessage(const std::vector<DepthQuote>& quotes);
[[nodiscard]] std::vector<uint8_t> EncodePriceMessage(const std::vector<TickerPrices>& prices);
[[nodiscard]] std::vector<uint8_t> EncodeOpenInterestMessage(const std::vector<TickerOpenInterest>& values);
