// The sweeps. Allocations: for each path, the 1st, 2nd, ... call of each
// allocator made from the path's start fails, until the path runs to its end
// without reaching that call. Modem faults: each fault injected before each
// step of a short scenario that opens, writes, reads, waits, sleeps and closes.
#include "tests/stress/scenario.h"

namespace stress {
namespace {

struct Path {
    const char *name;
    std::vector<Op> before, path, after;
};

const Op Idle = {OpIdle}, Open = {OpOpen}, Resume = {OpPower, PowerResume};

// clang-format off
std::vector<Path> Paths()
{
    const std::vector<Op> opened = {Open, Idle}, reading = {Open, {OpRead, 10}, Idle};
    const std::vector<Op> traffic = {{OpRead, 10}, {OpData, 20}, Idle, {OpWrite, 100, 7}, Idle};
    std::vector<Path> paths = {
        {"open", {}, {Open}, traffic},
        {"read", opened, {{OpRead, 100}, Idle, {OpData, 300}}, {{OpRead, 100}, Idle}},
        {"write", opened, {{OpWrite, 9000, 1}, {OpWrite, 10, 2}}, {{OpWrite, 20, 3}, Idle}},
        {"wait on mask", opened, {{OpControl, 17, 5, 4}, Idle, {OpControl, 18, 0, 4 << 16}, {OpData, 5}}, {}},
        {"close", {Open, {OpRead, 10}, {OpWrite, 5000, 4}, Idle}, {{OpClose}}, opened},
        {"start and stop", {}, {{OpPnp, PnpRebalance}}, {Open, Idle, {OpRead, 10}, {OpData, 10}, Idle}},
        {"surprise removal", reading, {{OpPnp, PnpSurprise}}, {}},
        {"removal", {Open, Idle, {OpClose}, Idle}, {{OpPnp, PnpRemove}}, {}},
        {"unplug", reading, {{OpModem, ModemUnplug}}, {}},
        {"sleep", reading, {{OpPower, PowerSleep, 3}}, {Idle, Resume, Idle, {OpData, 10}, Idle}},
        {"light sleep", reading, {{OpPower, PowerSleep, 1}}, {Idle, Resume, Idle, {OpData, 10}}},
        {"hibernation", reading, {{OpPower, PowerHibernate}}, {Idle, Resume, Idle, {OpData, 10}}},
        {"resume", {Open, {OpRead, 10}, Idle, {OpPower, PowerSleep, 3}, Idle}, {Resume}, {{OpData, 10}}},
        {"vetoed sleep", reading, {{OpPower, PowerVetoedSleep, 3}}, {Idle, {OpData, 10}, Idle}},
    };
    for (uint32_t function = 0; function <= 40; ++function) {
        // Each code with buffers large enough for any of them.
        paths.push_back({"control", opened, {{OpControl, function, function == 3 ? 0x80002u : 5u, 32 | 32 << 16}},
                         traffic});
    }
    return paths;
}

// The short scenario of the modem-fault sweep.
const std::vector<Op> Steps = {
    Open, Idle, {OpWrite, 5000, 1}, {OpRead, 100}, Idle, {OpData, 300}, Idle,
    {OpControl, 17, 5, 4}, {OpControl, 18, 0, 4 << 16}, Idle, {OpWrite, 10, 2}, {OpData, 10}, Idle,
    {OpPower, PowerSleep, 3}, Idle, Resume, Idle, {OpRead, 50}, {OpData, 50}, Idle,
    {OpCleanup}, Idle, {OpClose}, Idle,
};
// clang-format on

std::vector<Op> ModemFaults()
{
    std::vector<Op> faults;
    for (uint32_t pipe = 0; pipe < 2; ++pipe) {
        for (uint32_t status = 0; status < FailStatusCount; ++status) {
            faults.push_back({OpModem, FaultFail, pipe, 1 | status << 8});
        }
        faults.push_back({OpModem, FaultFail, pipe, 25});
        for (uint32_t length : {0u, 1u, 100u}) {
            faults.push_back({OpModem, FaultShort, pipe, 2 | length << 8});
        }
        faults.insert(
            faults.end(),
            {{OpModem, FaultNak, pipe}, {OpModem, FaultStall, pipe}, {OpModem, FaultOverReport, pipe, 1 | 100 << 8}});
    }
    faults.insert(faults.end(), {{OpModem, ModemRate, 1000},
                                 {OpModem, ModemHold, 1},
                                 {OpModem, ModemFailPower, 1, 1},
                                 {OpModem, ModemFailPower, 1, 2},
                                 {OpModem, ModemUnplug}});
    return faults;
}

} // namespace

void RunAllocationSweeps(int every, uint64_t offset, const SweepSink &each)
{
    std::vector<Path> paths = Paths();
    for (size_t p = 0; p < paths.size(); ++p) {
        for (int allocator = 0; allocator < AllocatorCount; ++allocator) {
            if ((p * AllocatorCount + allocator) % every != offset % every) {
                continue;
            }
            Verdict v;
            for (uint32_t n = 1; n == 1 || (v.faultReached && n <= 200); ++n) {
                Scenario s = {1000 * p + 100 * allocator + n, n % 2 == 0, paths[p].before};
                s.ops.push_back({OpFailCall, static_cast<uint32_t>(allocator), n});
                s.ops.insert(s.ops.end(), paths[p].path.begin(), paths[p].path.end());
                s.ops.push_back(Idle);
                s.ops.insert(s.ops.end(), paths[p].after.begin(), paths[p].after.end());
                v = RunScenario(s);
                each(std::string(paths[p].name) + ", " + Allocators[allocator] + " call " + std::to_string(n), s, v);
            }
        }
    }
}

void RunModemFaultSweeps(int every, uint64_t offset, const SweepSink &each)
{
    std::vector<Op> faults = ModemFaults();
    uint64_t index = 0;
    for (size_t f = 0; f < faults.size(); ++f) {
        for (size_t step = 0; step < Steps.size(); ++step) {
            for (bool inlineCompletion : {false, true}) {
                if (index++ % every == offset % every) {
                    Scenario s = {100000 + 100 * f + step, inlineCompletion, Steps};
                    s.ops.insert(s.ops.begin() + static_cast<long>(step), faults[f]);
                    each(OpText(faults[f]) + " before step " + std::to_string(step), s, RunScenario(s));
                }
            }
        }
    }
}

} // namespace stress
