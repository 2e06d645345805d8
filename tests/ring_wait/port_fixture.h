// One port device of a freshly loaded driver, and the driver's routines looked
// up by name in its image, for the ring, wait-on-mask and queue-cancel tests.
#pragma once

#include "tests/support/kernel_test.h"

#include "driver/core/core.h"
#include "driver/serial/serial.h"
#include "driver/usb/usb.h"

#include <km/harness.h>

#include <functional>

struct PortRoutines {
    decltype(::RingPut) *RingPut;
    decltype(::RingGet) *RingGet;
    decltype(::GetRingCount) *GetRingCount;
    decltype(::RingReset) *RingReset;
    decltype(::WaitOnMask) *WaitOnMask;
    decltype(::CompleteWaitRequest) *CompleteWaitRequest;
    decltype(::CancelQueue) *CancelQueue;
    decltype(::CancelAllQueues) *CancelAllQueues;
    decltype(::AcquireRemoveLock) *AcquireRemoveLock;
    decltype(::ReleaseRemoveLock) *ReleaseRemoveLock;
    decltype(::CompleteRequest) *CompleteRequest;
};

class PortTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the driver and adds one device on a fake PDO; the kernel must be
    // booted.
    void AddPort();
    // Removes the device and unloads the driver; nothing when there is none.
    void RemovePort();

    // Runs fn in a passive-level context holding the extension's Lock, as the
    // ring's callers do.
    void UnderLock(const std::function<void()> &fn);

    // Plays the device-control dispatcher for IOCTL_SERIAL_WAIT_ON_MASK: takes
    // the remove lock, runs WaitOnMask, and completes the request itself
    // unless it was queued. Returns what the dispatcher would return.
    NTSTATUS DispatchWaitOnMask(PIRP irp);
    NTSTATUS DispatchWaitOnMask(km::Request *request)
    {
        return DispatchWaitOnMask(request->irp);
    }
    km::Request *NewWaitOnMask();

    // The remove lock's count of holds besides the device's own.
    LONG RemoveLockHolds() const;

    km::Image *image = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION ext = nullptr;
    PortRoutines port = {};
};
