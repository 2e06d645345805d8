// Events and waits. Notification events stay signalled and release every
// waiter; synchronization events release one waiter and reset themselves.
// Waiting is allowed below DISPATCH_LEVEL, a zero time-out (a poll) aside.
#include "model.h"

#include <cstdio>

namespace km::detail {
namespace {

bool IsNotification(const DISPATCHER_HEADER *header)
{
    return header->Type == NotificationEvent || header->Type == kTimerNotificationObject;
}

std::string ObjectName(const void *object)
{
    const DISPATCHER_HEADER *header = static_cast<const DISPATCHER_HEADER *>(object);
    bool timer = header->Type == kTimerNotificationObject || header->Type == kTimerSynchronizationObject;
    return std::string(timer ? "timer " : "event ") + DescribeAddress(object);
}

// An object never initialised (zeroed memory, say) has no wait list: Windows
// follows its null links as it signals or waits on it.
bool Initialized(const DISPATCHER_HEADER *header, const char *routine)
{
    if (header->Size != 0) {
        return true;
    }
    Violate("UNINITIALIZED_OBJECT", std::string(routine) + " on " + ObjectName(header) + ", never initialised");
    return false;
}

std::string WaitedObjectName(const Context *waiter)
{
    return ObjectName(waiter->waitObject);
}

// Virtual time of a wait's end, or -1 for none.
int64_t Deadline(const LARGE_INTEGER *timeout)
{
    return timeout == nullptr ? -1 : DueToClock(*timeout);
}

} // namespace

// Signals a dispatcher object: notification objects release every waiter,
// synchronization objects the first one (and stay unsignalled then).
void SignalObject(DISPATCHER_HEADER *header)
{
    if (IsNotification(header)) {
        header->SignalState = 1;
        WakeAll(header);
        return;
    }
    Context *first = FirstWaiter(header);
    if (first == nullptr) {
        header->SignalState = 1;
        return;
    }
    first->satisfied = true;
    WakeOne(first);
}

NTSTATUS WaitObject(void *object, const LARGE_INTEGER *timeout, const std::string &what)
{
    Context *self = Current();
    if (self->waitNext) {
        // The wait that KeSetEvent(..., TRUE) promised: back to the IRQL before it.
        self->waitNext = false;
        self->irql = self->waitNextIrql;
    }
    DISPATCHER_HEADER *header = static_cast<DISPATCHER_HEADER *>(object);
    if (!Initialized(header, "KeWaitForSingleObject")) {
        return STATUS_UNSUCCESSFUL;
    }
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (!poll) {
        if (HoldsSpinLock(Current(), true)) {
            Violate("WAIT_WITH_SPINLOCK", "waiting on " + ObjectName(object) + " while holding a spin lock");
            return STATUS_UNSUCCESSFUL;
        }
        RequireIrqlAtMost(APC_LEVEL, "KeWaitForSingleObject with a non-zero time-out");
    } else {
        RequireIrqlAtMost(DISPATCH_LEVEL, "KeWaitForSingleObject");
    }
    SwitchPoint("KeWaitForSingleObject");
    if (header->SignalState > 0) {
        if (!IsNotification(header)) {
            header->SignalState = 0;
        }
        return STATUS_SUCCESS;
    }
    if (poll) {
        return STATUS_TIMEOUT;
    }
    bool ended =
        what.empty() ? Block(object, WaitedObjectName, Deadline(timeout)) : Block(object, what, Deadline(timeout));
    if (!ended) {
        return STATUS_TIMEOUT;
    }
    return self->satisfied ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

} // namespace km::detail

using namespace km::detail;

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    // The waiter's wait block is in the list the initialisation empties: it
    // is never woken.
    km::Context *waiter = FirstWaiter(Event);
    if (waiter != nullptr) {
        Violate("REINITIALIZE_ACTIVE",
                "KeInitializeEvent of " + ObjectName(Event) + ", which " + waiter->name + " waits on");
        return;
    }
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    CheckResident(Event, "KeSetEvent");
    if (!Initialized(&Event->Header, "KeSetEvent")) {
        return 0;
    }
    LONG previous = Event->Header.SignalState;
    SignalObject(&Event->Header);
    SwitchPoint("KeSetEvent");
    if (Wait) {
        // Windows returns holding the dispatcher lock at DISPATCH_LEVEL; only
        // a wait may follow, and it releases both.
        km::Context *self = Current();
        self->waitNext = true;
        self->waitNextIrql = self->irql;
        self->irql = DISPATCH_LEVEL;
    }
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    CheckResident(Event, "KeResetEvent");
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    return WaitObject(Object, Timeout, std::string());
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    (void)WaitMode;
    (void)Alertable;
    RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
    if (HoldsSpinLock(Current(), true)) {
        Violate("WAIT_WITH_SPINLOCK", "KeDelayExecutionThread while holding a spin lock");
        return STATUS_UNSUCCESSFUL;
    }
    static const char delay = 0; // nothing signals it: only the deadline ends the wait
    int64_t deadline = DueToClock(*Interval);
    if (deadline <= Clock()) {
        SwitchPoint("KeDelayExecutionThread");
        return STATUS_SUCCESS;
    }
    Block(
        &delay, [](const km::Context *waiter) { return "a delay until " + std::to_string(waiter->deadline); },
        deadline);
    return STATUS_SUCCESS;
}
