#include "engine/BroadcastEngine.h"

#include "config/ConfigurationRules.h"
#include "engine/AlternateSignalStack.h"
#include "engine/RelayRegistry.h"
#include "engine/WakeTimer.h"
#include "log/EventLog.h"
#include "net/InterfaceWatcher.h"
#include "net/Udp.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <tuple>

namespace {

// Only the relay thread writes a counter: no read-modify-write needed.
template <typename T>
void Add(std::atomic<T>& counter, T amount = 1)
{
    counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

int64_t MonotonicSeconds() noexcept
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return now.tv_sec;
}

int64_t MonotonicMilliseconds() noexcept
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// A failed receive system call is tried again after this long, so that a
// persistent error never spins the relay thread.
constexpr int kReceiveRetryMs = 10;

std::string SystemReason(int error)
{
    return error ? std::strerror(error) : std::string();
}

void PauseBetweenPolls() noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

// A datagram shorter than the send size is padded in its receive buffer.
static_assert(kMaxDatagramLength >= CKOVBCastEngine::kDatagramSize);

// The console's rule: after 4294967295 comes 1, never 0.
static_assert(CKOVBCastEngine::Shown(0) == 0 && CKOVBCastEngine::Shown(UINT32_MAX) == UINT32_MAX &&
              CKOVBCastEngine::Shown(uint64_t{UINT32_MAX} + 1) == 1 &&
              CKOVBCastEngine::Shown(2 * uint64_t{UINT32_MAX}) == UINT32_MAX);

const char* CKOVBCastEngine::StateText(RELAY_STATE state) noexcept
{
    switch (state) {
    case RELAY_STATE::NotRunning:
        return "Not Running";
    case RELAY_STATE::Connected:
        return "Connected";
    case RELAY_STATE::Running:
        return "Running";
    case RELAY_STATE::Stopped:
        return "Stopped";
    case RELAY_STATE::ReceiveConnectError:
        return "Receive Connect Error";
    case RELAY_STATE::SendConnectError:
        return "Send Connect Error";
    case RELAY_STATE::WaitingForInterface:
        return "Waiting for Interface";
    case RELAY_STATE::SendFailing:
        return "Send Failing";
    case RELAY_STATE::ReceiveFailing:
        return "Receive Failing";
    case RELAY_STATE::LoopRefused:
        return "Loop Refused";
    case RELAY_STATE::OpenFailing:
        return "Open Failing";
    case RELAY_STATE::Standby:
        return "Standby";
    case RELAY_STATE::NoCarrier:
        return "No Carrier";
    }
    return "";
}

CKOVBCastEngine::CKOVBCastEngine(const KOV_BCAST_CONFIG& configuration, CEngineOwner* owner) : OwnerWindow(owner)
{
    Configure(configuration);
}

CKOVBCastEngine::~CKOVBCastEngine()
{
    EndRelayThread();
}

void CKOVBCastEngine::Configure(const KOV_BCAST_CONFIG& configuration)
{
    // The old relay thread may still hold the endpoints about to be replaced.
    EndRelayThread();

    m_configuration = configuration;
    m_converted = 0;
    m_received = 0;
    m_sent = 0;
    m_failedSends = 0;
    m_oversized = 0;
    m_grantedReceiveBuffer = 0;
    m_lastDatagramTime = 0;
    Running = 0;
    SetStatus(RELAY_STATE::NotRunning);
    ReceiveEndpoint = MakeEndpoint();
    SendEndpoint = MakeEndpoint();
}

std::unique_ptr<CNWProtocol> CKOVBCastEngine::MakeEndpoint()
{
    return std::make_unique<CUDP>();
}

void CKOVBCastEngine::Start()
{
    if (RelayThread.joinable()) {
        if (!m_ownerGate->ThreadEnded())
            return;  // a start is pending, or the relay runs
        RelayThread.join();
    }
    {
        std::lock_guard lock(m_statusMutex);
        m_stopRequested = false;
    }
    m_ownerGate->MarkThreadStarted();
    RelayThread = std::thread([this] {
        Run();
        m_ownerGate->MarkThreadEnded();
    });
}

void CKOVBCastEngine::Stop()
{
    EndRelayThread();
    if (OwnerWindow)
        OwnerWindow->OnBroadcastState(m_configuration.ConfigId);
    SetStatus(RELAY_STATE::Stopped);
}

void CKOVBCastEngine::EndRelayThread()
{
    {
        std::lock_guard lock(m_statusMutex);
        m_stopRequested = true;
        Running.store(0, std::memory_order_release);
    }
    m_stopAsked.notify_all();
    // The receive side wakes; the relay thread relays what the socket still
    // holds and sends what it queued before it closes the endpoints itself.
    // A full send queue is not waited for.
    if (ReceiveEndpoint)
        ReceiveEndpoint->InterruptReceive();
    if (SendEndpoint)
        SendEndpoint->InterruptSend();
    if (RelayThread.joinable()) {
        m_ownerGate->WaitForThreadEnd();
        RelayThread.join();
    }
    CloseEndpoints();
    // Buffers belong to a running relay.
    if (ReceiveEndpoint)
        ReceiveEndpoint->ReleaseBuffers();
    if (SendEndpoint)
        SendEndpoint->ReleaseBuffers();
    m_converter.Clear();  // a stopped relay holds no ticker values
}

uint32_t CKOVBCastEngine::GetReceivedCount() const noexcept
{
    return m_configuration.NmktFlag ? GetConvertedCount() : GetPassThroughCount();
}

uint64_t CKOVBCastEngine::GetDroppedTotal() const
{
    return ReceiveEndpoint ? ReceiveEndpoint->DroppedCount() : 0;
}

std::string CKOVBCastEngine::GetStatusReason() const
{
    std::string reason;
    {
        std::lock_guard lock(m_statusMutex);
        reason = m_statusReason;
    }
    if (const uint64_t oversized = GetOversizedTotal())
        reason += FormatText("%s%" PRIu64 " datagrams longer than %d bytes dropped", reason.empty() ? "" : "; ",
                             oversized, kMaxDatagramLength);
    return reason;
}

void CKOVBCastEngine::SetStatus(RELAY_STATE state, std::string reason)
{
    std::lock_guard lock(m_statusMutex);
    m_state.store(state, std::memory_order_release);
    m_statusReason = std::move(reason);
}

bool CKOVBCastEngine::WaitUnlessStopped(int milliseconds)
{
    std::unique_lock lock(m_statusMutex);
    return !m_stopAsked.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_stopRequested; });
}

