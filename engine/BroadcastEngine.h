#pragma once

#include "config/BroadcastConfig.h"
#include "engine/EngineOwner.h"
#include "engine/MarketDataConverter.h"
#include "engine/OwnerCallGate.h"
#include "net/NwProtocol.h"

#include <atomic>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// The relay for one broadcast configuration: a receive endpoint towards
// Host, a send endpoint towards ZENTA and a relay thread that re-sends
// every received datagram as 512 bytes, or converts new-format market
// data when NMKT is on.
//
// Driven from one owner thread (constructor, Configure, Start, Stop,
// getters, destructor); the relay thread only counts, sets the status
// and calls the owner through the gate.
class CKOVBCastEngine : private COldDatagramSink {
public:
    static constexpr int kDatagramSize = 512;
    static constexpr uint32_t kReceiveSocketBuffer = 1048576;
    // Most datagrams one received datagram turns into: a full decompressed
    // depth message (42 records), two records per old-format datagram.
    static constexpr int kMaxSentPerReceived =
        static_cast<int>((NEW_BCAST_MESSAGE::kMaxDecompressedLength / NEW_DEPTH_RECORD::kSize + 1) / 2);
    static_assert(kMaxSentPerReceived == 21);

    // A stopped engine ("Not Running") for the configuration; the owner
    // (which may be null) hears of its state changes and messages.
    CKOVBCastEngine(const KOV_BCAST_CONFIG& configuration, CEngineOwner* owner);
    CKOVBCastEngine(const CKOVBCastEngine&) = delete;
    CKOVBCastEngine& operator=(const CKOVBCastEngine&) = delete;
    // Stops a relay thread that still runs and waits for it.
    ~CKOVBCastEngine() override;

    // Takes a new configuration, zeroes the counters and makes new
    // endpoints; the ticker map stays. Waits for an old relay thread first.
    void Configure(const KOV_BCAST_CONFIG& configuration);
    [[nodiscard]] const KOV_BCAST_CONFIG& GetConfiguration() const noexcept { return m_configuration; }

    // Starts a relay thread and returns at once. Ignored while a start is
    // still pending (or the relay runs).
    void Start();
    // Ends the relay: closes both endpoints, waits for the relay thread,
    // notifies the owner and shows "Stopped". No counter moves afterwards.
    void Stop();

    [[nodiscard]] int IsRunning() const noexcept { return Running.load(std::memory_order_acquire); }
    // "Pkts Recv": converted messages with NMKT on, received datagrams otherwise.
    [[nodiscard]] uint32_t GetReceivedCount() const noexcept;
    [[nodiscard]] uint32_t GetSentCount() const noexcept { return SentCount.load(std::memory_order_relaxed); }
    [[nodiscard]] std::string GetStatus() const;
    // Datagrams the kernel dropped before the relay could read them (receive buffer full).
    [[nodiscard]] uint32_t GetDroppedCount() const noexcept;

    // The count that follows `count` after one more send: 4294967295 is followed by 1.
    [[nodiscard]] static constexpr uint32_t NextSentCount(uint32_t count) noexcept
    {
        return (count == UINT32_MAX ? 0 : count) + 1;
    }

private:
    int Run();
    int OpenReceiveEndpoint();
    int OpenSendEndpoint();
    void RelayLoop();
    // Sends the queued datagrams in one system call and counts the accepted ones.
    void FlushSends();
    void CloseEndpoints();
    // Asks the relay thread to end and waits for it; no owner notification.
    void EndRelayThread();
    void SetStatus(const char* status);
    // Relay thread: runs call on the owner's thread and waits for it.
    void CallOwnerFromRelay(const std::function<void(CEngineOwner&)>& call);

    // COldDatagramSink, for the conversion.
    void CountConverted() override;
    void SendPacket(const uint8_t* datagram) override;

    KOV_BCAST_CONFIG m_configuration;
    std::atomic<uint32_t> ConvertedCount{0};
    std::atomic<uint32_t> ReceivedCount{0};
    mutable std::mutex m_statusMutex;  // guards Status and the stop request
    std::string Status;
    std::atomic<uint32_t> SentCount{0};
    std::atomic<int> Running{0};
    bool m_stopRequested = false;
    std::thread RelayThread;
    std::unique_ptr<CNWProtocol> SendEndpoint;
    std::unique_ptr<CNWProtocol> ReceiveEndpoint;
    CEngineOwner* OwnerWindow = nullptr;
    std::shared_ptr<COwnerCallGate> m_ownerGate = std::make_shared<COwnerCallGate>();
    CMarketDataConverter m_converter;  // holds the TickerMap
    uint8_t m_receiveBuffer[kMaxDatagramLength] = {};
};
