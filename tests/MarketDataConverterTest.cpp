#include "engine/MarketDataConverter.h"
#include "tests/MarketDataBytes.h"

#include <gtest/gtest.h>

// Allocations made through operator new by the whole test program so far
// (AllocationCounter.cpp).
long AllocationCount() noexcept;

namespace {

constexpr int16_t kDepth = 10500;
constexpr int16_t kOpenInterest = 10600;
constexpr int16_t kPrices = 10750;

// The tools, the tests and the benchmark all make their input through
// these encoders, so their offsets are checked here against bytes written
// from the format's tables.
TEST(NewFormatRecordsTest, RecordsSitAtTheirOffsetsLittleEndian)
{
    // clang-format off
    DepthQuote quote{.Token = 0x01020304, .ValueA = 0x05060708, .LastPrice = -2, .ValueB = 0x11121314,
                     .ValueC = 0x15161718, .D = 1.5, .E = -2.25, .Flags = 1u << 0 | 1u << 9 | 1u << 18 | 1u << 23};
    // clang-format on
    Bytes depth(140, 0);
    // {offset, value, width}: 1.5 and -2.25 as IEEE doubles; the flags' bytes are 01 (flag 0), 02 (flag 9)
    // and 84 (flags 18 and 23).
    const std::tuple<size_t, uint64_t, size_t> fields[] = {
        {0, 0x01020304, 4},  {4, 0x05060708, 4},          {8, 0xFFFFFFFE, 4},          {12, 0x11121314, 4},
        {16, 0x15161718, 4}, {20, 0x3FF8000000000000, 8}, {28, 0xC002000000000000, 8}, {36, 0x840201, 3}};
    for (const auto& [offset, value, width] : fields) PutLittleEndian(depth, offset, value, width);
    for (size_t j = 0; j < 10; ++j) {
        quote.Levels[j] = {0x21000000 + static_cast<int32_t>(j), 0x31000000 + static_cast<int32_t>(j),
                           static_cast<uint16_t>(0x4100 + j)};
        PutLittleEndian(depth, 40 + 10 * j, 0x21000000 + j, 4);
        PutLittleEndian(depth, 44 + 10 * j, 0x31000000 + j, 4);
        PutLittleEndian(depth, 48 + 10 * j, 0x4100 + j, 2);
    }
    EXPECT_EQ(Hex(Encoded(quote).data(), 140), Hex(depth.data(), 140));

    EXPECT_EQ(Hex(Encoded(TickerPrices{0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56}).data(), 28),
              "50 00 00 00 51 00 00 00 52 00 00 00 53 00 00 00\n54 00 00 00 55 00 00 00 56 00 00 00");
    EXPECT_EQ(Hex(Encoded(TickerOpenInterest{0x61626364, 0x71727374}).data(), 16),
              "64 63 62 61 00 00 00 00 74 73 72 71 00 00 00 00");
}

struct RecordingSink final : COldDatagramSink {
    int Converted = 0;
    int MapFullReports = 0;
    std::vector<std::array<uint8_t, 512>> Sent;

    void CountConverted() override { ++Converted; }
    // Whatever the place held before must not show in the datagram.
    uint8_t* NextDatagram() override
    {
        m_place.fill(0xEE);
        return m_place.data();
    }
    void SendPacket(const uint8_t* datagram) override
    {
        EXPECT_EQ(datagram, m_place.data()) << "written where it is sent from";
        std::copy_n(datagram, 512, Sent.emplace_back().begin());
    }
    void OnTickerMapFull() override { ++MapFullReports; }

private:
    std::array<uint8_t, 512> m_place{};
};

class ConverterTest : public ::testing::Test {
protected:
    CMarketDataConverter converter;
    RecordingSink sink;

