// The simulated modem bus on a root device enumerated by the model's PnP
// manager; the test starts the child (no function driver is registered for
// it) and plays the function driver, sending URBs to it.
#pragma once

#include "platform/kernel.h"
#include "tests/modem_sim/modem_client.h"
#include "tests/support/kernel_test.h"

#include <km/harness.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace sim_test {

// One URB and its buffer, alive until the test ends.
struct Transfer {
    URB urb = {};
    std::vector<uint8_t> buffer;
    km::Request *request = nullptr;

    bool Done() const
    {
        return request->completed;
    }
    NTSTATUS Status() const
    {
        return request->status;
    }
    USBD_STATUS Usbd() const
    {
        return urb.UrbHeader.Status;
    }
    ULONG Length() const
    {
        return urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    std::string Bytes() const
    {
        return std::string(buffer.begin(), buffer.begin() + Length());
    }
};

class SimTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the bus driver and starts it on a new root device.
    void BringUpBus();
    void TearDownBus();

    // The children the PnP manager knows after the bus's latest answer.
    std::vector<PDEVICE_OBJECT> Children() const
    {
        return km::Children(root_);
    }
    // The one reported child, started.
    PDEVICE_OBJECT StartChild();
    USBD_PIPE_HANDLE Handle(PDEVICE_OBJECT child, ULONG pipe) const;

    // A bulk transfer on the pipe: in for bulk-in and aux, out (with `data`)
    // for bulk-out, with USBD_SHORT_TRANSFER_OK unless told otherwise.
    // Dispatched to the child in a context of its own; returns once nothing
    // more can run (a transfer the modem can serve is done).
    Transfer *Submit(ULONG pipe, ULONG length, const std::string &data = std::string(), bool shortOk = true);
    Transfer *SubmitUrb(const URB &urb, ULONG length);
    // Abort or reset of a pipe; returns the request's status.
    Transfer *PipeRequest(USHORT function, USBD_PIPE_HANDLE handle);
    NTSTATUS Abort(ULONG pipe)
    {
        return PipeRequest(URB_FUNCTION_ABORT_PIPE, Handle(child_, pipe))->Status();
    }
    NTSTATUS Reset(ULONG pipe)
    {
        return PipeRequest(URB_FUNCTION_RESET_PIPE, Handle(child_, pipe))->Status();
    }
    // A power request to the child; returns its final status.
    NTSTATUS SendPower(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

    km::Image *image_ = nullptr;
    PDEVICE_OBJECT root_ = nullptr;
    PDEVICE_OBJECT child_ = nullptr;
    std::unique_ptr<ModemClient> modem_;
    std::deque<Transfer> transfers_;
};

} // namespace sim_test
