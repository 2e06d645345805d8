// The one header through which kernel code sees the kernel: the port driver
// and the simulated modem's bus driver alike.
//
// The target build compiles against the mingw-w64 DDK headers; the host build
// compiles the same sources against the kernel model, which declares the same
// names, values and record layouts (i386 or x64, as the build's target).
// Nothing else in the driver knows which build it is in.
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

// Record sizes the driver relies on; they must hold in both builds, with the
// i386 DDK's sizes in the 32-bit builds and the x64 DDK's in the 64-bit ones.
#define ZQ_I386_X64(i386, x64) (sizeof(void *) == 8 ? (x64) : (i386))
static_assert(sizeof(void *) == 4 || sizeof(void *) == 8, "i386 or x64 layout expected");
static_assert(sizeof(wchar_t) == 2, "WCHAR is 16 bits");
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LONG and ULONG are 32 bits (LLP64 on x64)");
static_assert(sizeof(ULONG_PTR) == sizeof(void *), "ULONG_PTR is pointer-sized");
static_assert(sizeof(URB) == ZQ_I386_X64(96, 152), "URB union");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == ZQ_I386_X64(72, 128), "bulk transfer URB");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == ZQ_I386_X64(24, 40), "pipe request URB");
static_assert(sizeof(IO_REMOVE_LOCK) == ZQ_I386_X64(24, 32), "free-build remove lock");
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24, "full value information");
static_assert(sizeof(UNICODE_STRING) == ZQ_I386_X64(8, 16), "UNICODE_STRING");
static_assert(sizeof(LIST_ENTRY) == ZQ_I386_X64(8, 16), "LIST_ENTRY");
static_assert(sizeof(KEVENT) == ZQ_I386_X64(16, 24), "KEVENT");
static_assert(sizeof(KTIMER) == ZQ_I386_X64(40, 64), "KTIMER");
static_assert(sizeof(KDPC) == ZQ_I386_X64(32, 64), "KDPC");
static_assert(sizeof(FAST_MUTEX) == ZQ_I386_X64(32, 56), "FAST_MUTEX");
static_assert(sizeof(WORK_QUEUE_ITEM) == ZQ_I386_X64(16, 32), "WORK_QUEUE_ITEM");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES");
static_assert(sizeof(SERIALPERF_STATS) == 24, "SERIALPERF_STATS");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS");
static_assert(sizeof(SERIAL_CHARS) == 6, "SERIAL_CHARS");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "SERIAL_LINE_CONTROL");
static_assert(sizeof(IRP) == ZQ_I386_X64(112, 208), "IRP");
static_assert(sizeof(IO_STACK_LOCATION) == ZQ_I386_X64(36, 72), "IO_STACK_LOCATION");
