#include "engine/BroadcastEngine.h"

#include "config/BroadcastConfig.h"
#include "log/EventLog.h"
#include "net/Udp.h"

#include <arpa/inet.h>

#include <cstring>

// What the endpoint hands over whole is what the receive buffer holds.
static_assert(CUDP::kMaxReceived == CKOVBCastEngine::kReceiveBufferSize);

namespace {

// Fixed-width text fields always stay terminated; longer texts are cut
// (the loaders refuse them before they get here).
template <size_t N>
void CopyField(char (&field)[N], const std::string& text)
{
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

void Increment(std::atomic<uint32_t>& counter)
{
    // Only the relay thread writes the counters: no read-modify-write needed.
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace

CKOVBCastEngine::CKOVBCastEngine(int configId, const std::string& segmentCode, const std::string& receiveIp,
                                 int receivePort, const std::string& receiveProtocol, const std::string& receiveMode,
                                 const std::string& sendIp, const std::string& hostSideIp,
                                 const std::string& zentaSideIp, int sendPort, const std::string& sendProtocol,
                                 const std::string& sendMode, const std::string& archiveFlag,
                                 const std::string& nmktFlag, CEngineOwner* owner)
{
    Configure(configId, segmentCode, receiveIp, receivePort, receiveProtocol, receiveMode, sendIp, hostSideIp,
              zentaSideIp, sendPort, sendProtocol, sendMode, archiveFlag, nmktFlag, owner);
}

CKOVBCastEngine::~CKOVBCastEngine()
{
    EndRelayThread();
}

void CKOVBCastEngine::Configure(int configId, const std::string& segmentCode, const std::string& receiveIp,
                                int receivePort, const std::string& /*receiveProtocol*/,
                                const std::string& /*receiveMode*/, const std::string& sendIp,
                                const std::string& hostSideIp, const std::string& zentaSideIp, int sendPort,
                                const std::string& /*sendProtocol*/, const std::string& /*sendMode*/,
                                const std::string& archiveFlag, const std::string& nmktFlag, CEngineOwner* owner)
{
    // The old relay thread may still hold the endpoints about to be replaced.
    EndRelayThread();

    ConfigId = configId;
    CopyField(SegmentCode, segmentCode);
    CopyField(ReceiveIp, receiveIp);
    ReceivePort = receivePort;
    // Only UDP endpoints exist, and they always take the multicast set-up.
    CopyField(ReceiveProtocol, "UDP");
    ReceiveMulticast = 1;
    CopyField(SendIp, sendIp);
    SendPort = sendPort;
    CopyField(SendProtocol, "UDP");
    SendMulticast = 1;
    ArchiveFlag = FlagFromText(archiveFlag);
    NmktFlag = FlagFromText(nmktFlag);
    CopyField(HostSideIp, hostSideIp);
    CopyField(ZentaSideIp, zentaSideIp);
    OwnerWindow = owner;

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
        OwnerWindow->OnBroadcastState(ConfigId);
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
    return NmktFlag ? ConvertedCount.load(std::memory_order_relaxed) : ReceivedCount.load(std::memory_order_relaxed);
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

std::string CKOVBCastEngine::GetStatusReason() const
{
    std::lock_guard lock(m_statusMutex);
    return m_statusReason;
}

void CKOVBCastEngine::SetStatus(const char* status, int error)
{
    std::lock_guard lock(m_statusMutex);
    Status = status;
    m_statusReason = error ? std::strerror(error) : "";
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
    settings.RemoteIp = ReceiveIp;
    settings.LocalIp = HostSideIp;
    settings.Port = htons(static_cast<uint16_t>(ReceivePort));
    settings.BufferSize = kReceiveSocketBuffer;
    settings.Multicast = static_cast<uint32_t>(ReceiveMulticast);
    return ReceiveEndpoint->Open(settings);
}

int CKOVBCastEngine::OpenSendEndpoint()
{
    NW_PROTOCOL_SETTINGS settings;
    settings.Mode = 0;
    settings.RemoteIp = SendIp;
    settings.BindIp = ZentaSideIp;
    settings.Port = htons(static_cast<uint16_t>(SendPort));
    settings.BufferSize = kDatagramSize;
    settings.Multicast = static_cast<uint32_t>(SendMulticast);
    return SendEndpoint->Open(settings);
}

int CKOVBCastEngine::Run()
{
    if (OpenReceiveEndpoint() == -1) {
        SetStatus("Receive Connect Error", ReceiveEndpoint->LastSocketError());
        CallOwnerFromRelay([](CEngineOwner& owner) { owner.ShowOperatorMessage("Can't initialize receiving socket...."); });
        if (const int error = ReceiveEndpoint->LastSocketError()) {
            LogEvent("%s Config ID %d Error in Receive Socket. IP: %s, Port: %d, Retval: %d ", LocalTimeText().c_str(),
                     ConfigId, ReceiveIp, ReceivePort, error);
            ReceiveEndpoint->ClearLastSocketError();
        }
        ReceiveEndpoint->Close();
        return 0;
    }
    LogEvent("%s Config ID %d Receive Socket Created Successfully. IP: %s, Port: %d, Retval: %d ",
             LocalTimeText().c_str(), ConfigId, ReceiveIp, ReceivePort, ReceiveEndpoint->LastSocketError());
    if (const int granted = ReceiveEndpoint->GrantedReceiveBuffer(); granted < static_cast<int>(kReceiveSocketBuffer))
        LogEvent("%s Config ID %d Receive buffer is %d bytes, less than the %u asked: raise net.core.rmem_max.",
                 LocalTimeText().c_str(), ConfigId, granted, kReceiveSocketBuffer);

    if (OpenSendEndpoint() == -1) {
        const int error = SendEndpoint->LastSocketError();
        if (error) {
            LogEvent("%s Config ID %d Error in Send Socket. IP: %s, Port: %d, Retval: %d ", LocalTimeText().c_str(),
                     ConfigId, SendIp, SendPort, error);
            SendEndpoint->ClearLastSocketError();
        }
        SetStatus("Send Connect Error", error);
        CallOwnerFromRelay([](CEngineOwner& owner) { owner.ShowOperatorMessage("Can't initialize sending socket...."); });
        ReceiveEndpoint->Close();
        SendEndpoint->Close();
        return 0;
    }
    LogEvent("%s Config ID %d Send Socket Created Successfully. IP: %s, Port: %d, Retval: %d ", LocalTimeText().c_str(),
             ConfigId, SendIp, SendPort, SendEndpoint->LastSocketError());
    LogEvent("%s Config ID %d has been Started successfully.", LocalTimeText().c_str(), ConfigId);

    {
        // A Stop that came while the endpoints were opening wins: never run after it.
        std::lock_guard lock(m_statusMutex);
        if (m_stopRequested) {
            CloseEndpoints();
            return 0;
        }
        Status = "Connected";
        m_statusReason.clear();
        Running.store(1, std::memory_order_release);
    }
    std::memset(m_receiveBuffer, 0, sizeof m_receiveBuffer);
    CallOwnerFromRelay([id = ConfigId](CEngineOwner& owner) { owner.OnBroadcastState(id); });

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
    const int mostSentPerReceived = NmktFlag ? kMaxSentPerReceived : 1;
    while (Running.load(std::memory_order_acquire)) {
        const int received = ReceiveEndpoint->Receive(m_receiveBuffer, kReceiveBufferSize);
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
            if (!NmktFlag) {
                Increment(ReceivedCount);
                SendPacket(m_receiveBuffer);
            } else {
                m_converter.ProcessNewMarketData(m_receiveBuffer, SegmentCode, *this);
            }
        } else {
            dirty = kReceiveBufferSize;  // a failed receive may have written anything
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
