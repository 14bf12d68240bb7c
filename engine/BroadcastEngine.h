#pragma once

#include "config/BroadcastConfig.h"
#include "engine/CaptureRing.h"
#include "engine/EngineOwner.h"
#include "engine/MarketDataConverter.h"
#include "engine/OwnerCallGate.h"
#include "engine/TroubleLines.h"
#include "net/NwProtocol.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
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
// options, destructor); the getters are safe from any thread. The relay
// thread only counts, sets the status and calls the owner through the gate.
//
// A running relay whose interface towards Host or ZENTA disappears, loses
// its address or comes back as another interface closes its sockets,
// waits ("Waiting for Interface") and opens them again on the interface that
// now holds the address, without the owner: unless its output would then
// come back to its input ("Loop Refused", until the interfaces change), and
// retrying with a back-off while the system refuses the sockets ("Open
// Failing"). An interface without carrier shows as "No Carrier".
//
// A standby relay (RELAY_OPTIONS::Standby) whose ZENTA-side address no
// interface holds receives, counts and converts as usual and sends nothing
// ("Standby"); when an interface takes the address (a pair's virtual
// address moving to this node) it sends from it from the next datagram on,
// and when the address goes it stops sending and stands by again, its
// receive socket and group membership untouched throughout.
class CKOVBCastEngine : private COldDatagramSink {
public:
    // What the status text says (GetStatus gives the words).
    enum class RELAY_STATE : int {
        NotRunning,
        Connected,
        Running,
        Stopped,
        ReceiveConnectError,
        SendConnectError,
        WaitingForInterface,
        SendFailing,
        ReceiveFailing,
        LoopRefused,
        OpenFailing,
        NoCarrier,
        Standby,
    };
    [[nodiscard]] static const char* StateText(RELAY_STATE state) noexcept;

    static constexpr int kDatagramSize = 512;
    static constexpr uint32_t kReceiveSocketBuffer = 1048576;
    // Most datagrams one received datagram turns into: a full decompressed
    // depth message (42 records), two records per old-format datagram.
    static constexpr int kMaxSentPerReceived =
        static_cast<int>((NEW_BCAST_MESSAGE::kMaxDecompressedLength / NEW_DEPTH_RECORD::kSize + 1) / 2);
    static_assert(kMaxSentPerReceived == 21);
    // A relay thread waiting for datagrams looks up at least this often
    // (for a stop, changed interfaces, a due re-join).
    static constexpr int kWakeAfterMs = 250;
    // A re-open the system refuses is tried again after this long, doubling up to the longest.
    static constexpr int kFirstOpenRetryMs = 250;
    static constexpr int kLongestOpenRetryMs = 5000;
    // What is still queued in the receive socket when it closes is relayed
    // first, for at most this long.
    static constexpr int kDrainMs = 200;

    // How the relay thread works; taken at the next Start.
    struct RELAY_OPTIONS {
        // Receive without waiting in the system, in a loop on a core of its own.
        bool Polling = false;
        int PollingCpu = -1;  // the CPU a polling relay thread is pinned to; -1: any
        // At start, wait for an interface that holds a local address instead
        // of failing (a service started before its network).
        bool WaitForInterfaces = false;
        // Leave and join the group again this often, for switches that snoop
        // IGMP without a querier; 0: never.
        int RejoinSeconds = 0;
        // Receive while no interface holds the ZENTA-side address, and send
        // only while one does: one node of a pair.
        bool Standby = false;
    };

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
    void SetRelayOptions(const RELAY_OPTIONS& options) { m_options = options; }
    [[nodiscard]] const RELAY_OPTIONS& GetRelayOptions() const noexcept { return m_options; }
    // Owner thread, while no relay thread runs: every datagram received and
    // sent is handed to `ring` from the next Start on; null: no capture.
    void SetCapture(std::shared_ptr<CCaptureRing> ring) { m_capture = std::move(ring); }

    // Starts a relay thread and returns at once. Ignored while a start is
    // still pending (or the relay runs).
    void Start();
    // Ends the relay: what was queued is sent, the endpoints close, the
    // relay thread ends, the owner is notified and the status is "Stopped".
    // No counter moves afterwards.
    void Stop();

    [[nodiscard]] int IsRunning() const noexcept { return Running.load(std::memory_order_acquire); }
    // Owner thread: a relay thread was started and has not ended (its start
    // may still be pending, or it waits for its interfaces).
    [[nodiscard]] bool HasRelayThread() const { return RelayThread.joinable() && !m_ownerGate->ThreadEnded(); }

