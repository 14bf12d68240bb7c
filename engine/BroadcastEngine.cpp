#include "engine/BroadcastEngine.h"

#include "engine/AlternateSignalStack.h"
#include "log/EventLog.h"
#include "net/InterfaceWatcher.h"
#include "net/Udp.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <pthread.h>
#include <sched.h>

#include <chrono>
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
    case RELAY_STATE::Standby:
        return "Standby";
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
    ConvertedCount = 0;
    ReceivedCount = 0;
    SentCount = 0;
    m_failedSends = 0;
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
    // Only the receive side is woken: the relay thread sends what it queued
    // before it closes the endpoints itself.
    if (ReceiveEndpoint)
        ReceiveEndpoint->InterruptReceive();
    if (RelayThread.joinable()) {
        m_ownerGate->WaitForThreadEnd();
        RelayThread.join();
    }
    CloseEndpoints();
}

uint32_t CKOVBCastEngine::GetReceivedCount() const noexcept
{
    return m_configuration.NmktFlag ? ConvertedCount.load(std::memory_order_relaxed)
                                    : ReceivedCount.load(std::memory_order_relaxed);
}

uint32_t CKOVBCastEngine::GetDroppedCount() const
{
    return ReceiveEndpoint ? ReceiveEndpoint->DroppedCount() : 0;
}

std::string CKOVBCastEngine::GetStatusReason() const
{
    std::lock_guard lock(m_statusMutex);
    return m_statusReason;
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
    settings.WakeAfterMs = kWakeAfterMs;
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
    const KOV_BCAST_CONFIG& c = m_configuration;
    NoteInterfaces();
    if (m_options.WaitForInterfaces && !WaitForInterfaces())
        return 0;
    if (OpenReceiveEndpoint() == -1) {
        const int error = ReceiveEndpoint->LastSocketError();
        SetStatus(RELAY_STATE::ReceiveConnectError, SystemReason(error));
        CallOwnerFromRelay(
            [](CEngineOwner& owner) { owner.ShowOperatorMessage("Can't initialize receiving socket...."); });
        if (error) {
            LogEvent("%s Config ID %d Error in Receive Socket. IP: %s, Port: %d, Retval: %d ", LocalTimeText().c_str(),
                     c.ConfigId, c.ReceiveIp.c_str(), c.ReceivePort, error);
            ReceiveEndpoint->ClearLastSocketError();
        }
        ReceiveEndpoint->Close();
        return 0;
    }
    LogEvent("%s Config ID %d Receive Socket Created Successfully. IP: %s, Port: %d, Retval: %d ",
             LocalTimeText().c_str(), c.ConfigId, c.ReceiveIp.c_str(), c.ReceivePort,
             ReceiveEndpoint->LastSocketError());
    const int granted = ReceiveEndpoint->GrantedReceiveBuffer();
    m_grantedReceiveBuffer = granted;
    if (granted < static_cast<int>(kReceiveSocketBuffer))
        LogEvent("%s Config ID %d Receive buffer is %d bytes, less than the %u asked: raise net.core.rmem_max.",
                 LocalTimeText().c_str(), c.ConfigId, granted, kReceiveSocketBuffer);

    m_standingBy = m_options.Standby && m_zentaInterface == 0;
    if (m_standingBy) {
        // Sends nothing until its address comes: nothing to open towards ZENTA yet.
    } else if (OpenSendEndpoint() == -1) {
        const int error = SendEndpoint->LastSocketError();
        if (error) {
            LogEvent("%s Config ID %d Error in Send Socket. IP: %s, Port: %d, Retval: %d ", LocalTimeText().c_str(),
                     c.ConfigId, c.SendIp.c_str(), c.SendPort, error);
            SendEndpoint->ClearLastSocketError();
        }
        SetStatus(RELAY_STATE::SendConnectError, SystemReason(error));
        CallOwnerFromRelay(
            [](CEngineOwner& owner) { owner.ShowOperatorMessage("Can't initialize sending socket...."); });
        ReceiveEndpoint->Close();
        SendEndpoint->Close();
        return 0;
    }
    if (!m_standingBy)
        LogEvent("%s Config ID %d Send Socket Created Successfully. IP: %s, Port: %d, Retval: %d ",
                 LocalTimeText().c_str(), c.ConfigId, c.SendIp.c_str(), c.SendPort, SendEndpoint->LastSocketError());
    LogEvent("%s Config ID %d has been Started successfully.", LocalTimeText().c_str(), c.ConfigId);
    PrepareRelayThread();

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

    m_nextRejoin = MonotonicSeconds() + m_options.RejoinSeconds;
    RelayLoop();
    CloseEndpoints();
    return 1;
}

