#include "tools/RelayService.h"

#include "engine/BroadcastEngine.h"
#include "log/EventLog.h"
#include "net/InterfaceWatcher.h"
#include "tools/MetricsText.h"
#include "tools/ProcessLockdown.h"
#include "tools/RelayHealth.h"
#include "tools/RelaySet.h"
#include "tools/ServiceManager.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

using State = CKOVBCastEngine::RELAY_STATE;

// The newest crash dumps the service keeps in its working folder (the log
// folder); systemd-tmpfiles removes any older than its age.
constexpr size_t kCrashDumpsKept = 10;

// Sanitizer reports start a symbolizer program (GCC and clang say so differently).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMayExecute = true;
#elif defined(__has_feature)
constexpr bool kMayExecute = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kMayExecute = false;
#endif

}  // namespace

void CRelayService::CopyLinesToJournal()
{
    if (RunsUnderSystemd()) {
        g_pEventLog->SetLineCopy([](const std::string& line) { SendToJournal(line); });
        ReportProblemsOnStderr(false);  // the journal has them already
    }
}

bool CRelayService::Start(const RelayOptions& options, std::string& problem)
{
    if (std::string refused; !kMayExecute && !ForbidProgramExecution(refused))
        ReportRelayProblem("Cannot set " + refused);
    if (RunsUnderSystemd()) {
        if (const int removed = RemoveOldCrashDumps(".", kCrashDumpsKept); removed > 0)
            LogEvent("%s Removed %d old crash dump%s; the %zu newest are kept.", LocalTimeText().c_str(), removed,
                     removed == 1 ? "" : "s", kCrashDumpsKept);
    }
    if (const uint64_t watchdog = WatchdogMicroseconds())
        m_watchdogPeriod = std::chrono::microseconds(watchdog / 2);
    if (!options.HealthFile.empty()) {
        m_health = std::make_unique<CHealthFile>();
        if (!m_health->Open(options.HealthFile, problem)) {
            problem = "--health-file: " + problem;
            return false;
        }
    }
    if (!options.MetricsAddress.empty()) {
        sockaddr_in address{};
        (void)ParseMetricsAddress(options.MetricsAddress, address);  // checked with the options
        m_metrics = std::make_unique<CMetricsServer>(PROCESS_METRICS{ProcessStartTimeSeconds(), ORMA_VERSION_TEXT});
        if (!m_metrics->Start(address, problem)) {
            problem = "--metrics " + options.MetricsAddress + ": " + problem;
            return false;
        }
    }
    return true;
}

RunnerHooks CRelayService::Hooks()
{
    RunnerHooks hooks;
    hooks.RelaysSettled = [this](const CRelaySet& relays) { OnSettled(relays); };
    hooks.Reloading = [this] { NotifyReloading(m_status); };
    hooks.EverySecond = [this](const CRelaySet& relays) { OnSecond(relays); };
    hooks.Stopping = [this] { OnStopping(); };
    if (m_health)
        hooks.Often = [this](const CRelaySet& relays) { CheckHealth(relays); };
    return hooks;
}

std::string CRelayService::StatusOf(const CRelaySet& relays) const
{
    std::vector<State> states;
    relays.ForEachEngine([&states](const CKOVBCastEngine& engine) { states.push_back(engine.GetState()); });
    return StatusText(CountRelays(states));
}

void CRelayService::OnSettled(const CRelaySet& relays)
{
    m_settled = true;
    m_status = StatusOf(relays);
    NotifyReady(m_status);
    OnSecond(relays);
}

void CRelayService::OnSecond(const CRelaySet& relays)
{
    if (const std::string status = StatusOf(relays); status != m_status) {
        m_status = status;
        NotifyStatus(m_status);
    }
    if (m_metrics) {
        std::vector<RELAY_METRICS> snapshot;
        relays.ForEachEngine([&snapshot](const CKOVBCastEngine& engine) { snapshot.push_back(MetricsOf(engine)); });
        m_metrics->Publish(snapshot);
    }
    if (m_watchdogPeriod.count() > 0 && std::chrono::steady_clock::now() >= m_nextWatchdogCheck) {
        m_nextWatchdogCheck = std::chrono::steady_clock::now() + m_watchdogPeriod;
        CheckWatchdog(relays);
    }
}

void CRelayService::CheckWatchdog(const CRelaySet& relays)
{
    // Only a thread that ran through both checks, on the same engine, is judged.
    std::vector<RELAY_HEARTBEAT> beats;
    std::map<int, Beat> now;
    relays.ForEachEngine([&](const CKOVBCastEngine& engine) {
        if (!HasLiveRelayThread(engine.GetState()))
            return;
        const int configId = engine.GetConfiguration().ConfigId;
        const Beat beat{&engine, engine.GetHeartbeat()};
        now[configId] = beat;
        if (const auto before = m_beats.find(configId); before != m_beats.end() && before->second.Engine == &engine)
            beats.push_back({configId, before->second.Heartbeat, beat.Heartbeat});
    });
    m_beats = std::move(now);
    std::set<int> wedged;
    for (const int configId : CheckRelaysAndPing(beats)) {
        wedged.insert(configId);
        if (!m_wedged.count(configId))
            LogEvent(
                "%s Config ID %d Its relay thread is wedged: no progress and not waiting for datagrams; the "
                "service manager's watchdog is no longer told all is well.",
                LocalTimeText().c_str(), configId);
    }
    m_wedged = std::move(wedged);
}

void CRelayService::CheckHealth(const CRelaySet& relays)
{
    // The interfaces are asked again only when the watcher saw a change.
    if (const uint64_t generation = CInterfaceWatcher::Instance().Generation(); generation != m_interfaceGeneration) {
        m_interfaceGeneration = generation;
        m_hostSideRunning.clear();
    }
    std::string reason = m_settled ? "" : "its relays are starting";
    size_t relaying = 0;
    relays.ForEachEngine([&](const CKOVBCastEngine& engine) {
        const KOV_BCAST_CONFIG& configuration = engine.GetConfiguration();
        auto running = m_hostSideRunning.find(configuration.HostSideIp);
        if (running == m_hostSideRunning.end())
            running =
                m_hostSideRunning.emplace(configuration.HostSideIp, IsInterfaceRunning(configuration.HostSideIp)).first;
        const RELAY_HEALTH health = HealthOf(configuration, engine.GetState(), running->second);
        if (!health.CanRelay && reason.empty())
            reason = health.Reason;
        ++relaying;
    });
    if (relaying == 0 && reason.empty())
        reason = "it runs no relay";
    if (!m_health->Set(reason.empty()) && reason != m_healthReason)
        LogEvent("%s The health file %s cannot be written: %s.", LocalTimeText().c_str(), m_health->Path().c_str(),
                 std::strerror(errno));
    if (reason == m_healthReason)
        return;
    if (reason.empty())
        LogEvent("%s This node can relay; the health file %s says so.", LocalTimeText().c_str(),
                 m_health->Path().c_str());
    else
        LogEvent("%s This node cannot relay (%s); the health file %s says so.", LocalTimeText().c_str(), reason.c_str(),
                 m_health->Path().c_str());
    m_healthReason = std::move(reason);
}

void CRelayService::OnStopping()
{
    // First of all: the other node takes over while these relays still send what they queued.
    if (m_health && m_health->Set(false))
        LogEvent("%s This node stops relaying; the health file %s says so.", LocalTimeText().c_str(),
                 m_health->Path().c_str());
    NotifyStopping();
    if (m_metrics)
        m_metrics->Stop();
}
