#include "engine/MarketDataConverter.h"
#include "tests/AllocationCounter.h"
#include "tests/NewFormatInput.h"
#include "tests/OldFormatImage.h"

#include <gtest/gtest.h>

namespace {

constexpr int16_t kDepth = 10500;
constexpr int16_t kOpenInterest = 10600;
constexpr int16_t kPrices = 10750;

struct RecordingSink final : COldDatagramSink {
    int Converted = 0;
    std::vector<std::array<uint8_t, 512>> Sent;

    void Clear()
    {
        Converted = 0;
        Sent.clear();
    }
    void CountConverted() override { ++Converted; }
    void SendPacket(const uint8_t* datagram) override
    {
        Sent.emplace_back();
        std::memcpy(Sent.back().data(), datagram, 512);
    }
};

class ConverterTest : public ::testing::Test {
protected:
    CMarketDataConverter converter;
    RecordingSink sink;

    void Feed(const Bytes& message, const char* segment = "QB")
    {
        const auto buffer = ReceiveBuffer(message);
        converter.ProcessNewMarketData(buffer.data(), segment, sink);
    }
    void FeedDepth(const std::vector<DepthQuote>& records, const char* segment) { Feed(DepthMessage(records), segment); }
    void FeedPrices(int32_t token, int32_t open, int32_t high, int32_t low, int32_t close)
    {
        Feed(CompressedMessage(kPrices, 1, Encoded(TickerPrices{token, open, high, low, close, 111, 222})));
    }
    void FeedOpenInterest(int32_t token, int32_t openInterest)
    {
        Feed(CompressedMessage(kOpenInterest, 1, Encoded(TickerOpenInterest{token, openInterest})));
    }
    // The last datagram sent, as hex from offset for length bytes.
    std::string SentHex(size_t offset, size_t length, size_t datagram = SIZE_MAX) const
    {
        const auto& bytes = Sent(datagram == SIZE_MAX ? sink.Sent.size() - 1 : datagram);
        return Hex(bytes.data() + offset, length);
    }
    const std::array<uint8_t, 512>& Sent(size_t index) const { return sink.Sent.at(index); }
};

// A record whose every field has distinct bytes, so that a field at a wrong
// offset or in a wrong byte order shows.
DepthQuote RichRecord(int32_t token)
{
    DepthQuote record;
    record.Token = token;
    record.ValueA = 0x0A0B0C0D;
    record.LastPrice = 1025;
    record.ValueB = 0x01020304;
    record.ValueC = 0x05060708;
    record.D = 1.5;
    record.E = -2.25;
    for (int j = 0; j < 10; ++j)
        record.Levels[j] = {100 * (j + 1), 1025 - j, static_cast<uint16_t>(0x0100 + j)};
    return record;
}

uint32_t Flags(std::initializer_list<int> set)
{
    uint32_t flags = 0;
    for (const int k : set)
        flags |= 1u << k;
    return flags;
}

// Token 70000 (0x11170) keeps 0x1170 = 4464 in a "QA" record, and is looked
// up by that; other segments look up 70000. The two entries differ.
class ConversionLayoutTest : public ConverterTest {
protected:
    void SetUp() override
    {
        FeedPrices(4464, 990, 1030, 980, 1000);
        FeedOpenInterest(4464, 7000);
        FeedPrices(70000, 1010, 1040, 1005, 1020);
        FeedOpenInterest(70000, 8000);
        sink.Clear();

        first = RichRecord(70000);
        // "QA": level flags 1, 2, 3 at levels 0 to 2, 2 at level 7; side
        // flag 2; flag 19; market state 6 (flag 21 without 22).
        first.Flags = Flags({0, 6, 2, 7, 12, 18, 19, 21});
        second.Token = 5;
        second.LastPrice = 77;
    }

