// The campaign's command line, and under GoogleTest a fixed sample of it and
// the regressions it found.
//
//   stress_tests --scenarios=N [--first=S] [--sweeps] [--shard=K/M]
//       N generated scenarios from seed S (1), the complete sweeps, this
//       process taking the K-th of every M cases
//   stress_tests --replay=S     scenario S printed and run
//
// A failure prints its seed or case, the command that replays it and the
// scenario shrunk (the first three of each invariant); the last line counts.
#include "tests/stress/scenario.h"

#include <km/harness.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

using namespace stress;

const char *Program = "stress_tests";

void Report(const std::string &name, const std::string &replay, const Scenario &s, const Verdict &v)
{
    static std::map<std::string, int> shrunk;
    std::printf("FAIL %s: %s: %s\n  replay: %s %s\n", name.c_str(), v.invariant.c_str(), v.detail.c_str(), Program,
                replay.c_str());
    if (shrunk[v.invariant]++ < 3) {
        Scenario small = Shrink(s, v);
        std::printf("  shrunk to %zu of %zu operations (%s):\n%s\n", small.ops.size(), s.ops.size(),
                    RunScenario(small).detail.c_str(), Print(small).c_str());
    }
    std::fflush(stdout);
}

const char *Option(int argc, char **argv, const char *name)
{
    size_t length = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], name, length) == 0 && (argv[i][length] == '=' || argv[i][length] == 0)) {
            return argv[i] + length + (argv[i][length] == '=');
        }
    }
    return nullptr;
}