    // The counts since the last Configure, 64 bits: they never wrap.
    // Datagrams passed through (NMKT off), converted messages (NMKT on),
    // datagrams the kernel accepted to send, sends refused or given up
    // (among them what the queue towards ZENTA dropped after the send),
    // datagrams the kernel dropped before the relay could read them
    // (receive buffer full), and datagrams too long for the receive buffer.
    [[nodiscard]] uint64_t GetReceivedTotal() const noexcept { return m_received.load(std::memory_order_relaxed); }
    [[nodiscard]] uint64_t GetConvertedTotal() const noexcept { return m_converted.load(std::memory_order_relaxed); }
    [[nodiscard]] uint64_t GetSentTotal() const noexcept { return m_sent.load(std::memory_order_relaxed); }
    [[nodiscard]] uint64_t GetFailedSendTotal() const noexcept { return m_failedSends.load(std::memory_order_relaxed); }
    [[nodiscard]] uint64_t GetDroppedTotal() const;
    [[nodiscard]] uint64_t GetOversizedTotal() const noexcept { return m_oversized.load(std::memory_order_relaxed); }
    // Datagrams relayed but not captured (the capture writer fell behind or
    // could not write); 0 without capture.
    [[nodiscard]] uint64_t GetNotCapturedTotal() const noexcept
    {
        return m_capture ? m_capture->NotCapturedTotal() : 0;
    }

    // The same counts as the console shows them, in 32 bits: after
    // 4294967295 comes 1 (NextSentCount).
    // "Pkts Recv": converted messages with NMKT on, received datagrams otherwise.
    [[nodiscard]] uint32_t GetReceivedCount() const noexcept;
    [[nodiscard]] uint32_t GetPassThroughCount() const noexcept { return Shown(GetReceivedTotal()); }
    [[nodiscard]] uint32_t GetConvertedCount() const noexcept { return Shown(GetConvertedTotal()); }
    [[nodiscard]] uint32_t GetSentCount() const noexcept { return Shown(GetSentTotal()); }
    [[nodiscard]] uint32_t GetDroppedCount() const { return Shown(GetDroppedTotal()); }
    [[nodiscard]] uint32_t GetFailedSendCount() const noexcept { return Shown(GetFailedSendTotal()); }
    [[nodiscard]] uint32_t GetOversizedCount() const noexcept { return Shown(GetOversizedTotal()); }

    [[nodiscard]] std::string GetStatus() const { return StateText(GetState()); }
    [[nodiscard]] RELAY_STATE GetState() const noexcept { return m_state.load(std::memory_order_acquire); }
    // The status's reason in words (the system's reason for a failure, what
    // a waiting relay waits for), and the oversized datagrams when there
    // were any; empty otherwise.
    [[nodiscard]] std::string GetStatusReason() const;
    // The ticker map (emptied at every stop): tokens it holds, tokens that
    // gave way to new ones at its ceiling, and ticker records not stored
    // because no memory could be had for their token.
    [[nodiscard]] size_t GetTickerMapSize() const noexcept { return m_converter.TickerCount(); }
    [[nodiscard]] uint64_t GetTickerEvictionCount() const noexcept { return m_converter.EvictedTokenCount(); }
    [[nodiscard]] uint64_t GetRefusedTokenCount() const noexcept { return m_converter.RefusedTokenCount(); }
    // Receive buffer the kernel granted at the last start, in bytes; 0 before.
    [[nodiscard]] int GetGrantedReceiveBuffer() const noexcept { return m_grantedReceiveBuffer.load(); }
    // Moves on whenever the relay thread is alive and well: at every batch
    // received and at least every kWakeAfterMs while it waits.
    [[nodiscard]] uint64_t GetHeartbeat() const noexcept { return m_heartbeat.load(std::memory_order_relaxed); }
    // Seconds on the monotonic clock when the last datagram arrived; 0 before any.
    [[nodiscard]] int64_t GetLastDatagramTime() const noexcept
    {
        return m_lastDatagramTime.load(std::memory_order_relaxed);
    }

    // The count that follows `count` after one more send: 4294967295 is followed by 1.
    [[nodiscard]] static constexpr uint32_t NextSentCount(uint32_t count) noexcept
    {
        return (count == UINT32_MAX ? 0 : count) + 1;
    }
    // A 64-bit total as a 32-bit count that follows NextSentCount from 0.
    [[nodiscard]] static constexpr uint32_t Shown(uint64_t total) noexcept
    {
        return total == 0 ? 0 : static_cast<uint32_t>((total - 1) % UINT32_MAX + 1);
    }

protected:
    // The endpoints Configure makes: UDP ones. (A test puts recording ones
    // in their place; Configure called from a constructor makes UDP ones.)
    [[nodiscard]] virtual std::unique_ptr<CNWProtocol> MakeEndpoint();

private:
    using Trouble = CTroubleLines::Kind;

