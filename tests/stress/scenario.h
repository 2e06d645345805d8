// The reliability campaign's scenarios: a seeded list of what applications,
// the modem, the PnP manager and the power manager do to the port, run on a
// freshly loaded driver, with the invariants checked after every step.
//
// Operations between two checkpoints (OpIdle, OpAdvance) run at the same time,
// each in a context of its own, so the seeded scheduler interleaves them.
#pragma once

#include <km/nt.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace stress {

// What each operation does with a, b and c:
// - OpOpen, OpClose (CloseHandle: cleanup first if none came), OpCleanup (the
//   first half of CloseHandle alone: requests may still follow).
// - OpRead a bytes; OpWrite a bytes, their content drawn from salt b.
// - OpControl: function a of the serial control codes (0: a flush), the input
//   starting with the word b, buffers of c & 0xFFFF in and c >> 16 out bytes.
// - OpTimeouts: read timeouts a (interval), b (multiplier), c (constant).
// - OpCancel: CancelIo on the a-th (modulo) of the requests still pending.
// - OpData: the modem queues the next a bytes of its stream toward the host.
// - OpModem a (ModemAct) on pipe b: FaultFail and FaultShort c = count | status
//   index (FailStatuses) or length << 8; FaultOverReport c = count | extra << 8;
//   ModemRate, ModemHold, ModemInline take b as their value; ModemFailPower
//   fails b power requests, c = 0 any, 1 set, 2 query.
// - OpPnp a (PnpAct); OpPower a (PowerAct), b picks S1..S3 for a sleep.
// - OpFailCall: the b-th call of Allocators[a] from then on fails.
// - Checkpoints: OpIdle runs until nothing can run; OpAdvance moves the clock a ms.
// clang-format off
enum Act : uint8_t {
    OpOpen, OpCleanup, OpClose, OpRead, OpWrite, OpControl, OpTimeouts, OpCancel,
    OpData, OpModem, OpPnp, OpPower, OpFailCall, OpIdle, OpAdvance
};
enum ModemAct : uint32_t {
    FaultFail, FaultShort, FaultNak, FaultAck, ModemRate, ModemHold, ModemInline, ModemFailPower,
    ModemUnplug, FaultStall, FaultOverReport
};
enum PnpAct : uint32_t { PnpRebalance, PnpRemove, PnpSurprise, PnpDisable };
enum PowerAct : uint32_t { PowerSleep, PowerHibernate, PowerResume, PowerVetoedSleep };
// clang-format on

struct Op {
    Act act;
    uint32_t a = 0, b = 0, c = 0;
};

struct Scenario {
    uint64_t seed = 1; // the scheduler's
    bool inlineCompletion = false;
    std::vector<Op> ops;
};

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
// order. With Isolate set (the campaign) they run in worker processes, so that
// a crash is the verdict ("crash") of the scenario it ended.
extern bool Isolate;
void RunAll(size_t count, const std::function<Scenario(size_t)> &make,
            const std::function<void(size_t, const Verdict &)> &done);
// The fewest operations that still break the same invariant.
Scenario Shrink(const Scenario &scenario, const Verdict &verdict);
// As a table to paste into a regression test; one operation as a row of it.
std::string Print(const Scenario &scenario);
std::string OpText(const Op &op);

// The sweeps: every allocation of each path failed in turn, and each modem
// fault at each step of a short scenario, each case told to `each` with its
// name. Every `every`-th case runs, from the `offset`-th: (1, 0) is all.
using SweepSink = std::function<void(const std::string &name, const Scenario &, const Verdict &)>;
void RunAllocationSweeps(int every, uint64_t offset, const SweepSink &each);
void RunModemFaultSweeps(int every, uint64_t offset, const SweepSink &each);

// ---- shared by the generator, the runner and the sweeps

// splitmix64: cheap, and the same sequence on every architecture.
struct Rng {
    uint64_t state;
    uint64_t Next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n)
    {
        return static_cast<uint32_t>(Next() % n);
    }
    bool Chance(uint32_t percent)
    {
        return Below(100) < percent;
    }
    template <class T, size_t N> T Pick(const T (&items)[N])
    {
        return items[Below(N)];
    }
};

extern const char *const Allocators[];
const int AllocatorCount = 4;
// How the modem's failed transfers end: the request's status and the URB's.
// From FirstFatalStatus on, the driver takes them as the loss of the device.
struct FailStatus {
    NTSTATUS status;
    USBD_STATUS usbd;
};
extern const FailStatus FailStatuses[];
const uint32_t FailStatusCount = 8, FirstFatalStatus = 5;
// Bytes a scenario writes, and sends from the modem, at most: both stay below
// the modem's queues, so that every byte is accounted for.
const uint32_t WriteBudget = 50000, DataBudget = 60000;

} // namespace stress
