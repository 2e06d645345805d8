// Timers, DPCs and the time the driver reads. A timer due at a virtual time
// fires when the clock reaches it: it is signalled and its DPC queued. A DPC
// runs as its own context at DISPATCH_LEVEL.
#include "model.h"

#include <algorithm>

namespace km::detail {
namespace {

constexpr CSHORT kDpcObject = 19;
constexpr int64_t kSystemTimeEpoch = 128000000000000000LL; // early 2006, in 100 ns since 1601
constexpr ULONG kTimeIncrement = 156250;                   // 15.625 ms

struct ArmedTimer {
    PKTIMER timer = nullptr;
    int64_t due = 0;
    LONG period = 0;
    uint64_t order = 0;
};

// Armed timers and queued DPCs are a handful at any time: flat lists, which
// cost no allocation once they have grown.
struct TimerState {
    std::vector<ArmedTimer> armed;
    std::vector<PKDPC> queuedDpcs;
    uint64_t order = 0;
    // Names of timers for the trace, worked out once per timer: forgotten
    // with the memory that holds the timer, or when an image comes or goes.
    std::map<const void *, const std::string *> names;
    uint64_t namesImages = 0;
};

TimerState &T()
{
    static TimerState t;
    return t;
}

ArmedTimer *FindArmed(PKTIMER timer)
{
    for (ArmedTimer &a : T().armed) {
        if (a.timer == timer) {
            return &a;
        }
    }
    return nullptr;
}

// Removes the entry that matches from `list`; false when there is none.
template <class Item, class Match> bool RemoveFrom(std::vector<Item> &list, Match match)
{
    for (Item &entry : list) {
        if (match(entry)) {
            entry = list.back();
            list.pop_back();
            return true;
        }
    }
    return false;
}

bool Disarm(PKTIMER timer)
{
    return RemoveFrom(T().armed, [timer](const ArmedTimer &a) { return a.timer == timer; });
}

bool IsQueued(PKDPC dpc)
{
    return std::find(T().queuedDpcs.begin(), T().queuedDpcs.end(), dpc) != T().queuedDpcs.end();
}

bool Dequeue(PKDPC dpc)
{
    return RemoveFrom(T().queuedDpcs, [dpc](PKDPC queued) { return queued == dpc; });
}

const std::string *TimerName(PKTIMER timer)
{
    TimerState &t = T();
    if (t.namesImages != ImagesVersion()) {
        t.names.clear();
        t.namesImages = ImagesVersion();
    }
    const std::string *&name = t.names[timer];
    if (name == nullptr) {
        name = InternLabel(DescribeAddress(timer));
    }
    return name;
}

void RunDpc(Context *context)
{
    PKDPC dpc = static_cast<PKDPC>(context->arguments[0]);
    context->irql = DISPATCH_LEVEL;
    if (!Dequeue(dpc)) {
        return; // removed from the queue before it ran
    }
    DriverScope scope(DriverOfAddress(reinterpret_cast<const void *>(dpc->DeferredRoutine)));
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
}

} // namespace

int64_t DueToClock(const LARGE_INTEGER &due)
{
    if (due.QuadPart < 0) {
        return Clock() - due.QuadPart;
    }
    int64_t clock = due.QuadPart - kSystemTimeEpoch;
    return clock < 0 ? 0 : clock;
}

int64_t NextTimerDue()
{
    int64_t next = -1;
    for (const ArmedTimer &a : T().armed) {
        if (next < 0 || a.due < next) {
            next = a.due;
        }
    }
    return next;
}

void FireTimersDue()
{
    for (;;) {
        ArmedTimer *chosen = nullptr;
        for (ArmedTimer &a : T().armed) {
            if (a.due <= Clock() &&
                (chosen == nullptr || a.due < chosen->due || (a.due == chosen->due && a.order < chosen->order))) {
                chosen = &a;
            }
        }
        if (chosen == nullptr) {
            return;
        }
        PKTIMER timer = chosen->timer;
        if (chosen->period > 0) {
            chosen->due += int64_t(chosen->period) * 10000;
        } else {
            Disarm(timer);
            timer->Header.Inserted = 0;
        }
        TraceEvent("timer fires", TimerName(timer));
        SignalObject(&timer->Header);
        if (timer->Dpc != nullptr) {
            LARGE_INTEGER now;
            now.QuadPart = Clock() + kSystemTimeEpoch;
            KeInsertQueueDpc(timer->Dpc, reinterpret_cast<PVOID>(now.u.LowPart),
                             reinterpret_cast<PVOID>(now.u.HighPart));
        }
    }
}

void CheckTimersIn(const void *begin, size_t bytes, const char *routine)
{
    auto inside = [begin, bytes](const void *p) { return AddressIn(p, begin, bytes); };
    auto &names = T().names;
    for (auto it = names.lower_bound(begin); it != names.end() && inside(it->first);) {
        it = names.erase(it);
    }
    for (const ArmedTimer &a : T().armed) {
        if (inside(a.timer)) {
            Violate("TIMER_IN_FREED_MEMORY",
                    std::string(routine) + " frees memory holding the armed timer " + DescribeAddress(a.timer));
            return;
        }
    }
    for (PKDPC dpc : T().queuedDpcs) {
        if (inside(dpc)) {
            Violate("TIMER_IN_FREED_MEMORY",
                    std::string(routine) + " frees memory holding the queued DPC " + DescribeAddress(dpc));
            return;
        }
    }
}

void CheckTimersOfImage(PDRIVER_OBJECT driver)
{
    auto ofImage = [driver](const void *p) { return p != nullptr && DriverOfAddress(p) == driver; };
    for (const ArmedTimer &a : T().armed) {
        PKTIMER timer = a.timer;
        const void *routine =
            timer->Dpc != nullptr ? reinterpret_cast<const void *>(timer->Dpc->DeferredRoutine) : nullptr;
        if (ofImage(timer) || ofImage(routine)) {
            Violate("UNLOAD_PENDING_WORK",
                    "the driver unloads with the timer " + DescribeAddress(timer) + " still set");
            return;
        }
    }
    for (PKDPC dpc : T().queuedDpcs) {
        if (ofImage(dpc) || ofImage(reinterpret_cast<const void *>(dpc->DeferredRoutine))) {
            Violate("UNLOAD_PENDING_WORK", "the driver unloads with the DPC " + DescribeAddress(dpc) + " still queued");
            return;
        }
    }
}

void ResetTimers()
{
    T().armed.clear();
    T().queuedDpcs.clear();
    T().order = 0;
    T().names.clear();
}

} // namespace km::detail

