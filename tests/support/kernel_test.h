// The GoogleTest fixture of every kernel-model test: a fresh kernel booted
// with the seed from ZQ_SEED (1 when unset), shut down after the test; any
// violation the verifier recorded fails the test, printed with the seed.
#pragma once

#include <km/harness.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Options for Boot; a fixture may override them (seed 0: from ZQ_SEED).
    virtual km::Options BootOptions() const;

    // Runs `body` once per seed, each time on a fresh kernel: shuts the
    // current one down (its violations fail the test), boots with the seed,
    // runs body(seed). Seeds are first, first+1, ... first+count-1, where
    // first is ZQ_SEED (1 when unset), or fewer once `done` says so. The
    // kernel of the last seed is shut down by TearDown.
    void RunSeeds(int count, const std::function<void(uint64_t seed)> &body,
                  const std::function<bool()> &done = nullptr);

    // Shuts the kernel down and reports its violations as failures.
    void ShutdownAndCheck();

    // How often each interleaving a race test named was seen, for its message.
    static std::string Describe(const std::map<std::string, int> &seen);
};

// Byte offset of pipe handle `pipe` (0 bulk in, 1 bulk out, 2 the third) in
// the extension of the parent bus driver's child: 12, 16, 20 on i386; the
// same pointer-sized fields on x64 are at 24, 32, 40.
inline size_t ParentPipeOffset(unsigned pipe)
{
    static const size_t i386[3] = {12, 16, 20};
    static const size_t x64[3] = {24, 32, 40};
    return sizeof(void *) == 8 ? x64[pipe] : i386[pipe];
}

// Prints every recorded violation with the seed that produced it.
void ReportViolations(const std::vector<km::Violation> &violations, uint64_t seed);
