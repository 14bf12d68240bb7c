#include "engine/BroadcastEngine.h"

#include "log/EventLog.h"
#include "net/Udp.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

void Increment(std::atomic<uint32_t>& counter)
{
    // Only the relay thread writes the counters: no read-modify-write needed.
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace

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
    Running = 0;
    SetStatus("Not Running");
    ReceiveEndpoint = std::make_unique<CUDP>();
    SendEndpoint = std::make_unique<CUDP>();
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
    SetStatus("Stopped");
}

void CKOVBCastEngine::EndRelayThread()
{
    {
        std::lock_guard lock(m_statusMutex);
        m_stopRequested = true;
        Running.store(0, std::memory_order_release);
    }
    CloseEndpoints();
    if (RelayThread.joinable()) {
        m_ownerGate->WaitForThreadEnd();
        RelayThread.join();
    }
}

uint32_t CKOVBCastEngine::GetReceivedCount() const noexcept
{
    return m_configuration.NmktFlag ? ConvertedCount.load(std::memory_order_relaxed) : ReceivedCount.load(std::memory_order_relaxed);
}

uint32_t CKOVBCastEngine::GetDroppedCount() const noexcept
{
    return ReceiveEndpoint ? ReceiveEndpoint->DroppedCount() : 0;
}

std::string CKOVBCastEngine::GetStatus() const
{
    std::lock_guard lock(m_statusMutex);
    return Status;
}

void CKOVBCastEngine::SetStatus(const char* status)
{
    std::lock_guard lock(m_statusMutex);
    Status = status;
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

int CKOVBCastEngine::Run()
{
    const KOV_BCAST_CONFIG& c = m_configuration;
    if (OpenReceiveEndpoint() == -1) {
        SetStatus("Receive Connect Error");
        CallOwnerFromRelay([](CEngineOwner& owner) { owner.ShowOperatorMessage("Can't initialize receiving socket...."); });
        if (const int error = ReceiveEndpoint->LastSocketError()) {
            LogEvent("%s Config ID %d Error in Receive Socket. IP: %s, Port: %d, Retval: %d ", LocalTimeText().c_str(),
                     c.ConfigId, c.ReceiveIp.c_str(), c.ReceivePort, error);
            ReceiveEndpoint->ClearLastSocketError();
        }
        ReceiveEndpoint->Close();
        return 0;
    }
    LogEvent("%s Config ID %d Receive Socket Created Successfully. IP: %s, Port: %d, Retval: %d ",
             LocalTimeText().c_str(), c.ConfigId, c.ReceiveIp.c_str(), c.ReceivePort, ReceiveEndpoint->LastSocketError());
    if (const int granted = ReceiveEndpoint->GrantedReceiveBuffer(); granted < static_cast<int>(kReceiveSocketBuffer))
        LogEvent("%s Config ID %d Receive buffer is %d bytes, less than the %u asked: raise net.core.rmem_max.",
                 LocalTimeText().c_str(), c.ConfigId, granted, kReceiveSocketBuffer);

    if (OpenSendEndpoint() == -1) {
        if (const int error = SendEndpoint->LastSocketError()) {
            LogEvent("%s Config ID %d Error in Send Socket. IP: %s, Port: %d, Retval: %d ", LocalTimeText().c_str(),
                     c.ConfigId, c.SendIp.c_str(), c.SendPort, error);
            SendEndpoint->ClearLastSocketError();
        }
        SetStatus("Send Connect Error");
        CallOwnerFromRelay([](CEngineOwner& owner) { owner.ShowOperatorMessage("Can't initialize sending socket...."); });
        ReceiveEndpoint->Close();
        SendEndpoint->Close();
        return 0;
    }
    LogEvent("%s Config ID %d Send Socket Created Successfully. IP: %s, Port: %d, Retval: %d ", LocalTimeText().c_str(),
             c.ConfigId, c.SendIp.c_str(), c.SendPort, SendEndpoint->LastSocketError());
    LogEvent("%s Config ID %d has been Started successfully.", LocalTimeText().c_str(), c.ConfigId);

    {
        // A Stop that came while the endpoints were opening wins: never run after it.
        std::lock_guard lock(m_statusMutex);
        if (m_stopRequested) {
            CloseEndpoints();
            return 0;
        }
        Status = "Connected";
        Running.store(1, std::memory_order_release);
    }
    std::memset(m_receiveBuffer, 0, sizeof m_receiveBuffer);
    CallOwnerFromRelay([id = c.ConfigId](CEngineOwner& owner) { owner.OnBroadcastState(id); });

    RelayLoop();
    CloseEndpoints();
    return 1;
}

void CKOVBCastEngine::RelayLoop()
{
    // Bytes from `dirty` on are zero, so each datagram is seen with zeros
    // behind it without clearing the whole buffer every time.
    int dirty = 0;
    bool statusShowsRunning = false;
    const int mostSentPerReceived = m_configuration.NmktFlag ? kMaxSentPerReceived : 1;
    while (Running.load(std::memory_order_acquire)) {
        const int received = ReceiveEndpoint->Receive(m_receiveBuffer, kMaxDatagramLength);
        if (!statusShowsRunning) {
            std::lock_guard lock(m_statusMutex);
            if (Running.load(std::memory_order_relaxed)) {
                Status = "Running";
                statusShowsRunning = true;
            }
        }
        if (received >= 0) {
            if (received < dirty)
                std::memset(m_receiveBuffer + received, 0, static_cast<size_t>(dirty - received));
            dirty = received;
            // What one datagram produces goes out in one system call.
            if (SendEndpoint->QueuedSendRoom() < mostSentPerReceived)
                FlushSends();
            if (!m_configuration.NmktFlag) {
                Increment(ReceivedCount);
                SendPacket(m_receiveBuffer);
            } else {
                m_converter.ProcessNewMarketData(m_receiveBuffer, m_configuration.SegmentCode.c_str(), *this);
            }
        } else {
            dirty = kMaxDatagramLength;  // a failed receive may have written anything
        }
        // Nothing waits for a later datagram: the batch leaves before a receive that may block.
        if (!ReceiveEndpoint->HasPendingReceives())
            FlushSends();
    }
}

void CKOVBCastEngine::FlushSends()
{
    const int accepted = SendEndpoint->FlushSends();
    uint32_t count = SentCount.load(std::memory_order_relaxed);
    for (int i = 0; i < accepted; ++i)
        count = NextSentCount(count);
    SentCount.store(count, std::memory_order_relaxed);
}

void CKOVBCastEngine::CountConverted()
{
    Increment(ConvertedCount);
}

void CKOVBCastEngine::SendPacket(const uint8_t* datagram)
{
    // Queued; counted when the kernel accepts it (FlushSends).
    if (!SendEndpoint->QueueSend(datagram, kDatagramSize)) {
        FlushSends();
        (void)SendEndpoint->QueueSend(datagram, kDatagramSize);
    }
}
