// A loaded port driver with one device on a fake bus PDO, whose handling of
// PnP requests the test may take over.
#pragma once

#include "driver/core/device_extension.h"
#include "tests/support/kernel_test.h"

#include <km/harness.h>

#include <functional>
#include <string>
#include <vector>

namespace pnp_test {

// Pipe handles the fake parent leaves in its child's extension.
const ULONG BulkInHandle = 0x1100;
const ULONG BulkOutHandle = 0x2200;
const ULONG AuxHandle = 0x3300;

inline const wchar_t *W(const std::u16string &s)
{
    return reinterpret_cast<const wchar_t *>(s.c_str());
}

class PnpTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Adds a device whose "PortName" holds exactly these bytes.
    void AddPortBytes(const void *portName, ULONG length, bool controlBus = false);
    // Adds a device whose "PortName" is the name with its terminating zero.
    void AddPort(const std::u16string &name, bool controlBus = false);
    void Remove();
    void ControlBus();

    DeviceExtension *Ext() const
    {
        return static_cast<DeviceExtension *>(fdo_->DeviceExtension);
    }
    NTSTATUS Send(UCHAR minor)
    {
        return km::SendPnp(pdo_, minor);
    }
    // The SERIALCOMM value of this device, empty when there is none.
    std::vector<uint8_t> DeviceMapValue(ULONG *type = nullptr) const;
    bool InterfaceEnabled() const;
    template <class F> F *Routine(const char *name)
    {
        return km::SymbolAs<F>(image_, name);
    }

    km::Image *image_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    std::u16string deviceName_;
    // With ControlBus, the bus completes this PnP minor with failMinorStatus_,
    // after calling answer_ if set (-1: none).
    int failMinor_ = -1;
    NTSTATUS failMinorStatus_ = STATUS_UNSUCCESSFUL;
    std::function<void(PIO_STACK_LOCATION)> answer_;
};

} // namespace pnp_test
