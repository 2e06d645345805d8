// The reliability campaign's scenarios: a seeded list of what applications,
// the modem, the PnP manager and the power manager do to the port, run on a
// freshly loaded driver, with the invariants checked after every step.
//
// Operations between two checkpoints (OpIdle, OpAdvance) run at the same
// time, each in a context of its own, so the seeded scheduler interleaves them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace stress {

enum Act : uint8_t {
    OpOpen,     // CreateFile
    OpCleanup,  // the first half of CloseHandle: requests may still follow
    OpClose,    // CloseHandle (cleanup first when it has not come yet)
    OpRead,     // a = length
    OpWrite,    // a = length, b = salt of its bytes
    OpControl,  // a = function of the serial control code (0: flush), b = first input word, c = in | out << 16
    OpTimeouts, // a = interval, b = multiplier, c = constant (read timeouts)
    OpCancel,   // CancelIo on the a-th of the requests still pending
    OpData,     // the modem queues the next a bytes of its stream toward the host
    OpModem,    // a = ModemAct, b, c: its parameters
    OpPnp,      // a = PnpAct
    OpPower,    // a = PowerAct, b = sleeping state for a sleep
    OpFailCall, // the b-th call of allocator a (Allocators) from now fails
    OpIdle,     // checkpoint: run until nothing can run
    OpAdvance,  // checkpoint: the clock moves a ms
};

enum ModemAct : uint32_t {
    FaultFail,       // b = pipe, c = count | status index << 8 (FailStatuses)
    FaultShort,      // b = pipe, c = count | length << 8
    FaultNak,        // b = pipe: transfers held until FaultAck
    FaultAck,        // b = pipe
    ModemRate,       // b = bytes per second toward the host, 0 unlimited
    ModemHold,       // b = 1: transfers wait while the device is not in D0; 0: they fail
    ModemInline,     // b = 1: completions inline; 0: from the modem's DPC
    ModemFailPower,  // b = count, c = 0 any, 1 set, 2 query power request
    ModemUnplug,     //
    FaultStall,      // b = pipe: the endpoint halts until the pipe is reset
    FaultOverReport, // b = pipe, c = count | extra << 8: successes report more than their buffer
};

enum PnpAct : uint32_t { PnpRebalance, PnpRemove, PnpSurprise, PnpDisable };
enum PowerAct : uint32_t { PowerSleep, PowerHibernate, PowerResume, PowerVetoedSleep };

struct Op {
    Act act;
    uint32_t a = 0, b = 0, c = 0;
};

struct Scenario {
    uint64_t seed = 1; // the scheduler's
    bool inlineCompletion = false;
    std::vector<Op> ops;
};

// The allocators a sweep fails, by index.
extern const char *const Allocators[];
extern const int AllocatorCount;

struct Verdict {
    std::string invariant; // empty: every invariant held
    std::string detail;
    bool faultReached = true; // every OpFailCall's call was made
    int requests = 0;
    bool ok() const
    {
        return invariant.empty();
    }
};

Scenario Generate(uint64_t seed);
Verdict RunScenario(const Scenario &scenario);
// Runs count scenarios, made by make(i), telling done(i, verdict) of each in
// order. When Isolate is set (the campaign), they run in worker processes, so
// that a crash is reported as a failure ("crash") of the scenario it ended.
extern bool Isolate;
void RunAll(size_t count, const std::function<Scenario(size_t)> &make,
            const std::function<void(size_t, const Verdict &)> &done);
// The fewest operations that still break the same invariant.
Scenario Shrink(const Scenario &scenario, const Verdict &verdict);
// As a table to paste into a regression test; one operation as a row of it.
std::string Print(const Scenario &scenario);
std::string OpText(const Op &op);

// The sweeps: every allocation of each path failed in turn, and each modem
// fault at each step of a short scenario. Each case is a scenario, told to
// `each` with its name and verdict. Every `every`-th case runs, from the
// `offset`-th: (1, 0) is the whole sweep.
using SweepSink = std::function<void(const std::string &name, const Scenario &, const Verdict &)>;
void RunAllocationSweeps(int every, uint64_t offset, const SweepSink &each);
void RunModemFaultSweeps(int every, uint64_t offset, const SweepSink &each);

} // namespace stress