int Campaign(int argc, char **argv)
{
    // ZQ_STRESS_IN_PROCESS=1 keeps every scenario in this process, for a
    // debugger. One context switch here first, so that what the first one
    // sets up (and, under the sanitizers, says) is done once for all workers.
    Isolate = std::getenv("ZQ_STRESS_IN_PROCESS") == nullptr;
    km::Boot();
    km::Run([] {});
    km::Shutdown();
    auto start = std::chrono::steady_clock::now();
    int shard = 0, shards = 1;
    const char *text = Option(argc, argv, "--shard");
    if (text != nullptr) {
        std::sscanf(text, "%d/%d", &shard, &shards);
    }
    uint64_t from = 1, count = 0;
    if ((text = Option(argc, argv, "--replay")) != nullptr) {
        from = std::strtoull(text, nullptr, 10), count = 1;
        std::printf("%s\n", Print(Generate(from)).c_str());
    } else if ((text = Option(argc, argv, "--scenarios")) != nullptr) {
        count = std::strtoull(text, nullptr, 10);
        from = Option(argc, argv, "--first") ? std::strtoull(Option(argc, argv, "--first"), nullptr, 10) : 1;
    }
    long cases[3] = {}, requests = 0, failed = 0;
    auto tell = [&](long *tally, const std::string &name, const std::string &replay, const Scenario &s,
                    const Verdict &v) {
        ++*tally, requests += v.requests;
        if (!v.ok()) {
            ++failed;
            Report(name, replay, s, v);
        }
    };
    auto seed = [&](size_t i) { return from + shard + i * shards; };
    RunAll(
        count > static_cast<uint64_t>(shard) ? (count - shard + shards - 1) / shards : 0,
        [&](size_t i) { return Generate(seed(i)); },
        [&](size_t i, const Verdict &v) {
            tell(&cases[0], "seed " + std::to_string(seed(i)), "--replay=" + std::to_string(seed(i)), Generate(seed(i)),
                 v);
        });
    if (Option(argc, argv, "--sweeps") != nullptr) {
        RunAllocationSweeps(shards, shard, [&](const std::string &name, const Scenario &s, const Verdict &v) {
            tell(&cases[1], name, "--sweeps (case: " + name + ")", s, v);
        });
        RunModemFaultSweeps(shards, shard, [&](const std::string &name, const Scenario &s, const Verdict &v) {
            tell(&cases[2], name, "--sweeps (case: " + name + ")", s, v);
        });
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("stress: %ld generated scenarios, %ld allocation-failure cases, %ld modem-fault cases, %ld requests "
                "in %.0f s: %ld passed, %ld failed\n",
                cases[0], cases[1], cases[2], requests, seconds, cases[0] + cases[1] + cases[2] - failed, failed);
    return failed == 0 ? 0 : 1;
}

// What the campaign found, as the shrinker printed it, named after what broke.
struct Regression {
    const char *name;
    Scenario scenario;
};

// clang-format off
const Regression Regressions[] = {
    {"ReadOnADeviceMarkedFailed", {103, false, {
        {OpOpen}, {OpIdle}, {OpModem, FaultFail, 0, 791}, {OpRead, 13}}}},
    {"WriteQueuedOnADeviceMarkedFailed", {1827, false, {
        {OpOpen}, {OpModem, FaultFail, 1, 1793}, {OpIdle}, {OpWrite, 9334, 0xf5dfe080},
        {OpWrite, 14, 0x5feb83eb}}}},
    {"WaitQueuedAfterCleanup", {1468, false, {
        {OpOpen}, {OpIdle}, {OpData, 4098}, {OpIdle},
        {OpControl, 17, 56, 4}, {OpIdle}, {OpControl, 18, 0, 0x40000}, {OpWrite, 100, 5},
        {OpCleanup}}}},
    {"SecondReaderAfterAVetoedSleep", {2543, false, {
        {OpOpen}, {OpPower, PowerVetoedSleep, 3}}}},
    {"RefusedPieceReportedAsSent", {31, false, {
        {OpOpen}, {OpIdle}, {OpWrite, 658, 0x69610f9f}, {OpModem, ModemUnplug}}}},
    {"FailedWriteStopsTheReadTimeout", {1614, false, {
        {OpOpen}, {OpIdle}, {OpTimeouts, 0xffffffff, 0, 1915}, {OpPower, PowerSleep, 3},
        {OpIdle}, {OpRead, 4096}, {OpWrite, 1, 0xf43e35e2}}}},
    {"RemovalRacingClose", {127, true, {
        {OpOpen}, {OpIdle}, {OpPnp, PnpRemove}, {OpClose}}}},
    {"SilentPortAfterAFailedPowerUp", {796, false, {
        {OpOpen}, {OpPower, PowerSleep, 3}, {OpIdle}, {OpData, 5373},
        {OpModem, ModemFailPower, 2, 1}, {OpPower, PowerResume, 2}}}},
    {"SilentPortAfterAFailedDevicePowerUp", {96406, false, {
        {OpOpen}, {OpModem, ModemFailPower, 2, 1}, {OpPower, PowerHibernate, 1}, {OpIdle},
        {OpPower, PowerResume}, {OpData, 3447}, {OpModem, FaultFail, 0, 770}}}},
    {"ReadsPendingTogetherInAnyOrder", {94213, false, {
        {OpOpen}, {OpIdle}, {OpRead, 1}, {OpWrite, 3621, 0xafc711d1},
        {OpData, 7}, {OpData, 5859}, {OpIdle}, {OpRead, 954},
        {OpRead, 1}, {OpRead, 4097}, {OpIdle}}}},
    {"CloseWithoutMemoryForTheAbort", {4001, false, {
        {OpOpen}, {OpIdle}, {OpFailCall, 0, 1}, {OpClose}}}},
    {"HaltedEndpointRetriedIntoFailure", {47, false, {
        {OpOpen}, {OpIdle}, {OpModem, FaultStall}}}},
};
// clang-format on

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
    for (uint64_t seed = SampleIndex() * SampleScenarios + 1, i = 0; i < SampleScenarios; ++seed, ++i) {
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

} // namespace

int main(int argc, char **argv)
{
    Program = argv[0];
    if (Option(argc, argv, "--scenarios") || Option(argc, argv, "--sweeps") || Option(argc, argv, "--replay")) {
        return Campaign(argc, argv);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
