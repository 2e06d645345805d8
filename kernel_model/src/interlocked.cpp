// Interlocked operations: atomic by construction (one context runs at a
// time) and switch points, so that another processor may act just before.
#include "model.h"

using namespace km::detail;

LONG FASTCALL InterlockedIncrement(LONG volatile *Addend)
{
    SwitchPoint("InterlockedIncrement");
    return ++*Addend;
}

LONG FASTCALL InterlockedDecrement(LONG volatile *Addend)
{
    SwitchPoint("InterlockedDecrement");
    return --*Addend;
}

LONG FASTCALL InterlockedExchange(LONG volatile *Target, LONG Value)
{
    SwitchPoint("InterlockedExchange");
    LONG old = *Target;
    *Target = Value;
    return old;
}

LONG FASTCALL InterlockedExchangeAdd(LONG volatile *Addend, LONG Value)
{
    SwitchPoint("InterlockedExchangeAdd");
    LONG old = *Addend;
    *Addend = old + Value;
    return old;
}

LONG FASTCALL InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand)
{
    SwitchPoint("InterlockedCompareExchange");
    LONG old = *Destination;
    if (old == Comparand) {
        *Destination = Exchange;
    }
    return old;
}

PVOID FASTCALL InterlockedExchangePointer(PVOID volatile *Target, PVOID Value)
{
    SwitchPoint("InterlockedExchangePointer");
    PVOID old = *Target;
    *Target = Value;
    return old;
}

PVOID FASTCALL InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange, PVOID Comparand)
{
    SwitchPoint("InterlockedCompareExchangePointer");
    PVOID old = *Destination;
    if (old == Comparand) {
        *Destination = Exchange;
    }
    return old;
}
