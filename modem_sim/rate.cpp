// The modem's rate: with a rate set, bytes toward the host move only on the
// ticks of a timer, at most rate * tick bytes per tick (the remainder carries
// over, so low rates still deliver). The timer runs only while a bulk-in
// transfer waits and there are bytes for it. TimerArmed covers the timer from
// the moment a caller decides to set it to the end of its DPC, which decides
// by itself whether to set it again.
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

// Lock released. A stop that finds the timer armed either cancels it or
// waits for its DPC, which cannot run before this.
void SimSetRateTimer(PMODEM Modem)
{
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
    KIRQL irql = SimLock(modem);
    if (!modem->TimerStopping) {
        ULONG budget = 0xFFFFFFFFUL;
        if (modem->Rate != 0) {
            modem->Credit += modem->Rate % SIM_TICKS_PER_SECOND;
            budget = modem->Rate / SIM_TICKS_PER_SECOND + modem->Credit / SIM_TICKS_PER_SECOND;
            modem->Credit %= SIM_TICKS_PER_SECOND;
        }
        SimServiceLocked(modem, budget, &after); // TimerArmed: no claim yet
        SimHandOffLocked(modem, &after);
        SimUnlock(modem, irql);
        SimAfterUnlock(modem, &after);
        irql = SimLock(modem);
    }
    // What was completed may have brought a transfer that waits for a tick.
    modem->TimerArmed = FALSE;
    if (SimWantsTick(modem)) {
        SimClaimTickLocked(modem, &after);
    }
    BOOLEAN wake = modem->TimerStopping;
    SimUnlock(modem, irql);
    if (after.ArmRate) {
        SimSetRateTimer(modem);
    } else if (wake) {
        // The DPC's last touch of the modem: once woken, the stop may free it.
        KeSetEvent(&modem->TimerIdle, IO_NO_INCREMENT, FALSE);
    }
}

// The bus is going away: no tick may run after this returns.
void SimStopTimer(PMODEM Modem)
{
    KIRQL irql = SimLock(Modem);
    Modem->TimerStopping = TRUE;
    BOOLEAN armed = Modem->TimerArmed;
    SimUnlock(Modem, irql);
    // Cancelled before it fired, its DPC never runs; otherwise that DPC is
    // due, running, or about to be set, and it will see TimerStopping.
    if (armed && !KeCancelTimer(&Modem->Timer)) {
        KeWaitForSingleObject(&Modem->TimerIdle, Executive, KernelMode, FALSE, nullptr);
    }
}

} // extern "C"