    // Exactly the datagram's bytes: a read past them is a sanitizer error.
    void Feed(const Bytes& message, const char* segment = "QB")
    {
        converter.ProcessNewMarketData(message.data(), static_cast<int>(message.size()), segment, sink);
    }
    void FeedDepth(const std::vector<DepthQuote>& quotes, const char* segment) { Feed(DepthMessage(quotes), segment); }
    void FeedPrices(int32_t token, int32_t open, int32_t high, int32_t low, int32_t close)
    {
        Feed(CompressedMessage(kPrices, 1, Encoded(TickerPrices{token, open, high, low, close, 111, 222})));
    }
    void FeedOpenInterest(int32_t token, int32_t openInterest)
    {
        Feed(CompressedMessage(kOpenInterest, 1, Encoded(TickerOpenInterest{token, openInterest})));
    }
    // The last datagram sent, as hex from offset for length bytes.
    std::string SentHex(size_t offset, size_t length) const { return Hex(sink.Sent.back().data() + offset, length); }
    std::string Sent(size_t index) const { return Hex(sink.Sent.at(index).data(), 512); }
};

// A record whose every field has distinct bytes, so that a field at a wrong
// offset or in a wrong byte order shows.
DepthQuote RichRecord(int32_t token)
{
    // clang-format off
    DepthQuote record{.Token = token, .ValueA = 0x0A0B0C0D, .LastPrice = 1025, .ValueB = 0x01020304,
                      .ValueC = 0x05060708, .D = 1.5, .E = -2.25};
    // clang-format on
    for (int j = 0; j < 10; ++j) record.Levels[j] = {100 * (j + 1), 1025 - j, static_cast<uint16_t>(0x0100 + j)};
    return record;
}

uint32_t Flags(std::initializer_list<int> set)
{
    uint32_t flags = 0;
    for (const int k : set) flags |= 1u << k;
    return flags;
}

TEST_F(ConverterTest, BothVariantsMatchTheOldLayoutByteForByte)
{
    // Token 70000 (0x11170) keeps 0x1170 = 4464 in a "QA" record, and is
    // looked up by that; other segments look up 70000. The entries differ.
    // The ticker values merge in either order: a later record replaces its own fields only.
    FeedOpenInterest(4464, 7000);
    FeedPrices(4464, 990, 1030, 980, 1000);
    FeedPrices(70000, 1, 2, 3, 4);
    FeedPrices(70000, 1010, 1040, 1005, 1020);
    FeedOpenInterest(70000, 8000);
    DepthQuote first = RichRecord(70000);
    const DepthQuote second{.Token = 5, .LastPrice = 77}, third{.Token = 3};
    // "QA": level flags 1, 2, 3 at levels 0 to 2, 2 at level 7; side flag 2;
    // flag 19; market state 6 (flag 21 without 22).
    first.Flags = Flags({0, 6, 2, 7, 12, 18, 19, 21});
    FeedDepth({first, second}, "QA");
    FeedDepth({first, second, third}, "QB");
    ASSERT_EQ(sink.Sent.size(), 3u);
    EXPECT_EQ(sink.Converted, 7);  // the ticker messages count too
    EXPECT_EQ(converter.TickerCount(), 2u);

    OldDatagramImage qa(4, true, 2);
    // State 6 compares the open price: (990 - 1000) / 1000 x 10000.
    // clang-format off
    qa.PutRecord(0, {.In = first, .MarketState = 6, .Indicator = '-', .NetChange = 100, .OpenInterest = 7000,
                     .LevelFlags = {1, 2, 3, 0, 0, 0, 0, 2}, .SideFlag = 2, .Flag19State = 2,
                     .Prices = {1000, 990, 1030, 980}}, true);
    // clang-format on
    qa.PutRecord(1, {.In = second, .MarketState = 3}, true);  // no flags
    EXPECT_EQ(Sent(0), qa.Text());
    // Other segments ignore the flags and carry the close price as the net change.
    OldDatagramImage qb(2, false, 2);
    // clang-format off
    qb.PutRecord(0, {.In = first, .Indicator = '+', .NetChange = 1020, .OpenInterest = 8000,
                     .Prices = {1020, 1010, 1040, 1005}}, false);
    // clang-format on
    qb.PutRecord(1, {.In = second}, false);
    EXPECT_EQ(Sent(1), qb.Text());
    // Two records to a datagram; the last one alone: a count of 1, the same length, a zero second record.
    OldDatagramImage single(2, false, 1);
    single.PutRecord(0, {.In = third}, false);
    EXPECT_EQ(Sent(2), single.Text());
}

TEST_F(ConverterTest, StreamCodeFollowsTheSegmentExactly)
{
    // ("QA" and "QB" are above.) Unknown segments, a lower-case one among
    // them, get stream code 0 and no message.
    for (const auto& [segment, code] : {std::pair{"QC", 6}, {"QE", 8}, {"QDLN", 0}, {"qa", 0}, {"Q", 0}, {"", 0}}) {
        FeedDepth({RichRecord(1)}, segment);
        OldDatagramImage expected(static_cast<uint8_t>(code), false, 1);
        if (code != 0)
            expected.PutRecord(0, {.In = RichRecord(1)}, false);
        EXPECT_EQ(Sent(sink.Sent.size() - 1), expected.Text()) << segment;
    }
}

TEST_F(ConverterTest, QaFlagsGiveMarketStateLevelAndSideFlags)
{
    // Offsets in the datagram of the first "QA" record's derived fields.
    constexpr size_t kState = 56 + 4, kSide = 56 + 174, kFlag19 = 56 + 176;
    auto level = [](size_t j) { return 56 + 64 + 12 * j; };
    const std::tuple<uint32_t, size_t, const char*> cases[] = {
        {Flags({}), kState, "00 03"},       {Flags({21, 22}), kState, "00 01"},
        {Flags({21}), kState, "00 06"},     {Flags({22}), kState, "00 02"},
        {Flags({}), level(0), "00 00"},     {Flags({0}), level(0), "00 01"},
        {Flags({5}), level(0), "00 02"},    {Flags({0, 5}), level(0), "00 03"},
        {Flags({4, 9}), level(4), "00 03"}, {Flags({3}), level(3), "00 01"},
        {Flags({10}), level(5), "00 02"},   {Flags({14}), level(9), "00 02"},
        {Flags({9}), level(9), "00 00"},  // flag 9 is level 4's, never level 9's
        {Flags({}), kSide, "00 00"},        {Flags({20}), kSide, "00 01"},
        {Flags({18}), kSide, "00 02"},      {Flags({18, 20}), kSide, "00 03"},
        {Flags({19}), kFlag19, "00 02"},    {Flags({18, 20, 21, 22}), kFlag19, "00 00"}};
    for (const auto& [flags, offset, bytes] : cases) {
        FeedDepth({DepthQuote{.Flags = flags}}, "QA");
        EXPECT_EQ(SentHex(offset, 2), bytes) << "offset " << offset << ", flags " << std::hex << flags;
    }
}

TEST_F(ConverterTest, NetChangeIsTheTruncatedRatioToTheCloseInQaAndTheCloseElsewhere)
{
    const uint32_t state1 = Flags({21, 22}), state2 = Flags({22}), state6 = Flags({21});
    // "QA" market state: none 3, {22} 2, {21, 22} 1, {21} 6. The bytes are
    // the indicator, a pad byte and the net change.
    const std::tuple<const char*, uint32_t, int32_t, int32_t, int32_t, const char*> cases[] = {
        // segment, flags, last, open, close, bytes
        {"QA", 0, 1025, 0, 1000, "2B 00 00 00 00 FA"},         // + 250
        {"QA", state2, 975, 0, 1000, "2D 00 00 00 00 FA"},     // - 250
        {"QA", state1, 1025, 990, 1000, "2D 00 00 00 00 64"},  // the open price: - 100
        {"QA", state6, 1, 1010, 1000, "2B 00 00 00 00 64"},    // + 100
        {"QA", state1, 1025, 0, 1000, "20 00 00 00 00 00"},    // no open price yet
        {"QA", 0, 1025, 990, 0, "20 00 00 00 00 00"},          // no close price
        {"QA", 0, 1000, 0, 1000, "20 00 00 00 00 00"},         // unchanged
        {"QA", 0, 4, 0, 3, "2B 00 00 00 0D 05"},               // 3333.3 -> 3333
        {"QA", 0, 2, 0, 3, "2D 00 00 00 0D 05"},               // -3333.3 -> 3333
        {"QA", 0, 82, 0, 25, "2B 00 00 00 59 0F"},             // 57 / 25 x 10000 is 22799.99.. in doubles
        {"QA", 0, -32, 0, 25, "2D 00 00 00 59 0F"},            // -22799
        {"QA", 0, -975, 0, -1000, "2B 00 00 00 00 FA"},        // -250 from a negative close
        {"QA", 0, 1000000, 0, 1, "2B 00 7F FF FF FF"},         // too large for 32 bits: held at the top
        {"QA", 0, INT32_MAX, 0, -1, "2B 00 7F FF FF FF"},      // the difference wraps, still held
        {"QE", 0, 1025, 0, 1000, "2B 00 00 00 03 E8"},
        {"QE", 0, 975, 0, 1000, "2D 00 00 00 03 E8"},
        {"QE", 0, 1000, 0, 1000, "20 00 00 00 03 E8"},
        {"QE", 0, 1025, 990, 0, "20 00 00 00 00 00"},
        {"QE", state1, 3, 990, -5, "2B 00 FF FF FF FB"},  // flags and open price play no part
    };
    int32_t token = 100;
    for (const auto& [segment, flags, last, open, close, bytes] : cases) {
        FeedPrices(++token, open, 0, 0, close);
        FeedDepth({DepthQuote{.Token = token, .LastPrice = last, .Flags = flags}}, segment);
        EXPECT_EQ(SentHex(std::strcmp(segment, "QA") == 0 ? 56 + 14 : 56 + 16, 6), bytes)
            << segment << " last " << last << " open " << open << " close " << close;
    }
    // No ticker entry at all: a space and zero.
    FeedDepth({DepthQuote{.Token = 9999, .LastPrice = 1025}}, "QA");
    EXPECT_EQ(SentHex(56 + 14, 6), "20 00 00 00 00 00");
}

TEST_F(ConverterTest, QaLooksTokensUpAsSigned16BitNumbers)
{
    // 40000 is 0x9C40: as a signed 16-bit number -25536.
    FeedPrices(40000, 1, 2, 3, 4);
    const DepthQuote record{.Token = 40000};
    FeedDepth({record}, "QA");
    EXPECT_EQ(SentHex(56, 2), "9C 40");
    EXPECT_EQ(SentHex(56 + 196, 16), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");

    FeedPrices(-25536, 1, 2, 3, 4);
    FeedDepth({record}, "QA");
    EXPECT_EQ(SentHex(56 + 196, 16), "00 00 00 04 00 00 00 01 00 00 00 02 00 00 00 03");
}

TEST_F(ConverterTest, MessagesThatAreNotMarketDataAreDroppedUncounted)
{
    const Bytes oneRecord = Encoded(TickerOpenInterest{1, 2});
    const Bytes block = Compress(oneRecord);
    const Bytes dropped[] = {CompressedMessage(kOpenInterest, 0, oneRecord),
                             CompressedMessage(kOpenInterest, -1, oneRecord),
                             CompressedMessage(7208, 1, oneRecord),  // old format already
                             CompressedMessage(0, 1, oneRecord),
                             CompressedMessage(10501, 1, oneRecord),
                             Message(kOpenInterest, 1, block, 0),
                             Message(kOpenInterest, 1, block, -3),
                             Message(kOpenInterest, 1, block, 2495),  // would run past the receive buffer
                             Message(kOpenInterest, 1, block, 2501),
                             Message(kOpenInterest, 1, Bytes{0x00}),                    // decompresses to nothing
                             Message(kOpenInterest, 1, Bytes{0x1F, 0x41, 0x00, 0x00}),  // a match before the start
                             Message(kOpenInterest, 1, Bytes(block.begin(), block.end() - 1)),  // cut short
                             CompressedMessage(kOpenInterest, 1, Bytes(6001, 0)),               // more than 6000 bytes
                             Bytes()};
    for (const Bytes& message : dropped) Feed(message);
    converter.ProcessNewMarketData(nullptr, 0, "QB", sink);
    EXPECT_EQ(sink.Converted, 0);
    EXPECT_EQ(sink.Sent.size(), 0u);
    EXPECT_EQ(converter.TickerCount(), 0u);
}

TEST_F(ConverterTest, BlockLimitsAreInclusive)
{
    // 2483 literals make a hand-built block of exactly 2494 bytes, ending at
    // the last byte of the receive buffer.
    Bytes raw = Encoded(TickerOpenInterest{1, 2});
    raw.resize(2483, 0x55);
    const Bytes largest = LiteralBlock(raw);
    ASSERT_EQ(largest.size(), 2494u);
    Feed(Message(kOpenInterest, 1, largest));
    EXPECT_EQ(sink.Converted, 1);
    EXPECT_EQ(converter.TickerCount(), 1u);
    // One literal more is a 2495-byte block whose last byte lies past the buffer.
    raw.push_back(0x55);
    Feed(Message(kOpenInterest, 1, LiteralBlock(raw)));
    EXPECT_EQ(sink.Converted, 1);

    // 6000 decompressed bytes: 375 whole open-interest records.
    const Bytes records = EncodedRecords(1000, 375, [](int32_t token) { return TickerOpenInterest{token, 0}; });
    ASSERT_EQ(records.size(), 6000u);
    ASSERT_LE(Compress(records).size(), 2494u);
    Feed(CompressedMessage(kOpenInterest, 375, records));
    EXPECT_EQ(sink.Converted, 2);
    EXPECT_EQ(converter.TickerCount(), 376u);
}

TEST_F(ConverterTest, DepthNeeds140BytesPerRecordButCountsEither)
{
    const Bytes two = EncodedRecords(1, 2, RichRecord);
    Feed(CompressedMessage(kDepth, 2, two + Bytes(20, 0)));  // 150 per record
    Feed(CompressedMessage(kDepth, 3, two));                 // 93 per record
    EXPECT_EQ(sink.Converted, 2);
    EXPECT_EQ(sink.Sent.size(), 0u);
    Feed(CompressedMessage(kDepth, 2, two + Bytes{0x99}));  // 281 / 2 = 140
    EXPECT_EQ(sink.Converted, 3);
    ASSERT_EQ(sink.Sent.size(), 1u);
    EXPECT_EQ(SentHex(54, 2), "00 02");
}

TEST_F(ConverterTest, TickerUpdatesStopAtTheLastWholeRecord)
{
    // Five prices announced, two whole ones and a partial third delivered.
    const Bytes prices = EncodedRecords(1, 2,
                                        [](int32_t n) {
                                            return TickerPrices{n, n, n, n, n};
                                        }) +
                         Bytes{3, 0, 0, 0, 9, 9};
    Feed(CompressedMessage(kPrices, 5, prices));
    EXPECT_EQ(sink.Converted, 1);
    EXPECT_EQ(converter.TickerCount(), 2u);
    // And never more than announced: one of two records.
    Feed(CompressedMessage(kOpenInterest, 1, EncodedRecords(5, 2, [](int32_t n) { return TickerOpenInterest{n, 1}; })));
    EXPECT_EQ(sink.Converted, 2);
    EXPECT_EQ(converter.TickerCount(), 3u);
}

TEST_F(ConverterTest, SteadyStateAllocatesNothingAndTheMapIsSizedOnce)
{
    converter.Prepare();
    const size_t buckets = converter.TickerBucketCount();
    EXPECT_GE(buckets, 135001u);
    const Bytes prices = CompressedMessage(kPrices, 200, EncodedRecords(0, 200, [](int32_t token) {
                                               return TickerPrices{token, 1, 2, 3, 4};
                                           }));
    const Bytes depth = CompressedMessage(kDepth, 42, EncodedRecords(0, 42, RichRecord));
    sink.Sent.reserve(20 * 21);  // so that recording allocates nothing either

    const long before = AllocationCount();
    Feed(prices);
    EXPECT_EQ(AllocationCount() - before, 200) << "one node per new token";

    const long steady = AllocationCount();
    for (int i = 0; i < 10; ++i) {
        Feed(prices);
        Feed(depth, "QA");
        Feed(depth);
    }
    EXPECT_EQ(AllocationCount(), steady);
    EXPECT_EQ(sink.Converted, 31);
    EXPECT_EQ(sink.Sent.size(), 20u * 21) << "the largest depth message, 42 records, in 21 datagrams";
    EXPECT_EQ(converter.TickerBucketCount(), buckets);
}

// A feed of ever new tokens (hostile or corrupt) cannot poison the map: at
// its ceiling the least recently updated token gives way, in the node it
// leaves, so the map stays at its ceiling and allocates nothing more, a new
// token is enriched as ever, and the feed's own token, updated all along,
// keeps its values. Clear empties the map.
TEST_F(ConverterTest, TheTickerMapGivesWayToNewTokensAtItsCeiling)
{
    constexpr int32_t kPerMessage = 200, kFlood = 600000, kKept = 7, kNew = 4464;
    // Distinct tokens in no order: i times an odd number, modulo 2^32.
    const auto floodToken = [](int32_t i) { return static_cast<int32_t>(static_cast<uint32_t>(i) * 2654435761U); };
    for (int32_t first = 1; first <= kFlood; first += kPerMessage)
        Feed(CompressedMessage(
            kOpenInterest, kPerMessage, EncodedRecords(first, kPerMessage, [&](int32_t i) {
                return i == first ? TickerOpenInterest{kKept, 7000} : TickerOpenInterest{floodToken(i), 1};
            })));
    const size_t distinct = kFlood / kPerMessage * (kPerMessage - 1) + 1;
    EXPECT_EQ(converter.TickerCount(), CMarketDataConverter::kMaxTickers);
    EXPECT_EQ(converter.EvictedTokenCount(), distinct - CMarketDataConverter::kMaxTickers);
    EXPECT_EQ(converter.RefusedTokenCount(), 0U);
    EXPECT_EQ(sink.MapFullReports, 1);

    const Bytes newPrices = CompressedMessage(kPrices, 1, Encoded(TickerPrices{kNew, 990, 1030, 980, 1000}));
    const Bytes depth[] = {DepthMessage({DepthQuote{.Token = kNew, .LastPrice = 1025}}),
                           DepthMessage({DepthQuote{.Token = kKept}}),
                           DepthMessage({DepthQuote{.Token = floodToken(2)}})};
    sink.Sent.reserve(sink.Sent.size() + 3);
    const long before = AllocationCount();
    Feed(newPrices);
    for (const Bytes& message : depth) Feed(message);
    EXPECT_EQ(AllocationCount(), before);
    ASSERT_GE(sink.Sent.size(), 3U);
    const auto sentHex = [&](size_t fromEnd, size_t offset, size_t length) {
        return Hex(sink.Sent[sink.Sent.size() - fromEnd].data() + offset, length);
    };
    EXPECT_EQ(sentHex(3, 56 + 16, 6), "2B 00 00 00 03 E8") << "the new token's close price, 1000";
    EXPECT_EQ(sentHex(2, 56 + 22, 4), "00 00 1B 58") << "the kept token's open interest, 7000";
    EXPECT_EQ(sentHex(1, 56 + 22, 4), "00 00 00 00") << "an early flood token gave way";
    EXPECT_EQ(converter.TickerCount(), CMarketDataConverter::kMaxTickers);

    converter.Clear();
    EXPECT_EQ(converter.TickerCount(), 0U);
    Feed(depth[1]);
    EXPECT_EQ(SentHex(56 + 22, 4), "00 00 00 00");
}

}  // namespace
