// What the kernel model's own files share with each other (never seen by
// drivers or tests). The scheduler/verifier/pool side implements the first
// half; the services side (registry, namespace, strings, interfaces,
// formatting) implements the second.
#pragma once

#include <km/harness.h>
#include <km/nt.h>

#include <functional>
#include <string>

namespace km::detail {

// ---- verifier, faults, IRQL, pool (core side)

// Records a violation of `rule` for the running context; the context is never
// scheduled again (the call does not return to the driver when it runs in a
// context; from the test thread itself it records and returns).
void Violate(const char *rule, const std::string &message);
// True when this call of `service` is to fail; *status receives the status.
// Also counts the call for CallCount.
bool ShouldFail(const char *service, NTSTATUS *status);
KIRQL Irql();
// A violation named "IRQL" when the running context's IRQL is above `max`.
void RequireIrqlAtMost(KIRQL max, const char *routine);
// A switch point: the scheduler may run another context here.
void SwitchPoint(const char *what);
// Pool blocks as drivers see them; tracked for leaks, double free and use
// after free. ExAllocatePool/ExFreePool are built on these.
void *PoolAllocate(size_t bytes, const char *owner);
void PoolFree(void *block, const char *routine);
// A violation named "INVALID_PDO" unless `device` is a physical device
// object the PnP manager knows (routines that only PDOs may be given).
bool RequirePdo(PDEVICE_OBJECT device, const char *routine);
// Called at every Boot and Shutdown so that each file can clear its state.
void OnReset(std::function<void()> reset);

// ---- object namespace, registry (services side)

// Device names: IoCreateDevice inserts a named device, IoDeleteDevice removes
// it. STATUS_OBJECT_NAME_COLLISION when the name is taken.
NTSTATUS InsertDeviceName(const UNICODE_STRING &name, PDEVICE_OBJECT device);
void RemoveDeviceName(PDEVICE_OBJECT device);
// Follows symbolic links ("\DosDevices\COM7", "\??\COM7") to a device
// object, or nullptr.
PDEVICE_OBJECT ResolveName(const std::u16string &name);
// Registry state of a physical device object goes when it is deleted.
void ForgetDevice(PDEVICE_OBJECT device);
// ZwClose of an open symbolic-link object; false for any other handle.
bool CloseLinkHandle(HANDLE handle);

} // namespace km::detail