void CKOVBCastEngine::CloseEndpoints()
{
    if (SendEndpoint)
        SendEndpoint->Close();
    if (ReceiveEndpoint)
        ReceiveEndpoint->Close();
    CRelayRegistry::Instance().Leave(this);
}

void CKOVBCastEngine::SayHeldBackLines(int64_t now)
{
    m_troubleLines.SayHeldBack(now, [this](Trouble held, uint32_t lines) {
        LogEvent("%s Config ID %d %u more lines about %s held back in the last minute.", LocalTimeText().c_str(),
                 m_configuration.ConfigId, lines, CTroubleLines::Name(held));
    });
}

bool CKOVBCastEngine::BeginTrouble(Trouble kind)
{
    const int64_t now = MonotonicSeconds();
    SayHeldBackLines(now);
    return m_troubleLines.Begin(kind, now);
}

void CKOVBCastEngine::CallOwnerFromRelay(const std::function<void(CEngineOwner&)>& call)
{
    if (!OwnerWindow)
        return;
    CEngineOwner& owner = *OwnerWindow;
    m_ownerGate->Call(owner, [&owner, &call] { call(owner); });
}

int CKOVBCastEngine::OpenReceiveEndpoint()
{
    NW_PROTOCOL_SETTINGS settings;
    settings.Mode = 1;
    settings.RemoteIp = m_configuration.ReceiveIp;
    settings.LocalIp = m_configuration.HostSideIp;
    settings.Port = htons(static_cast<uint16_t>(m_configuration.ReceivePort));
    settings.BufferSize = kReceiveSocketBuffer;
    settings.Multicast = static_cast<uint32_t>(m_configuration.ReceiveMulticast);
    settings.Polling = m_options.Polling;
    settings.WakeAfterMs = m_wakeTimerRuns ? 0 : kWakeAfterMs;
    return ReceiveEndpoint->Open(settings);
}

int CKOVBCastEngine::OpenSendEndpoint()
{
    NW_PROTOCOL_SETTINGS settings;
    settings.Mode = 0;
    settings.RemoteIp = m_configuration.SendIp;
    settings.BindIp = m_configuration.ZentaSideIp;
    settings.Port = htons(static_cast<uint16_t>(m_configuration.SendPort));
    settings.BufferSize = kDatagramSize;
    settings.Multicast = static_cast<uint32_t>(m_configuration.SendMulticast);
    return SendEndpoint->Open(settings);
}

