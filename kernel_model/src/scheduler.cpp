// The deterministic scheduler: kernel contexts are cooperative fibers; at
// every switch point a seeded generator picks the next runnable one, with at
// most `processors` contexts at DISPATCH_LEVEL at once. Time is virtual and
// jumps to the next timer or wait deadline when every context is blocked.
//
// A switch point costs no system call and, once the model has warmed up, no
// allocation: contexts and their stacks are reused, DPC and work-item names
// are worked out once per routine, and the trace records the scheduler's
// decisions compactly, formatting them only when the trace is read (or as
// they happen, with ZQ_TRACE set).
#include "model.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace km::detail {
namespace {

enum class TraceKind : uint8_t { Text, New, Run, Yield, Clock, Event };

// One line of the trace. Contexts appear as their label and id, which
// outlive the context itself.
struct TraceRecord {
    int64_t time = 0;
    TraceKind kind = TraceKind::Text;
    int id = 0;
    int otherId = 0;
    const std::string *label = nullptr;
    const std::string *otherLabel = nullptr;
    const char *what = nullptr;   // a switch point's name; an event's words
    const char *suffix = nullptr; // an event's words before its number
    int64_t number = 0;           // an event's number; the index of a Text line's text
};

struct Scheduler {
    Context host;
    void *schedulerSp = nullptr;
    // Every context ever made; those not in use are spares for the next ones.
    std::vector<std::unique_ptr<Context>> owned;
    std::vector<Context *> spares;
    std::vector<Context *> live;     // not finished, not dead
    std::vector<Context *> eligible; // scratch of EligibleContexts
    Context *forced = nullptr;       // chosen at the last switch point
    int lastRunId = -1;
    uint64_t rng = 1;
    uint64_t blockSeq = 0;
    int nextId = 1;
    int processors = 2;
    bool dpcsHeld = false;
    int64_t now = 0;
    std::vector<TraceRecord> trace;
    std::vector<std::string> traceTexts; // the lines given formatted
    std::vector<std::string> traceLines; // trace[0, traceLines.size()) formatted
    bool echoTrace = false;              // ZQ_TRACE: each line to stderr as it happens
    // Context labels of this boot, and the label of each (prefix, routine)
    // while the loaded images stay as they are.
    std::set<std::string, std::less<>> labels;
    std::map<std::pair<const char *, const void *>, const std::string *> routineLabels;
    uint64_t routineLabelsImages = 0;
    // The host thread's stack, as AddressSanitizer last reported it.
    const void *hostStackBottom = nullptr;
    size_t hostStackSize = 0;
};

// A plain object rather than a function's static: the scheduler is asked
// for the current context at nearly every call the model serves.
Scheduler g_scheduler;

} // namespace

Context *g_current = &g_scheduler.host;

