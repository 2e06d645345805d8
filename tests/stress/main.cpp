// The campaign's command line, and under GoogleTest its fixed sample and the
// regressions it found.
//
//   stress_tests --scenarios=N [--first=S] [--shard=K/M]   generated scenarios S ... S+N-1
//   stress_tests --sweeps[=sample] [--shard=K/M]           allocation and modem-fault sweeps
//   stress_tests --replay=S                                one scenario, shrunk if it fails
//
// Every failure is printed with its seed, the command that replays it and
// the shrunk scenario as a table; the last line counts what ran.
#include "tests/stress/scenario.h"

#include <km/harness.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

using namespace stress;

struct Tally {
    long scenarios = 0, requests = 0, allocationCases = 0, modemCases = 0, failed = 0;
};

std::string Program = "stress_tests";

// The first few failures of each invariant are shrunk; the others are told
// with their replay command, which shrinks them too.
void Report(const std::string &name, const std::string &replay, const Scenario &s, const Verdict &v)
{
    static std::map<std::string, int> shrunk;
    std::printf("FAIL %s: %s: %s\n  replay: %s %s\n", name.c_str(), v.invariant.c_str(), v.detail.c_str(),
                Program.c_str(), replay.c_str());
    if (shrunk[v.invariant]++ < 3) {
        Scenario small = Shrink(s, v);
        Verdict again = RunScenario(small);
        std::printf("  shrunk to %zu of %zu operations (%s):\n%s\n", small.ops.size(), s.ops.size(),
                    again.detail.c_str(), Print(small).c_str());
    }
    std::fflush(stdout);
}

const char *Option(int argc, char **argv, const char *name)
{
    size_t length = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], name, length) == 0 && (argv[i][length] == '=' || argv[i][length] == 0)) {
            return argv[i][length] == '=' ? argv[i] + length + 1 : "";
        }
    }
    return nullptr;
}