void CKOVBCastEngine::PrepareRelayThread()
{
    if (!m_options.Polling)
        return;
    const int configId = m_configuration.ConfigId;
    const int cpu = m_options.PollingCpu;
    if (cpu < 0) {
        LogEvent("%s Config ID %d polls for datagrams on any CPU.", LocalTimeText().c_str(), configId);
        return;
    }
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(cpu, &cpus);
    if (const int error = pthread_setaffinity_np(pthread_self(), sizeof cpus, &cpus)) {
        LogEvent("%s Config ID %d cannot be pinned to CPU %d: %s; it polls for datagrams on any CPU.",
                 LocalTimeText().c_str(), configId, cpu, std::strerror(error));
        return;
    }
    LogEvent("%s Config ID %d polls for datagrams on CPU %d.", LocalTimeText().c_str(), configId, cpu);
}

int CKOVBCastEngine::Run()
{
    // A fault on this thread, a stack overflow included, still leaves a crash dump.
    const CAlternateSignalStack signalStack;
    // A polling relay never waits in a receive; a blocking one is woken
    // while it waits, by the receive time-out when the timer cannot run.
    CWakeTimer wakeTimer;
    m_wakeTimerRuns = !m_options.Polling && wakeTimer.Start(kWakeAfterMs) == 0;
    const KOV_BCAST_CONFIG& c = m_configuration;
    m_statusShowsRunning = m_sendsFailing = m_receivesFailing = m_oversizedBurst = m_carrierLost = false;
    m_captureNow = m_capture.get();
    NoteInterfaces();
    if (OpenEndpoints(/*firstStart=*/true) != 1) {
        CloseEndpoints();
        ReceiveEndpoint->ReleaseBuffers();
        SendEndpoint->ReleaseBuffers();
        return 0;
    }
    LogEvent("%s Config ID %d has been Started successfully.", LocalTimeText().c_str(), c.ConfigId);
    PrepareRelayThread();
    if (c.NmktFlag)
        m_converter.Prepare();

    {
        // A Stop that came while the endpoints were opening wins: never run after it.
        std::lock_guard lock(m_statusMutex);
        if (m_stopRequested) {
            CloseEndpoints();
            return 0;
        }
        m_state = m_standingBy ? RELAY_STATE::Standby : RELAY_STATE::Connected;
        m_statusReason.clear();
        Running.store(1, std::memory_order_release);
    }
    if (m_standingBy)
        LogEvent(
            "%s Config ID %d Stands by: no interface holds %s, the address towards ZENTA; it receives and "
            "sends nothing.",
            LocalTimeText().c_str(), c.ConfigId, c.ZentaSideIp.c_str());
    CallOwnerFromRelay([id = c.ConfigId](CEngineOwner& owner) { owner.OnBroadcastState(id); });
    if (!m_hostCarrier || !m_zentaCarrier)
        OnCarrierChanged();

    m_nextRejoin = MonotonicSeconds() + m_options.RejoinSeconds;
    RelayLoop();
    // Nothing the kernel took for this relay vanishes uncounted at a stop.
    RelayWhatIsQueued();
    if (m_sendsFailing)
        LogEvent("%s Config ID %d Sends were failing when it stopped: %" PRIu64 " failed.", LocalTimeText().c_str(),
                 c.ConfigId, GetFailedSendTotal() - m_failedSendsWhenFailingBegan);
    CloseEndpoints();
    ReceiveEndpoint->ReleaseBuffers();
    SendEndpoint->ReleaseBuffers();
    return 1;
}

