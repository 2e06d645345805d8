#include "tests/modem_sim/sim_fixture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace sim_test {

void SimTest::SetUp()
{
    KernelTest::SetUp();
    BringUpBus();
}

void SimTest::TearDown()
{
    TearDownBus();
    KernelTest::TearDown();
}

void SimTest::BringUpBus()
{
    image_ = km::LoadDriver(ZQ_MODEM_SIM_PATH, L"zqmodemsim");
    ASSERT_EQ(STATUS_SUCCESS, image_->entryStatus);
    modem_ = std::make_unique<ModemClient>(image_);
    root_ = km::CreateRootDevice(image_);
    ASSERT_NE(nullptr, km::TopOfStack(root_)->DeviceExtension) << "the bus did not attach";
}

// As the PnP manager does: the child's stack goes before its parent's.
void SimTest::TearDownBus()
{
    if (child_ != nullptr && km::DeviceExists(child_)) {
        EXPECT_EQ(STATUS_SUCCESS, km::RemoveDevice(child_));
    }
    if (root_ != nullptr && km::DeviceExists(root_)) {
        PDEVICE_OBJECT child = child_;
        EXPECT_EQ(STATUS_SUCCESS, km::RemoveDevice(root_));
        if (child != nullptr) {
            EXPECT_FALSE(km::DeviceExists(child)) << "the bus leaves its child behind";
        }
    }
    if (image_ != nullptr) {
        km::UnloadDriver(image_);
    }
    image_ = nullptr;
    root_ = nullptr;
    child_ = nullptr;
    modem_.reset();
    transfers_.clear();
}

PDEVICE_OBJECT SimTest::StartChild()
{
    std::vector<PDEVICE_OBJECT> children = Children();
    EXPECT_EQ(1u, children.size());
    if (children.size() != 1) {
        return nullptr;
    }
    child_ = children[0];
    EXPECT_EQ(STATUS_SUCCESS, km::StartDevice(child_));
    return child_;
}

USBD_PIPE_HANDLE SimTest::Handle(PDEVICE_OBJECT child, ULONG pipe) const
{
    USBD_PIPE_HANDLE handle;
    std::memcpy(&handle, static_cast<uint8_t *>(child->DeviceExtension) + ParentPipeOffset(pipe), sizeof(handle));
    return handle;
}

Transfer *SimTest::SubmitUrb(const URB &urb, ULONG length)
{
    transfers_.emplace_back();
    Transfer *t = &transfers_.back();
    t->urb = urb;
    t->buffer.resize(length);
    if (t->urb.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && length != 0) {
        std::memcpy(t->buffer.data(), urb.UrbBulkOrInterruptTransfer.TransferBuffer, length);
        t->urb.UrbBulkOrInterruptTransfer.TransferBuffer = t->buffer.data();
    }
    t->request = km::NewRequest(child_, IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_SUBMIT_URB);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(t->request->irp);
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    stack->Parameters.Others.Argument1 = &t->urb;
    km::Run([&] { km::Dispatch(t->request); }, "function driver");
    km::RunUntilIdle(); // a transfer the modem can serve completes from its DPC
    return t;
}

Transfer *SimTest::Submit(ULONG pipe, ULONG length, const std::string &data, bool shortOk)
{
    bool out = pipe == MODEM_PIPE_BULK_OUT;
    std::vector<uint8_t> bytes(length);
    std::memcpy(bytes.data(), data.data(), std::min<size_t>(length, data.size()));
    URB urb = {};
    urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = Handle(child_, pipe);
    urb.UrbBulkOrInterruptTransfer.TransferFlags =
        (out ? 0 : USBD_TRANSFER_DIRECTION_IN) | (shortOk ? USBD_SHORT_TRANSFER_OK : 0);
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = bytes.data();
    return SubmitUrb(urb, length);
}

Transfer *SimTest::PipeRequest(USHORT function, USBD_PIPE_HANDLE handle)
{
    URB urb = {};
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = handle;
    return SubmitUrb(urb, 0);
}

NTSTATUS SimTest::SendPower(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state)
{
    km::Request *request = km::NewRequest(child_, IRP_MJ_POWER);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request->irp);
    stack->MinorFunction = minor;
    stack->Parameters.Power.Type = type;
    stack->Parameters.Power.State = state;
    km::Run([&] { km::Dispatch(request); }, "power manager");
    km::RunUntilIdle(); // what the new power state completes
    EXPECT_TRUE(request->completed);
    return request->status;
}

} // namespace sim_test
