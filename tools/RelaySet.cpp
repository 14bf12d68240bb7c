#include "tools/RelaySet.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "config/ConfigurationRules.h"
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

std::vector<KOV_BCAST_CONFIG> WithoutFeedbackLoops(const std::vector<KOV_BCAST_CONFIG>& starting,
                                                   std::vector<KOV_BCAST_CONFIG> running,
                                                   std::vector<std::string>& refused)
{
    std::vector<KOV_BCAST_CONFIG> accepted;
    for (const KOV_BCAST_CONFIG& configuration : starting) {
        const std::vector<int> loop = FindFeedbackLoop(configuration, running, &CInterfaceWatcher::AreOnOneInterface);
        if (!loop.empty()) {
            refused.push_back(FeedbackLoopRefusal(loop));
            continue;
        }
        running.push_back(configuration);
        accepted.push_back(configuration);
    }
    return accepted;
}

CRelaySet::CRelaySet(const RelayOptions& options)
    : m_relayOptions(options.Relay), m_pollingCpus(options.PollingCpus), m_owner(std::make_unique<CHeadlessOwner>())
{
}

CRelaySet::~CRelaySet()
{
    StopAll();
}

void CRelaySet::Apply(const std::vector<KOV_BCAST_CONFIG>& wanted, bool keepUnlisted, bool logChanges)
{
    std::map<int, const KOV_BCAST_CONFIG*> wantedById;
    for (const KOV_BCAST_CONFIG& configuration : wanted) wantedById.emplace(configuration.ConfigId, &configuration);

    // Decide first, under the lock only for the map; stop outside it.
    std::vector<std::unique_ptr<CKOVBCastEngine>> going;
    std::vector<KOV_BCAST_CONFIG> kept;
    std::set<int> held;
    {
        std::lock_guard lock(m_mutex);
        for (auto relay = m_relays.begin(); relay != m_relays.end();) {
            const int configId = relay->first;
            const CKOVBCastEngine& engine = *relay->second.Engine;
            held.insert(configId);
            const auto found = wantedById.find(configId);
            const char* change = nullptr;
            if (found == wantedById.end() && !keepUnlisted)
                change = "no longer in the list, stopped";
            else if (found == wantedById.end() && logChanges)
                LogEvent("%s Config ID %d Reload: its row could not be read, it keeps relaying.",
                         LocalTimeText().c_str(), configId);
            else if (found != wantedById.end() && !(*found->second == engine.GetConfiguration()))
                change = "changed, restarted";
            else if (found != wantedById.end() && HasFailed(engine))
                change = "could not start before, started again";
            if (!change) {
                kept.push_back(engine.GetConfiguration());
                ++relay;
                continue;
            }
            if (logChanges)
                LogEvent("%s Config ID %d Reload: %s.", LocalTimeText().c_str(), configId, change);
            going.push_back(std::move(relay->second.Engine));
            relay = m_relays.erase(relay);
        }
    }
    for (const auto& engine : going) engine->Stop();
    going.clear();

    std::vector<KOV_BCAST_CONFIG> starting;
    for (const KOV_BCAST_CONFIG& configuration : wanted) {
        if (m_relays.count(configuration.ConfigId))
            continue;  // kept
        if (logChanges && !held.count(configuration.ConfigId))
            LogEvent("%s Config ID %d Reload: added, started.", LocalTimeText().c_str(), configuration.ConfigId);
        starting.push_back(configuration);
    }
    std::vector<std::string> refused;
    starting = WithoutFeedbackLoops(starting, kept, refused);
    for (const std::string& text : refused) ReportRelayProblem(text + "; not started.");
    StartRelays(starting);
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
    if (!m_relayOptions.Polling || m_pollingCpus.empty())
        return -1;
    for (const int cpu : m_pollingCpus) {
        if (std::none_of(m_relays.begin(), m_relays.end(),
                         [cpu](const auto& relay) { return relay.second.Cpu == cpu; }))
            return cpu;
    }
    return kNoCpuLeft;
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
}

void CRelaySet::ForEachEngine(const std::function<void(const CKOVBCastEngine&)>& visit) const
{
    std::lock_guard lock(m_mutex);
    for (const auto& [configId, relay] : m_relays) visit(*relay.Engine);
}
