#include "tests/support/kernel_test.h"

#include <cstdlib>
#include <sstream>

namespace {

uint64_t FirstSeed()
{
    const char *env = std::getenv("ZQ_SEED");
    uint64_t seed = env != nullptr ? std::strtoull(env, nullptr, 10) : 1;
    return seed == 0 ? 1 : seed;
}

} // namespace

void ReportViolations(const std::vector<km::Violation> &violations, uint64_t seed)
{
    for (const km::Violation &v : violations) {
        ADD_FAILURE() << "kernel rule " << v.rule << " broken (seed " << seed << ", rerun with ZQ_SEED=" << seed
                      << "): " << v.message << "\n  in " << v.context;
    }
}

km::Options KernelTest::BootOptions() const
{
    return km::Options();
}

void KernelTest::SetUp()
{
    km::Boot(BootOptions());
}

void KernelTest::ShutdownAndCheck()
{
    uint64_t seed = km::Seed();
    km::Shutdown();
    ReportViolations(km::Violations(), seed);
    km::ClearViolations();
}

void KernelTest::TearDown()
{
    ShutdownAndCheck();
}

void KernelTest::RunSeeds(int count, const std::function<void(uint64_t seed)> &body, const std::function<bool()> &done)
{
    uint64_t first = FirstSeed();
    for (int i = 0; i < count && !HasFatalFailure() && !(done && done()); ++i) {
        uint64_t seed = first + static_cast<uint64_t>(i);
        ShutdownAndCheck();
        km::Options options = BootOptions();
        options.seed = seed;
        km::Boot(options);
        SCOPED_TRACE("seed " + std::to_string(seed));
        body(seed);
    }
}

std::string KernelTest::Describe(const std::map<std::string, int> &seen)
{
    std::ostringstream out;
    for (const auto &[name, count] : seen) {
        out << name << ": " << count << "; ";
    }
    return out.str();
}
