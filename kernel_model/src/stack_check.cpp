// Kernel stacks are small: 12 KB on i386, 24 KB on x64. What drivers use
// of one is measured in their own frames only: the stack between the point
// where the model calls driver code (a DriverScope) and the point where
// that code calls a kernel service is driver frames; the model's frames
// below it (IofCallDriver, the completion walk) stand for the kernel's own,
// which are far smaller, and do not count. A completion routine that sends
// the next request to a driver that completes it at once is entered again
// further down the same stack: the segments of every level add up, so a
// driver that recurses that way is caught when the drivers' frames, summed,
// pass the budget, however small each level is.
//
// The stack is sampled where driver code calls the kernel (every service
// that checks its IRQL, and every service that may call driver code back),
// so frames of a leaf routine that calls nothing are not seen.
#include "model.h"

#include <algorithm>

namespace km::detail {
namespace {

// Half the stack for the drivers' frames: the rest is the kernel's (the
// system call or DPC it started from, IofCallDriver and IopfCompleteRequest
// at every level) and what the real bus drivers below use beyond what the
// simulated ones do; the host build's frames, unoptimised, are larger than
// the image's, which leaves a margin.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kBudget = 0; // red zones make every frame larger than the image's
#elif defined(__i386__)
constexpr size_t kBudget = 6 * 1024;
#else
constexpr size_t kBudget = 12 * 1024; // a stack twice as large, pointers twice as wide
#endif

size_t Segment(const DriverScope *scope, uintptr_t bottom)
{
    return scope->entry > bottom ? scope->entry - bottom : 0;
}

// The driver whose completion routine is entered most often on this context.
PDRIVER_OBJECT MostNested(long *times)
{
    const std::vector<PDRIVER_OBJECT> &completing = Current()->completing;
    PDRIVER_OBJECT most = nullptr;
    *times = 0;
    for (PDRIVER_OBJECT driver : completing) {
        long count = std::count(completing.begin(), completing.end(), driver);
        if (count > *times) {
            most = driver;
            *times = count;
        }
    }
    return most;
}

std::string NameOf(PDRIVER_OBJECT driver)
{
    return driver != nullptr ? km::Narrow(km::Wide(driver->DriverName)) : "driver code of the test";
}

__attribute__((noinline)) void ReportStack(DriverScope *scope, size_t depth)
{
    scope->reported = true;
    std::string frames = "drivers' own frames take " + std::to_string(depth) + " bytes, more than the " +
                         std::to_string(kBudget) + " they may use of a " +
                         (sizeof(void *) == 4 ? "12 KB i386" : "24 KB x64") + " kernel stack";
    long times = 0;
    PDRIVER_OBJECT nested = MostNested(&times);
    if (times > 1) {
        Violate("STACK_NESTING", NameOf(nested) + "'s completion routine is entered " + std::to_string(times) +
                                     " times on one stack (each completion sends the next request, which is "
                                     "completed at once): the " +
                                     frames);
        return;
    }
    Violate("STACK_DEPTH", "in " + NameOf(scope->driver) + ", the " + frames);
}

} // namespace

DriverScope::DriverScope(PDRIVER_OBJECT driver)
    : driver(driver), outer(Current()->scope), entry(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)))
{
    // The drivers' frames in outer scopes: the scope around this one holds
    // the sum above it, plus its own segment down to the service it called
    // (or, when none was noted, to this scope).
    if (outer != nullptr) {
        above = outer->above + Segment(outer, outer->call != 0 ? outer->call : entry);
    }
    Current()->scope = this;
}

DriverScope::~DriverScope()
{
    Context *self = Current();
    self->scope = outer;
    if (self->waitNext) {
        Violate("SET_EVENT_WAIT", "driver code returned to the kernel after KeSetEvent(..., Wait = TRUE) "
                                  "without the wait that must follow it");
    }
}

ServiceCall::ServiceCall(const void *frame) : scope(Current()->scope), saved(0)
{
    if (scope != nullptr) {
        SampleStack(frame);
        saved = scope->call;
        scope->call = reinterpret_cast<uintptr_t>(frame);
    }
}

ServiceCall::~ServiceCall()
{
    if (scope != nullptr) {
        scope->call = saved;
    }
}

void SampleStack(const void *frame)
{
    DriverScope *scope = Current()->scope;
    if (kBudget == 0 || scope == nullptr || scope->reported) {
        return;
    }
    size_t depth = scope->above + Segment(scope, reinterpret_cast<uintptr_t>(frame));
    if (depth > kBudget) {
        ReportStack(scope, depth);
    }
}

PDRIVER_OBJECT CurrentDriver()
{
    DriverScope *scope = Current()->scope;
    return scope != nullptr ? scope->driver : nullptr;
}

void EnterCompletion(PDRIVER_OBJECT driver)
{
    Current()->completing.push_back(driver);
}

void LeaveCompletion()
{
    Current()->completing.pop_back();
}

} // namespace km::detail

size_t km::StackBudget()
{
    return km::detail::kBudget;
}
