// The modem's rate: with a rate set, bytes toward the host move only on the
// ticks of a timer, at most rate * tick bytes per tick (the remainder carries
// over, so low rates still deliver). The timer runs only while a bulk-in
// transfer waits and there are bytes for it.
#include "modem_sim/sim.h"

extern "C" {

// Lock held.
void SimArmTimerLocked(PMODEM Modem)
{
    if (Modem->TimerArmed || Modem->TimerStopping) {
        return;
    }
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)SIM_TICK_100NS;
    Modem->TimerArmed = TRUE;
    KeSetTimer(&Modem->Timer, due, &Modem->Dpc);
}

VOID NTAPI SimRateDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    PMODEM modem = (PMODEM)Context;
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql = SimLock(modem);
    modem->TimerArmed = FALSE;
    if (modem->TimerStopping) {
        SimUnlock(modem, irql);
        KeSetEvent(&modem->TimerIdle, IO_NO_INCREMENT, FALSE);
        return;
    }
    ULONG budget = 0xFFFFFFFFUL;
    if (modem->Rate != 0) {
        modem->Credit += modem->Rate % SIM_TICKS_PER_SECOND;
        budget = modem->Rate / SIM_TICKS_PER_SECOND + modem->Credit / SIM_TICKS_PER_SECOND;
        modem->Credit %= SIM_TICKS_PER_SECOND;
    }
    SimServiceLocked(modem, budget, &done);
    SimUnlock(modem, irql);
    SimCompleteList(modem, &done);
}

// The bus is going away: no tick may run after this returns.
void SimStopTimer(PMODEM Modem)
{
    KIRQL irql = SimLock(Modem);
    Modem->TimerStopping = TRUE;
    BOOLEAN wait = FALSE;
    if (Modem->TimerArmed) {
        if (KeCancelTimer(&Modem->Timer)) {
            Modem->TimerArmed = FALSE;
        } else {
            wait = TRUE; // its DPC is due and will see TimerStopping
        }
    }
    SimUnlock(Modem, irql);
    if (wait) {
        KeWaitForSingleObject(&Modem->TimerIdle, Executive, KernelMode, FALSE, nullptr);
    }
}

} // extern "C"
