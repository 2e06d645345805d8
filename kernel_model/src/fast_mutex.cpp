// Fast mutexes: taken at or below APC_LEVEL, raise to APC_LEVEL, not
// recursive. A context that finds one owned blocks until it is released.
#include "model.h"

using namespace km::detail;

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    FastMutex->OldIrql = 0;
}

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    RequireIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex");
    KIRQL old = Current()->irql;
    AcquireLock(FastMutex, "fast mutex");
    FastMutex->Count = 0;
    FastMutex->Owner = reinterpret_cast<PKTHREAD>(Current());
    FastMutex->OldIrql = old;
    Current()->irql = APC_LEVEL;
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    if (Current()->irql != APC_LEVEL) {
        Violate("IRQL", "ExReleaseFastMutex called at IRQL " + std::to_string(Current()->irql));
    }
    KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    ReleaseLock(FastMutex, "fast mutex");
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    Current()->irql = old;
    SwitchPoint("ExReleaseFastMutex");
}
