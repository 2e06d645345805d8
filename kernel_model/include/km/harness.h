// The kernel model's face toward tests: boot a fresh kernel, load drivers,
// run contexts under the deterministic scheduler, play the PnP manager and the
// I/O manager, inject faults, and read what the verifier saw.
//
// Everything here is host-only C++; drivers never include this header.
#pragma once

#include <km/nt.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace km {

// ---------------------------------------------------------------- lifetime

struct Options {
    uint64_t seed = 0;  // 0: take ZQ_SEED from the environment, else 1
    int processors = 2; // simulated processors
    bool wdm10 = true;  // what IoIsWdmVersionAvailable(1, 0) answers
};

// A fresh kernel: no objects, no pool, empty registry and namespace, clock 0.
void Boot(const Options &options = Options());
// Runs until idle, then checks for leaked pool, IRPs and device objects
// (recorded as violations) and tears everything down.
void Shutdown();
uint64_t Seed();

// ---------------------------------------------------------------- scheduling

struct Context;

// Runs fn as a new passive-level thread and schedules every context until fn
// has returned; other contexts interleave at switch points. When fn's context
// is blocked and nothing can run, the clock jumps to the next timer or wait
// deadline; only when nothing is armed or queued that could end the wait has
// the run deadlocked: a "DEADLOCK" violation naming who waits for what is
// recorded and Run returns. (A wait that only a periodic timer keeps alive
// goes on as long as the timer runs, as it would on Windows.)
void Run(std::function<void()> fn, const char *name = "test");
// Starts a passive-level thread without waiting for it.
Context *Spawn(std::function<void()> fn, const char *name);
bool Finished(const Context *context);
// Runs every runnable context until none can run. The clock does not move.
void RunUntilIdle();
// While held, DPCs queued and not yet started do not run, as on processors kept
// busy above DISPATCH_LEVEL; released, they run as usual. Forces the
// interleavings in which a DPC is owed while other work goes on.
void HoldDpcs(bool hold);
// Moves the clock forward, firing due timers in order and running to idle
// after each; units of 100 ns.
void AdvanceClock(int64_t hundredNs);
inline void AdvanceMs(int64_t ms)
{
    AdvanceClock(ms * 10000);
}
int64_t Now();       // virtual time, 100 ns units
KIRQL CurrentIrql(); // of the running context
// One line per scheduling decision and kernel event; the same seed gives
// the same trace.
const std::vector<std::string> &Trace();

// ---------------------------------------------------------------- verifier

struct Violation {
    std::string rule;    // e.g. "DOUBLE_COMPLETE"
    std::string message; // what happened, with names and serials, never addresses
    std::string context; // the context's name and its call stack
};
const std::vector<Violation> &Violations();
void ClearViolations();
bool HasViolation(const std::string &rule);
// The kernel stack a driver's own frames may take, in bytes (0: this build
// does not measure it; the sanitizer build's frames carry red zones). The
// model's frames between them do not count; a driver whose own frames, summed
// over the levels of a completion that sends again and is completed at once,
// pass it breaks "STACK_NESTING", any other "STACK_DEPTH". Measured where
// driver code calls the kernel.
size_t StackBudget();

// ---------------------------------------------------------------- faults

