// The modem's rate: with a rate set, bytes toward the host move only on the
// ticks of a timer, at most rate * tick bytes per tick (the remainder carries
// over, so low rates still deliver). The timer runs only while a bulk-in
// transfer waits and there are bytes for it.
#include "modem_sim/sim.h"

extern "C" {

// Lock held: the caller sets the timer once it has released the lock.
void SimClaimTickLocked(PMODEM Modem, PSIM_AFTER After)
{
    if (Modem->TimerArmed || Modem->TimerStopping) {
        return;
    }
    Modem->TimerArmed = TRUE;
    After->ArmRate = TRUE;
}

// Lock released. Cancelled before it is set, as the completion timer is: in
// Wine 8, KeSetTimer on a timer whose callback is still finishing waits for it
// while holding what that callback's end needs, and KeCancelTimer waits
// without it. The timer's own DPC cannot wait for itself: it sets the timer
// again directly, for a transfer that was already pending when its tick ran
// out of bytes (the port's reader sends its next transfer from a work item,
// so in Wine that DPC leaves none pending).
void SimSetRateTimer(PMODEM Modem, BOOLEAN FromItsDpc)
{
    if (!FromItsDpc) {
        KeCancelTimer(&Modem->Timer);
    }
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)SIM_TICK_100NS;
    KeSetTimer(&Modem->Timer, due, &Modem->Dpc);
}

VOID NTAPI SimRateDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    PMODEM modem = (PMODEM)Context;
    SIM_AFTER after;
    SimInitializeAfter(&after);
    after.InRateDpc = TRUE;
    KIRQL irql = SimLock(modem);
    modem->TimerArmed = FALSE;
    modem->TimerRunning = TRUE;
    if (!modem->TimerStopping) {
        ULONG budget = 0xFFFFFFFFUL;
        if (modem->Rate != 0) {
            modem->Credit += modem->Rate % SIM_TICKS_PER_SECOND;
            budget = modem->Rate / SIM_TICKS_PER_SECOND + modem->Credit / SIM_TICKS_PER_SECOND;
            modem->Credit %= SIM_TICKS_PER_SECOND;
        }
        SimServiceLocked(modem, budget, &after);
        SimHandOffLocked(modem, &after);
        SimUnlock(modem, irql);
        SimAfterUnlock(modem, &after);
        irql = SimLock(modem);
    }
    modem->TimerRunning = FALSE;
    BOOLEAN wake = modem->TimerStopping;
    SimUnlock(modem, irql);
    if (wake) {
        // The DPC's last touch of the modem: once woken, the stop may free it.
        KeSetEvent(&modem->TimerIdle, IO_NO_INCREMENT, FALSE);
    }
}

// The bus is going away, its child gone: no transfer asks for a tick, so
// nothing sets the timer from here on, and no tick may run after this
// returns. A timer cancelled before it fired runs no DPC; one that fired has
// its DPC due or running, and that DPC sees TimerStopping.
void SimStopTimer(PMODEM Modem)
{
    KIRQL irql = SimLock(Modem);
    Modem->TimerStopping = TRUE;
    BOOLEAN armed = Modem->TimerArmed;
    BOOLEAN running = Modem->TimerRunning;
    SimUnlock(Modem, irql);
    if (armed && KeCancelTimer(&Modem->Timer)) {
        armed = FALSE;
    }
    if (armed || running) {
        KeWaitForSingleObject(&Modem->TimerIdle, Executive, KernelMode, FALSE, nullptr);
    }
}

} // extern "C"
