// State shared by the scheduler, synchronisation, IRP and device files of the
// kernel model (the "core" half). Host-only C++.
#pragma once

#include "internal.h"

#include <ucontext.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace km {

enum class ContextState { Ready, Blocked, Finished, Dead };
enum class ContextKind { Host, Thread, Dpc, WorkItem };

struct Context {
    int id = 0;
    std::string name;
    ContextKind kind = ContextKind::Thread;
    ContextState state = ContextState::Ready;
    bool started = false;
    ucontext_t uc{};
    void *stack = nullptr;
    size_t stackSize = 0;
    std::function<void()> fn;
    KIRQL irql = PASSIVE_LEVEL;
    // Spin locks, fast mutexes and the cancel spin lock held, in the order taken.
    std::vector<const void *> held;
    // Drivers whose code is running in this context, innermost last
    // (nullptr: not known).
    std::vector<PDRIVER_OBJECT> drivers;
    // What the context is blocked on.
    const void *waitObject = nullptr;
    std::string waitWhat;
    int64_t deadline = -1;
    uint64_t blockSeq = 0;
    bool satisfied = false;
};

} // namespace km

namespace km::detail {

// ---- small helpers shared by the model's files

// Whether p lies inside the `bytes` bytes at `begin`.
inline bool AddressIn(const void *p, const void *begin, size_t bytes)
{
    return p >= begin && static_cast<const char *>(p) < static_cast<const char *>(begin) + bytes;
}

// Whether the n bytes at p all still hold `pattern` (the fill of freed or
// guard memory); *changed receives the offset of the first byte that does not.
inline bool PatternIntact(const void *p, size_t n, unsigned char pattern, size_t *changed = nullptr)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] != pattern) {
            if (changed != nullptr) {
                *changed = i;
            }
            return false;
        }
    }
    return true;
}

// The file name of a path, without its directories.
inline const char *BaseName(const char *path)
{
    const char *file = path;
    for (const char *c = path; *c != 0; ++c) {
        if (*c == '/') {
            file = c + 1;
        }
    }
    return file;
}

// ---- scheduler (scheduler.cpp)
Context *Current();
bool InContext(); // a scheduled context, not the test thread itself
Context *NewContext(const std::string &name, ContextKind kind, std::function<void()> fn);
// Blocks the current context on `object` until Wake*/a deadline; returns
// false only when the test thread's wait can never end.
bool Block(const void *object, const std::string &what, int64_t deadline = -1);
void WakeAll(const void *object);
// Gives the processor back to the scheduler (a context only).
void Suspend();
// The earliest blocked context on `object` (FIFO), or nullptr.
Context *FirstWaiter(const void *object);
void WakeOne(Context *context);
// Runs fn on a passive system thread and waits for it: inline when the
// caller already is a passive context.
void RunOnSystemThread(const std::function<void()> &fn, const char *name);
void Trace(const std::string &line);
uint64_t Random();
int64_t Clock();
std::vector<Context *> BlockedContexts();
void ResetScheduler(int processors, uint64_t seed);
void FreeContexts();

// ---- dispatcher objects (events.cpp)
void SignalObject(DISPATCHER_HEADER *header);
NTSTATUS WaitObject(void *object, const LARGE_INTEGER *timeout, const std::string &what);

// ---- clock-driven objects (timers.cpp)
// Dispatcher header types of a notification and a synchronization timer.
constexpr UCHAR kTimerNotificationObject = 8;
constexpr UCHAR kTimerSynchronizationObject = 9;
// The virtual clock time a due time or time-out names: negative values are
// relative to now, others absolute system times as KeQuerySystemTime reports
// them (an absolute time already past gives 0).
int64_t DueToClock(const LARGE_INTEGER &due);
int64_t NextTimerDue(); // -1: none
void FireTimersDue();   // fires every timer due at or before now
void ResetTimers();
// An armed timer or queued DPC inside memory being freed is a crash waiting.
void CheckTimersIn(const void *begin, size_t bytes, const char *routine);

// ---- locks (spin_lock.cpp, lock_order.cpp)
extern KSPIN_LOCK g_cancelSpinLock;
bool HoldsSpinLock(const Context *context, bool countCancel);
// A spin lock (not the cancel spin lock) that `driver`'s own code took; any
// when the driver is not known.
bool HoldsDriverSpinLock(const Context *context, PDRIVER_OBJECT driver);
void AcquireLock(const void *lock, const char *kind); // blocks, records lock order
void ReleaseLock(const void *lock, const char *kind);
void NoteLockOrder(const void *lock, const char *kind);
void ForgetLocksIn(const void *begin, size_t bytes);
void ResetLockOrder();
void ResetSpinLocks();
std::string DescribeAddress(const void *address);

// ---- drivers on the call stack (irp.cpp)
PDRIVER_OBJECT CurrentDriver();
struct DriverScope {
    explicit DriverScope(PDRIVER_OBJECT driver);
    ~DriverScope();
};
PDRIVER_OBJECT DriverOfAddress(const void *address);

