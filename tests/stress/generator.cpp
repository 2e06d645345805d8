// Random scenarios from a seed, their shrinking, and their printing as a table.
// No expression draws twice from the generator where C++ leaves the order of
// evaluation open, so that a seed gives the same scenario on every build.
#include "tests/stress/scenario.h"

#include <sstream>

namespace stress {
namespace {

// Sizes at and around the edges the driver cares about, and plain ones.
uint32_t Length(Rng &r, uint32_t cap)
{
    uint32_t kind = r.Below(6);
    return kind == 0 ? r.Below(3) : kind == 1 ? 4095 + r.Below(3) : kind == 2 ? 1 + r.Below(16) : r.Below(cap);
}

// The control codes an application uses most, with the sizes of their
// buffers; the others are drawn from every function number.
struct ControlShape {
    uint32_t function, in, out;
};
const ControlShape CommonControls[] = {
    {0, 0, 0},   {1, 4, 0},  {3, 3, 0},  {7, 20, 0}, {9, 0, 0},  {12, 0, 0},  {13, 0, 0},
    {17, 4, 0},  {18, 0, 4}, {18, 0, 4}, {19, 4, 4}, {19, 4, 4}, {26, 0, 4},  {27, 0, 20},
    {35, 0, 24}, {36, 0, 0}, {16, 0, 4}, {8, 0, 20}, {21, 0, 3}, {24, 0, 16}, {25, 16, 0},
};
const uint32_t BufferSizes[] = {0, 1, 3, 4, 6, 16, 19, 20, 24, 32};
const uint32_t BaudRates[] = {300, 9600, 19200, 57600, 115200, 128000, 230400, 110};
const uint32_t WaitMasks[] = {0x1, 0x2, 0x3, 0x4, 0x5, 0x38, 0x400, 0x1FFF, 0x2000, 0};

Op Control(Rng &r)
{
    // A thread blocked in WaitCommEvent is what most programs have.
    ControlShape shape = r.Chance(20) ? ControlShape{18, 0, 4} : r.Pick(CommonControls);
    if (r.Chance(20)) {
        shape = {r.Below(41), r.Pick(BufferSizes), r.Pick(BufferSizes)};
    } else if (r.Chance(15)) {
        (r.Chance(50) ? shape.in : shape.out) = r.Pick(BufferSizes);
    }
    uint32_t value = static_cast<uint32_t>(r.Next());
    if (shape.function == 1) {
        value = r.Pick(BaudRates);
    } else if (shape.function == 3) { // stop bits, parity, word length
        uint32_t stop = r.Below(4), parity = r.Below(6), word = 4 + r.Below(6);
        value = stop | parity << 8 | word << 16;
    } else if (shape.function == 17) {
        value = r.Pick(WaitMasks);
    } else if (shape.function == 19) {
        value = r.Below(16);
    }
    return {OpControl, shape.function, value, shape.in | shape.out << 16};
}

// One row of the read-timeout table, with values of its kind.
Op Timeouts(Rng &r)
{
    const uint32_t max = 0xFFFFFFFF;
    uint32_t small = r.Below(300), constant = 1 + r.Below(2000);
    switch (r.Below(7)) {
    case 0:
        return {OpTimeouts, max, 0, 0};
    case 1:
        return {OpTimeouts, max, r.Chance(50) ? max : small, max};
    case 2:
        return {OpTimeouts, max, max, r.Chance(20) ? 0 : constant};
    case 3:
        return {OpTimeouts, max, 0, constant};
    case 4:
        return {OpTimeouts, max, 1 + r.Below(50), r.Chance(30) ? 0 : constant};
    case 5:
        return {OpTimeouts, r.Below(100), 0, 0};
    default:
        return {OpTimeouts, r.Chance(10) ? max - 1 : r.Below(100), r.Below(20), r.Chance(30) ? 0 : constant};
    }
}

Op Modem(Rng &r)
{
    static const ModemAct kinds[20] = {FaultFail,  FaultFail,   FaultFail,       FaultFail,      FaultFail,
                                       FaultShort, FaultShort,  FaultShort,      FaultShort,     FaultNak,
                                       FaultAck,   FaultStall,  FaultOverReport, ModemRate,      ModemRate,
                                       ModemHold,  ModemInline, ModemFailPower,  ModemFailPower, ModemUnplug};
    uint32_t pipe = r.Below(2), count;
    switch (ModemAct kind = kinds[r.Below(20)]) {
    case FaultFail:
        count = r.Chance(15) ? 21 + r.Below(5) : 1 + r.Below(3);
        return {OpModem, kind, pipe, count | r.Below(FailStatusCount) << 8};
    case FaultShort:
        count = 1 + r.Below(3);
        return {OpModem, kind, pipe, count | (r.Chance(40) ? 0 : r.Below(4096)) << 8};
    case FaultOverReport:
        count = 1 + r.Below(2);
        return {OpModem, kind, pipe, count | (1 + r.Below(5000)) << 8};
    case ModemRate:
        return {OpModem, kind, r.Chance(40) ? 0 : 100 + r.Below(100000)};
    case ModemHold:
    case ModemInline:
        return {OpModem, kind, r.Below(2)};
    case ModemFailPower:
        return {OpModem, kind, 1 + r.Below(2), r.Below(3)};
    default:
        return {OpModem, kind, kind == ModemUnplug ? 0 : pipe};
    }
}

Op RandomOp(Rng &r, uint32_t *written, uint32_t *sent)
{
    uint32_t pick = r.Below(100), length;
    if (pick < 18) {
        return {OpRead, r.Chance(3) ? 70000 : Length(r, 5000)};
    } else if (pick < 30) {
        length = Length(r, 10000);
        length = *written + length > WriteBudget ? 0 : length;
        *written += length;
        return {OpWrite, length, static_cast<uint32_t>(r.Next())};
    } else if (pick < 46) {
        return Control(r);
    } else if (pick < 51) {
        return Timeouts(r);
    } else if (pick < 59) {
        return {OpCancel, r.Below(8)};
    } else if (pick < 75) {
        length = 1 + Length(r, 6000);
        length = *sent + length > DataBudget ? 1 : length;
        *sent += length;
        return {OpData, length};
    } else if (pick < 84) {
        return Modem(r);
    } else if (pick < 92) {
        return {pick < 87 ? OpOpen : pick < 89 ? OpCleanup : OpClose};
    }
    uint32_t kind = r.Below(10);
    if (pick < 93) {
        return {OpPnp, kind < 6 ? PnpRebalance : kind < 7 ? PnpRemove : kind < 9 ? PnpSurprise : PnpDisable};
    }
    PowerAct act = kind < 3 ? PowerSleep : kind < 4 ? PowerHibernate : kind < 8 ? PowerResume : PowerVetoedSleep;
    return {OpPower, act, 1 + r.Below(3)};
}

} // namespace

Scenario Generate(uint64_t seed)
{
    Rng r{seed ^ 0x5EED5EED5EEDULL};
    Scenario s;
    s.seed = seed;
    s.inlineCompletion = r.Chance(33);
    if (r.Chance(92)) {
        s.ops = {{OpOpen}, {OpIdle}};
    }
    uint32_t written = 0, sent = 0;
    for (uint32_t bursts = 3 + r.Below(20); bursts > 0; --bursts) {
        // Mostly one operation at a time, now and then two or three at once;
        // sometimes a handle closed while other threads still send requests
        // on it, or the port opened again while the system is asked to sleep.
        uint32_t n = r.Chance(40) ? 2 + r.Below(2) : 1;
        if (r.Chance(8)) {
            static const uint32_t masks[] = {0x1, 0x4, 0x5, 0x38};
            static const Op others[] = {{OpRead, 100}, {OpWrite, 100, 5}, {OpControl, 27, 0, 20 << 16}};
            s.ops.insert(s.ops.end(), {{OpControl, 17, r.Pick(masks), 4}, {OpIdle}, {OpControl, 18, 0, 4 << 16}});
            for (n = r.Below(3); n > 0; --n) {
                s.ops.push_back(r.Pick(others));
            }
            Op close = {r.Chance(70) ? OpCleanup : OpClose};
            s.ops.insert(s.ops.end() - r.Below(2), close);
        }
        bool sleeps = false;
        if (r.Chance(4)) {
            s.ops.insert(s.ops.end(), {{OpClose}, {OpIdle}, {OpOpen}});
            s.ops.push_back({OpPower, r.Chance(60) ? PowerVetoedSleep : PowerSleep, 1 + r.Below(3)});
            sleeps = true;
            n = 0;
        }
        for (; n > 0; --n) {
            s.ops.push_back(RandomOp(r, &written, &sent));
            sleeps = sleeps || (s.ops.back().act == OpPower && s.ops.back().a != PowerResume);
        }
        static const uint32_t steps[] = {0, 1, 10, 50, 200, 1000, 5000};
        s.ops.push_back(r.Chance(75) ? Op{OpIdle} : Op{OpAdvance, r.Pick(steps)});
        // Applications stop while the system sleeps: they meet the way down
        // and the way up, and nothing between. (Two sleeps at once may meet
        // one veto: a vetoed sleep may sleep too.)
        if (sleeps) {
            s.ops.insert(s.ops.end(), {{OpPower, PowerResume}, {OpIdle}});
        }
    }
    return s;
}

// Drops ever smaller runs of operations while the same invariant still breaks.
Scenario Shrink(const Scenario &scenario, const Verdict &verdict)
{
    Scenario best = scenario;
    int budget = 3000;
    for (size_t chunk = best.ops.size() / 2; chunk >= 1 && budget > 0; chunk /= 2) {
        for (size_t i = 0; i + chunk <= best.ops.size() && budget > 0; --budget) {
            Scenario trial = best;
            trial.ops.erase(trial.ops.begin() + i, trial.ops.begin() + i + chunk);
            Verdict v = RunScenario(trial);
            if (!v.ok() && v.invariant == verdict.invariant) {
                best = trial;
            } else {
                i += chunk;
            }
        }
    }
    return best;
}

std::string OpText(const Op &op)
{
    static const char *const acts[] = {"OpOpen",    "OpCleanup",  "OpClose",    "OpRead", "OpWrite",
                                       "OpControl", "OpTimeouts", "OpCancel",   "OpData", "OpModem",
                                       "OpPnp",     "OpPower",    "OpFailCall", "OpIdle", "OpAdvance"};
    static const char *const modem[] = {"FaultFail",   "FaultShort", "FaultNak",       "FaultAck",
                                        "ModemRate",   "ModemHold",  "ModemInline",    "ModemFailPower",
                                        "ModemUnplug", "FaultStall", "FaultOverReport"};
    static const char *const pnp[] = {"PnpRebalance", "PnpRemove", "PnpSurprise", "PnpDisable"};
    static const char *const power[] = {"PowerSleep", "PowerHibernate", "PowerResume", "PowerVetoedSleep"};
    const char *const *named = op.act == OpModem ? modem : op.act == OpPnp ? pnp : op.act == OpPower ? power : nullptr;
    std::ostringstream out;
    out << "{" << acts[op.act];
    const uint32_t values[] = {op.a, op.b, op.c};
    for (int i = 0, last = op.c != 0 ? 3 : op.b != 0 ? 2 : op.a != 0 || named ? 1 : 0; i < last; ++i) {
        if (i == 0 && named != nullptr) {
            out << ", " << named[values[i]];
        } else if (values[i] > 0xFFFF) {
            out << ", 0x" << std::hex << values[i] << std::dec;
        } else {
            out << ", " << values[i];
        }
    }
    out << "}";
    return out.str();
}

std::string Print(const Scenario &s)
{
    std::ostringstream out;
    out << "{" << s.seed << ", " << (s.inlineCompletion ? "true" : "false") << ", {";
    for (size_t i = 0; i < s.ops.size(); ++i) {
        out << (i % 4 == 0 ? "\n    " : " ") << OpText(s.ops[i]) << ",";
    }
    out << "\n}}";
    return out.str();
}

} // namespace stress
