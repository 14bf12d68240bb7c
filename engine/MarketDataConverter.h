#pragma once

#include "engine/BroadcastLayouts.h"
#include "net/NwProtocol.h"

#include <cstddef>
#include <cstdint>
#include <unordered_map>

// Where the conversion delivers its results: the engine counts and sends.
class COldDatagramSink {
public:
    virtual ~COldDatagramSink() = default;
    // The message passed the header and decompression checks (ConvertedCount).
    virtual void CountConverted() = 0;
    // One 512-byte old-format datagram to send (SendPacket).
    virtual void SendPacket(const uint8_t* datagram) = 0;
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
// the engine and used only by its relay thread; its ticker map survives
// stop, start and reconfiguration. Works in fixed buffers: the only
// allocation is a map node for a token seen for the first time.
class CMarketDataConverter {
public:
    static constexpr size_t kTickerBuckets = 135001;
    // The block starts at offset 6 of the datagram and must end inside the receive buffer.
    static constexpr int kMaxCompressedLength = kMaxDatagramLength - static_cast<int>(NEW_BCAST_MESSAGE::kBlockOffset);

    CMarketDataConverter();
    CMarketDataConverter(const CMarketDataConverter&) = delete;
    CMarketDataConverter& operator=(const CMarketDataConverter&) = delete;

    // One received datagram: the whole receive buffer, zero behind the datagram.
    // Anything that is not new-format market data is dropped silently.
    void ProcessNewMarketData(const uint8_t* buffer, const char* segmentCode, COldDatagramSink& sink);

    [[nodiscard]] size_t TickerCount() const noexcept { return TickerMap.size(); }
    [[nodiscard]] size_t TickerBucketCount() const noexcept { return TickerMap.bucket_count(); }

private:
    void ConvertDepthRecords(int count, const uint8_t* records, const char* segmentCode, COldDatagramSink& sink);
    template <typename Record>
    void ConvertDepthRecordsAs(int count, const uint8_t* records, uint8_t streamCode, COldDatagramSink& sink);
    template <typename Record>
    void BuildDepthMessage(const uint8_t* records, int count);
    template <typename Record>
    void ConvertDepthRecord(const uint8_t* from, uint8_t* to) const;
    void BuildOldDatagram(const uint8_t* message, size_t messageSize, uint8_t streamCode);
    void UpdateTickerPrices(int count, const uint8_t* records);
    void UpdateTickerOpenInterest(int count, const uint8_t* records);

    std::unordered_map<int32_t, NEW_BCAST_TICKER_OHLOI> TickerMap;
    uint8_t m_decompressed[NEW_BCAST_MESSAGE::kMaxDecompressedLength];
    uint8_t m_message[OLD_DEPTH_MESSAGE::kSize<OLD_DEPTH_RECORD>];
    uint8_t m_datagram[OLD_BCAST_DATAGRAM::kSize];
};