// The nth call (1-based, counted from now) of the named kernel service fails:
// it returns `status`, or NULL / FALSE for services that return a pointer or
// a boolean. Names are the routines' own, e.g. "ExAllocatePool",
// "IoAllocateIrp", "IoCreateDevice", "IoAttachDeviceToDeviceStack",
// "IoRegisterDeviceInterface", "IoOpenDeviceRegistryKey", "ZwQueryValueKey",
// "IoCreateUnprotectedSymbolicLink", "RtlWriteRegistryValue",
// "PoRequestPowerIrp".
void FailCall(const char *service, int nth, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void ClearFaults();
int CallCount(const char *service);

// ---------------------------------------------------------------- pool, debug output

// Pool blocks (ExAllocatePool, IoAllocateWorkItem) not freed yet.
size_t PoolBlocksInUse();
// Each DbgPrint call, formatted, in order.
const std::vector<std::string> &DebugOutput();
void ClearDebugOutput();

// ---------------------------------------------------------------- driver images

struct Image {
    void *handle = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS entryStatus = STATUS_UNSUCCESSFUL;
    std::string path;
};
// Loads the image (dlopen, RTLD_LOCAL), creates its driver object and calls
// DriverEntry on a system thread. Returns the image even when DriverEntry
// fails (entryStatus tells).
Image *LoadDriver(const std::string &path, const wchar_t *serviceName);
// Calls DriverUnload (if set) and closes the image. The caller makes sure the
// driver's devices are gone first, as the kernel does. What the kernel would
// still call in the image afterwards (an armed timer, a queued DPC or work
// item, a pending IRP's completion or cancel routine or power callback) is
// an "UNLOAD_PENDING_WORK" violation, and pool the driver still holds a
// "POOL_LEAK", both reported at the unload.
void UnloadDriver(Image *image);
void *Symbol(Image *image, const char *name);
template <class T> T *SymbolAs(Image *image, const char *name)
{
    return reinterpret_cast<T *>(Symbol(image, name));
}

// ---------------------------------------------------------------- fake drivers

// A driver written in the test: every major function of its devices goes to
// the device's handler (IRP_MJ_PNP included), called in the sending context.
using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
PDRIVER_OBJECT CreateFakeDriver(const wchar_t *name);
PDEVICE_OBJECT CreateFakeDevice(PDRIVER_OBJECT driver, ULONG extensionSize, Handler handler,
                                const wchar_t *name = nullptr);
void SetHandler(PDEVICE_OBJECT device, Handler handler);
// A physical device object of a fake bus driver: it completes every request
// with the status the request carries (success for start, stop, removal,
// query and cancel requests; capabilities filled with Version 1), and deletes
// itself when the PnP manager is done with it. A test may replace its handler.
PDEVICE_OBJECT CreatePdo(ULONG extensionSize = 64);

// ---------------------------------------------------------------- PnP manager

// Calls the driver's AddDevice for pdo on a system thread.
NTSTATUS AddDevice(Image *image, PDEVICE_OBJECT pdo);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT pdo);
// Sends one PnP request (IoStatus.Status starts as STATUS_NOT_SUPPORTED) to
// the top of pdo's stack on a system thread and waits for its completion.
// `setup` may fill the stack location's parameters before the send.
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> setup = nullptr,
                 ULONG_PTR *information = nullptr);
// Whole sequences as the PnP manager of Windows 2000/XP runs them; tests use
// these rather than orders of their own. PnP operations (these, SendPnp,
// AddDevice, enumeration, the removal after a last close, system power
// transitions) run one at a time in arrival order, as from the PnP manager's
// single worker. Each returns the status of the request that decided it.
//
// Start: IRP_MN_START_DEVICE. When it fails, IRP_MN_REMOVE_DEVICE follows at
// once, without a query: the function driver must undo its AddDevice. The
// PDO stays (the device is still there).
NTSTATUS StartDevice(PDEVICE_OBJECT pdo);
// Removal (uninstall): the children's stacks first, then query-remove and
// remove, or cancel-remove after a veto. A model PDO is deleted afterwards.
NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo);
// Disable (Device Manager): as the removal, but the PDO stays with its bus.
NTSTATUS DisableDevice(PDEVICE_OBJECT pdo);
// Eject: as the removal, then IRP_MN_EJECT to the PDO, which is all that is
// left of the stack. A model PDO leaves; a bus driver's child is expected to
// drop out of its bus relations, after which the PnP manager sends the PDO
// its last IRP_MN_REMOVE_DEVICE.
NTSTATUS EjectDevice(PDEVICE_OBJECT pdo);
// Surprise removal (the children's first); IRP_MN_REMOVE_DEVICE follows once
// no handle is open on the stack. A stack already removed (disabled, failed
// start) gets only that remove. Returns the surprise removal's status.
NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo);
// Stop: query-stop, then stop (or cancel-stop after a veto). Windows stops a
// device only to start it again: StartDevice or RebalanceDevice follows.
NTSTATUS StopDevice(PDEVICE_OBJECT pdo);
// Stop for rebalance: the stop above, then a start (a failed one removes
// the stack as StartDevice does).
NTSTATUS RebalanceDevice(PDEVICE_OBJECT pdo);
// Not deleted. A device object deleted while still referenced (an open
// handle) is DeletePending: its memory stays and its dispatch routines are
// still called, as on Windows, until the last reference goes.
bool DeviceExists(PDEVICE_OBJECT device);
bool DeletePending(PDEVICE_OBJECT device);