int Campaign(int argc, char **argv)
{
    // ZQ_STRESS_IN_PROCESS=1 keeps every scenario in this process, for a debugger.
    Isolate = std::getenv("ZQ_STRESS_IN_PROCESS") == nullptr;
    // One context switch here, so that what the first one sets up (and, under
    // the sanitizers, says) is done once and inherited by every scenario.
    km::Boot();
    km::Run([] {});
    km::Shutdown();
    Tally tally;
    int shard = 0, shards = 1;
    if (const char *s = Option(argc, argv, "--shard")) {
        std::sscanf(s, "%d/%d", &shard, &shards);
    }
    auto start = std::chrono::steady_clock::now();
    if (const char *replay = Option(argc, argv, "--replay")) {
        uint64_t seed = std::strtoull(replay, nullptr, 10);
        Scenario s = Generate(seed);
        std::printf("%s\n", Print(s).c_str());
        std::fflush(stdout);
        Verdict v = RunScenario(s);
        ++tally.scenarios;
        tally.requests += v.requests;
        if (!v.ok()) {
            ++tally.failed;
            Report("seed " + std::to_string(seed), std::string("--replay=") + replay, s, v);
        }
    }
    if (const char *count = Option(argc, argv, "--scenarios")) {
        const char *first = Option(argc, argv, "--first");
        uint64_t from = first != nullptr ? std::strtoull(first, nullptr, 10) : 1;
        uint64_t n = std::strtoull(count, nullptr, 10);
        auto seed = [&](size_t i) { return from + shard + i * shards; };
        size_t seeds = n > static_cast<uint64_t>(shard) ? (n - shard + shards - 1) / shards : 0;
        RunAll(
            seeds, [&](size_t i) { return Generate(seed(i)); },
            [&](size_t i, const Verdict &v) {
                ++tally.scenarios;
                tally.requests += v.requests;
                if (!v.ok()) {
                    ++tally.failed;
                    Report("seed " + std::to_string(seed(i)), "--replay=" + std::to_string(seed(i)), Generate(seed(i)),
                           v);
                }
            });
    }
    if (const char *sweeps = Option(argc, argv, "--sweeps")) {
        int every = std::strcmp(sweeps, "sample") == 0 ? 6 : 1;
        auto sink = [&](long *cases) {
            return [&, cases](const std::string &name, const Scenario &s, const Verdict &v) {
                ++*cases;
                tally.requests += v.requests;
                if (!v.ok()) {
                    ++tally.failed;
                    Report(name, "--sweeps (case: " + name + ")", s, v);
                }
            };
        };
        RunAllocationSweeps(every * shards, shard, sink(&tally.allocationCases));
        RunModemFaultSweeps(every * shards, shard, sink(&tally.modemCases));
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long total = tally.scenarios + tally.allocationCases + tally.modemCases;
    std::printf("stress: %ld generated scenarios, %ld allocation-failure cases, %ld modem-fault cases, %ld requests "
                "in %.0f s: %ld passed, %ld failed\n",
                tally.scenarios, tally.allocationCases, tally.modemCases, tally.requests, seconds, total - tally.failed,
                tally.failed);
    return tally.failed == 0 ? 0 : 1;
}

// Scenarios the campaign found failing, as the shrinker printed them, each
// named after what broke.
struct Regression {
    const char *name;
    Scenario scenario;
};

const Regression Regressions[] = {
    {"ReadOnADeviceMarkedFailed", {103, false, {{OpOpen}, {OpIdle}, {OpModem, FaultFail, 0, 791}, {OpRead, 13}}}},
    {"WriteQueuedOnADeviceMarkedFailed",
     {1827,
      false,
      {{OpOpen}, {OpModem, FaultFail, 1, 1793}, {OpIdle}, {OpWrite, 9334, 0xf5dfe080}, {OpWrite, 14, 0x5feb83eb}}}},
    {"WaitQueuedAfterCleanup",
     {1468,
      false,
      {{OpOpen},
       {OpIdle},
       {OpData, 4098},
       {OpIdle},
       {OpControl, 17, 56, 4},
       {OpIdle},
       {OpControl, 18, 0, 0x40000},
       {OpWrite, 100, 5},
       {OpCleanup}}}},
    {"SecondReaderAfterAVetoedSleep", {2543, false, {{OpOpen}, {OpPower, PowerVetoedSleep, 3}}}},
    {"FailedPieceReportedAsSent",
     {31, false, {{OpOpen}, {OpIdle}, {OpWrite, 658, 0x69610f9f}, {OpModem, ModemUnplug}}}},
    {"FailedWriteStopsTheReadTimeout",
     {1614,
      false,
      {{OpOpen},
       {OpIdle},
       {OpTimeouts, 0xffffffff, 0, 1915},
       {OpPower, PowerSleep, 3},
       {OpIdle},
       {OpRead, 4096},
       {OpWrite, 1, 0xf43e35e2}}}},
    {"RemovalRacingClose", {127, true, {{OpOpen}, {OpIdle}, {OpPnp, PnpRemove}, {OpClose}}}},
    {"SilentPortAfterAFailedPowerUp",
     {796,
      false,
      {{OpOpen},
       {OpPower, PowerSleep, 3},
       {OpIdle},
       {OpData, 5373},
       {OpModem, ModemFailPower, 2, 1},
       {OpPower, PowerResume, 2}}}},
    {"CloseWithoutMemoryForTheAbort", {4001, false, {{OpOpen}, {OpIdle}, {OpFailCall, 0, 1}, {OpClose}}}},
};

void PrintTo(const Regression &regression, std::ostream *out)
{
    *out << regression.name;
}

class Shrunk : public testing::TestWithParam<Regression> {};

TEST_P(Shrunk, Passes)
{
    Verdict v = RunScenario(GetParam().scenario);
    EXPECT_TRUE(v.ok()) << v.invariant << ": " << v.detail << "\n" << Print(GetParam().scenario);
}

INSTANTIATE_TEST_SUITE_P(Regression, Shrunk, testing::ValuesIn(Regressions),
                         [](const testing::TestParamInfo<Regression> &info) { return info.param.name; });

} // namespace

// A fixed sample of the campaign for every test run: 300 scenarios and a
// sixth of the sweeps, a third of that in the i386 build, which may run under
// an emulator. ZQ_SEED=n takes the n-th sample.
const uint64_t SampleScenarios = sizeof(void *) == 4 ? 100 : 300;
const int SampleEvery = sizeof(void *) == 4 ? 18 : 6;

uint64_t SampleIndex()
{
    const char *seed = std::getenv("ZQ_SEED");
    uint64_t n = seed != nullptr ? std::strtoull(seed, nullptr, 10) : 1;
    return n == 0 ? 0 : n - 1;
}

TEST(Campaign, GeneratedScenarios)
{
    uint64_t first = SampleIndex() * SampleScenarios + 1;
    for (uint64_t seed = first; seed < first + SampleScenarios; ++seed) {
        Verdict v = RunScenario(Generate(seed));
        EXPECT_TRUE(v.ok()) << "seed " << seed << ": " << v.invariant << ": " << v.detail
                            << "\n  replay: stress_tests --replay=" << seed;
    }
}

TEST(Campaign, SweepSample)
{
    auto expect = [](const std::string &name, const Scenario &s, const Verdict &v) {
        EXPECT_TRUE(v.ok()) << name << ": " << v.invariant << ": " << v.detail << "\n" << Print(s);
    };
    RunAllocationSweeps(SampleEvery, SampleIndex(), expect);
    RunModemFaultSweeps(SampleEvery, SampleIndex(), expect);
}

int main(int argc, char **argv)
{
    Program = argv[0];
    if (Option(argc, argv, "--scenarios") || Option(argc, argv, "--sweeps") || Option(argc, argv, "--replay")) {
        return Campaign(argc, argv);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
