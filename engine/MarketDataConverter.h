#pragma once

#include <cstddef>
#include <cstdint>

// Where the conversion delivers its results: the engine counts and sends.
class COldDatagramSink {
public:
    virtual ~COldDatagramSink() = default;
    // The message passed the header and decompression checks (ConvertedCount).
    virtual void CountConverted() = 0;
    // One 512-byte old-format datagram to send (SendPacket).
    virtual void SendPacket(const uint8_t* datagram) = 0;
};

// Turns new-format market data into old-format 7208 datagrams. Owned by
// the engine; its ticker map survives stop, start and reconfiguration.
class CMarketDataConverter {
public:
    static constexpr size_t kReceiveBufferSize = 2500;

    CMarketDataConverter();

    // One received datagram: the whole receive buffer, zero behind the datagram.
    void ProcessNewMarketData(const uint8_t* buffer, const char* segmentCode, COldDatagramSink& sink);
};
