// Defines GUID_DEVINTERFACE_COMPORT for the real image; it must be defined in
// exactly one translation unit. The kernel model defines it for host builds.
#if !defined(ZQ_KERNEL_MODEL)
// ntddser.h needs the base types; it must still be the first inclusion of
// ntddser.h, so that its DEFINE_GUID sees INITGUID.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ddk/wdm.h>
#include <initguid.h>
#include <ntddser.h>
#endif