    int Run();
    int OpenReceiveEndpoint();
    int OpenSendEndpoint();
    // Pins a polling relay thread and logs how the relay receives.
    void PrepareRelayThread();
    void RelayLoop();
    // One received datagram (or what ReceiveNext gave instead): relayed or counted.
    void RelayDatagram(uint8_t* datagram, int received, bool newBatch);
    // Hands a received datagram to the capture, and what passing it through sends.
    void CaptureDatagram(const uint8_t* datagram, int received, bool nmkt) noexcept;
    // Relays what the receive socket still holds, before it closes.
    void RelayWhatIsQueued();
    // Once per batch: opens the endpoints again when an interface changed,
    // notes carrier, and re-joins the group when that is due.
    void LookAfterInterfaces();
    // Looks up which interfaces hold the two local addresses now, and their carrier.
    void NoteInterfaces();
    // Relay thread, standby relay: the ZENTA-side address came (sends from
    // it) or went (stops sending), one log line each way.
    void TakeOver();
    void StandBy();
    // What keeps the relay from its interfaces, in words; empty when both
    // addresses are held (a standby relay needs only its Host-side one).
    [[nodiscard]] std::string MissingInterfaces() const;
    // Relay thread: until both local addresses are held by interfaces,
    // says so (status and one log line) and waits. False on a stop.
    bool WaitForInterfaces(bool firstStart);
    // Relay thread: waits for the interfaces, refuses a loop and opens the
    // endpoints, as often as it takes (the first start: only as often as
    // interfaces and loops need). 1 opened, 0 stopped, -1 the first open failed.
    int OpenEndpoints(bool firstStart);
    // Relay thread: a wait of `milliseconds` in kWakeAfterMs steps that keep the heartbeat moving.
    bool WaitWithHeartbeat(int milliseconds);
    // What the relay thread does when no datagram came (result
    // kNothingYet) or a receive failed (-1).
    void OnNoDatagram(int result);
    // Sends the queued datagrams in one system call and counts what the kernel accepted and refused.
    void FlushSends();
    void OnSendsFailing(int error);
    void OnCarrierChanged();
    void OnOversized();
    // Shows the relay's condition (carrier, sends, receives, first datagram) as its status.
    void ShowCondition();
    // Relay thread: closes the endpoints and leaves the registry of open relays.
    void CloseEndpoints();
    // Relay thread: an episode of trouble of `kind` begins; whether its lines are written.
    bool BeginTrouble(Trouble kind);
    // Relay thread: one line per kind of trouble whose minute is over with lines held back.
    void SayHeldBackLines(int64_t now);
    // Asks the relay thread to end and waits for it; no owner notification.
    void EndRelayThread();
    void SetStatus(RELAY_STATE state, std::string reason = {});
    // Relay thread: waits up to `milliseconds` or until a stop is asked for; false on a stop.
    bool WaitUnlessStopped(int milliseconds);
    // Relay thread: runs call on the owner's thread and waits for it.
    void CallOwnerFromRelay(const std::function<void(CEngineOwner&)>& call);

    // COldDatagramSink, for the conversion.
    void CountConverted() override;
    [[nodiscard]] uint8_t* NextDatagram() override;
    void SendPacket(const uint8_t* datagram) override;
    void OnTickerMapFull() override;

    KOV_BCAST_CONFIG m_configuration;
    RELAY_OPTIONS m_options;
    // Written by the relay thread only (no read-modify-write), read by anyone.
    std::atomic<uint64_t> m_converted{0};
    std::atomic<uint64_t> m_received{0};
    std::atomic<uint64_t> m_sent{0};
    std::atomic<uint64_t> m_failedSends{0};
    std::atomic<uint64_t> m_oversized{0};
    std::atomic<int> m_grantedReceiveBuffer{0};
    std::atomic<uint64_t> m_heartbeat{0};
    std::atomic<int64_t> m_lastDatagramTime{0};
    mutable std::mutex m_statusMutex;  // serialises status changes with the stop request; guards the reason
    std::condition_variable m_stopAsked;
    std::atomic<RELAY_STATE> m_state{RELAY_STATE::NotRunning};
    std::string m_statusReason;
    std::atomic<int> Running{0};
    bool m_stopRequested = false;
    std::thread RelayThread;
    std::unique_ptr<CNWProtocol> SendEndpoint;
    std::unique_ptr<CNWProtocol> ReceiveEndpoint;
    CEngineOwner* OwnerWindow = nullptr;
    std::shared_ptr<COwnerCallGate> m_ownerGate = std::make_shared<COwnerCallGate>();
    CMarketDataConverter m_converter;  // holds the TickerMap
    std::shared_ptr<CCaptureRing> m_capture;

    // Relay thread only.
    CCaptureRing* m_captureNow = nullptr;  // m_capture as the relay started
    uint64_t m_seenGeneration = 0;         // of the interface watcher, when the indexes below were looked up
    int m_hostInterface = 0;
    int m_zentaInterface = 0;
    bool m_hostCarrier = true;
    bool m_zentaCarrier = true;
    bool m_carrierLost = false;  // as last shown
    int64_t m_nextRejoin = 0;
    int64_t m_nextHeldBackCheck = 0;
    bool m_statusShowsRunning = false;
    bool m_sendsFailing = false;
    bool m_receivesFailing = false;
    bool m_oversizedBurst = false;
    bool m_standingBy = false;     // receiving, not sending: no interface holds the ZENTA-side address
    bool m_wakeTimerRuns = false;  // the relay thread is woken by a CWakeTimer, not by a receive time-out
    int m_sendError = 0;
    uint64_t m_failedSendsWhenFailingBegan = 0;
    CTroubleLines m_troubleLines;
    uint8_t m_spareDatagram[kDatagramSize] = {};  // where a datagram goes that no send batch can take
};
