// Random scenarios from a seed, their shrinking, and their printing as a table.
#include "tests/stress/scenario.h"
#include "tests/stress/stress.h"

#include <sstream>

namespace stress {
namespace {

// Sizes at and around the edges the driver cares about, and plain ones.
uint32_t Length(Rng &r, uint32_t cap)
{
    switch (r.Below(6)) {
    case 0:
        return r.Below(3);
    case 1:
        return 4095 + r.Below(3);
    case 2:
        return 1 + r.Below(16);
    default:
        return r.Below(cap);
    }
}

// The control codes an application uses most, with the sizes of their
// buffers: the rest are drawn from every function number.
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
    switch (shape.function) {
    case 1:
        value = r.Pick(BaudRates);
        break;
    case 3: // stop bits, parity, word length
        value = r.Below(4) | r.Below(6) << 8 | (4 + r.Below(6)) << 16;
        break;
    case 17:
        value = r.Pick(WaitMasks);
        break;
    case 19:
        value = r.Below(16);
        break;
    default:
        break;
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
    uint32_t pipe = r.Below(2);
    switch (r.Below(20)) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4: {
        uint32_t count = r.Chance(15) ? 21 + r.Below(5) : 1 + r.Below(3);
        return {OpModem, FaultFail, pipe, count | r.Below(FailStatusCount) << 8};
    }
    case 5:
    case 6:
    case 7:
    case 8:
        return {OpModem, FaultShort, pipe, (1 + r.Below(3)) | (r.Chance(40) ? 0 : r.Below(4096)) << 8};
    case 9:
        return {OpModem, FaultNak, pipe};
    case 10:
        return {OpModem, FaultAck, pipe};
    case 11:
        return {OpModem, FaultStall, pipe};
    case 12:
        return {OpModem, FaultOverReport, pipe, (1 + r.Below(2)) | (1 + r.Below(5000)) << 8};
    case 13:
    case 14:
        return {OpModem, ModemRate, r.Chance(40) ? 0 : 100 + r.Below(100000)};
    case 15:
        return {OpModem, ModemHold, r.Below(2)};
    case 16:
        return {OpModem, ModemInline, r.Below(2)};
    case 17:
    case 18:
        return {OpModem, ModemFailPower, 1 + r.Below(2), r.Below(3)};
    default:
        return {OpModem, ModemUnplug};
    }
}

Op RandomOp(Rng &r, uint32_t *written, uint32_t *sent)
{
    uint32_t pick = r.Below(100);
    if (pick < 18) {
        return {OpRead, r.Chance(3) ? 70000 : Length(r, 5000)};
    }
    if (pick < 30) {
        uint32_t length = Length(r, 10000);
        length = *written + length > WriteBudget ? 0 : length;
        *written += length;
        return {OpWrite, length, static_cast<uint32_t>(r.Next())};
    }
    if (pick < 46) {
        return Control(r);
    }
    if (pick < 51) {
        return Timeouts(r);
    }
    if (pick < 59) {
        return {OpCancel, r.Below(8)};
    }
    if (pick < 75) {
        uint32_t length = 1 + Length(r, 6000);
        length = *sent + length > DataBudget ? 1 : length;
        *sent += length;
        return {OpData, length};
    }
    if (pick < 84) {
        return Modem(r);
    }
    if (pick < 87) {
        return {OpOpen};
    }
    if (pick < 89) {
        return {OpCleanup};
    }
    if (pick < 92) {
        return {OpClose};
    }
    if (pick < 93) {
        uint32_t kind = r.Below(10);
        return {OpPnp, kind < 6 ? PnpRebalance : kind < 7 ? PnpRemove : kind < 9 ? PnpSurprise : PnpDisable};
    }
    uint32_t kind = r.Below(10);
    PowerAct act = kind < 3 ? PowerSleep : kind < 4 ? PowerHibernate : kind < 8 ? PowerResume : PowerVetoedSleep;
    return {OpPower, act, 1 + r.Below(3)};
}

} // namespace

Scenario Generate(uint64_t seed)
{
    Rng r(seed ^ 0x5EED5EED5EEDULL);
    Scenario s;
    s.seed = seed;
    s.inlineCompletion = r.Chance(33);
    if (r.Chance(92)) {
        s.ops.push_back({OpOpen});
        s.ops.push_back({OpIdle});
    }
    uint32_t written = 0, sent = 0;
    for (uint32_t bursts = 3 + r.Below(20); bursts > 0; --bursts) {
        // Mostly one operation at a time; now and then two or three at once;
        // and now and then a handle closed while other threads still send
        // requests on it.
        uint32_t n = r.Chance(40) ? 2 + r.Below(2) : 1;
        if (r.Chance(8)) {
            static const uint32_t masks[] = {0x1, 0x4, 0x5, 0x38};
            s.ops.push_back({OpControl, 17, r.Pick(masks), 4});
            s.ops.push_back({OpIdle});
            static const Op others[] = {{OpRead, 100}, {OpWrite, 100, 5}, {OpControl, 27, 0, 20 << 16}};
            s.ops.push_back({OpControl, 18, 0, 4 << 16});
            for (n = r.Below(3); n > 0; --n) {
                s.ops.push_back(r.Pick(others));
            }
            s.ops.insert(s.ops.end() - r.Below(2), Op{r.Chance(70) ? OpCleanup : OpClose});
        }
        // And now and then the port opened again while the system sleeps or
        // is asked to.
        bool sleeps = false;
        if (r.Chance(4)) {
            s.ops.insert(s.ops.end(), {{OpClose}, {OpIdle}, {OpOpen}});
            s.ops.push_back({OpPower, r.Chance(60) ? PowerVetoedSleep : PowerSleep, 1 + r.Below(3)});
            sleeps = s.ops.back().a == PowerSleep;
            n = 0;
        }
        for (; n > 0; --n) {
            s.ops.push_back(RandomOp(r, &written, &sent));
            sleeps = sleeps || (s.ops.back().act == OpPower && s.ops.back().a <= PowerHibernate);
        }
        static const uint32_t steps[] = {0, 1, 10, 50, 200, 1000, 5000};
        s.ops.push_back(r.Chance(75) ? Op{OpIdle} : Op{OpAdvance, r.Pick(steps)});
        // Applications stop while the system sleeps: they meet the way down
        // and the way up, and nothing between.
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
    std::ostringstream out;
    out << "{" << acts[op.act];
    const uint32_t values[] = {op.a, op.b, op.c};
    bool named = op.act == OpModem || op.act == OpPnp || op.act == OpPower;
    int last = op.c != 0 ? 3 : op.b != 0 ? 2 : op.a != 0 || named ? 1 : 0;
    for (int i = 0; i < last; ++i) {
        uint32_t v = values[i];
        if (i == 0 && op.act == OpModem) {
            out << ", " << modem[v];
        } else if (i == 0 && op.act == OpPnp) {
            out << ", " << pnp[v];
        } else if (i == 0 && op.act == OpPower) {
            out << ", " << power[v];
        } else if (v > 0xFFFF) {
            out << ", 0x" << std::hex << v << std::dec;
        } else {
            out << ", " << v;
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