// ---- IRPs (irp.cpp, completion.cpp)
enum class Origin { None, Io, Pnp, PowerRequest };
struct LocationState {
    bool dispatched = false;
    bool returned = false;
    NTSTATUS result = 0;
    bool walked = false;
    bool markedAtWalk = false;
};
struct IrpInfo {
    size_t bytes = 0;
    uint64_t serial = 0;
    bool freed = false;
    bool walkedToTop = false;
    PDRIVER_OBJECT allocator = nullptr;
    Origin origin = Origin::None;
    Request *request = nullptr;
    // Power request bookkeeping.
    PDEVICE_OBJECT powerDevice = nullptr;
    PREQUEST_POWER_COMPLETE powerCallback = nullptr;
    PVOID powerContext = nullptr;
    UCHAR powerMinor = 0;
    POWER_STATE powerState{};
    // Buffered I/O.
    UCHAR major = 0;
    ULONG ioControlCode = 0;
    ULONG outLength = 0;
    void *systemBuffer = nullptr;
    void *userBuffer = nullptr; // the caller's own buffer, for a read or write without buffered I/O
    std::vector<LocationState> locations;
    // Drivers that called PoStartNextPowerIrp for this power IRP.
    std::set<PDRIVER_OBJECT> startedNextPower;
};
IrpInfo *FindIrp(PIRP irp);
bool DescribeIrpAddress(const void *address, std::string *out);
PIRP AllocateIrp(CCHAR stackSize, PDRIVER_OBJECT allocator);
void ReleaseIrp(PIRP irp);
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const char *routine);
NTSTATUS DispatchAt(PDEVICE_OBJECT device, PIRP irp);
// The I/O manager's routine for every major function a driver leaves alone:
// it fails the request with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);
void FinishOriginator(PIRP irp, IrpInfo *info);
// What a dispatch routine returned against whether its location was marked
// pending: STATUS_PENDING exactly when marked.
void CheckPendingContract(PDEVICE_OBJECT device, UCHAR major, NTSTATUS returned, bool marked);
void CheckIrpsAtShutdown();
void ResetIrps();

// ---- devices (device.cpp)
struct DeviceInfo {
    PDEVICE_OBJECT lower = nullptr;
    void *extension = nullptr;
    size_t extensionSize = 0;
    bool deleted = false;   // IoDeleteDevice called
    bool destroyed = false; // its memory is gone (poisoned)
    bool fake = false;      // created by the test (fake driver or PDO)
    bool modelPdo = false;  // CreatePdo / root PDO: the model deletes it after removal
    Handler handler;
    int openHandles = 0;
    POWER_STATE systemPower{};
    POWER_STATE devicePower{};
    bool removalPending = false; // surprise-removed; remove follows the last close
    bool enumerated = false;     // reported by a bus driver
};
DeviceInfo *FindDevice(PDEVICE_OBJECT device);
bool IsLive(PDEVICE_OBJECT device);
// Destroys a deleted device object once no handle, reference or attached
// device needs its memory; true when it did.
bool DestroyIfUnused(PDEVICE_OBJECT device);
void ResetDevices();
void CheckDevicesAtShutdown();
PDRIVER_OBJECT NewDriverObject(const std::u16string &name);
void FreeDriverObjects();
std::string DeviceLabel(PDEVICE_OBJECT device);

// ---- pool (pool.cpp)
void CheckPoolAtShutdown();
void ResetPool();
bool DescribePoolAddress(const void *address, std::string *out);
void *ModelAlloc(size_t bytes); // model-owned memory, zeroed, not tracked
void ModelFree(void *block);

// ---- remove locks (remove_lock.cpp)
// Remove locks inside memory being freed go with it; a hold on one is a fault.
void CheckRemoveLocksIn(const void *begin, size_t bytes, const char *when);
void CheckRemoveLocksAtShutdown();
void ResetRemoveLocks();
std::string RemoveLockHolds(const void *event);

// ---- faults (faults.cpp): the model's own calls of a service are not the driver's
struct NoFaults {
    NoFaults();
    ~NoFaults();
};

// ---- verifier (verifier.cpp)
void ResetVerifier();
void ResetFaults();

// ---- managers
void ResetIoManager();
void ResetPnpManager();
void ResetLoader();
void ResetFakes();
void ResetBuses();
void OnLastHandleClosed(PDEVICE_OBJECT device);
Request *NewOriginatorRequest(PDEVICE_OBJECT device, UCHAR major, bool setCurrent);
void WaitRequest(Request *request);
bool OptionWdm10();
// Held for the whole of one PnP operation (pnp_serial.cpp): operations run one
// at a time, in arrival order; nested operations of the holder pass.
struct PnpOperation {
    explicit PnpOperation(const char *what);
    ~PnpOperation();
    PnpOperation(const PnpOperation &) = delete;
    PnpOperation &operator=(const PnpOperation &) = delete;
};
void ResetPnpLock();
void RunResetHooks();

} // namespace km::detail
