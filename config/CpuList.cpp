#include "config/CpuList.h"

#include "log/EventLog.h"

#include <sched.h>

#include <algorithm>
#include <charconv>

namespace {

// The CPUs this process may run on, "0-1" style, for a message.
std::string UsableCpus(const cpu_set_t& usable)
{
    std::string text;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &usable))
            continue;
        int last = cpu;
        while (last + 1 < CPU_SETSIZE && CPU_ISSET(last + 1, &usable)) ++last;
        if (!text.empty())
            text += ',';
        text += std::to_string(cpu);
        if (last > cpu)
            text += '-' + std::to_string(last);
        cpu = last;
    }
    return text;
}

}  // namespace

bool ParseCpuList(std::string_view text, std::vector<int>& cpus, std::string& problem)
{
    cpu_set_t usable;
    CPU_ZERO(&usable);
    if (sched_getaffinity(0, sizeof usable, &usable) != 0) {
        problem = "the CPUs this process may use cannot be read";
        return false;
    }
    std::vector<int> parsed;
    while (!text.empty()) {
        const std::string_view item = text.substr(0, text.find(','));
        text.remove_prefix(std::min(text.size(), item.size() + 1));
        int cpu = -1;
        const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), cpu);
        if (item.empty() || error != std::errc() || end != item.data() + item.size() || cpu < 0) {
            problem = FormatText("\"%.*s\" is not a CPU number", static_cast<int>(item.size()), item.data());
            return false;
        }
        if (cpu >= CPU_SETSIZE || !CPU_ISSET(cpu, &usable)) {
            problem = FormatText("CPU %d does not exist here (this process may use CPUs %s)", cpu,
                                 UsableCpus(usable).c_str());
            return false;
        }
        if (std::find(parsed.begin(), parsed.end(), cpu) != parsed.end()) {
            problem = FormatText("CPU %d is named twice", cpu);
            return false;
        }
        parsed.push_back(cpu);
    }
    if (parsed.empty()) {
        problem = "no CPU is named";
        return false;
    }
    cpus = std::move(parsed);
    return true;
}
