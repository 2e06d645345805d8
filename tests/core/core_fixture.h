// A freshly loaded driver image, its core routines looked up by name, and
// port devices added on fake physical device objects.
#pragma once

#include "tests/support/kernel_test.h"

#include "driver/core/core.h"

#include <km/harness.h>

#include <vector>

struct CoreRoutines {
    decltype(::AddDevice) *AddDevice;
    decltype(::AllocateUnicodeString) *AllocateUnicodeString;
    decltype(::DispatchForward) *DispatchForward;
    decltype(::CopyAndPassDown) *CopyAndPassDown;
    decltype(::IncrementIo) *IncrementIo;
    decltype(::DecrementIo) *DecrementIo;
    decltype(::WaitForIdle) *WaitForIdle;
    decltype(::SyncForwardToLower) *SyncForwardToLower;
    decltype(::ForwardAndWait) *ForwardAndWait;
    decltype(::CompleteRequest) *CompleteRequest;
    decltype(::CompleteRequestWithInformation) *CompleteRequestWithInformation;
};

class CoreTest : public KernelTest {
protected:
    void TearDown() override;

    // Loads the driver (DriverEntry runs) and looks up its routines.
    void LoadCore();
    // A new fake PDO with the port's device added on top; fails the test if
    // AddDevice does. Returns the port's device object.
    PDEVICE_OBJECT AddPort();
    // Takes the port's device object away again as the removal path would,
    // without going through Plug and Play: interface name, DeviceName,
    // detach, delete.
    void DeletePort(PDEVICE_OBJECT fdo);
    LONG InstanceCounter() const;

    km::Image *image = nullptr;
    CoreRoutines core = {};
    std::vector<PDEVICE_OBJECT> ports;
};

inline PDEVICE_EXTENSION Ext(PDEVICE_OBJECT fdo)
{
    return static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
}
