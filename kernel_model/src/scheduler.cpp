// The deterministic scheduler: kernel contexts are cooperative fibers; at
// every switch point a seeded generator picks the next runnable one, with at
// most `processors` contexts at DISPATCH_LEVEL at once. Time is virtual and
// jumps to the next timer or wait deadline when every context is blocked.
#include "model.h"

#include <sys/mman.h>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#else
#define VALGRIND_STACK_REGISTER(start, end) 0u
#define VALGRIND_STACK_DEREGISTER(id) ((void)(id))
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <cstdio>

namespace km::detail {
namespace {

constexpr size_t kStackSize = 256 * 1024;
constexpr size_t kGuard = 4096;

struct Scheduler {
    Context host;
    Context *current = &host;
    ucontext_t schedulerContext{};
    std::vector<std::unique_ptr<Context>> all; // kept until reset, for Finished()
    std::vector<Context *> live;               // not finished, not dead
    Context *forced = nullptr;                 // chosen at the last switch point
    Context *lastRun = nullptr;
    uint64_t rng = 1;
    uint64_t blockSeq = 0;
    int nextId = 1;
    int processors = 2;
    bool dpcsHeld = false;
    int64_t now = 0;
    std::vector<std::string> trace;
    // The host thread's stack, as AddressSanitizer last reported it.
    const void *hostStackBottom = nullptr;
    size_t hostStackSize = 0;
    // Each context's stack as registered with valgrind, which otherwise takes
    // a switch to it for a huge allocation on the current stack.
    std::map<const Context *, unsigned> valgrindStacks;
};

Scheduler &S()
{
    static Scheduler s;
    return s;
}

int ProcessorsInUse()
{
    Scheduler &s = S();
    int used = (s.host.irql >= DISPATCH_LEVEL) ? 1 : 0;
    for (Context *c : s.live) {
        if (c->started && c->irql >= DISPATCH_LEVEL) {
            ++used;
        }
    }
    return used;
}

bool Eligible(const Context *c, int inUse)
{
    if (c->state != ContextState::Ready) {
        return false;
    }
    if (c->kind == ContextKind::Dpc && !c->started && S().dpcsHeld) {
        return false;
    }
    // A context at DISPATCH_LEVEL keeps its processor; any other needs a free one.
    return (c->started && c->irql >= DISPATCH_LEVEL) || inUse < S().processors;
}

std::vector<Context *> EligibleContexts()
{
    std::vector<Context *> out;
    int inUse = ProcessorsInUse();
    for (Context *c : S().live) {
        if (Eligible(c, inUse)) {
            out.push_back(c);
        }
    }
    return out;
}

// AddressSanitizer must be told whenever the thread leaves one stack for
// another; otherwise it takes a context's frames for a corrupt host stack and
// loses the fake frames of use-after-return detection.
void LeaveStack(void **fakeStack, const void *bottom, size_t size)
{
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_start_switch_fiber(fakeStack, bottom, size);
#else
    (void)fakeStack, (void)bottom, (void)size;
#endif
}

void EnterStack(void *fakeStack, const void **bottomOld, size_t *sizeOld)
{
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_finish_switch_fiber(fakeStack, bottomOld, sizeOld);
#else
    (void)fakeStack, (void)bottomOld, (void)sizeOld;
#endif
}

// From a context to the scheduler on the host stack; returns when the
// scheduler runs the context again. A finished context never returns, and its
// fake frames are released.
void SwitchToScheduler(Context *self, bool finished)
{
    Scheduler &s = S();
    void *fakeStack = nullptr;
    LeaveStack(finished ? nullptr : &fakeStack, s.hostStackBottom, s.hostStackSize);
    swapcontext(&self->uc, &s.schedulerContext);
    EnterStack(fakeStack, &s.hostStackBottom, &s.hostStackSize);
}

// From the scheduler to a context, until it reaches its next switch point.
void SwitchToContext(Context *next)
{
    void *fakeStack = nullptr;
    LeaveStack(&fakeStack, next->uc.uc_stack.ss_sp, next->uc.uc_stack.ss_size);
    swapcontext(&S().schedulerContext, &next->uc);
    EnterStack(fakeStack, nullptr, nullptr);
}

// makecontext passes int arguments only: the context's address comes in two
// 32-bit halves (the high one is 0 on i386).
void Trampoline(int low, int high)
{
    uintptr_t address = static_cast<uintptr_t>(static_cast<unsigned>(low)) |
                        static_cast<uintptr_t>(static_cast<uint64_t>(static_cast<unsigned>(high)) << 32);
    Context *c = reinterpret_cast<Context *>(address);
    EnterStack(nullptr, &S().hostStackBottom, &S().hostStackSize);
    c->fn();
    KIRQL expected = (c->kind == ContextKind::Dpc) ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    if (c->irql != expected || !c->held.empty()) {
        Violate("IRQL", c->name + " returned at IRQL " + std::to_string(c->irql) + " holding " +
                            std::to_string(c->held.size()) + " lock(s)");
    }
    c->state = ContextState::Finished;
    SwitchToScheduler(c, true);
}

void FreeStack(Context *c)
{
    if (c->stack == nullptr) {
        return;
    }
#if defined(__SANITIZE_ADDRESS__)
    // Frames of a context that never finished leave their poison behind.
    ASAN_UNPOISON_MEMORY_REGION(c->stack, c->stackSize);
#endif
    if (c->state != ContextState::Finished) {
        // Killed by a violation or left waiting: its frames were never
        // unwound, so what they own was never destroyed. The stack stays
        // mapped, and scanned, so that a leak checker (LeakSanitizer,
        // valgrind) finds those objects reachable instead of lost.
#if defined(__SANITIZE_ADDRESS__)
        __lsan_register_root_region(static_cast<char *>(c->stack) + kGuard, c->stackSize - kGuard);
#endif
        c->stack = nullptr;
        return;
    }
    auto registered = S().valgrindStacks.find(c);
    if (registered != S().valgrindStacks.end()) {
        VALGRIND_STACK_DEREGISTER(registered->second);
        S().valgrindStacks.erase(registered);
    }
    munmap(c->stack, c->stackSize);
    c->stack = nullptr;
}

void Retire(Context *c)
{
    Scheduler &s = S();
    s.live.erase(std::remove(s.live.begin(), s.live.end(), c), s.live.end());
    if (c->state == ContextState::Finished) {
        FreeStack(c);
        c->fn = nullptr;
        WakeAll(c); // joiners
    }
}

// Runs one context until its next switch point; false when none can run.
bool Step()
{
    Scheduler &s = S();
    Context *next = nullptr;
    if (s.forced != nullptr && Eligible(s.forced, ProcessorsInUse())) {
        next = s.forced;
    }
    s.forced = nullptr;
    if (next == nullptr) {
        std::vector<Context *> eligible = EligibleContexts();
        if (eligible.empty()) {
            return false;
        }
        next = eligible[Random() % eligible.size()];
    }
    if (next != s.lastRun) {
        Trace("run " + next->name);
        s.lastRun = next;
    }
    next->started = true;
    s.current = next;
    SwitchToContext(next);
    s.current = &s.host;
    if (next->state == ContextState::Finished || next->state == ContextState::Dead) {
        Retire(next);
    }
    return true;
}

int64_t NextEventTime()
{
    int64_t next = NextTimerDue();
    for (Context *c : BlockedContexts()) {
        if (c->deadline >= 0 && (next < 0 || c->deadline < next)) {
            next = c->deadline;
        }
    }
    return next;
}

void ExpireWaits()
{
    for (Context *c : BlockedContexts()) {
        if (c->deadline >= 0 && c->deadline <= S().now) {
            WakeOne(c);
        }
    }
}

// Moves the clock to the next deadline; false when there is none.
bool JumpClock(int64_t limit)
{
    int64_t next = NextEventTime();
    if (next < 0 || (limit >= 0 && next > limit)) {
        return false;
    }
    Scheduler &s = S();
    if (next > s.now) {
        s.now = next;
        Trace("clock " + std::to_string(s.now));
    }
    FireTimersDue();
    ExpireWaits();
    return true;
}

void ReportDeadlock(const std::string &who)
{
    std::string message = who + " can never run again:";
    for (Context *c : BlockedContexts()) {
        message += "\n  " + c->name + " waits for " + c->waitWhat;
        std::string holds = RemoveLockHolds(c->waitObject);
        if (!holds.empty()) {
            Violate("REMOVE_LOCK", c->name + " waits on a remove lock that is still held: " + holds);
        }
    }
    Violate("DEADLOCK", message);
}

// Schedules until `done` holds; jumps the clock when everything is blocked.
// Only a wait that nothing armed or queued could end is a deadlock: a timer,
// periodic or not, may still end it (a read without a time-out waits as
// long as it must).
bool ScheduleUntil(const std::function<bool()> &done, const std::string &who)
{
    while (!done()) {
        if (Step()) {
            continue;
        }
        if (!JumpClock(-1)) {
            ReportDeadlock(who);
            return false;
        }
    }
    return true;
}

// The test thread's own switch point: it may let other contexts run first.
void HostSwitchPoint(const char *what)
{
    Scheduler &s = S();
    for (;;) {
        std::vector<Context *> eligible = EligibleContexts();
        if (eligible.empty()) {
            return;
        }
        size_t pick = Random() % (eligible.size() + 1);
        if (pick == eligible.size()) {
            return;
        }
        s.forced = eligible[pick];
        Trace(s.host.name + " yields at " + what + " to " + s.forced->name);
        Step();
    }
}

} // namespace

Context *Current()
{
    return S().current;
}

bool InContext()
{
    return S().current != &S().host;
}

uint64_t Random()
{
    // xorshift64*: the same sequence on every host.
    uint64_t &x = S().rng;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    return (x * 0x2545F4914F6CDD1DULL) >> 11;
}

int64_t Clock()
{
    return S().now;
}

void Trace(const std::string &line)
{
    S().trace.push_back(std::to_string(S().now) + " " + line);
}

Context *NewContext(const std::string &name, ContextKind kind, std::function<void()> fn)
{
    Scheduler &s = S();
    auto owned = std::make_unique<Context>();
    Context *c = owned.get();
    c->id = s.nextId++;
    c->name = name + "#" + std::to_string(c->id);
    c->kind = kind;
    c->fn = std::move(fn);
    c->stackSize = kStackSize + kGuard;
    c->stack = mmap(nullptr, c->stackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (c->stack == MAP_FAILED) {
        std::fprintf(stderr, "kernel model: no memory for a context stack\n");
        std::abort();
    }
    mprotect(c->stack, kGuard, PROT_NONE); // an overflow faults instead of corrupting
    getcontext(&c->uc);
    c->uc.uc_stack.ss_sp = static_cast<char *>(c->stack) + kGuard;
    c->uc.uc_stack.ss_size = kStackSize;
    c->uc.uc_link = nullptr;
    char *stackStart = static_cast<char *>(c->uc.uc_stack.ss_sp);
    s.valgrindStacks[c] = VALGRIND_STACK_REGISTER(stackStart, stackStart + kStackSize);
    uint64_t address = reinterpret_cast<uintptr_t>(c);
    makecontext(&c->uc, reinterpret_cast<void (*)()>(Trampoline), 2, static_cast<int>(address & 0xFFFFFFFFu),
                static_cast<int>(address >> 32));
    s.all.push_back(std::move(owned));
    s.live.push_back(c);
    Trace("new " + c->name);
    return c;
}

void SwitchPoint(const char *what)
{
    Scheduler &s = S();
    if (!InContext()) {
        HostSwitchPoint(what);
        return;
    }
    Context *self = s.current;
    std::vector<Context *> eligible = EligibleContexts();
    if (eligible.size() <= 1) {
        return;
    }
    Context *pick = eligible[Random() % eligible.size()];
    if (pick == self) {
        return;
    }
    s.forced = pick;
    // Named in the trace so that a failing seed shows where it interleaved.
    Trace(self->name + " yields at " + what + " to " + pick->name);
    SwitchToScheduler(self, false);
}

void Suspend()
{
    SwitchToScheduler(S().current, false);
}

bool Block(const void *object, const std::string &what, int64_t deadline)
{
    Scheduler &s = S();
    Context *self = s.current;
    self->state = ContextState::Blocked;
    self->waitObject = object;
    self->waitWhat = what;
    self->deadline = deadline;
    self->blockSeq = ++s.blockSeq;
    self->satisfied = false;
    if (InContext()) {
        SwitchToScheduler(self, false);
        return true;
    }
    bool ok = ScheduleUntil([self] { return self->state != ContextState::Blocked; }, "the test thread");
    if (!ok) {
        self->state = ContextState::Ready;
        self->waitObject = nullptr;
    }
    return ok;
}

void WakeOne(Context *c)
{
    c->state = ContextState::Ready;
    c->waitObject = nullptr;
    c->deadline = -1;
}

std::vector<Context *> BlockedContexts()
{
    std::vector<Context *> out;
    Scheduler &s = S();
    if (s.host.state == ContextState::Blocked) {
        out.push_back(&s.host);
    }
    for (Context *c : s.live) {
        if (c->state == ContextState::Blocked) {
            out.push_back(c);
        }
    }
    return out;
}

void WakeAll(const void *object)
{
    for (Context *c : BlockedContexts()) {
        if (c->waitObject == object) {
            c->satisfied = true;
            WakeOne(c);
        }
    }
}

Context *FirstWaiter(const void *object)
{
    Context *first = nullptr;
    for (Context *c : BlockedContexts()) {
        if (c->waitObject == object && (first == nullptr || c->blockSeq < first->blockSeq)) {
            first = c;
        }
    }
    return first;
}

void RunOnSystemThread(const std::function<void()> &fn, const char *name)
{
    if (InContext() && Current()->irql == PASSIVE_LEVEL && Current()->kind != ContextKind::Dpc) {
        fn();
        return;
    }
    Run(fn, name);
}

void ResetScheduler(int processors, uint64_t seed)
{
    Scheduler &s = S();
    FreeContexts();
    s.host = Context();
    s.host.name = "test";
    s.host.kind = ContextKind::Host;
    s.host.started = true;
    s.current = &s.host;
    s.forced = nullptr;
    s.lastRun = nullptr;
    s.dpcsHeld = false;
    s.rng = seed * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL;
    if (s.rng == 0) {
        s.rng = 1;
    }
    s.blockSeq = 0;
    s.nextId = 1;
    s.processors = processors < 1 ? 1 : processors;
    s.now = 0;
    s.trace.clear();
}

void FreeContexts()
{
    Scheduler &s = S();
    for (auto &c : s.all) {
        FreeStack(c.get());
    }
    s.live.clear();
    s.all.clear();
}

} // namespace km::detail

namespace km {

using namespace detail;

void Run(std::function<void()> fn, const char *name)
{
    Context *c = NewContext(name, ContextKind::Thread, std::move(fn));
    if (InContext()) {
        while (!Finished(c) && c->state != ContextState::Dead) {
            Block(c, "thread " + c->name + " to finish");
        }
        return;
    }
    ScheduleUntil([c] { return c->state == ContextState::Finished || c->state == ContextState::Dead; },
                  "thread " + c->name);
}

Context *Spawn(std::function<void()> fn, const char *name)
{
    return NewContext(name, ContextKind::Thread, std::move(fn));
}

bool Finished(const Context *context)
{
    return context->state == ContextState::Finished;
}

void HoldDpcs(bool hold)
{
    S().dpcsHeld = hold;
    Trace(hold ? "DPCs held" : "DPCs released");
}

void RunUntilIdle()
{
    if (InContext()) {
        return;
    }
    while (Step()) {
    }
}

void AdvanceClock(int64_t hundredNs)
{
    Scheduler &s = S();
    int64_t target = s.now + hundredNs;
    RunUntilIdle();
    while (JumpClock(target)) {
        RunUntilIdle();
    }
    s.now = target;
    RunUntilIdle();
}

int64_t Now()
{
    return S().now;
}

KIRQL CurrentIrql()
{
    return detail::Irql();
}

const std::vector<std::string> &Trace()
{
    return S().trace;
}

} // namespace km