using namespace km::detail;

VOID NTAPI KeInitializeTimer(PKTIMER Timer)
{
    KeInitializeTimerEx(Timer, NotificationTimer);
}

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    // Windows would overwrite the links of a timer still in its timer table.
    if (FindArmed(Timer) != nullptr) {
        Violate("REINITIALIZE_ACTIVE", "KeInitializeTimer of the timer " + DescribeAddress(Timer) + ", which is set");
        return;
    }
    CheckResident(Timer, "KeInitializeTimer", true);
    Timer->Header.Type = Type == NotificationTimer ? kTimerNotificationObject : kTimerSynchronizationObject;
    Timer->Header.Absolute = 0;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.Inserted = 0;
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer");
    CheckResident(Timer, "KeSetTimer", true);
    CheckResident(Dpc, "KeSetTimer", true);
    ArmedTimer *armed = FindArmed(Timer);
    BOOLEAN wasSet = armed != nullptr;
    if (armed == nullptr) {
        T().armed.emplace_back();
        armed = &T().armed.back();
    }
    ArmedTimer &a = *armed;
    a.timer = Timer;
    a.due = DueToClock(DueTime);
    a.period = Period;
    a.order = ++T().order;
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(a.due);
    Timer->Header.SignalState = 0;
    Timer->Header.Inserted = 1;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    TraceEvent("timer set", TimerName(Timer), "due", a.due);
    if (a.due <= Clock()) {
        // A due time already past expires the timer at once, as the kernel
        // does when it cannot insert it into the timer table.
        FireTimersDue();
    }
    SwitchPoint("KeSetTimer");
    return wasSet;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    BOOLEAN wasSet = Disarm(Timer);
    Timer->Header.Inserted = 0;
    SwitchPoint("KeCancelTimer");
    return wasSet;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer)
{
    return Timer->Header.SignalState != 0;
}

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    // Windows would overwrite the links of a DPC still in a processor's queue.
    if (IsQueued(Dpc)) {
        Violate("REINITIALIZE_ACTIVE", "KeInitializeDpc of the DPC " + DescribeAddress(Dpc) + ", which is queued");
        return;
    }
    CheckResident(Dpc, "KeInitializeDpc", true);
    Dpc->Type = kDpcObject;
    Dpc->Number = 0;
    Dpc->Importance = 1;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    RequireIrqlAtMost(HIGH_LEVEL, "KeInsertQueueDpc");
    CheckResident(Dpc, "KeInsertQueueDpc", true);
    if (IsQueued(Dpc)) {
        return FALSE;
    }
    T().queuedDpcs.push_back(Dpc);
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    NewContext(km::ContextKind::Dpc, "dpc ", reinterpret_cast<const void *>(Dpc->DeferredRoutine), RunDpc, {Dpc});
    SwitchPoint("KeInsertQueueDpc");
    return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc)
{
    // The queued context stays; it finds the DPC no longer queued and returns.
    return Dequeue(Dpc) ? TRUE : FALSE;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = Clock() + kSystemTimeEpoch;
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    TickCount->QuadPart = Clock() / kTimeIncrement;
}

ULONG NTAPI KeQueryTimeIncrement(void)
{
    return kTimeIncrement;
}
