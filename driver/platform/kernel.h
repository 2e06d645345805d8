// The one header through which driver code sees the kernel.
//
// The target build compiles against the mingw-w64 DDK headers; the host build
// compiles the same sources against the kernel model, which declares the same
// names, values and i386 record layouts. Nothing else in the driver knows which
// build it is in.
#pragma once

#if defined(ZQ_KERNEL_MODEL)

#include <km/nt.h>

#else

// wdm.h and mingw's intrinsics header both define these two in C++.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ddk/wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <ntddser.h>

// ntoskrnl.exe exports swprintf (uncounted), but wdm.h does not declare it.
extern "C" int __cdecl swprintf(wchar_t *Buffer, const wchar_t *Format, ...);

#endif

// Record sizes the driver relies on; they must hold in both builds.
static_assert(sizeof(void *) == 4, "i386 layout expected");
static_assert(sizeof(wchar_t) == 2, "WCHAR is 16 bits");
static_assert(sizeof(URB) == 96, "URB union");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk transfer URB");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe request URB");
static_assert(sizeof(IO_REMOVE_LOCK) == 24, "free-build remove lock");
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24, "full value information");
static_assert(sizeof(UNICODE_STRING) == 8, "UNICODE_STRING");
static_assert(sizeof(LIST_ENTRY) == 8, "LIST_ENTRY");
static_assert(sizeof(KEVENT) == 16, "KEVENT");
static_assert(sizeof(KTIMER) == 40, "KTIMER");
static_assert(sizeof(KDPC) == 32, "KDPC");
static_assert(sizeof(FAST_MUTEX) == 32, "FAST_MUTEX");
static_assert(sizeof(WORK_QUEUE_ITEM) == 16, "WORK_QUEUE_ITEM");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES");
static_assert(sizeof(SERIALPERF_STATS) == 24, "SERIALPERF_STATS");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS");
static_assert(sizeof(SERIAL_CHARS) == 6, "SERIAL_CHARS");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "SERIAL_LINE_CONTROL");
static_assert(sizeof(IRP) == 112, "IRP");
static_assert(sizeof(IO_STACK_LOCATION) == 36, "IO_STACK_LOCATION");
