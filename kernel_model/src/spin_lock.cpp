// IRQL and spin locks. A spin lock is owned by a context; another context
// that wants it blocks (it spins on its processor) until it is released.
// Taking one already held by the same context is the classic self-deadlock.
#include "model.h"

#include <cstdio>
#include <cstring>

namespace km::detail {

KSPIN_LOCK g_cancelSpinLock = 0;

namespace {

// The locks held now, each with its owner: a handful at any time, so a flat
// list that costs no allocation once it has grown.
struct Ownership {
    const void *lock;
    Context *owner;
};

std::vector<Ownership> &Owners()
{
    static std::vector<Ownership> owners;
    return owners;
}

Ownership *FindOwnership(const void *lock)
{
    for (Ownership &held : Owners()) {
        if (held.lock == lock) {
            return &held;
        }
    }
    return nullptr;
}

bool IsFastMutex(const char *kind)
{
    return std::strcmp(kind, "fast mutex") == 0;
}

// The driver whose code took each lock (nullptr: not known).
std::map<const void *, PDRIVER_OBJECT> &Takers()
{
    static std::map<const void *, PDRIVER_OBJECT> takers;
    return takers;
}

std::set<const void *> &Mutexes()
{
    static std::set<const void *> mutexes;
    return mutexes;
}

std::string LockName(const void *lock, const char *kind)
{
    if (lock == &g_cancelSpinLock) {
        return "the cancel spin lock";
    }
    return std::string(kind) + " " + DescribeAddress(lock);
}

std::string LockWaitText(const Context *waiter)
{
    const void *lock = waiter->waitObject;
    std::string text = LockName(lock, Mutexes().count(lock) != 0 ? "fast mutex" : "spin lock");
    const Ownership *held = FindOwnership(lock);
    return held == nullptr ? text : text + " held by " + held->owner->name;
}

} // namespace

bool HoldsDriverSpinLock(const Context *context, PDRIVER_OBJECT driver)
{
    for (const void *lock : context->held) {
        if (Mutexes().count(lock) != 0 || lock == &g_cancelSpinLock) {
            continue;
        }
        auto taker = Takers().find(lock);
        PDRIVER_OBJECT owner = taker == Takers().end() ? nullptr : taker->second;
        if (driver == nullptr || owner == nullptr || owner == driver) {
            return true;
        }
    }
    return false;
}

bool HoldsSpinLock(const Context *context, bool countCancel)
{
    for (const void *lock : context->held) {
        if (Mutexes().count(lock) != 0) {
            continue;
        }
        if (lock == &g_cancelSpinLock && !countCancel) {
            continue;
        }
        return true;
    }
    return false;
}

void AcquireLock(const void *lock, const char *kind)
{
    SwitchPoint(kind);
    Context *self = Current();
    const Ownership *held = FindOwnership(lock);
    if (held != nullptr && held->owner == self) {
        Violate(IsFastMutex(kind) ? "MUTEX_RECURSION" : "SPINLOCK_RECURSION",
                LockName(lock, kind) + " acquired again by its owner");
        return;
    }
    if (IsFastMutex(kind)) {
        Mutexes().insert(lock);
    }
    NoteLockOrder(lock, kind);
    Ownership *owner;
    while ((owner = FindOwnership(lock)) != nullptr) {
        if (!Block(lock, LockWaitText)) {
            break;
        }
    }
    if (owner != nullptr) {
        owner->owner = self; // the test thread's wait could never end
    } else {
        Owners().push_back({lock, self});
    }
    Takers()[lock] = CurrentDriver();
    self->held.push_back(lock);
}

void ReleaseLock(const void *lock, const char *kind)
{
    Context *self = Current();
    Ownership *owner = FindOwnership(lock);
    if (owner == nullptr || owner->owner != self) {
        Violate("LOCK_NOT_OWNED", LockName(lock, kind) + " released by " + self->name + ", which does not hold it");
        return;
    }
    *owner = Owners().back();
    Owners().pop_back();
    for (size_t i = self->held.size(); i-- > 0;) {
        if (self->held[i] == lock) {
            self->held.erase(self->held.begin() + static_cast<long>(i));
            break;
        }
    }
    WakeAll(lock);
}

void ResetSpinLocks()
{
    Owners().clear();
    Takers().clear();
    Mutexes().clear();
    g_cancelSpinLock = 0;
}

} // namespace km::detail

using namespace km::detail;

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    *SpinLock = 0;
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "KfAcquireSpinLock");
    CheckResident(SpinLock, "KfAcquireSpinLock", true);
    KIRQL old = Current()->irql;
    Current()->irql = DISPATCH_LEVEL;
    AcquireLock(SpinLock, "spin lock");
    *SpinLock = 1;
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    ReleaseLock(SpinLock, "spin lock");
    *SpinLock = 0;
    if (NewIrql > Current()->irql) {
        Violate("IRQL", "KfReleaseSpinLock to IRQL " + std::to_string(NewIrql) + ", above the current IRQL " +
                            std::to_string(Current()->irql));
    }
    // Another spin lock still held needs DISPATCH_LEVEL: below it this
    // processor could be preempted by a thread that spins on that lock.
    if (NewIrql < DISPATCH_LEVEL && HoldsSpinLock(Current(), true)) {
        Violate("IRQL", "KfReleaseSpinLock to IRQL " + std::to_string(NewIrql) + " while another spin lock is held");
    }
    Current()->irql = NewIrql;
    SwitchPoint("KfReleaseSpinLock");
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (Current()->irql != DISPATCH_LEVEL) {
        Violate("IRQL", "KeAcquireSpinLockAtDpcLevel called at IRQL " + std::to_string(Current()->irql));
    }
    CheckResident(SpinLock, "KeAcquireSpinLockAtDpcLevel", true);
    AcquireLock(SpinLock, "spin lock");
    *SpinLock = 1;
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    ReleaseLock(SpinLock, "spin lock");
    *SpinLock = 0;
    SwitchPoint("KeReleaseSpinLockFromDpcLevel");
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    KIRQL old = Current()->irql;
    if (NewIrql < old) {
        Violate("IRQL", "KfRaiseIrql to " + std::to_string(NewIrql) + " from " + std::to_string(old));
    }
    Current()->irql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    KIRQL old = Current()->irql;
    if (NewIrql > old) {
        Violate("IRQL", "KfLowerIrql to " + std::to_string(NewIrql) + " from " + std::to_string(old));
    }
    if (NewIrql < DISPATCH_LEVEL && HoldsSpinLock(Current(), true)) {
        Violate("IRQL", "KfLowerIrql below DISPATCH_LEVEL while holding a spin lock");
    }
    Current()->irql = NewIrql;
    SwitchPoint("KfLowerIrql");
}

KIRQL NTAPI KeGetCurrentIrql(void)
{
    return Current()->irql;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    *Irql = KfAcquireSpinLock(&g_cancelSpinLock);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    KfReleaseSpinLock(&g_cancelSpinLock, Irql);
}
