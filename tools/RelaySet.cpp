#include "tools/RelaySet.h"

#include <algorithm>
#include <cstdio>

#include "config/RelayRules.h"
#include "log/EventLog.h"
#include "net/InterfaceWatcher.h"

namespace {

using RELAY_STATE = CKOVBCastEngine::RELAY_STATE;

// Without a window the operator messages go to stderr; they are thread-safe,
// so a relay thread may deliver them itself.
class CHeadlessOwner final : public CEngineOwner {
public:
    void OnBroadcastState(int) override {}
    void ShowOperatorMessage(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    void PostToOwnerThread(std::function<void()> task) override { task(); }
};

// Its relay thread ended at the start: the sockets could not be opened.
bool HasFailed(const CKOVBCastEngine& engine)
{
    const RELAY_STATE state = engine.GetState();
    return state == RELAY_STATE::ReceiveConnectError || state == RELAY_STATE::SendConnectError;
}

}  // namespace

namespace {
bool g_problemsOnStderr = true;
}  // namespace

void ReportProblemsOnStderr(bool on)
{
    g_problemsOnStderr = on;
}

void ReportRelayProblem(const std::string& text)
{
    LogEvent("%s %s", LocalTimeText().c_str(), text.c_str());
    if (g_problemsOnStderr)
        std::fprintf(stderr, "orma-relay: %s\n", text.c_str());
}

std::vector<KOV_BCAST_CONFIG> WithoutLoopsHere(const std::vector<KOV_BCAST_CONFIG>& starting,
                                               std::vector<KOV_BCAST_CONFIG> running, std::vector<std::string>& refused)
{
    return WithoutFeedbackLoops(starting, std::move(running), &CInterfaceWatcher::AreOnOneInterface, refused);
}

CRelaySet::CRelaySet(const RelayOptions& options)
    : m_relayOptions(options.Relay),
      m_capture(options.Capture.Directory.empty() ? nullptr : std::make_unique<CCaptureWriter>(options.Capture)),
      m_pollingCpus(options.PollingCpus),
      m_owner(std::make_unique<CHeadlessOwner>())
{
}

CRelaySet::~CRelaySet()
{
    StopAll();
}

namespace {

// The event log's words for a change a reload makes; null for none.
const char* ReloadChangeText(ReloadChange change)
{
    switch (change) {
    case ReloadChange::Refused:
        return "its row was refused, it keeps relaying";
    case ReloadChange::Removed:
        return "no longer in the list, stopped";
    case ReloadChange::Changed:
        return "changed, restarted";
    case ReloadChange::Retried:
        return "could not start before, started again";
    case ReloadChange::Added:
        return "added, started";
    case ReloadChange::Unchanged:
        break;
    }
    return nullptr;
}

}  // namespace

void CRelaySet::Apply(const std::vector<KOV_BCAST_CONFIG>& wanted, const std::set<int>& refused, bool logChanges)
{
    // Decide first, under the lock only for the map; stop outside it.
    std::vector<std::unique_ptr<CKOVBCastEngine>> going;
    std::set<int> starting;
    {
        std::lock_guard lock(m_mutex);
        std::vector<HeldRelay> held;
        for (const auto& [configId, relay] : m_relays)
            held.push_back({relay.Engine->GetConfiguration(), HasFailed(*relay.Engine)});
        for (const PlannedChange& planned : PlanReload(held, wanted, refused)) {
            const char* text = ReloadChangeText(planned.Change);
            if (logChanges && text)
                LogEvent("%s Config ID %d Reload: %s.", LocalTimeText().c_str(), planned.ConfigId, text);
            if (StartsTheConfiguration(planned.Change))
                starting.insert(planned.ConfigId);
            if (const auto relay = m_relays.find(planned.ConfigId);
                relay != m_relays.end() && StopsTheRelay(planned.Change)) {
                going.push_back(std::move(relay->second.Engine));
                m_relays.erase(relay);
            }
        }
    }
    for (const auto& engine : going) engine->Stop();
    going.clear();

    std::vector<KOV_BCAST_CONFIG> kept;
    for (const auto& [configId, relay] : m_relays) kept.push_back(relay.Engine->GetConfiguration());
    std::vector<KOV_BCAST_CONFIG> started;
    for (const KOV_BCAST_CONFIG& configuration : wanted) {
        if (starting.count(configuration.ConfigId))
            started.push_back(configuration);
    }
    std::vector<std::string> loops;
    started = WithoutLoopsHere(started, kept, loops);
    for (const std::string& text : loops) ReportRelayProblem(text + "; not started.");
    StartRelays(started);
}

void CRelaySet::StartRelays(const std::vector<KOV_BCAST_CONFIG>& starting)
{
    for (const KOV_BCAST_CONFIG& configuration : starting) {
        const int cpu = FreeCpu();
        if (cpu == kNoCpuLeft) {
            ReportRelayProblem(FormatText("Config ID %d has no CPU of --poll-cpus left to poll on; not started.",
                                          configuration.ConfigId));
            continue;
        }
        auto engine = std::make_unique<CKOVBCastEngine>(configuration, m_owner.get());
        CKOVBCastEngine::RELAY_OPTIONS options = m_relayOptions;
        options.PollingCpu = cpu;
        engine->SetRelayOptions(options);
        if (m_capture && configuration.ArchiveFlag)
            engine->SetCapture(m_capture->AddRelay(configuration));
        CKOVBCastEngine& started = *engine;
        {
            std::lock_guard lock(m_mutex);
            m_relays[configuration.ConfigId] = Relay{std::move(engine), cpu};
        }
        started.Start();
    }
}

int CRelaySet::FreeCpu() const
{
    if (!m_relayOptions.Polling)
        return kAnyCpu;
    std::vector<int> inUse;
    for (const auto& [configId, relay] : m_relays) inUse.push_back(relay.Cpu);
    return ChoosePollingCpu(m_pollingCpus, inUse);
}

bool CRelaySet::IsStarting() const
{
    return std::any_of(m_relays.begin(), m_relays.end(),
                       [](const auto& relay) { return relay.second.Engine->GetState() == RELAY_STATE::NotRunning; });
}

int CRelaySet::ReportFailures()
{
    int failed = 0;
    for (auto& [configId, relay] : m_relays) {
        const CKOVBCastEngine& engine = *relay.Engine;
        if (!HasFailed(engine))
            continue;
        ++failed;
        if (relay.FailureReported)
            continue;
        relay.FailureReported = true;
        const std::string reason = engine.GetStatusReason();
        std::fprintf(stderr, "orma-relay: Config ID %d could not start: %s%s%s\n", configId, engine.GetStatus().c_str(),
                     reason.empty() ? "" : ", ", reason.c_str());
    }
    return failed;
}

void CRelaySet::StopAll()
{
    for (const auto& [configId, relay] : m_relays) relay.Engine->Stop();
    if (m_capture)
        m_capture->Flush();
}

void CRelaySet::ForEachEngine(const std::function<void(const CKOVBCastEngine&)>& visit) const
{
    std::lock_guard lock(m_mutex);
    for (const auto& [configId, relay] : m_relays) visit(*relay.Engine);
}