// ---------------------------------------------------------------- power manager

// System power transitions as the power manager of Windows 2000/XP runs
// them, one at a time with PnP operations. Going down (sleep S1-S3,
// hibernate S4): IRP_MN_QUERY_POWER for the target state to every stack,
// children before their parents, then IRP_MN_SET_POWER in the same order.
// A query that any driver fails vetoes the transition: every stack that was
// queried gets IRP_MN_SET_POWER for S0 (parents first) to reaffirm the
// working state, and the failing status is returned. Going up (resume):
// IRP_MN_SET_POWER for S0, parents before children. Each request goes to the
// top of a stack through PoCallDriver and is waited for; device power
// requests are the drivers' own (PoRequestPowerIrp, whose callback may run
// before it returns). Stacks that were removed or surprise-removed get
// nothing. Power requests are serialised per device as on Windows 2000/XP:
// a device's next set/query request of a power type is held until
// PoStartNextPowerIrp was called for the current one.
NTSTATUS SystemSleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
NTSTATUS SystemHibernate();
NTSTATUS SystemResume();
SYSTEM_POWER_STATE SystemPower();
// The device power state its driver last reported with PoSetPowerState.
DEVICE_POWER_STATE DevicePower(PDEVICE_OBJECT device);
// A model PDO (CreatePdo) fails its next `count` system query-power requests
// with `status`: the veto of a driver, on demand.
void VetoSystemQueries(PDEVICE_OBJECT pdo, int count, NTSTATUS status = STATUS_UNSUCCESSFUL);

// Bus enumeration. A function driver registered for a hardware ID is loaded
// on every child whose IRP_MN_QUERY_ID (BusQueryHardwareIDs) answer holds
// that ID (compared without case): AddDevice, then start.
void RegisterFunctionDriver(const wchar_t *hardwareId, Image *image);
// A root-enumerated device for a bus driver image: a PDO owned by the model,
// the bus driver's AddDevice, start, then a first enumeration. Returns the PDO.
PDEVICE_OBJECT CreateRootDevice(Image *busDriver, ULONG extensionSize = 0);
// Asks the bus for IRP_MN_QUERY_DEVICE_RELATIONS / BusRelations: a new child
// gets its function driver and is started; a child missing from the answer
// gets IRP_MN_SURPRISE_REMOVAL, then IRP_MN_REMOVE_DEVICE once its handles are
// closed. IoInvalidateDeviceRelations(pdo, BusRelations) runs this on a
// system thread.
void EnumerateBus(PDEVICE_OBJECT busPdo);
// The children the PnP manager knows of (reported and not yet gone).
std::vector<PDEVICE_OBJECT> Children(PDEVICE_OBJECT busPdo);

// ---------------------------------------------------------------- I/O manager

// A request as an originator sees it: the I/O manager's bookkeeping of one IRP.
struct Request {
    PIRP irp = nullptr;
    bool completed = false;
    int completions = 0;
    NTSTATUS status = STATUS_PENDING;   // final IoStatus.Status: the caller's status block
    ULONG_PTR information = 0;          // final IoStatus.Information
    std::vector<uint8_t> output;        // the caller's output bytes (copied back for buffered I/O)
    NTSTATUS returned = STATUS_PENDING; // what the dispatch routine returned
    uint64_t order = 0;                 // 1, 2, ...: when it completed among all requests since the boot
    uint64_t sentAfter = 0;             // how many requests of the boot had completed when it was sent

    // What ReadFile, WriteFile and DeviceIoControl report: the dispatch
    // routine's return value unless it was STATUS_PENDING, else the final
    // status (once completed).
    NTSTATUS Reported() const
    {
        return returned != STATUS_PENDING ? returned : status;
    }
};

// Builds an IRP as the I/O manager would before dispatching it to `device`:
// one stack location per device in its stack, the current location set up
// for `device` with `major` (and the control code for device controls), a
// system buffer of max(inLength, outLength) bytes holding `input` and
// uninitialised (a fill pattern) beyond it. The test can then hand irp to a
// driver routine directly; its completion is recorded in the Request.
Request *NewRequest(PDEVICE_OBJECT device, UCHAR major, ULONG ioControlCode = 0, const void *input = nullptr,
                    ULONG inLength = 0, ULONG outLength = 0);
