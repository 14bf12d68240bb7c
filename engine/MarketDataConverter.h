#pragma once

#include "engine/BroadcastLayouts.h"
#include "net/NwProtocol.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

// Where the conversion delivers its results: the engine counts and sends.
class COldDatagramSink {
public:
    virtual ~COldDatagramSink() = default;
    // The message passed the header and decompression checks (ConvertedCount).
    virtual void CountConverted() = 0;
    // A 512-byte place for the next old-format datagram, where the send
    // batch holds it; what it holds before is undefined.
    [[nodiscard]] virtual uint8_t* NextDatagram() = 0;
    // Sends the 512-byte datagram written at the place NextDatagram gave (SendPacket).
    virtual void SendPacket(const uint8_t* datagram) = 0;
    // The ticker map is full: from now on a new token takes the place of the
    // least recently updated one (said once until the map is cleared).
    virtual void OnTickerMapFull() {}
};

// The ticker values kept per token, merged from 10750 and 10600 records.
struct NEW_BCAST_TICKER_OHLOI {
    int32_t Token = 0;
    int32_t OpenPrice = 0;
    int32_t HighPrice = 0;
    int32_t LowPrice = 0;
    int32_t ClosePrice = 0;
    int32_t TickerValue5 = 0;
    int32_t TickerValue6 = 0;
    int32_t OpenInterest = 0;
};
static_assert(sizeof(NEW_BCAST_TICKER_OHLOI) == 32);

// Turns new-format market data into old-format 7208 datagrams. Owned by
// the engine and used only by its relay thread; its ticker map is emptied
// when the relay stops (Clear). Works in fixed buffers: the only allocation
// is a map node for a token seen for the first time while the map is below
// its ceiling; at the ceiling the node of the least recently updated token
// is taken for the new one.
class CMarketDataConverter {
public:
    static constexpr size_t kTickerBuckets = 135001;
    // Tokens the ticker map holds at most; a feed of random tokens would
    // otherwise grow it without bound (docs/design.md, "Bounded memory").
    static constexpr size_t kMaxTickers = 500000;
    // The block starts at offset 6 of the datagram and must end inside the receive buffer.
    static constexpr int kMaxCompressedLength = kMaxDatagramLength - static_cast<int>(NEW_BCAST_MESSAGE::kBlockOffset);

    CMarketDataConverter();
    CMarketDataConverter(const CMarketDataConverter&) = delete;
    CMarketDataConverter& operator=(const CMarketDataConverter&) = delete;

    // One received datagram of `length` bytes (at most kMaxDatagramLength).
    // Anything that is not new-format market data is dropped silently.
    void ProcessNewMarketData(const uint8_t* datagram, int length, const char* segmentCode, COldDatagramSink& sink);

    // Sizes the ticker map once, before relaying, so that new tokens never
    // rehash it on the relay thread; a stopped relay holds no table at all.
    void Prepare();
    // Empties the ticker map and gives its memory back. Only while no relay thread uses the converter.
    void Clear();

    // The counts are safe to read from any thread. Tokens in the ticker map:
    [[nodiscard]] size_t TickerCount() const noexcept { return m_tickerCount.load(std::memory_order_relaxed); }
    // Tokens that gave way to a new one at the ceiling, since the converter was made:
    [[nodiscard]] uint64_t EvictedTokenCount() const noexcept
    {
        return m_evictedTokens.load(std::memory_order_relaxed);
    }
    // Ticker records not stored because no memory could be had for their new token:
    [[nodiscard]] uint64_t RefusedTokenCount() const noexcept
    {
        return m_refusedTokens.load(std::memory_order_relaxed);
    }
    // Relay thread only.
    [[nodiscard]] size_t TickerBucketCount() const noexcept { return TickerMap.bucket_count(); }

private:
    void ConvertDepthRecords(int count, const uint8_t* records, const char* segmentCode, COldDatagramSink& sink);
    template <typename Record>
    void ConvertDepthRecordsAs(int count, const uint8_t* records, uint8_t streamCode, COldDatagramSink& sink);
    template <typename Record>
    void BuildDepthMessage(const uint8_t* records, int count, uint8_t* message) const;
    template <typename Record>
    void ConvertDepthRecord(const uint8_t* from, uint8_t* to) const;
    void UpdateTickerPrices(int count, const uint8_t* records, COldDatagramSink& sink);
    void UpdateTickerOpenInterest(int count, const uint8_t* records, COldDatagramSink& sink);
    // A token's values with their place in the update order: a list through
    // the map's own nodes (which never move), from the most to the least
    // recently updated, so finding the one to give way costs nothing. An
    // update moves its entry to the front only once it has fallen behind
    // the newer half of the ceiling: the steady updates of a feed's own
    // tokens then cost one comparison, not two more nodes touched.
    struct TICKER_ENTRY {
        NEW_BCAST_TICKER_OHLOI Ticker;  // Ticker.Token is the entry's key
        TICKER_ENTRY* Older = nullptr;
        TICKER_ENTRY* Newer = nullptr;
        uint32_t Moved = 0;  // m_moves when it came to the front
    };
    // Entries put at the front since it last came there, below which an entry is in the newer half.
    static constexpr uint32_t kFreshMoves = kMaxTickers / 2;

    // The entry of a token, now the most recently updated one: found, made
    // (zero but for its token), or taken over from the least recently
    // updated token at the ceiling. Null when no memory could be had.
    NEW_BCAST_TICKER_OHLOI* TickerEntry(int32_t token, COldDatagramSink& sink);
    TICKER_ENTRY* NewTickerEntry(int32_t token, COldDatagramSink& sink);
    void LinkNewest(TICKER_ENTRY& entry) noexcept;
    void Unlink(TICKER_ENTRY& entry) noexcept;

    std::unordered_map<int32_t, TICKER_ENTRY> TickerMap;
    TICKER_ENTRY* m_newest = nullptr;
    TICKER_ENTRY* m_oldest = nullptr;
    uint32_t m_moves = 0;  // entries put at the front so far (wraps; only differences count)
    bool m_saidFull = false;
    std::atomic<size_t> m_tickerCount{0};
    std::atomic<uint64_t> m_evictedTokens{0};
    std::atomic<uint64_t> m_refusedTokens{0};
    uint8_t m_decompressed[NEW_BCAST_MESSAGE::kMaxDecompressedLength];
    // The first `needed` bytes of the datagram, zeros behind its end; the
    // datagram itself when it is that long.
    const uint8_t* Padded(const uint8_t* datagram, int length, int needed);

    uint8_t m_padded[kMaxDatagramLength];
};
