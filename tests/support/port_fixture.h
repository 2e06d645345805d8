// The fixture of the port driver's host tests: a freshly loaded driver image,
// its routines looked up by name, and port devices added on fake physical
// device objects. Ports still present at the end are taken down (by default
// without Plug and Play) and the image is unloaded before the kernel goes.
#pragma once

#include "tests/support/kernel_test.h"

#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"
#include "driver/serial/serial.h"
#include "driver/usb/usb.h"

#include <km/harness.h>

#include <functional>
#include <string>
#include <vector>

// The driver routines the tests call directly. A routine missing from the
// image fails the test at load.
#define PORT_ROUTINES(X)                                                                                               \
    X(AddDevice)                                                                                                       \
    X(AllocateUnicodeString)                                                                                           \
    X(IncrementIo)                                                                                                     \
    X(DecrementIo)                                                                                                     \
    X(WaitForIdle)                                                                                                     \
    X(SyncForwardToLower)                                                                                              \
    X(ForwardAndWait)                                                                                                  \
    X(CompleteRequest)                                                                                                 \
    X(AcquireRemoveLock)                                                                                               \
    X(ReleaseRemoveLock)                                                                                               \
    X(IsDeviceUnusable)                                                                                                \
    X(RingPut)                                                                                                         \
    X(WaitOnMask)                                                                                                      \
    X(CompleteWaitRequest)                                                                                             \
    X(CancelQueue)                                                                                                     \
    X(CancelAllQueues)

struct PortRoutines {
#define PORT_ROUTINE_FIELD(name) decltype(::name) *name;
    PORT_ROUTINES(PORT_ROUTINE_FIELD)
#undef PORT_ROUTINE_FIELD
};

// Pipe handles a fake parent leaves in its child's extension (ParentPipeOffset);
// their top byte is set, so that a handle copied short shows.
const ULONG_PTR PipeHandleTop = static_cast<ULONG_PTR>(0xA5) << (8 * sizeof(ULONG_PTR) - 8);
const ULONG_PTR BulkInHandle = PipeHandleTop | 0x1100;
const ULONG_PTR BulkOutHandle = PipeHandleTop | 0x2200;
const ULONG_PTR AuxHandle = PipeHandleTop | 0x3300;

inline const wchar_t *W(const std::u16string &s)
{
    return reinterpret_cast<const wchar_t *>(s.c_str());
}

// The length in bytes of a "PortName" value holding the name and its
// terminating zero.
inline ULONG PortNameBytes(const std::u16string &name)
{
    return static_cast<ULONG>((name.size() + 1) * sizeof(char16_t));
}

class PortFixture : public KernelTest {
protected:
    void TearDown() override;

    // Loads the driver (DriverEntry runs) and looks up its routines. The
    // image is kept even when DriverEntry fails; entryStatus tells.
    void LoadPortDriver();
    // Takes the remaining ports down (TakeDown) and unloads the image.
    void UnloadPortDriver();

    // A fake bus PDO: a plain one, or one whose extension holds the pipe
    // handles and whose hardware key has a "PortName" of exactly these bytes.
    PDEVICE_OBJECT CreatePortPdo();
    PDEVICE_OBJECT CreatePortPdo(const void *portName, ULONG length);
    // Adds the port's device on pdo; on success it becomes pdo, fdo and ext
    // and is returned, else the test fails and nullptr is returned.
    PDEVICE_OBJECT AddPortOn(PDEVICE_OBJECT pdo);
    PDEVICE_OBJECT AddPort()
    {
        return AddPortOn(CreatePortPdo());
    }
    // A port whose "PortName" is the name with its terminating zero.
    PDEVICE_OBJECT AddPort(const std::u16string &portName);

    // Takes the port's device away as the removal path would, without Plug
    // and Play: interface name, DeviceName, detach, delete.
    void DeletePort(PDEVICE_OBJECT port);
    // How the fixture takes a port down at the end; a suite about Plug and
    // Play removes it through the PnP manager instead.
    virtual void TakeDown(PDEVICE_OBJECT port)
    {
        DeletePort(port);
    }

    // Runs fn in a passive-level context holding ext->Lock.
    void UnderLock(const std::function<void()> &fn);
    // The remove lock's count of holds besides the device's own.
    LONG RemoveLockHolds() const
    {
        return ext->RemoveLock.Common.IoCount - 1;
    }
    LONG InstanceCounter() const
    {
        return *km::SymbolAs<LONG>(image, "InstanceCounter");
    }

    km::Image *image = nullptr;
    PortRoutines port = {};
    // The latest port added.
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION ext = nullptr;
    // Every port added since the load, in order (some may be gone).
    std::vector<PDEVICE_OBJECT> ports;
};

// From a context: lets the others run, for `count` switch points that touch
// nothing, or until `done` holds (at most 10000); returns whether it held.
void PassSwitchPoints(uint64_t count);
bool SpinUntil(const std::function<bool()> &done);

// What IoCancelIrp does, step by step, with the window of a real processor
// between setting Cancel and taking the routine (and, when beforeRoutine is
// given, between taking the routine and calling it, where beforeRoutine sees
// the request). Tells whether the routine was already in place when Cancel
// was set; returns whether a routine ran.
BOOLEAN CancelInSteps(km::Request *request, bool *routineWasSet,
                      const std::function<void(PIRP)> &beforeRoutine = nullptr);
