// One port device of a freshly loaded driver for the wait-on-mask and queue-cancel tests,
// with the device-control dispatcher's part in a wait-on-mask request played by the test.
#pragma once

#include "tests/support/port_fixture.h"

class PortTest : public PortFixture {
protected:
    void SetUp() override;

    // Plays the device-control dispatcher for IOCTL_SERIAL_WAIT_ON_MASK: takes
    // the remove lock, runs WaitOnMask, and completes the request itself
    // unless it was queued. Returns what the dispatcher would return.
    NTSTATUS DispatchWaitOnMask(PIRP irp);
    NTSTATUS DispatchWaitOnMask(km::Request *request)
    {
        return DispatchWaitOnMask(request->irp);
    }
    km::Request *NewWaitOnMask();
};
