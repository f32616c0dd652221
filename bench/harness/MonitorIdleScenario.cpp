#include "MonitorIdleScenario.h"

#include <dirent.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "Clock.h"
#include "Quorin.h"
#include "api/DeviceListMonitor.h"
#include "virtualhid/VirtualHid.h"

namespace quorin_bench {

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t PID = 0x11;
constexpr int SETTLE_MS = 200;

std::atomic<int> g_changes{0};
void onChange(void* /*obj*/, const char* /*path*/, long /*change*/) {
    g_changes.fetch_add(1);
}

// The task directory of the monitor's thread ("/proc/self/task/<tid>"), or "".
std::string monitorTask() {
    std::string found;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return found;
    }
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::string task = std::string("/proc/self/task/") + entry->d_name;
        std::ifstream comm(task + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name == quorin::DeviceListMonitor::THREAD_NAME) {
            found = task;
        }
    }
    closedir(dir);
    return found;
}

struct ThreadCounters {
    int64_t cpuNs = -1;  // time on a CPU (schedstat), ns
    long switches = 0;   // voluntary + involuntary context switches
};

ThreadCounters read(const std::string& task) {
    ThreadCounters c;
    std::ifstream sched(task + "/schedstat");
    sched >> c.cpuNs;
    std::ifstream status(task + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
            line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
            c.switches += std::atol(line.substr(line.find(':') + 1).c_str());
        }
    }
    return c;
}

}  // namespace

ScenarioResult MonitorIdleScenario::run() {
    ScenarioResult result;
    result.number = 5;
    result.key = "monitor";
    result.title = "Reader monitor: its thread's CPU while idle and per plug";

    auto& bus = quorin_sim::VirtualHid::instance();
    bus.reset();
    auto attached = bus.plug(VID, PID, std::string("BENCHMON00"));  // one reader listed
    if (OnDeviceListChanged(onChange, nullptr) != 0) {
        result.error = "OnDeviceListChanged could not start the monitor";
        return result;
    }
    const std::string task = monitorTask();
    if (task.empty() || read(task).cpuNs < 0) {
        OnDeviceListChanged(nullptr, nullptr);
        result.error = "the monitor's thread or its counters were not found in /proc";
        return result;
    }

    const int rounds = m_options.pick(5, 2);
    const int64_t windowNs = m_options.quick ? 1000000000LL : 2000000000LL;
    const int plugsPerRound = m_options.pick(50, 20);
    SampleSet idleCpu;
    SampleSet idleWakeups;
    SampleSet cpuPerChange;
    int expected = 0;
    bool delivered = true;
    progress("[5] monitor: %d rounds of a %lld ms idle window and %d plugs/unplugs", rounds,
             static_cast<long long>(windowNs / 1000000), plugsPerRound);
    for (int round = 0; round < rounds && delivered; ++round) {
        sleepNs(SETTLE_MS * 1000000LL);
        ThreadCounters before = read(task);
        int64_t wall0 = wallNs();
        sleepNs(windowNs);
        ThreadCounters after = read(task);
        double seconds = static_cast<double>(wallNs() - wall0) / 1e9;
        idleCpu.add(static_cast<double>(after.cpuNs - before.cpuNs) / 1e3 / seconds);
        idleWakeups.add(static_cast<double>(after.switches - before.switches) / seconds);

        // The same thread doing its work: a reader plugged and pulled out.
        ThreadCounters busy0 = read(task);
        for (int i = 0; i < plugsPerRound; ++i) {
            auto reader = bus.plug(VID, PID, std::string("BENCHMON") + std::to_string(i + 1));
            expected += 1;
            int64_t deadline = wallNs() + 5000000000LL;
            while (g_changes.load() < expected && wallNs() < deadline) {
                sleepNs(100000);
            }
            bus.detach(reader);
            expected += 1;
            while (g_changes.load() < expected && wallNs() < deadline) {
                sleepNs(100000);
            }
            delivered = delivered && g_changes.load() >= expected;
        }
        ThreadCounters busy1 = read(task);
        cpuPerChange.add(static_cast<double>(busy1.cpuNs - busy0.cpuNs) / 1e3 /
                         (2.0 * plugsPerRound));
    }
    OnDeviceListChanged(nullptr, nullptr);
    bus.detach(attached);
    if (!delivered) {
        result.error = "a plug or unplug was not reported within 5 s";
        return result;
    }

    Metric idle;
    idle.name = "monitor thread CPU while nothing is plugged";
    idle.unit = "us CPU per s";
    idle.value = idleCpu.summary();
    idle.check = Check::VALUE_BELOW;
    idle.limit = 1.0;
    result.metrics.push_back(idle);
    Metric wakeups;
    wakeups.name = "monitor thread wake-ups while nothing is plugged";
    wakeups.unit = "per s";
    wakeups.value = idleWakeups.summary();
    wakeups.check = Check::VALUE_BELOW;
    wakeups.limit = 0.5;
    result.metrics.push_back(wakeups);
    Metric work;
    work.name = "monitor thread CPU per reader plugged or pulled out";
    work.unit = "us CPU";
    work.value = cpuPerChange.summary();
    result.metrics.push_back(work);
    result.notes.push_back(
        "CPU: the monitor thread's time on a CPU from /proc/self/task/<tid>/schedstat (ns), "
        "wake-ups: its voluntary and involuntary context switches from .../status, read before "
        "and after each window; other threads and other load do not enter these counters. One "
        "reader stays listed throughout; the per-plug figure includes the enumeration the "
        "monitor makes for each arrival");
    return result;
}

}  // namespace quorin_bench
