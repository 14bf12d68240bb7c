#include "engine/MarketDataConverter.h"

#include <lz4.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string_view>

namespace {

using NewMessage = NEW_BCAST_MESSAGE;
using NewRecord = NEW_DEPTH_RECORD;

constexpr int kDepthRecordSize = static_cast<int>(NewRecord::kSize);
constexpr int kPriceRecordSize = static_cast<int>(NEW_TICKER_PRICE_RECORD::kSize);
constexpr int kOpenInterestRecordSize = static_cast<int>(NEW_TICKER_OI_RECORD::kSize);

// Market state of a "QA" record from (flag 21, flag 22).
int16_t QaMarketState(const uint8_t* record) noexcept
{
    static constexpr int16_t kStates[2][2] = {{3, 2}, {6, 1}};
    return kStates[NewRecord::Flag(record, 21)][NewRecord::Flag(record, 22)];
}

// Level flag j of a "QA" record: levels 0 to 4 from (flag j, flag 5 + j)
// as 0 to 3, levels 5 to 9 are 2 when flag 5 + j is set.
int16_t QaLevelFlag(const uint8_t* record, int level) noexcept
{
    const int high = NewRecord::Flag(record, 5 + level);
    if (level < 5)
        return static_cast<int16_t>(NewRecord::Flag(record, level) + 2 * high);
    return static_cast<int16_t>(2 * high);
}

char CompareIndicator(int32_t price, int32_t closePrice) noexcept
{
    return price < closePrice ? '-' : price > closePrice ? '+' : ' ';
}

struct NetChangeResult {
    char Indicator = ' ';
    int32_t NetChange = 0;
};

// "QA": the change of the compared price against the close, in units of
// 1/10000, truncated toward zero, without its sign. A change too large for
// 32 bits is held at the largest value rather than wrapping to a negative one.
NetChangeResult QaNetChange(int16_t marketState, int32_t lastPrice, const NEW_BCAST_TICKER_OHLOI& ticker) noexcept
{
    const bool comparesOpen = marketState == 1 || marketState == 6;
    const int32_t compared = comparesOpen ? ticker.OpenPrice : lastPrice;
    if (ticker.ClosePrice == 0 || (comparesOpen && ticker.OpenPrice == 0))
        return {};
    // The difference wraps like the 32-bit integer it is.
    const auto difference =
        static_cast<int32_t>(static_cast<uint32_t>(compared) - static_cast<uint32_t>(ticker.ClosePrice));
    const double ratio = static_cast<double>(difference) / ticker.ClosePrice * 10000.0;
    const double magnitude = std::fabs(std::trunc(ratio));
    const int32_t netChange = magnitude >= 2147483647.0 ? INT32_MAX : static_cast<int32_t>(magnitude);
    return {CompareIndicator(compared, ticker.ClosePrice), netChange};
}

// Other segments: the indicator compares the last price, and the net change
// field carries the close price itself.
NetChangeResult PlainNetChange(int32_t lastPrice, const NEW_BCAST_TICKER_OHLOI& ticker) noexcept
{
    if (ticker.ClosePrice == 0)
        return {};
    return {CompareIndicator(lastPrice, ticker.ClosePrice), ticker.ClosePrice};
}

}  // namespace

CMarketDataConverter::CMarketDataConverter() = default;

void CMarketDataConverter::Prepare()
{
    TickerMap.rehash(kTickerBuckets);
}

const uint8_t* CMarketDataConverter::Padded(const uint8_t* datagram, int length, int needed)
{
    if (length >= needed)
        return datagram;
    std::memcpy(m_padded, datagram, static_cast<size_t>(length));
    std::memset(m_padded + length, 0, static_cast<size_t>(needed - length));
    return m_padded;
}

