// USB transfer engine: URB submission, the receive ring, the bulk-in reader.
#pragma once

#include "driver/core/device_extension.h"

extern "C" {

NTSTATUS RingPut(PDEVICE_EXTENSION Extension, const UCHAR *Source, ULONG Length, PULONG Taken);
NTSTATUS RingGet(PDEVICE_EXTENSION Extension, PUCHAR Destination, ULONG Wanted, PULONG Delivered);
LONG GetRingCount(PDEVICE_EXTENSION Extension);
NTSTATUS RingReset(PDEVICE_EXTENSION Extension);

} // extern "C"