int CKOVBCastEngine::OpenEndpoints(bool firstStart)
{
    const KOV_BCAST_CONFIG& c = m_configuration;
    int retryMs = kFirstOpenRetryMs;
    bool openFailing = false, loopRefused = false;
    for (;;) {
        if ((!firstStart || m_options.WaitForInterfaces) && !WaitForInterfaces(firstStart))
            return 0;
        // Whenever the relay opens, its interfaces may close a loop that the
        // start's check could not see (an address moved, both sides on one interface).
        if (const std::vector<int> loop =
                CRelayRegistry::Instance().EnterUnlessLoop(this, c, m_hostInterface, m_zentaInterface);
            !loop.empty()) {
            if (!loopRefused) {
                loopRefused = true;
                const std::string refusal = FeedbackLoopRefusal(loop);
                SetStatus(RELAY_STATE::LoopRefused, refusal);
                if (BeginTrouble(Trouble::Loop))
                    LogEvent("%s %s; it does not open its sockets until its interfaces change.",
                             LocalTimeText().c_str(), refusal.c_str());
            }
            // Until the interfaces change; once a second too, for a relay of the loop that stopped.
            const uint64_t seen = m_seenGeneration;
            for (int waited = 0; waited < 1000 && CInterfaceWatcher::Instance().Generation() == seen;
                 waited += kWakeAfterMs)
                if (!WaitWithHeartbeat(kWakeAfterMs))
                    return 0;
            NoteInterfaces();
            continue;
        }
        if (loopRefused && m_troubleLines.End(Trouble::Loop))
            LogEvent("%s Config ID %d Closes no loop on its interfaces now; it opens its sockets.",
                     LocalTimeText().c_str(), c.ConfigId);
        loopRefused = false;

        const bool receiveOpened = OpenReceiveEndpoint() == 0;
        if (firstStart && !receiveOpened) {
            const int error = ReceiveEndpoint->LastSocketError();
            SetStatus(RELAY_STATE::ReceiveConnectError, SystemReason(error));
            CallOwnerFromRelay(
                [](CEngineOwner& owner) { owner.ShowOperatorMessage("Can't initialize receiving socket...."); });
            if (error) {
                LogEvent("%s Config ID %d Error in Receive Socket. IP: %s, Port: %d, Retval: %d ",
                         LocalTimeText().c_str(), c.ConfigId, c.ReceiveIp.c_str(), c.ReceivePort, error);
                ReceiveEndpoint->ClearLastSocketError();
            }
            return -1;
        }
        if (firstStart) {
            LogEvent("%s Config ID %d Receive Socket Created Successfully. IP: %s, Port: %d, Retval: %d ",
                     LocalTimeText().c_str(), c.ConfigId, c.ReceiveIp.c_str(), c.ReceivePort,
                     ReceiveEndpoint->LastSocketError());
            const int granted = ReceiveEndpoint->GrantedReceiveBuffer();
            if (granted < static_cast<int>(kReceiveSocketBuffer))
                LogEvent("%s Config ID %d Receive buffer is %d bytes, less than the %u asked: raise net.core.rmem_max.",
                         LocalTimeText().c_str(), c.ConfigId, granted, kReceiveSocketBuffer);
        }
        // A standby relay without its ZENTA-side address opens nothing towards ZENTA yet.
        const bool standingBy = m_options.Standby && m_zentaInterface == 0;
        const bool sendOpened = receiveOpened && (standingBy || OpenSendEndpoint() == 0);
        if (firstStart && !sendOpened) {
            const int error = SendEndpoint->LastSocketError();
            if (error) {
                LogEvent("%s Config ID %d Error in Send Socket. IP: %s, Port: %d, Retval: %d ", LocalTimeText().c_str(),
                         c.ConfigId, c.SendIp.c_str(), c.SendPort, error);
                SendEndpoint->ClearLastSocketError();
            }
            SetStatus(RELAY_STATE::SendConnectError, SystemReason(error));
            CallOwnerFromRelay(
                [](CEngineOwner& owner) { owner.ShowOperatorMessage("Can't initialize sending socket...."); });
            return -1;
        }
        if (firstStart && !standingBy)
            LogEvent("%s Config ID %d Send Socket Created Successfully. IP: %s, Port: %d, Retval: %d ",
                     LocalTimeText().c_str(), c.ConfigId, c.SendIp.c_str(), c.SendPort,
                     SendEndpoint->LastSocketError());
        if (sendOpened) {
            m_standingBy = standingBy;
            m_grantedReceiveBuffer = ReceiveEndpoint->GrantedReceiveBuffer();
            if (openFailing && m_troubleLines.End(Trouble::Opening))
                LogEvent("%s Config ID %d Its sockets open again.", LocalTimeText().c_str(), c.ConfigId);
            return 1;
        }

        // A re-open the system refused.
        const int error = receiveOpened ? SendEndpoint->LastSocketError() : ReceiveEndpoint->LastSocketError();
        CloseEndpoints();
        NoteInterfaces();
        if (!MissingInterfaces().empty())
            continue;  // an interface went again meanwhile: waiting for it says so
        // Refused for another reason (the port taken, ...): said once, tried again less and less often.
        if (!openFailing) {
            openFailing = true;
            if (BeginTrouble(Trouble::Opening))
                LogEvent("%s Config ID %d Cannot open its sockets again: %s (error %d); retrying.",
                         LocalTimeText().c_str(), c.ConfigId, std::strerror(error), error);
        }
        SetStatus(RELAY_STATE::OpenFailing, SystemReason(error));
        if (!WaitWithHeartbeat(retryMs))
            return 0;
        retryMs = std::min(retryMs * 2, kLongestOpenRetryMs);
        NoteInterfaces();
    }
}

