// The receive ring: a fixed byte ring inside the device record, filled by the
// bulk-in reader and emptied by reads.
//
// RingHead equals RingTail both when the ring is empty and when it is full, so
// every fullness test looks at RingCount alone. Each operation moves its index
// first and changes RingCount last with an interlocked add, so that a reader
// of RingCount without Lock sees a whole value.
#include "driver/usb/usb.h"

static ULONG Smaller(ULONG a, ULONG b)
{
    return a < b ? a : b;
}

// Index advanced by n, wrapped at the end of the storage.
static LONG Advance(LONG index, ULONG n)
{
    ULONG next = static_cast<ULONG>(index) + n;
    if (next >= RING_CAPACITY) {
        next -= RING_CAPACITY;
    }
    return static_cast<LONG>(next);
}

NTSTATUS RingPut(PDEVICE_EXTENSION Extension, const UCHAR *Source, ULONG Length, PULONG Taken)
{
    ULONG count = static_cast<ULONG>(Extension->RingCount);
    if (count >= RING_CAPACITY) {
        *Taken = 0;
        return STATUS_UNSUCCESSFUL;
    }
    // Bytes beyond the free space are dropped; the caller sees it in *Taken.
    ULONG n = Smaller(Length, RING_CAPACITY - count);
    ULONG head = static_cast<ULONG>(Extension->RingHead);
    ULONG first = Smaller(n, RING_CAPACITY - head);
    RtlCopyMemory(&Extension->Ring[head], Source, first);
    if (n > first) {
        RtlCopyMemory(&Extension->Ring[0], Source + first, n - first);
    }
    Extension->RingHead = Advance(Extension->RingHead, n);
    *Taken = n;
    InterlockedExchangeAdd(&Extension->RingCount, static_cast<LONG>(n));
    return STATUS_SUCCESS;
}

NTSTATUS RingGet(PDEVICE_EXTENSION Extension, PUCHAR Destination, ULONG Wanted, PULONG Delivered)
{
    ULONG count = static_cast<ULONG>(Extension->RingCount);
    if (count == 0) {
        *Delivered = 0;
        return STATUS_UNSUCCESSFUL;
    }
    ULONG n = Smaller(Wanted, count);
    ULONG tail = static_cast<ULONG>(Extension->RingTail);
    ULONG first = Smaller(n, RING_CAPACITY - tail);
    RtlCopyMemory(Destination, &Extension->Ring[tail], first);
    if (n > first) {
        RtlCopyMemory(Destination + first, &Extension->Ring[0], n - first);
    }
    Extension->RingTail = Advance(Extension->RingTail, n);
    *Delivered = n;
    InterlockedExchangeAdd(&Extension->RingCount, -static_cast<LONG>(n));
    return STATUS_SUCCESS;
}

LONG GetRingCount(PDEVICE_EXTENSION Extension)
{
    return Extension->RingCount;
}

NTSTATUS RingReset(PDEVICE_EXTENSION Extension)
{
    Extension->RingHead = 0;
    Extension->RingTail = 0;
    Extension->RingCount = 0;
    return STATUS_SUCCESS;
}