void CKOVBCastEngine::RelayLoop()
{
    CNWProtocol& receive = *ReceiveEndpoint;
    CNWProtocol& send = *SendEndpoint;
    const bool nmkt = m_configuration.NmktFlag != 0;
    const char* const segment = m_configuration.SegmentCode.c_str();
    const int mostSentPerReceived = nmkt ? kMaxSentPerReceived : 1;
    m_statusShowsRunning = m_sendsFailing = m_receivesFailing = false;
    while (Running.load(std::memory_order_acquire)) {
        const bool newBatch = !receive.HasPendingReceives();
        if (newBatch) {
            // Nothing waits for a later datagram, and the received bytes the
            // queued sends point at stay put until they have left.
            FlushSends();
            Add<uint64_t>(m_heartbeat);
            LookAfterInterfaces();
        }
        const uint8_t* datagram = nullptr;
        const int received = receive.ReceiveNext(datagram);
        if (received == CNWProtocol::kNothingYet || (received < 0 && receive.ReceiveError())) {
            OnNoDatagram(received);
            continue;
        }
        if (!m_statusShowsRunning || m_receivesFailing) {
            std::lock_guard lock(m_statusMutex);
            if (Running.load(std::memory_order_relaxed) && !m_sendsFailing) {
                m_state = m_standingBy ? RELAY_STATE::Standby : RELAY_STATE::Running;
                m_statusReason.clear();
            }
            m_statusShowsRunning = true;
            if (m_receivesFailing)
                LogEvent("%s Config ID %d Receives succeed again.", LocalTimeText().c_str(), m_configuration.ConfigId);
            m_receivesFailing = false;
        }
        if (received < 0)
            continue;  // too long for the buffer, or the endpoint was interrupted
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
        // What one datagram produces goes out in one system call.
        if (!m_standingBy && send.QueuedSendRoom() < mostSentPerReceived)
            FlushSends();
        if (!nmkt) {
            Add(ReceivedCount);
            // Sent from where it was received: its first 512 bytes, or all of
            // it followed by zeros.
            const int kept = received < kDatagramSize ? received : kDatagramSize;
            if (!m_standingBy && !send.QueueSend(datagram, kept, kDatagramSize - kept))
                Add(m_failedSends);
        } else {
            m_converter.ProcessNewMarketData(datagram, received, segment, *this);
        }
    }
    // What was queued when the stop came still goes out.
    FlushSends();
}

