#include "tests/ring_wait/ring_wait_fixture.h"

#include <gtest/gtest.h>

void PortTest::SetUp()
{
    PortFixture::SetUp();
    LoadPortDriver();
    ASSERT_EQ(image->entryStatus, STATUS_SUCCESS);
    ASSERT_NE(AddPort(), nullptr);
    // A wait-on-mask request is served only on an open port.
    ext->PortOpen = TRUE;
}

km::Request *PortTest::NewWaitOnMask()
{
    return km::NewRequest(fdo, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
}

NTSTATUS PortTest::DispatchWaitOnMask(PIRP irp)
{
    NTSTATUS status = port.AcquireRemoveLock(ext, irp);
    if (!NT_SUCCESS(status)) {
        return port.CompleteRequest(irp, status);
    }
    status = port.WaitOnMask(ext, irp);
    if (status == STATUS_PENDING) {
        return status;
    }
    // Found cancelled while being queued: it was marked pending.
    bool markedPending = (IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED) != 0;
    port.ReleaseRemoveLock(ext, irp);
    port.CompleteRequest(irp, status);
    return markedPending ? STATUS_PENDING : status;
}
