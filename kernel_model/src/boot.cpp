// A fresh kernel for each test, and its shutdown: run to idle, report what
// leaked (pool, IRPs, devices, remove-lock holds), then clear every file's
// state.
#include "model.h"

#include <cstdlib>

namespace km::detail {
namespace {

struct BootState {
    Options options;
    uint64_t seed = 1;
};

BootState &B()
{
    static BootState b;
    return b;
}

std::vector<std::function<void()>> &Hooks()
{
    static std::vector<std::function<void()>> hooks;
    return hooks;
}

void ResetCore()
{
    ResetIoManager();
    ResetPnpManager();
    ResetPnpLock();
    ResetBuses();
    ResetIrps();
    ResetDevices();
    ResetFakes();
    FreeDriverObjects();
    ResetLoader();
    ResetRemoveLocks();
    ResetTimers();
    ResetWorkItems();
    ResetPowerManager();
    ResetSpinLocks();
    ResetLockOrder();
    ResetPool();
    ResetFaults();
}

} // namespace

void OnReset(std::function<void()> reset)
{
    Hooks().push_back(std::move(reset));
}

void RunResetHooks()
{
    // By index: a hook may register another (a service's state made on first use).
    for (size_t i = 0; i < Hooks().size(); ++i) {
        Hooks()[i]();
    }
}

bool OptionWdm10()
{
    return B().options.wdm10;
}

} // namespace km::detail

namespace km {

using namespace detail;

void Boot(const Options &options)
{
    BootState &b = B();
    b.options = options;
    b.seed = options.seed;
    if (b.seed == 0) {
        const char *env = std::getenv("ZQ_SEED");
        b.seed = env != nullptr ? std::strtoull(env, nullptr, 10) : 1;
        if (b.seed == 0) {
            b.seed = 1;
        }
    }
    RunResetHooks();
    ResetCore();
    ResetVerifier();
    ResetScheduler(options.processors, b.seed);
}

void Shutdown()
{
    RunUntilIdle();
    CheckIrpsAtShutdown();
    CheckRemoveLocksAtShutdown();
    CheckDevicesAtShutdown();
    CheckPoolAtShutdown();
    RunResetHooks();
    ResetCore();
    FreeContexts();
}

uint64_t Seed()
{
    return B().seed;
}

} // namespace km