namespace {

Scheduler &S()
{
    return g_scheduler;
}

const std::string *Intern(std::string_view label)
{
    auto &labels = S().labels;
    auto found = labels.find(label);
    if (found == labels.end()) {
        found = labels.emplace(label).first;
    }
    return &*found;
}

std::string ContextName(const std::string *label, int id)
{
    return id == 0 ? *label : *label + "#" + std::to_string(id);
}

std::string Format(const TraceRecord &r)
{
    std::string line = std::to_string(r.time) + " ";
    switch (r.kind) {
    case TraceKind::Text:
        return line + S().traceTexts[static_cast<size_t>(r.number)];
    case TraceKind::New:
        return line + "new " + ContextName(r.label, r.id);
    case TraceKind::Run:
        return line + "run " + ContextName(r.label, r.id);
    case TraceKind::Yield:
        // Named in the trace so that a failing seed shows where it interleaved.
        return line + ContextName(r.label, r.id) + " yields at " + r.what + " to " +
               ContextName(r.otherLabel, r.otherId);
    case TraceKind::Clock:
        return line + "clock " + std::to_string(r.time);
    case TraceKind::Event:
        line += std::string(r.what) + " " + *r.label;
        return r.suffix == nullptr ? line : line + " " + r.suffix + " " + std::to_string(r.number);
    }
    return line;
}

void Record(TraceRecord record)
{
    Scheduler &s = S();
    record.time = s.now;
    s.trace.push_back(record);
    if (s.echoTrace) {
        std::fprintf(stderr, "kernel model: %s\n", Format(s.trace.back()).c_str());
    }
}

void RecordContext(TraceKind kind, const Context *c, const char *what = nullptr, const Context *other = nullptr)
{
    TraceRecord r;
    r.kind = kind;
    r.label = c->label;
    r.id = c->id;
    r.what = what;
    if (other != nullptr) {
        r.otherLabel = other->label;
        r.otherId = other->id;
    }
    Record(r);
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

// The runnable contexts in the order they were made; valid until the next
// switch.
const std::vector<Context *> &EligibleContexts()
{
    Scheduler &s = S();
    s.eligible.clear();
    int inUse = ProcessorsInUse();
    for (Context *c : s.live) {
        if (Eligible(c, inUse)) {
            s.eligible.push_back(c);
        }
    }
    return s.eligible;
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
    SwitchFiber(&self->sp, s.schedulerSp);
    EnterStack(fakeStack, &s.hostStackBottom, &s.hostStackSize);
}

// From the scheduler to a context, until it reaches its next switch point.
void SwitchToContext(Context *next)
{
    void *fakeStack = nullptr;
    LeaveStack(&fakeStack, next->stack.base, next->stack.size);
    SwitchFiber(&S().schedulerSp, next->sp);
    EnterStack(fakeStack, nullptr, nullptr);
}

// The first frame of every context above the model's entry.
void ContextMain(void *argument)
{
    Context *c = static_cast<Context *>(argument);
    EnterStack(nullptr, &S().hostStackBottom, &S().hostStackSize);
    if (c->routine != nullptr) {
        c->routine(c);
    } else {
        c->fn();
    }
    KIRQL expected = (c->kind == ContextKind::Dpc) ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    if (c->irql != expected || !c->held.empty()) {
        Violate("IRQL", c->name + " returned at IRQL " + std::to_string(c->irql) + " holding " +
                            std::to_string(c->held.size()) + " lock(s)");
    }
    c->state = ContextState::Finished;
    SwitchToScheduler(c, true);
    std::abort(); // a finished context is never resumed
}

// A context of this boot, reused when one is spare: it keeps the capacity of
// its containers, everything else starts afresh.
Context *TakeContext(ContextKind kind, const std::string *label)
{
    Scheduler &s = S();
    Context *c;
    if (s.spares.empty()) {
        s.owned.push_back(std::make_unique<Context>());
        c = s.owned.back().get();
    } else {
        c = s.spares.back();
        s.spares.pop_back();
        std::string name = std::move(c->name);
        std::string waitWhat = std::move(c->waitWhat);
        std::vector<const void *> held = std::move(c->held);
        std::vector<PDRIVER_OBJECT> drivers = std::move(c->drivers);
        std::vector<PDRIVER_OBJECT> completing = std::move(c->completing);
        *c = Context();
        c->name = std::move(name);
        c->waitWhat = std::move(waitWhat);
        c->held = std::move(held);
        c->held.clear();
        c->drivers = std::move(drivers);
        c->drivers.clear();
        c->completing = std::move(completing);
        c->completing.clear();
    }
    c->inUse = true;
    c->id = s.nextId++;
    c->kind = kind;
    c->label = label;
    c->name.assign(*label);
    c->name += '#';
    c->name += std::to_string(c->id);
    c->stack = AcquireStack();
    c->sp = PrepareStack(c->stack, ContextMain, c);
    s.live.push_back(c);
    RecordContext(TraceKind::New, c);
    return c;
}

// A context nobody can refer to any more goes back to the spares.
void Recycle(Context *c)
{
    c->fn = nullptr;
    c->inUse = false;
    S().spares.push_back(c);
}

void Retire(Context *c)
{
    Scheduler &s = S();
    s.live.erase(std::remove(s.live.begin(), s.live.end(), c), s.live.end());
    if (c->state == ContextState::Finished) {
        ReleaseStack(c->stack);
        c->stack = FiberStack();
        c->fn = nullptr;
        WakeAll(c); // joiners
        if (c->kind == ContextKind::Dpc || c->kind == ContextKind::WorkItem) {
            Recycle(c); // nobody joins these
        }
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
        const std::vector<Context *> &eligible = EligibleContexts();
        if (eligible.empty()) {
            return false;
        }
        next = eligible[Random() % eligible.size()];
    }
    if (next->id != s.lastRunId) {
        RecordContext(TraceKind::Run, next);
        s.lastRunId = next->id;
    }
    next->started = true;
    g_current = next;
    SwitchToContext(next);
    g_current = &s.host;
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
        TraceRecord r;
        r.kind = TraceKind::Clock;
        Record(r);
    }
    FireTimersDue();
    ExpireWaits();
    return true;
}

// `thread`: the thread the test waits for; nullptr: the test thread itself.
void ReportDeadlock(const Context *thread)
{
    std::string message = (thread != nullptr ? "thread " + thread->name : "the test thread") + " can never run again:";
    for (Context *c : BlockedContexts()) {
        message += "\n  " + c->name + " waits for " + WaitText(c);
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
template <class Done> bool ScheduleUntil(Done done, const Context *thread)
{
    while (!done()) {
        if (Step()) {
            continue;
        }
        if (!JumpClock(-1)) {
            ReportDeadlock(thread);
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
        const std::vector<Context *> &eligible = EligibleContexts();
        if (eligible.empty()) {
            return;
        }
        size_t pick = Random() % (eligible.size() + 1);
        if (pick == eligible.size()) {
            return;
        }
        s.forced = eligible[pick];
        RecordContext(TraceKind::Yield, &s.host, what, s.forced);
        Step();
    }
}

bool BlockCurrent(const void *object, int64_t deadline)
{
    Scheduler &s = S();
    Context *self = g_current;
    self->state = ContextState::Blocked;
    self->waitObject = object;
    self->deadline = deadline;
    self->blockSeq = ++s.blockSeq;
    self->satisfied = false;
    if (InContext()) {
        SwitchToScheduler(self, false);
        return true;
    }
    bool ok = ScheduleUntil([self] { return self->state != ContextState::Blocked; }, nullptr);
    if (!ok) {
        self->state = ContextState::Ready;
        self->waitObject = nullptr;
    }
    return ok;
}

std::string JoinText(const Context *waiter)
{
    return "thread " + static_cast<const Context *>(waiter->waitObject)->name + " to finish";
}

} // namespace

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
    TraceRecord r;
    r.number = static_cast<int64_t>(S().traceTexts.size());
    S().traceTexts.push_back(line);
    Record(r);
}

void TraceEvent(const char *what, const std::string *name, const char *suffix, int64_t number)
{
    TraceRecord r;
    r.kind = TraceKind::Event;
    r.what = what;
    r.label = name;
    r.suffix = suffix;
    r.number = number;
    Record(r);
}

const std::string *InternLabel(const std::string &label)
{
    return Intern(label);
}

Context *NewThread(const char *name, std::function<void()> fn)
{
    Context *c = TakeContext(ContextKind::Thread, Intern(name));
    c->fn = std::move(fn);
    return c;
}

Context *NewContext(ContextKind kind, const char *prefix, const void *named, void (*routine)(Context *),
                    std::initializer_list<void *> arguments)
{
    Scheduler &s = S();
    if (s.routineLabelsImages != ImagesVersion()) {
        // An image came or went: a routine's address may now be another's.
        s.routineLabels.clear();
        s.routineLabelsImages = ImagesVersion();
    }
    const std::string *&label = s.routineLabels[{prefix, named}];
    if (label == nullptr) {
        label = Intern(prefix + DescribeAddress(named));
    }
    Context *c = TakeContext(kind, label);
    c->routine = routine;
    std::copy(arguments.begin(), arguments.end(), c->arguments);
    return c;
}

void SwitchPoint(const char *what)
{
    Scheduler &s = S();
    if (!InContext()) {
        HostSwitchPoint(what);
        return;
    }
    Context *self = g_current;
    const std::vector<Context *> &eligible = EligibleContexts();
    if (eligible.size() <= 1) {
        return;
    }
    Context *pick = eligible[Random() % eligible.size()];
    if (pick == self) {
        return;
    }
    s.forced = pick;
    RecordContext(TraceKind::Yield, self, what, pick);
    SwitchToScheduler(self, false);
}

void Suspend()
{
    SwitchToScheduler(g_current, false);
}

bool Block(const void *object, WaitDescription describe, int64_t deadline)
{
    Context *self = g_current;
    self->describeWait = describe;
    self->waitWhat.clear();
    return BlockCurrent(object, deadline);
}

bool Block(const void *object, const std::string &what, int64_t deadline)
{
    Context *self = g_current;
    self->describeWait = nullptr;
    self->waitWhat = what;
    return BlockCurrent(object, deadline);
}

std::string WaitText(const Context *waiter)
{
    return waiter->describeWait != nullptr ? waiter->describeWait(waiter) : waiter->waitWhat;
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
    Scheduler &s = S();
    auto wake = [object](Context *c) {
        if (c->state == ContextState::Blocked && c->waitObject == object) {
            c->satisfied = true;
            WakeOne(c);
        }
    };
    wake(&s.host);
    for (Context *c : s.live) {
        wake(c);
    }
}

Context *FirstWaiter(const void *object)
{
    Scheduler &s = S();
    Context *first = nullptr;
    auto consider = [object, &first](Context *c) {
        if (c->state == ContextState::Blocked && c->waitObject == object &&
            (first == nullptr || c->blockSeq < first->blockSeq)) {
            first = c;
        }
    };
    consider(&s.host);
    for (Context *c : s.live) {
        consider(c);
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
    s.labels.clear();
    s.routineLabels.clear();
    s.host = Context();
    s.host.label = Intern("test");
    s.host.name = *s.host.label;
    s.host.kind = ContextKind::Host;
    s.host.started = true;
    g_current = &s.host;
    s.forced = nullptr;
    s.lastRunId = -1;
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
    s.traceTexts.clear();
    s.traceLines.clear();
    const char *echo = std::getenv("ZQ_TRACE");
    s.echoTrace = echo != nullptr && *echo != 0 && std::string_view(echo) != "0";
}

// Every context goes back to the spares. A stack whose frames never unwound
// (a context killed by a violation or left waiting) is abandoned: what those
// frames own was never destroyed, and must stay reachable for leak checkers.
// A context that never started has no frames.
void FreeContexts()
{
    Scheduler &s = S();
    for (auto &owned : s.owned) {
        Context *c = owned.get();
        if (!c->inUse) {
            continue;
        }
        if (c->stack.base != nullptr) {
            if (c->state == ContextState::Finished || !c->started) {
                ReleaseStack(c->stack);
            } else {
                AbandonStack(c->stack);
            }
            c->stack = FiberStack();
        }
        Recycle(c);
    }
    s.live.clear();
}

} // namespace km::detail

namespace km {

using namespace detail;

void Run(std::function<void()> fn, const char *name)
{
    Context *c = NewThread(name, std::move(fn));
    if (InContext()) {
        while (!Finished(c) && c->state != ContextState::Dead) {
            Block(c, JoinText);
        }
    } else {
        ScheduleUntil([c] { return c->state == ContextState::Finished || c->state == ContextState::Dead; }, c);
    }
    if (c->state == ContextState::Finished) {
        Recycle(c); // joined: nobody else knows it
    }
}

Context *Spawn(std::function<void()> fn, const char *name)
{
    return NewThread(name, std::move(fn));
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
    Scheduler &s = S();
    while (s.traceLines.size() < s.trace.size()) {
        s.traceLines.push_back(Format(s.trace[s.traceLines.size()]));
    }
    return s.traceLines;
}

} // namespace km