bool CKOVBCastEngine::WaitWithHeartbeat(int milliseconds)
{
    for (int waited = 0; waited < milliseconds; waited += kWakeAfterMs) {
        if (!WaitUnlessStopped(std::min(kWakeAfterMs, milliseconds - waited)))
            return false;
        Add<uint64_t>(m_heartbeat);
    }
    return true;
}

void CKOVBCastEngine::RelayLoop()
{
    CNWProtocol& receive = *ReceiveEndpoint;
    while (Running.load(std::memory_order_acquire)) {
        const bool newBatch = !receive.HasPendingReceives();
        if (newBatch) {
            // Nothing waits for a later datagram, and the received bytes the
            // queued sends point at stay put until they have left.
            FlushSends();
            Add<uint64_t>(m_heartbeat);
            LookAfterInterfaces();
        }
        uint8_t* datagram = nullptr;
        RelayDatagram(datagram, receive.ReceiveNext(datagram), newBatch);
    }
}

void CKOVBCastEngine::RelayDatagram(uint8_t* datagram, int received, bool newBatch)
{
    if (received == CNWProtocol::kNothingYet || (received == -1 && ReceiveEndpoint->ReceiveError())) {
        OnNoDatagram(received);
        return;
    }
    if (!m_statusShowsRunning || m_receivesFailing) [[unlikely]] {
        m_statusShowsRunning = true;
        if (m_receivesFailing && m_troubleLines.End(Trouble::Receives))
            LogEvent("%s Config ID %d Receives succeed again.", LocalTimeText().c_str(), m_configuration.ConfigId);
        m_receivesFailing = false;
        ShowCondition();
    }
    if (received < 0) {
        if (received == CNWProtocol::kOversized)
            OnOversized();
        return;  // or the endpoint was interrupted
    }
    m_oversizedBurst = false;
    if (newBatch)
        m_lastDatagramTime.store(MonotonicSeconds(), std::memory_order_relaxed);
    if (m_standingBy && CInterfaceWatcher::Instance().Generation() != m_seenGeneration) {
        // The address may have come: this very datagram is then sent from
        // it. (Any other change waits for the next batch, as it must: the
        // receive socket holds this datagram.)
        if (const int zenta = CInterfaceWatcher::InterfaceIndexOf(m_configuration.ZentaSideIp); zenta != 0) {
            m_zentaInterface = zenta;
            TakeOver();
        }
    }
    CNWProtocol& send = *SendEndpoint;
    const bool nmkt = m_configuration.NmktFlag != 0;
    if (!nmkt && received < kDatagramSize)
        // Padded where it lies: it goes out as one piece, like any other.
        std::memset(datagram + received, 0, static_cast<size_t>(kDatagramSize - received));
    if (m_captureNow) [[unlikely]]
        CaptureDatagram(datagram, received, nmkt);
    // What one datagram produces goes out in one system call.
    if (!m_standingBy && send.QueuedSendRoom() < (nmkt ? kMaxSentPerReceived : 1))
        FlushSends();
    if (!nmkt) {
        Add(m_received);
        // Sent from where it was received: its first 512 bytes, or all of it followed by zeros.
        if (!m_standingBy && !send.QueueSend(datagram, kDatagramSize))
            Add(m_failedSends);
    } else {
        m_converter.ProcessNewMarketData(datagram, received, m_configuration.SegmentCode.c_str(), *this);
    }
}

void CKOVBCastEngine::CaptureDatagram(const uint8_t* datagram, int received, bool nmkt) noexcept
{
    m_captureNow->Push(CAPTURE_DIRECTION::Received, datagram, received);
    // What goes out is known already; converted datagrams are captured as they are made.
    if (!nmkt && !m_standingBy)
        m_captureNow->Push(CAPTURE_DIRECTION::Sent, datagram, kDatagramSize);
}

void CKOVBCastEngine::RelayWhatIsQueued()
{
    CNWProtocol& receive = *ReceiveEndpoint;
    receive.StopWaiting();
    const int64_t end = MonotonicMilliseconds() + kDrainMs;
    for (;;) {
        const bool newBatch = !receive.HasPendingReceives();
        if (newBatch) {
            FlushSends();
            if (MonotonicMilliseconds() > end)
                break;
        }
        uint8_t* datagram = nullptr;
        const int received = receive.ReceiveNext(datagram);
        // A new batch that fails: the socket is empty, shut or closed.
        if (received == CNWProtocol::kNothingYet || (received == -1 && newBatch))
            break;
        RelayDatagram(datagram, received, newBatch);
    }
    FlushSends();
}