void CMarketDataConverter::ProcessNewMarketData(const uint8_t* datagram, int datagramLength, const char* segmentCode,
                                                COldDatagramSink& sink)
{
    if (!datagram || datagramLength < 0 || datagramLength > kMaxDatagramLength)
        return;
    // A datagram shorter than its header or its block says reads as if zeros
    // followed it, as it always has; a whole one is read where it lies.
    const uint8_t* message = Padded(datagram, datagramLength, NewMessage::kBlockOffset);
    const int records = NewMessage::NoOfRecords::Get(message);
    if (records <= 0)
        return;
    const int16_t code = NewMessage::TransactionCode::Get(message);
    if (code != NewMessage::kDepthCode && code != NewMessage::kTickerPriceCode &&
        code != NewMessage::kTickerOpenInterestCode)
        return;
    const int compressedLength = NewMessage::CompressedLength::Get(message);
    if (compressedLength < 1 || compressedLength > kMaxCompressedLength)
        return;
    message = Padded(datagram, datagramLength, NewMessage::kBlockOffset + compressedLength);
    // Nothing past `length` is ever read, so the buffer need not be cleared first.
    const int length = LZ4_decompress_safe(reinterpret_cast<const char*>(message + NewMessage::kBlockOffset),
                                           reinterpret_cast<char*>(m_decompressed), compressedLength,
                                           static_cast<int>(sizeof m_decompressed));
    if (length <= 0)
        return;

    sink.CountConverted();
    switch (code) {
    case NewMessage::kDepthCode:
        // length / records == 140 also means every record is whole.
        if (length / records == kDepthRecordSize)
            ConvertDepthRecords(records, m_decompressed, segmentCode, sink);
        break;
    case NewMessage::kTickerOpenInterestCode:
        UpdateTickerOpenInterest(std::min(records, length / kOpenInterestRecordSize), m_decompressed, sink);
        break;
    case NewMessage::kTickerPriceCode:
        UpdateTickerPrices(std::min(records, length / kPriceRecordSize), m_decompressed, sink);
        break;
    default:
        break;
    }
}

void CMarketDataConverter::Clear()
{
    // A new, empty table: clear() alone would keep the bucket array.
    TickerMap = {};
    m_newest = m_oldest = nullptr;
    m_saidFull = false;
    m_tickerCount.store(0, std::memory_order_relaxed);
}

NEW_BCAST_TICKER_OHLOI* CMarketDataConverter::TickerEntry(int32_t token, COldDatagramSink& sink)
{
    TICKER_ENTRY* entry = nullptr;
    if (const auto found = TickerMap.find(token); found != TickerMap.end()) {
        entry = &found->second;
        if (m_moves - entry->Moved < kFreshMoves)
            return &entry->Ticker;  // still in the newer half: it stays where it is
        Unlink(*entry);
    } else {
        entry = NewTickerEntry(token, sink);
        if (!entry)
            return nullptr;
    }
    LinkNewest(*entry);
    return &entry->Ticker;
}