    DepthQuote first, second;
};

TEST_F(ConversionLayoutTest, QaDatagramMatchesTheOldLayoutByteForByte)
{
    FeedDepth({first, second}, "QA");

    ASSERT_EQ(sink.Converted, 1);
    ASSERT_EQ(sink.Sent.size(), 1u);
    EXPECT_EQ(SentHex(0, 6), "04 00 00 01 00 00");
    EXPECT_EQ(SentHex(24, 2), "1C 28");
    EXPECT_EQ(SentHex(52, 4), "01 D2 00 02");

    OldDatagramImage expected(4, true, 2);
    OldRecord one = CopiedFields(first);
    one.Token = 4464;
    one.MarketState = 6;
    one.Levels[0].Flag = 1;
    one.Levels[1].Flag = 2;
    one.Levels[2].Flag = 3;
    one.Levels[7].Flag = 2;
    one.SideFlag = 2;
    one.Flag19State = 2;
    one.ClosePrice = 1000;
    one.OpenPrice = 990;
    one.HighPrice = 1030;
    one.LowPrice = 980;
    one.OpenInterest = 7000;
    // State 6 compares the open price: (990 - 1000) / 1000 x 10000.
    one.Indicator = '-';
    one.NetChange = 100;
    expected.PutRecord(0, one, true);
    OldRecord two = CopiedFields(second);
    two.MarketState = 3;  // no flags
    expected.PutRecord(1, two, true);
    EXPECT_TRUE(SameBytes(Sent(0).data(), 512, expected));
}

TEST_F(ConversionLayoutTest, OtherSegmentsCarryFourByteTokensAndIgnoreTheFlags)
{
    FeedDepth({first, second}, "QB");

    ASSERT_EQ(sink.Sent.size(), 1u);
    EXPECT_EQ(SentHex(52, 2), "01 D6");
    EXPECT_EQ(SentHex(56, 4), "00 01 11 70");

    OldDatagramImage expected(2, false, 2);
    OldRecord one = CopiedFields(first);
    one.ClosePrice = 1020;
    one.OpenPrice = 1010;
    one.HighPrice = 1040;
    one.LowPrice = 1005;
    one.OpenInterest = 8000;
    one.Indicator = '+';    // last 1025 above close 1020
    one.NetChange = 1020;  // the close price itself
    expected.PutRecord(0, one, false);
    expected.PutRecord(1, CopiedFields(second), false);
    EXPECT_TRUE(SameBytes(Sent(0).data(), 512, expected));
}

TEST_F(ConverterTest, StreamCodeFollowsTheSegmentExactly)
{
    const struct {
        const char* segment;
        const char* prefix;
        const char* length;
    } cases[] = {
        {"QA", "04 00 00 01 00 00", "01 D2"}, {"QB", "02 00 00 01 00 00", "01 D6"},
        {"QC", "06 00 00 01 00 00", "01 D6"}, {"QE", "08 00 00 01 00 00", "01 D6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.segment);
        FeedDepth({RichRecord(1)}, c.segment);
        EXPECT_EQ(SentHex(0, 6), c.prefix);
        EXPECT_EQ(SentHex(52, 2), c.length);
    }
    // Unknown segments, a lower-case one among them, get stream code 0 and no message.
    for (const char* segment : {"QDLN", "qa", "Q", ""}) {
        SCOPED_TRACE(segment);
        FeedDepth({RichRecord(1)}, segment);
        EXPECT_TRUE(SameBytes(sink.Sent.back().data(), 512, OldDatagramImage(0, false, 0)));
    }
}

TEST_F(ConverterTest, RecordsGoTwoToADatagramAndAnOddOneAlone)
{
    DepthQuote a, b, c;
    a.Token = 1;
    b.Token = 2;
    c.Token = 3;
    FeedDepth({a, b, c}, "QB");
    EXPECT_EQ(sink.Converted, 1);
    ASSERT_EQ(sink.Sent.size(), 2u);
    OldDatagramImage pair(2, false, 2);
    pair.PutRecord(0, CopiedFields(a), false);
    pair.PutRecord(1, CopiedFields(b), false);
    EXPECT_TRUE(SameBytes(Sent(0).data(), 512, pair));
    // The last one alone: a count of 1, the same message length, a zero second record.
    OldDatagramImage single(2, false, 1);
    single.PutRecord(0, CopiedFields(c), false);
    EXPECT_TRUE(SameBytes(Sent(1).data(), 512, single));

    sink.Clear();
    FeedDepth({c}, "QA");
    ASSERT_EQ(sink.Sent.size(), 1u);
    OldDatagramImage qaSingle(4, true, 1);
    OldRecord record = CopiedFields(c);
    record.MarketState = 3;
    qaSingle.PutRecord(0, record, true);
    EXPECT_TRUE(SameBytes(Sent(0).data(), 512, qaSingle));
}

TEST_F(ConverterTest, QaFlagsGiveMarketStateLevelAndSideFlags)
{
    // Offsets in the datagram of the first "QA" record's derived fields.
    constexpr size_t kMarketState = 56 + 4;
    constexpr size_t kSideFlag = 56 + 174;
    constexpr size_t kFlag19 = 56 + 176;
    auto levelFlag = [](size_t j) { return 56 + 64 + 12 * j; };

    const struct {
        std::initializer_list<int> flags;
        size_t offset;
        const char* bytes;
    } cases[] = {
        {{}, kMarketState, "00 03"},
        {{21, 22}, kMarketState, "00 01"},
        {{21}, kMarketState, "00 06"},
        {{22}, kMarketState, "00 02"},
        {{}, levelFlag(0), "00 00"},
        {{0}, levelFlag(0), "00 01"},
        {{5}, levelFlag(0), "00 02"},
        {{0, 5}, levelFlag(0), "00 03"},
        {{4, 9}, levelFlag(4), "00 03"},
        {{3}, levelFlag(3), "00 01"},
        {{10}, levelFlag(5), "00 02"},
        {{14}, levelFlag(9), "00 02"},
        {{9}, levelFlag(9), "00 00"},  // flag 9 is level 4's, never level 9's
        {{}, kSideFlag, "00 00"},
        {{20}, kSideFlag, "00 01"},
        {{18}, kSideFlag, "00 02"},
        {{18, 20}, kSideFlag, "00 03"},
        {{19}, kFlag19, "00 02"},
        {{18, 20, 21, 22}, kFlag19, "00 00"},
    };
    for (const auto& c : cases) {
        DepthQuote record;
        record.Flags = Flags(c.flags);
        FeedDepth({record}, "QA");
        EXPECT_EQ(SentHex(c.offset, 2), c.bytes) << "offset " << c.offset << ", flags " << record.Flags;
    }
}

struct NetChangeCase {
    uint32_t flags;  // "QA" market state: none 3, {22} 2, {21, 22} 1, {21} 6
    int32_t last, open, close;
    const char* indicatorAndNetChange;  // bytes at record offsets 14 to 19 ("QA")
};

TEST_F(ConverterTest, QaNetChangeIsTheTruncatedRatioToTheClose)
{
    const uint32_t state1 = Flags({21, 22}), state2 = Flags({22}), state6 = Flags({21});
    const NetChangeCase cases[] = {
        {0, 1025, 0, 1000, "2B 00 00 00 00 FA"},              // + 250
        {state2, 975, 0, 1000, "2D 00 00 00 00 FA"},          // - 250
        {state1, 1025, 990, 1000, "2D 00 00 00 00 64"},       // the open price: - 100
        {state6, 1, 1010, 1000, "2B 00 00 00 00 64"},         // + 100
        {state1, 1025, 0, 1000, "20 00 00 00 00 00"},         // no open price yet
        {0, 1025, 990, 0, "20 00 00 00 00 00"},               // no close price
        {0, 1000, 0, 1000, "20 00 00 00 00 00"},              // unchanged
        {0, 4, 0, 3, "2B 00 00 00 0D 05"},                    // 3333.3 -> 3333
        {0, 2, 0, 3, "2D 00 00 00 0D 05"},                    // -3333.3 -> 3333
        {0, 82, 0, 25, "2B 00 00 00 59 0F"},                  // 57 / 25 x 10000 is 22799.99.. in doubles
        {0, -32, 0, 25, "2D 00 00 00 59 0F"},                 // -22799
        {0, -975, 0, -1000, "2B 00 00 00 00 FA"},             // -250 from a negative close
        {0, 1000000, 0, 1, "2B 00 7F FF FF FF"},              // too large for 32 bits: held at the top
        {0, INT32_MAX, 0, -1, "2B 00 7F FF FF FF"},           // the difference wraps, still held
    };
    int32_t token = 100;
    for (const NetChangeCase& c : cases) {
        ++token;
        FeedPrices(token, c.open, 0, 0, c.close);
        DepthQuote record;
        record.Token = token;
        record.LastPrice = c.last;
        record.Flags = c.flags;
        FeedDepth({record}, "QA");
        EXPECT_EQ(SentHex(56 + 14, 6), c.indicatorAndNetChange)
            << "last " << c.last << " open " << c.open << " close " << c.close;
    }
    // No ticker entry at all: a space and zero.
    DepthQuote unknown;
    unknown.Token = 9999;
    unknown.LastPrice = 1025;
    FeedDepth({unknown}, "QA");
    EXPECT_EQ(SentHex(56 + 14, 6), "20 00 00 00 00 00");
}

TEST_F(ConverterTest, OtherSegmentsCarryTheCloseAsNetChange)
{
    const NetChangeCase cases[] = {
        {0, 1025, 0, 1000, "2B 00 00 00 03 E8"},
        {0, 975, 0, 1000, "2D 00 00 00 03 E8"},
        {0, 1000, 0, 1000, "20 00 00 00 03 E8"},
        {0, 1025, 990, 0, "20 00 00 00 00 00"},
        {Flags({21, 22}), 3, 990, -5, "2B 00 FF FF FF FB"},  // flags and open price play no part
    };
    int32_t token = 200;
    for (const NetChangeCase& c : cases) {
        ++token;
        FeedPrices(token, c.open, 0, 0, c.close);
        DepthQuote record;
        record.Token = token;
        record.LastPrice = c.last;
        record.Flags = c.flags;
        FeedDepth({record}, "QE");
        EXPECT_EQ(SentHex(56 + 16, 6), c.indicatorAndNetChange) << "last " << c.last << " close " << c.close;
    }
}

TEST_F(ConverterTest, QaLooksTokensUpAsSigned16BitNumbers)
{
    // 40000 is 0x9C40: as a signed 16-bit number -25536.
    FeedPrices(40000, 1, 2, 3, 4);
    DepthQuote record;
    record.Token = 40000;
    FeedDepth({record}, "QA");
    EXPECT_EQ(SentHex(56, 2), "9C 40");
    EXPECT_EQ(SentHex(56 + 196, 16), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");

    FeedPrices(-25536, 1, 2, 3, 4);
    FeedDepth({record}, "QA");
    EXPECT_EQ(SentHex(56 + 196, 16), "00 00 00 04 00 00 00 01 00 00 00 02 00 00 00 03");

    // Other segments use the whole token.
    FeedDepth({record}, "QB");
    EXPECT_EQ(SentHex(56, 4), "00 00 9C 40");
    EXPECT_EQ(SentHex(56 + 198, 16), "00 00 00 04 00 00 00 01 00 00 00 02 00 00 00 03");
}

TEST_F(ConverterTest, TickerValuesMergeInEitherOrder)
{
    // Bytes of a "QB" record from offset 22 (open interest) and from 198 (close, open, high, low).
    auto openInterest = [this] { return SentHex(56 + 22, 4); };
    auto prices = [this] { return SentHex(56 + 198, 16); };
    DepthQuote record;

    record.Token = 7;
    FeedOpenInterest(7, 500);
    FeedPrices(7, 10, 20, 30, 40);
    FeedDepth({record}, "QB");
    EXPECT_EQ(openInterest(), "00 00 01 F4");
    EXPECT_EQ(prices(), "00 00 00 28 00 00 00 0A 00 00 00 14 00 00 00 1E");

    record.Token = 8;
    FeedPrices(8, 10, 20, 30, 40);
    FeedOpenInterest(8, 500);
    FeedDepth({record}, "QB");
    EXPECT_EQ(openInterest(), "00 00 01 F4");
    EXPECT_EQ(prices(), "00 00 00 28 00 00 00 0A 00 00 00 14 00 00 00 1E");

    // Later records replace their own fields only.
    FeedPrices(8, 11, 21, 31, 41);
    FeedOpenInterest(8, 600);
    FeedDepth({record}, "QB");
    EXPECT_EQ(openInterest(), "00 00 02 58");
    EXPECT_EQ(prices(), "00 00 00 29 00 00 00 0B 00 00 00 15 00 00 00 1F");
    EXPECT_EQ(converter.TickerCount(), 2u);
}

TEST_F(ConverterTest, MessagesThatAreNotMarketDataAreDroppedUncounted)
{
    const Bytes oneRecord = Encoded(TickerOpenInterest{1, 2});
    const Bytes block = Compress(oneRecord);
    const Bytes dropped[] = {
        CompressedMessage(kOpenInterest, 0, oneRecord),
        CompressedMessage(kOpenInterest, -1, oneRecord),
        CompressedMessage(7208, 1, oneRecord),  // old format already
        CompressedMessage(0, 1, oneRecord),
        CompressedMessage(10501, 1, oneRecord),
        Message(kOpenInterest, 1, block, 0),
        Message(kOpenInterest, 1, block, -3),
        Message(kOpenInterest, 1, block, 2495),  // would run past the receive buffer
        Message(kOpenInterest, 1, block, 2501),
        Message(kOpenInterest, 1, Bytes{0x00}),                 // decompresses to nothing
        Message(kOpenInterest, 1, Bytes{0x1F, 0x41, 0x00, 0x00}),  // a match before the start
        Message(kOpenInterest, 1, Bytes(block.begin(), block.end() - 1)),  // cut short
        CompressedMessage(kOpenInterest, 1, Bytes(6001, 0)),    // more than 6000 bytes
        Bytes(),
    };
    for (const Bytes& message : dropped)
        Feed(message);
    converter.ProcessNewMarketData(nullptr, "QB", sink);
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
    Bytes records;
    for (int32_t token = 1000; token < 1375; ++token)
        records = Concat({records, Encoded(TickerOpenInterest{token, 0})});
    ASSERT_EQ(records.size(), 6000u);
    ASSERT_LE(Compress(records).size(), 2494u);
    Feed(CompressedMessage(kOpenInterest, 375, records));
    EXPECT_EQ(sink.Converted, 2);
    EXPECT_EQ(converter.TickerCount(), 376u);
}

TEST_F(ConverterTest, DepthNeeds140BytesPerRecordButCountsEither)
{
    const Bytes two = Concat({Encoded(RichRecord(1)), Encoded(RichRecord(2))});
    Feed(CompressedMessage(kDepth, 2, Concat({two, Bytes(20, 0)})));  // 150 per record
    EXPECT_EQ(sink.Converted, 1);
    EXPECT_EQ(sink.Sent.size(), 0u);
    Feed(CompressedMessage(kDepth, 3, two));  // 93 per record
    EXPECT_EQ(sink.Converted, 2);
    EXPECT_EQ(sink.Sent.size(), 0u);
    Feed(CompressedMessage(kDepth, 2, Concat({two, Bytes{0x99}})));  // 281 / 2 = 140
    EXPECT_EQ(sink.Converted, 3);
    ASSERT_EQ(sink.Sent.size(), 1u);
    EXPECT_EQ(SentHex(54, 2), "00 02");

    // The largest depth message: 42 records, 21 datagrams.
    Bytes many;
    for (int32_t token = 0; token < 42; ++token)
        many = Concat({many, Encoded(RichRecord(token))});
    Feed(CompressedMessage(kDepth, 42, many));
    EXPECT_EQ(sink.Converted, 4);
    EXPECT_EQ(sink.Sent.size(), 22u);
    EXPECT_EQ(SentHex(56, 4), "00 00 00 28");
    EXPECT_EQ(SentHex(270, 4), "00 00 00 29");
}

TEST_F(ConverterTest, TickerUpdatesStopAtTheLastWholeRecord)
{
    // Five prices announced, two whole ones and a partial third delivered.
    const Bytes prices = Concat({Encoded(TickerPrices{1, 1, 1, 1, 1}), Encoded(TickerPrices{2, 2, 2, 2, 2}), Bytes{3, 0, 0, 0, 9, 9}});
    Feed(CompressedMessage(kPrices, 5, prices));
    EXPECT_EQ(sink.Converted, 1);
    EXPECT_EQ(converter.TickerCount(), 2u);
    // And never more than announced: one of two records.
    Feed(CompressedMessage(kOpenInterest, 1, Concat({Encoded(TickerOpenInterest{5, 1}), Encoded(TickerOpenInterest{6, 1})})));
    EXPECT_EQ(sink.Converted, 2);
    EXPECT_EQ(converter.TickerCount(), 3u);
}

TEST_F(ConverterTest, SteadyStateAllocatesNothingAndTheMapIsSizedOnce)
{
    const size_t buckets = converter.TickerBucketCount();
    EXPECT_GE(buckets, 135001u);

    Bytes tokens;
    for (int32_t token = 0; token < 200; ++token)
        tokens = Concat({tokens, Encoded(TickerPrices{token, 1, 2, 3, 4})});
    const auto prices = ReceiveBuffer(CompressedMessage(kPrices, 200, tokens));
    Bytes depthRecords;
    for (int32_t token = 0; token < 42; ++token)
        depthRecords = Concat({depthRecords, Encoded(RichRecord(token))});
    const auto depth = ReceiveBuffer(CompressedMessage(kDepth, 42, depthRecords));

    struct CountingSink final : COldDatagramSink {
        int converted = 0, sent = 0;
        void CountConverted() override { ++converted; }
        void SendPacket(const uint8_t*) override { ++sent; }
    } counting;

    const long before = AllocationCount();
    converter.ProcessNewMarketData(prices.data(), "QB", counting);
    EXPECT_EQ(AllocationCount() - before, 200) << "one node per new token";

    const long steady = AllocationCount();
    for (int i = 0; i < 10; ++i) {
        converter.ProcessNewMarketData(prices.data(), "QB", counting);
        converter.ProcessNewMarketData(depth.data(), "QA", counting);
        converter.ProcessNewMarketData(depth.data(), "QB", counting);
    }
    EXPECT_EQ(AllocationCount(), steady);
    EXPECT_EQ(counting.converted, 31);
    EXPECT_EQ(counting.sent, 20 * 21);
    EXPECT_EQ(converter.TickerBucketCount(), buckets);
}

}  // namespace