void CKOVBCastEngine::OnOversized()
{
    Add(m_oversized);
    if (m_oversizedBurst)
        return;
    m_oversizedBurst = true;  // until a datagram of a size it can take
    if (BeginTrouble(Trouble::Oversized))
        LogEvent("%s Config ID %d Datagrams longer than %d bytes arrive; they are dropped and counted as oversized.",
                 LocalTimeText().c_str(), m_configuration.ConfigId, kMaxDatagramLength);
}

void CKOVBCastEngine::NoteInterfaces()
{
    // The generation first: a change during the look-ups shows at the next check.
    m_seenGeneration = CInterfaceWatcher::Instance().Generation();
    m_hostInterface = CInterfaceWatcher::InterfaceIndexOf(m_configuration.HostSideIp);
    m_zentaInterface = CInterfaceWatcher::InterfaceIndexOf(m_configuration.ZentaSideIp);
    m_hostCarrier = CInterfaceWatcher::HasCarrier(m_hostInterface);
    m_zentaCarrier = CInterfaceWatcher::HasCarrier(m_zentaInterface);
}

std::string CKOVBCastEngine::MissingInterfaces() const
{
    std::string missing;
    for (const auto& [index, address, side] : {std::tuple{m_hostInterface, &m_configuration.HostSideIp, "Host"},
                                               std::tuple{m_zentaInterface, &m_configuration.ZentaSideIp, "ZENTA"}}) {
        if (index == 0 && !(m_options.Standby && address == &m_configuration.ZentaSideIp))
            missing += (missing.empty() ? "" : "; ") +
                       FormatText("no interface holds %s, the address towards %s", address->c_str(), side);
    }
    return missing;
}

bool CKOVBCastEngine::WaitForInterfaces(bool firstStart)
{
    std::string missing = MissingInterfaces();
    if (missing.empty())
        return true;
    SetStatus(RELAY_STATE::WaitingForInterface, missing);
    // At a start it is said always; later as part of the interfaces' trouble.
    if (firstStart || m_troubleLines.During(Trouble::Interfaces))
        LogEvent("%s Config ID %d Waiting for its interfaces: %s.", LocalTimeText().c_str(), m_configuration.ConfigId,
                 missing.c_str());
    do {
        if (!WaitUnlessStopped(kWakeAfterMs))
            return false;
        Add<uint64_t>(m_heartbeat);
        NoteInterfaces();
    } while (!MissingInterfaces().empty());
    return true;
}

void CKOVBCastEngine::LookAfterInterfaces()
{
    if (m_options.RejoinSeconds > 0) {
        if (const int64_t now = MonotonicSeconds(); now >= m_nextRejoin) {
            (void)ReceiveEndpoint->RefreshMembership();
            m_nextRejoin = now + m_options.RejoinSeconds;
        }
    }
    if (CInterfaceWatcher::Instance().Generation() == m_seenGeneration) {
        if (m_troubleLines.HasHeldBack()) [[unlikely]]
            SayHeldBackLines(MonotonicSeconds());  // once the minute is over
        return;                                    // all the hot path pays: one atomic load per batch
    }
    const int host = m_hostInterface;
    const int zenta = m_zentaInterface;
    NoteInterfaces();
    if (m_hostInterface == host && m_zentaInterface == zenta) {
        // A change elsewhere, or one the sockets outlive (a link down and up again).
        if ((!m_hostCarrier || !m_zentaCarrier) != m_carrierLost)
            OnCarrierChanged();
        return;
    }
    if (m_options.Standby && m_hostInterface == host) {
        // Only the ZENTA side changed: the receive socket and its membership stay.
        if (!m_standingBy) {
            FlushSends();
            SendEndpoint->Close();
        }
        m_carrierLost = !m_hostCarrier || !m_zentaCarrier;
        if (m_zentaInterface != 0)
            TakeOver();
        else
            StandBy();
        return;
    }

    // The sockets belong to an interface that is gone or replaced: the
    // membership went with it, and sends would leave by it. What the
    // receive socket still holds is relayed first (or fails to send, counted).
    RelayWhatIsQueued();
    CloseEndpoints();
    const int configId = m_configuration.ConfigId;
    if (BeginTrouble(Trouble::Interfaces) && MissingInterfaces().empty())
        LogEvent("%s Config ID %d Its interfaces were replaced; opening its sockets again.", LocalTimeText().c_str(),
                 configId);
    if (OpenEndpoints(/*firstStart=*/false) != 1)
        return;  // stopped meanwhile
    if (m_troubleLines.End(Trouble::Interfaces)) {
        char hostName[IF_NAMESIZE] = "?", zentaName[IF_NAMESIZE] = "?";
        if_indextoname(static_cast<unsigned>(m_hostInterface), hostName);
        if_indextoname(static_cast<unsigned>(m_zentaInterface), zentaName);
        LogEvent("%s Config ID %d Relays again: receiving on %s, sending from %s.", LocalTimeText().c_str(), configId,
                 hostName, m_standingBy ? "none (it stands by)" : zentaName);
    }
    if ((!m_hostCarrier || !m_zentaCarrier) != m_carrierLost)
        OnCarrierChanged();
    ShowCondition();
}