// Sends the request to the device's dispatch routine (in the current context);
// returns what the dispatch routine returned.
NTSTATUS Dispatch(Request *request);
// IoCancelIrp on the request, in the current context.
BOOLEAN Cancel(Request *request);

struct Handle;
// CreateFile on a name in the object namespace ("\Device\X" or a
// "\DosDevices\COMn" link): IRP_MJ_CREATE to the top of the stack. Exclusive
// devices refuse a second open with STATUS_ACCESS_DENIED.
NTSTATUS Open(const wchar_t *name, Handle **handle);
// Asynchronous requests on a handle: the I/O manager builds the IRP,
// dispatches it in the current context and returns at once. Buffers as on
// Windows: a read or write gets a system buffer when the top device has
// DO_BUFFERED_IO, else the caller's buffer in Irp->UserBuffer, with an MDL
// for it (Irp->MdlAddress) when the device has DO_DIRECT_IO. A
// METHOD_BUFFERED control gets one system buffer of the larger length
// holding the input; METHOD_IN/OUT_DIRECT a system buffer holding only the
// input and an MDL for the output; METHOD_NEITHER the caller's own buffers
// (Type3InputBuffer, UserBuffer). System buffers are uninitialised special
// pool (a fill pattern: a driver that reports more bytes than it wrote hands
// the pattern back), so a write past one is a POOL_OVERRUN at the write; the
// caller's own buffers are guarded, and a write past one is a POOL_OVERRUN
// when the request ends.
Request *ReadAsync(Handle *handle, ULONG length);
Request *WriteAsync(Handle *handle, const void *data, ULONG length);
Request *IoctlAsync(Handle *handle, ULONG code, const void *input, ULONG inLength, ULONG outLength);
Request *MajorAsync(Handle *handle, UCHAR major); // e.g. IRP_MJ_QUERY_INFORMATION, IRP_MJ_FLUSH_BUFFERS
// Blocks the current context until the request has completed.
void Wait(Request *request);
// CloseHandle: IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once the handle's requests
// have completed.
NTSTATUS Close(Handle *handle);
// CloseHandle's first half alone: IRP_MJ_CLEANUP, returning its status. The
// handle still carries requests (as one issued by another thread just before
// the close would reach the driver after the cleanup); a later Close sends
// only IRP_MJ_CLOSE.
NTSTATUS Cleanup(Handle *handle);

// ---------------------------------------------------------------- registry and namespace

// The device's hardware key (PLUGPLAY_REGKEY_DEVICE) of a PDO.
void SetDeviceValue(PDEVICE_OBJECT pdo, const wchar_t *name, ULONG type, const void *data, ULONG length);
void DeleteDeviceValue(PDEVICE_OBJECT pdo, const wchar_t *name);
// Values under HKLM\HARDWARE\DEVICEMAP\<path>.
bool GetDeviceMapValue(const wchar_t *path, const wchar_t *name, std::vector<uint8_t> *data, ULONG *type = nullptr);
// Registry key handles open now (ZwClose not yet called). Handles still open
// at Shutdown are a "HANDLE_LEAK" violation.
size_t OpenKeyHandles();
// The device instance path of a PDO ("USB\VID_1234&PID_5678\6&1a2b&0&2"),
// which names its interfaces. Without one a PDO gets "ROOT\PORTS\0000",
// "ROOT\PORTS\0001", ... in the order of first registration.
void SetInstancePath(PDEVICE_OBJECT pdo, const wchar_t *instancePath);
// Symbolic links: the target of a link, or empty when there is none.
std::u16string LinkTarget(const wchar_t *link);
void CreateLink(const wchar_t *link, const wchar_t *target); // a link owned by someone else
// Registered device interfaces of a PDO for a class, with their state.
struct InterfaceInfo {
    std::u16string symbolicLink;
    bool enabled = false;
};
std::vector<InterfaceInfo> Interfaces(PDEVICE_OBJECT pdo, const GUID &guid);

// Wide-string helpers for tests. glibc and libstdc++ assume a 4-byte wchar_t,
// so tests use std::u16string, never std::wstring or the wcs* functions.
std::u16string Wide(const UNICODE_STRING &s);
std::string Narrow(const std::u16string &s);
std::u16string Wide(const wchar_t *s);

} // namespace km