CMarketDataConverter::TICKER_ENTRY* CMarketDataConverter::NewTickerEntry(int32_t token, COldDatagramSink& sink)
{
    TICKER_ENTRY* entry = nullptr;
    if (TickerMap.size() >= kMaxTickers && m_oldest) {
        // The least recently updated token gives way; its node is re-keyed,
        // so nothing is allocated and the map stays at its ceiling.
        TICKER_ENTRY& oldest = *m_oldest;
        Unlink(oldest);
        auto node = TickerMap.extract(oldest.Ticker.Token);
        node.key() = token;
        entry = &TickerMap.insert(std::move(node)).position->second;
        m_evictedTokens.store(m_evictedTokens.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        if (!m_saidFull) {
            m_saidFull = true;
            sink.OnTickerMapFull();
        }
    } else {
        try {
            entry = &TickerMap.try_emplace(token).first->second;
        } catch (const std::bad_alloc&) {
            m_refusedTokens.store(m_refusedTokens.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            return nullptr;
        }
        m_tickerCount.store(TickerMap.size(), std::memory_order_relaxed);
    }
    // A new entry starts at zero.
    entry->Ticker = NEW_BCAST_TICKER_OHLOI{};
    entry->Ticker.Token = token;
    return entry;
}

void CMarketDataConverter::LinkNewest(TICKER_ENTRY& entry) noexcept
{
    entry.Moved = m_moves++;
    entry.Newer = nullptr;
    entry.Older = m_newest;
    if (m_newest)
        m_newest->Newer = &entry;
    m_newest = &entry;
    if (!m_oldest)
        m_oldest = &entry;
}

void CMarketDataConverter::Unlink(TICKER_ENTRY& entry) noexcept
{
    (entry.Newer ? entry.Newer->Older : m_newest) = entry.Older;
    (entry.Older ? entry.Older->Newer : m_oldest) = entry.Newer;
    entry.Older = entry.Newer = nullptr;
}

void CMarketDataConverter::UpdateTickerPrices(int count, const uint8_t* records, COldDatagramSink& sink)
{
    using Record = NEW_TICKER_PRICE_RECORD;
    for (int i = 0; i < count; ++i) {
        const uint8_t* record = records + i * Record::kSize;
        const int32_t token = Record::Token::Get(record);
        // A new entry's open interest is 0; a found one keeps it.
        NEW_BCAST_TICKER_OHLOI* found = TickerEntry(token, sink);
        if (!found)
            continue;
        NEW_BCAST_TICKER_OHLOI& entry = *found;
        entry.Token = token;
        entry.OpenPrice = Record::OpenPrice::Get(record);
        entry.HighPrice = Record::HighPrice::Get(record);
        entry.LowPrice = Record::LowPrice::Get(record);
        entry.ClosePrice = Record::ClosePrice::Get(record);
        entry.TickerValue5 = Record::TickerValue5::Get(record);
        entry.TickerValue6 = Record::TickerValue6::Get(record);
    }
}

void CMarketDataConverter::UpdateTickerOpenInterest(int count, const uint8_t* records, COldDatagramSink& sink)
{
    using Record = NEW_TICKER_OI_RECORD;
    for (int i = 0; i < count; ++i) {
        const uint8_t* record = records + i * Record::kSize;
        const int32_t token = Record::Token::Get(record);
        // A new entry's prices are zero; a found one keeps its prices.
        if (NEW_BCAST_TICKER_OHLOI* entry = TickerEntry(token, sink)) {
            entry->Token = token;
            entry->OpenInterest = Record::OpenInterest::Get(record);
        }
    }
}

void CMarketDataConverter::ConvertDepthRecords(int count, const uint8_t* records, const char* segmentCode,
                                               COldDatagramSink& sink)
{
    const std::string_view segment = segmentCode ? segmentCode : "";
    if (segment == "QA")
        ConvertDepthRecordsAs<OLD_DEPTH_RECORD_QA>(count, records, StreamCodeOfSegment(segment), sink);
    else
        ConvertDepthRecordsAs<OLD_DEPTH_RECORD>(count, records, StreamCodeOfSegment(segment), sink);
}

template <typename Record>
void CMarketDataConverter::ConvertDepthRecordsAs(int count, const uint8_t* records, uint8_t streamCode,
                                                 COldDatagramSink& sink)
{
    for (int i = 0; i < count; i += OLD_DEPTH_MESSAGE::kMaxRecords) {
        // Written where it is sent from. Clearing first gives every zero
        // field, the zero second record of a one-record message, and no
        // message at all for a segment without a stream code.
        uint8_t* datagram = sink.NextDatagram();
        std::memset(datagram, 0, OLD_BCAST_DATAGRAM::kSize);
        OLD_BCAST_DATAGRAM::StreamCode::Set(datagram, streamCode);
        OLD_BCAST_DATAGRAM::MessageCount::Set(datagram, 1);
        if (streamCode != 0)
            BuildDepthMessage<Record>(records + i * NewRecord::kSize,
                                      std::min(count - i, OLD_DEPTH_MESSAGE::kMaxRecords),
                                      datagram + OLD_BCAST_DATAGRAM::kMessageOffset);
        sink.SendPacket(datagram);
    }
}

template <typename Record>
void CMarketDataConverter::BuildDepthMessage(const uint8_t* records, int count, uint8_t* message) const
{
    uint8_t* header = message + OLD_DEPTH_MESSAGE::kHeaderOffset;
    OLD_BCAST_HEADER::TransactionCode::Set(header, OLD_BCAST_HEADER::kDepthCode);
    OLD_BCAST_HEADER::MessageLength::Set(header, OLD_DEPTH_MESSAGE::kMessageLength<Record>);
    OLD_DEPTH_MESSAGE::NoOfRecords::Set(message, static_cast<int16_t>(count));
    for (int i = 0; i < count; ++i)
        ConvertDepthRecord<Record>(records + i * NewRecord::kSize,
                                   message + OLD_DEPTH_MESSAGE::kRecordsOffset + i * Record::kSize);
}

template <typename Record>
void CMarketDataConverter::ConvertDepthRecord(const uint8_t* from, uint8_t* to) const
{
    const int32_t token = NewRecord::Token::Get(from);
    const int32_t lastPrice = NewRecord::LastPrice::Get(from);

    // "QA" keeps the token's low 2 bytes, and looks it up as that signed
    // 16-bit number: tokens 32768 to 65535 become negative keys.
    int32_t key = token;
    if constexpr (Record::kShortToken) {
        key = static_cast<int16_t>(token);
        Record::Token::Set(to, static_cast<int16_t>(token));
    } else {
        Record::Token::Set(to, token);
    }
    Record::One::Set(to, 1);
    CopyWireField<NewRecord::ValueA, typename Record::ValueA>(from, to);
    Record::LastPrice::Set(to, lastPrice);
    CopyWireField<NewRecord::ValueB, typename Record::ValueB>(from, to);
    CopyWireField<NewRecord::ValueC, typename Record::ValueC>(from, to);
    CopyWireField<NewRecord::DoubleD, typename Record::DoubleD>(from, to);
    CopyWireField<NewRecord::DoubleE, typename Record::DoubleE>(from, to);
    for (int level = 0; level < NewRecord::kLevelCount; ++level) {
        const uint8_t* fromLevel = from + NewRecord::LevelOffset(level);
        uint8_t* toLevel = to + Record::LevelOffset(level);
        CopyWireField<NewRecord::Level::Value1, typename Record::Level::Value1>(fromLevel, toLevel);
        CopyWireField<NewRecord::Level::Value2, typename Record::Level::Value2>(fromLevel, toLevel);
        CopyWireField<NewRecord::Level::Count, typename Record::Level::Count>(fromLevel, toLevel);
    }

    int16_t marketState = 2;
    if constexpr (Record::kShortToken) {
        marketState = QaMarketState(from);
        for (int level = 0; level < NewRecord::kLevelCount; ++level)
            Record::Level::Flag::Set(to + Record::LevelOffset(level), QaLevelFlag(from, level));
        Record::SideFlag::Set(to, static_cast<int16_t>(NewRecord::Flag(from, 20) + 2 * NewRecord::Flag(from, 18)));
        Record::Flag19State::Set(to, static_cast<int16_t>(NewRecord::Flag(from, 19) ? 2 : 0));
    }
    Record::MarketState::Set(to, marketState);

    NEW_BCAST_TICKER_OHLOI ticker;  // all zero when the token has no entry
    if (const auto found = TickerMap.find(key); found != TickerMap.end())
        ticker = found->second.Ticker;
    Record::ClosePrice::Set(to, ticker.ClosePrice);
    Record::OpenPrice::Set(to, ticker.OpenPrice);
    Record::HighPrice::Set(to, ticker.HighPrice);
    Record::LowPrice::Set(to, ticker.LowPrice);
    Record::OpenInterest::Set(to, ticker.OpenInterest);

    const NetChangeResult change =
        Record::kShortToken ? QaNetChange(marketState, lastPrice, ticker) : PlainNetChange(lastPrice, ticker);
    Record::NetChangeIndicator::Set(to, change.Indicator);
    Record::NetChange::Set(to, change.NetChange);
}