void CKOVBCastEngine::TakeOver()
{
    const KOV_BCAST_CONFIG& c = m_configuration;
    char zentaName[IF_NAMESIZE] = "?";
    if_indextoname(static_cast<unsigned>(m_zentaInterface), zentaName);
    // Sending from there may close a loop that standing by could not.
    if (const std::vector<int> loop =
            CRelayRegistry::Instance().EnterUnlessLoop(this, c, m_hostInterface, m_zentaInterface);
        !loop.empty()) {
        const std::string refusal = FeedbackLoopRefusal(loop);
        SetStatus(RELAY_STATE::LoopRefused, refusal);
        LogEvent("%s %s; it stands by until its interfaces change.", LocalTimeText().c_str(), refusal.c_str());
        return;
    }
    if (OpenSendEndpoint() != 0) {
        const int error = SendEndpoint->LastSocketError();
        SendEndpoint->ClearLastSocketError();
        SendEndpoint->Close();
        SetStatus(RELAY_STATE::Standby, SystemReason(error));
        LogEvent("%s Config ID %d Cannot send from %s on %s: %s; it stands by until its interfaces change.",
                 LocalTimeText().c_str(), c.ConfigId, c.ZentaSideIp.c_str(), zentaName, std::strerror(error));
        return;
    }
    m_standingBy = false;
    m_statusShowsRunning = true;
    ShowCondition();
    LogEvent("%s Config ID %d Takes over: %s, the address towards ZENTA, is on %s; it sends from it.",
             LocalTimeText().c_str(), c.ConfigId, c.ZentaSideIp.c_str(), zentaName);
}

void CKOVBCastEngine::StandBy()
{
    m_standingBy = true;
    // Sends refused once the address had gone are counted; they say nothing about the next address.
    m_sendsFailing = false;
    (void)CRelayRegistry::Instance().EnterUnlessLoop(this, m_configuration, m_hostInterface, 0);  // sends nowhere now
    ShowCondition();
    LogEvent(
        "%s Config ID %d Stands by: no interface holds %s, the address towards ZENTA; it receives and sends "
        "nothing.",
        LocalTimeText().c_str(), m_configuration.ConfigId, m_configuration.ZentaSideIp.c_str());
}

void CKOVBCastEngine::OnCarrierChanged()
{
    m_carrierLost = !m_hostCarrier || !m_zentaCarrier;
    const int configId = m_configuration.ConfigId;
    if (m_carrierLost) {
        if (BeginTrouble(Trouble::Carrier))
            LogEvent("%s Config ID %d No carrier on %s.", LocalTimeText().c_str(), configId,
                     !m_hostCarrier && !m_zentaCarrier ? "its Host-side and ZENTA-side interfaces"
                     : !m_hostCarrier                  ? "its Host-side interface"
                                                       : "its ZENTA-side interface");
    } else if (m_troubleLines.End(Trouble::Carrier)) {
        LogEvent("%s Config ID %d Carrier is back on its interfaces.", LocalTimeText().c_str(), configId);
    }
    ShowCondition();
}