void CKOVBCastEngine::NoteInterfaces()
{
    // The generation first: a change during the look-ups shows at the next check.
    m_seenGeneration = CInterfaceWatcher::Instance().Generation();
    m_hostInterface = CInterfaceWatcher::InterfaceIndexOf(m_configuration.HostSideIp);
    m_zentaInterface = CInterfaceWatcher::InterfaceIndexOf(m_configuration.ZentaSideIp);
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

bool CKOVBCastEngine::WaitForInterfaces()
{
    std::string missing = MissingInterfaces();
    if (missing.empty())
        return true;
    SetStatus(RELAY_STATE::WaitingForInterface, missing);
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

bool CKOVBCastEngine::OpenEndpointsAgain()
{
    while (WaitForInterfaces()) {
        const bool standingBy = m_options.Standby && m_zentaInterface == 0;
        if (OpenReceiveEndpoint() == 0 && (standingBy || OpenSendEndpoint() == 0)) {
            m_grantedReceiveBuffer = ReceiveEndpoint->GrantedReceiveBuffer();
            m_standingBy = standingBy;
            return true;
        }
        // An interface went again meanwhile, or refused the sockets: a little later.
        const int error =
            ReceiveEndpoint->LastSocketError() ? ReceiveEndpoint->LastSocketError() : SendEndpoint->LastSocketError();
        CloseEndpoints();
        SetStatus(RELAY_STATE::WaitingForInterface, SystemReason(error));
        if (!WaitUnlessStopped(kWakeAfterMs))
            return false;
        NoteInterfaces();
    }
    return false;
}

void CKOVBCastEngine::LookAfterInterfaces()
{
    if (m_options.RejoinSeconds > 0) {
        if (const int64_t now = MonotonicSeconds(); now >= m_nextRejoin) {
            (void)ReceiveEndpoint->RefreshMembership();
            m_nextRejoin = now + m_options.RejoinSeconds;
        }
    }
    if (CInterfaceWatcher::Instance().Generation() == m_seenGeneration)
        return;  // all the hot path pays: one atomic load per batch
    const int host = m_hostInterface;
    const int zenta = m_zentaInterface;
    NoteInterfaces();
    if (m_hostInterface == host && m_zentaInterface == zenta)
        return;  // a change elsewhere, or one the sockets outlive (a link down and up again)
    if (m_options.Standby && m_hostInterface == host) {
        // Only the ZENTA side changed: the receive socket and its membership stay.
        if (!m_standingBy) {
            FlushSends();
            SendEndpoint->Close();
        }
        if (m_zentaInterface != 0)
            TakeOver();
        else
            StandBy();
        return;
    }

    // The sockets belong to an interface that is gone or replaced: the
    // membership went with it, and sends would leave by it.
    FlushSends();
    CloseEndpoints();
    const int configId = m_configuration.ConfigId;
    if (MissingInterfaces().empty())
        LogEvent("%s Config ID %d Its interfaces were replaced; opening its sockets again.", LocalTimeText().c_str(),
                 configId);
    if (!OpenEndpointsAgain())
        return;  // stopped meanwhile
    char hostName[IF_NAMESIZE] = "?", zentaName[IF_NAMESIZE] = "?";
    if_indextoname(static_cast<unsigned>(m_hostInterface), hostName);
    if_indextoname(static_cast<unsigned>(m_zentaInterface), zentaName);
    LogEvent("%s Config ID %d Relays again: receiving on %s, sending from %s.", LocalTimeText().c_str(), configId,
             hostName, m_standingBy ? "none (it stands by)" : zentaName);
    SetStatus(m_standingBy ? RELAY_STATE::Standby : m_sendsFailing ? RELAY_STATE::SendFailing : RELAY_STATE::Running);
}

void CKOVBCastEngine::TakeOver()
{
    const KOV_BCAST_CONFIG& c = m_configuration;
    char zentaName[IF_NAMESIZE] = "?";
    if_indextoname(static_cast<unsigned>(m_zentaInterface), zentaName);
    if (OpenSendEndpoint() != 0) {
        const int error = SendEndpoint->LastSocketError();
        SendEndpoint->ClearLastSocketError();
        SendEndpoint->Close();
        m_standingBy = true;
        SetStatus(RELAY_STATE::Standby, SystemReason(error));
        LogEvent("%s Config ID %d Cannot send from %s on %s: %s; it stands by until its interfaces change.",
                 LocalTimeText().c_str(), c.ConfigId, c.ZentaSideIp.c_str(), zentaName, std::strerror(error));
        return;
    }
    m_standingBy = false;
    m_statusShowsRunning = true;
    SetStatus(m_sendsFailing ? RELAY_STATE::SendFailing : RELAY_STATE::Running);
    LogEvent("%s Config ID %d Takes over: %s, the address towards ZENTA, is on %s; it sends from it.",
             LocalTimeText().c_str(), c.ConfigId, c.ZentaSideIp.c_str(), zentaName);
}

void CKOVBCastEngine::StandBy()
{
    m_standingBy = true;
    // Sends refused once the address had gone are counted; they say nothing about the next address.
    m_sendsFailing = false;
    SetStatus(RELAY_STATE::Standby);
    LogEvent(
        "%s Config ID %d Stands by: no interface holds %s, the address towards ZENTA; it receives and sends "
        "nothing.",
        LocalTimeText().c_str(), m_configuration.ConfigId, m_configuration.ZentaSideIp.c_str());
}

void CKOVBCastEngine::OnNoDatagram(int result)
{
    if (result == CNWProtocol::kNothingYet) {
        if (m_options.Polling)
            PauseBetweenPolls();
        return;
    }
    // A receive system call failed: say so once, and try again a little later.
    const int error = ReceiveEndpoint->ReceiveError();
    if (!m_receivesFailing) {
        m_receivesFailing = true;
        SetStatus(RELAY_STATE::ReceiveFailing, SystemReason(error));
        LogEvent("%s Config ID %d Receives are failing: %s (error %d).", LocalTimeText().c_str(),
                 m_configuration.ConfigId, std::strerror(error), error);
    }
    Add<uint64_t>(m_heartbeat);
    (void)WaitUnlessStopped(kReceiveRetryMs);
}

void CKOVBCastEngine::FlushSends()
{
    const SEND_RESULT result = SendEndpoint->FlushSends();
    if (result.Accepted > 0) {
        uint32_t count = SentCount.load(std::memory_order_relaxed);
        for (int i = 0; i < result.Accepted; ++i) count = NextSentCount(count);
        SentCount.store(count, std::memory_order_relaxed);
    }
    if (result.Refused > 0) {
        if (!m_sendsFailing)
            OnSendsFailing(result.Error);
        Add(m_failedSends, static_cast<uint32_t>(result.Refused));
    } else if (result.Accepted > 0 && m_sendsFailing) {
        m_sendsFailing = false;
        SetStatus(RELAY_STATE::Running);
        LogEvent("%s Config ID %d Sends succeed again after %u failed.", LocalTimeText().c_str(),
                 m_configuration.ConfigId, GetFailedSendCount() - m_failedSendsWhenFailingBegan);
    }
}

void CKOVBCastEngine::OnSendsFailing(int error)
{
    m_sendsFailing = true;
    m_failedSendsWhenFailingBegan = GetFailedSendCount();
    SetStatus(RELAY_STATE::SendFailing, error ? SystemReason(error) : "the system refused a datagram");
    if (error)
        LogEvent("%s Config ID %d Sends are failing: %s (error %d).", LocalTimeText().c_str(), m_configuration.ConfigId,
                 std::strerror(error), error);
    else
        LogEvent("%s Config ID %d Sends are failing: the system refused a datagram.", LocalTimeText().c_str(),
                 m_configuration.ConfigId);
}

void CKOVBCastEngine::CountConverted()
{
    Add(ConvertedCount);
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
    } else {
        SendEndpoint->QueueWrittenSend(kDatagramSize);
    }
}

void CKOVBCastEngine::OnTickerMapFull()
{
    LogEvent("%s Config ID %d Ticker map is full (%zu tokens): tokens not seen before are not stored.",
             LocalTimeText().c_str(), m_configuration.ConfigId, CMarketDataConverter::kMaxTickers);
}
