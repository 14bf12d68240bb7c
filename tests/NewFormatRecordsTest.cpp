#include "tests/NewFormatInput.h"
#include "tests/OldFormatImage.h"

namespace {

// The tools, the tests and the benchmark all make their input through
// these encoders, so their offsets are checked here against bytes written
// from the format's tables.
TEST(NewFormatRecordsTest, RecordsSitAtTheirOffsetsLittleEndian)
{
    DepthQuote quote{.Token = 0x01020304, .ValueA = 0x05060708, .LastPrice = -2, .ValueB = 0x11121314,
                     .ValueC = 0x15161718, .D = 1.5, .E = -2.25, .Flags = 1u << 0 | 1u << 9 | 1u << 18 | 1u << 23};
    Bytes depth(140, 0);
    // {offset, value, width}; the flags' bytes are 01 (flag 0), 02 (flag 9) and 84 (flags 18 and 23).
    const std::tuple<size_t, uint64_t, size_t> fields[] = {
        {0, 0x01020304, 4}, {4, 0x05060708, 4},       {8, 0xFFFFFFFE, 4},        {12, 0x11121314, 4},
        {16, 0x15161718, 4}, {20, DoubleBits(1.5), 8}, {28, DoubleBits(-2.25), 8}, {36, 0x840201, 3}};
    for (const auto& [offset, value, width] : fields)
        PutLittleEndian(depth, offset, value, width);
    for (size_t j = 0; j < 10; ++j) {
        quote.Levels[j] = {0x21000000 + static_cast<int32_t>(j), 0x31000000 + static_cast<int32_t>(j),
                           static_cast<uint16_t>(0x4100 + j)};
        PutLittleEndian(depth, 40 + 10 * j, 0x21000000 + j, 4);
        PutLittleEndian(depth, 44 + 10 * j, 0x31000000 + j, 4);
        PutLittleEndian(depth, 48 + 10 * j, 0x4100 + j, 2);
    }
    EXPECT_EQ(Hex(Encoded(quote).data(), 140), Hex(depth.data(), 140));

    Bytes prices;
    for (size_t i = 0; i < 7; ++i)
        PutLittleEndian(prices, 4 * i, 0x50 + i, 4);
    EXPECT_EQ(Hex(Encoded(TickerPrices{0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56}).data(), 28), Hex(prices.data(), 28));

    Bytes openInterest(16, 0);
    PutLittleEndian(openInterest, 0, 0x61626364, 4);
    PutLittleEndian(openInterest, 8, 0x71727374, 4);
    EXPECT_EQ(Hex(Encoded(TickerOpenInterest{0x61626364, 0x71727374}).data(), 16), Hex(openInterest.data(), 16));
}

}  // namespace