void CKOVBCastEngine::ShowCondition()
{
    if (m_carrierLost) {
        char name[IF_NAMESIZE] = "?";
        const bool host = !m_hostCarrier;
        if_indextoname(static_cast<unsigned>(host ? m_hostInterface : m_zentaInterface), name);
        SetStatus(RELAY_STATE::NoCarrier, FormatText("%s, towards %s, has no carrier%s", name, host ? "Host" : "ZENTA",
                                                     host && !m_zentaCarrier ? "; nor has the ZENTA side" : ""));
    } else if (m_sendsFailing) {
        SetStatus(RELAY_STATE::SendFailing, m_sendError ? SystemReason(m_sendError) : "the system refused a datagram");
    } else if (m_receivesFailing) {
        SetStatus(RELAY_STATE::ReceiveFailing, SystemReason(ReceiveEndpoint->ReceiveError()));
    } else if (m_standingBy) {
        SetStatus(RELAY_STATE::Standby);
    } else {
        SetStatus(m_statusShowsRunning ? RELAY_STATE::Running : RELAY_STATE::Connected);
    }
}

void CKOVBCastEngine::OnNoDatagram(int result)
{
    if (result == CNWProtocol::kNothingYet) {
        if (m_options.Polling)
            PauseBetweenPolls();
        return;
    }
    // A receive system call failed: say so once, and try again a little later.
    if (!m_receivesFailing) {
        m_receivesFailing = true;
        const int error = ReceiveEndpoint->ReceiveError();
        if (BeginTrouble(Trouble::Receives))
            LogEvent("%s Config ID %d Receives are failing: %s (error %d).", LocalTimeText().c_str(),
                     m_configuration.ConfigId, std::strerror(error), error);
        ShowCondition();
    }
    Add<uint64_t>(m_heartbeat);
    (void)WaitUnlessStopped(kReceiveRetryMs);
}

void CKOVBCastEngine::FlushSends()
{
    const SEND_RESULT result = SendEndpoint->FlushSends();
    uint64_t accepted = static_cast<uint64_t>(result.Accepted);
    uint64_t failed = static_cast<uint64_t>(result.Refused);
    if (!m_zentaCarrier) [[unlikely]] {
        // A link without carrier drops what is queued to it, though the send succeeds.
        failed += accepted;
        accepted = 0;
    }
    if (result.Refused > 0 && !m_sendsFailing)
        OnSendsFailing(result.Error);  // counts from before these
    if (accepted > 0)
        Add(m_sent, accepted);
    if (failed > 0)
        Add(m_failedSends, failed);
    if (result.Refused == 0 && accepted > 0 && m_sendsFailing) {
        m_sendsFailing = false;
        if (m_troubleLines.End(Trouble::Sends))
            LogEvent("%s Config ID %d Sends succeed again after %" PRIu64 " failed.", LocalTimeText().c_str(),
                     m_configuration.ConfigId, GetFailedSendTotal() - m_failedSendsWhenFailingBegan);
        ShowCondition();
    }
}

void CKOVBCastEngine::OnSendsFailing(int error)
{
    m_sendsFailing = true;
    m_sendError = error;
    m_failedSendsWhenFailingBegan = GetFailedSendTotal();
    if (BeginTrouble(Trouble::Sends)) {
        if (error)
            LogEvent("%s Config ID %d Sends are failing: %s (error %d).", LocalTimeText().c_str(),
                     m_configuration.ConfigId, std::strerror(error), error);
        else
            LogEvent("%s Config ID %d Sends are failing: the system refused a datagram.", LocalTimeText().c_str(),
                     m_configuration.ConfigId);
    }
    ShowCondition();
}

void CKOVBCastEngine::CountConverted()
{
    Add(m_converted);
}

uint8_t* CKOVBCastEngine::NextDatagram()
{
    if (m_standingBy)
        return m_spareDatagram;  // converted as usual, sent nowhere
    uint8_t* slot = SendEndpoint->SendSlot();
    if (!slot) {
        FlushSends();
        slot = SendEndpoint->SendSlot();
    }
    return slot ? slot : m_spareDatagram;
}

void CKOVBCastEngine::SendPacket(const uint8_t* datagram)
{
    // Counted when the kernel accepts it (FlushSends).
    if (datagram == m_spareDatagram) {
        if (!m_standingBy)
            Add(m_failedSends);
        return;
    }
    if (m_captureNow) [[unlikely]]
        m_captureNow->Push(CAPTURE_DIRECTION::Sent, datagram, kDatagramSize);
    SendEndpoint->QueueWrittenSend(kDatagramSize);
}

void CKOVBCastEngine::OnTickerMapFull()
{
    LogEvent(
        "%s Config ID %d Ticker map is full (%zu tokens): new tokens take the places of the least recently "
        "updated ones.",
        LocalTimeText().c_str(), m_configuration.ConfigId, CMarketDataConverter::kMaxTickers);
}
