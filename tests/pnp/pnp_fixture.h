// A loaded port driver with devices on fake bus PDOs that the PnP manager
// takes away at the end, and whose handling of PnP requests the test may take
// over.
#pragma once

#include "tests/support/port_fixture.h"

#include <functional>
#include <string>
#include <vector>

namespace pnp_test {

class PnpTest : public PortFixture {
protected:
    void SetUp() override;
    // Removes the port through the PnP manager (query-remove, remove).
    void TakeDown(PDEVICE_OBJECT port) override;

    // Adds a device whose "PortName" holds exactly these bytes.
    void AddPortBytes(const void *portName, ULONG length, bool controlBus = false);
    // AddPort() on a plain PDO stays available; the named forms below also
    // keep the device's name and replace the fixture's one-argument form.
    using PortFixture::AddPort;
    // Adds a device whose "PortName" is the name with its terminating zero.
    void AddPort(const std::u16string &name)
    {
        AddPort(name, false);
    }
    void AddPort(const std::u16string &name, bool controlBus);
    // Removes the latest port through the PnP manager.
    void Remove()
    {
        TakeDown(fdo);
    }
    void ControlBus();

    NTSTATUS Send(UCHAR minor)
    {
        return km::SendPnp(pdo, minor);
    }
    // The SERIALCOMM value of this device, empty when there is none.
    std::vector<uint8_t> DeviceMapValue(ULONG *type = nullptr) const;
    bool InterfaceEnabled() const;

    // The latest port's name, kept: the device frees its own at removal.
    std::u16string deviceName;
    // With ControlBus, the bus completes this PnP minor with failMinorStatus_,
    // after calling answer_ if set (-1: none).
    int failMinor_ = -1;
    NTSTATUS failMinorStatus_ = STATUS_UNSUCCESSFUL;
    std::function<void(PIO_STACK_LOCATION)> answer_;
};

} // namespace pnp_test
