// State shared by the scheduler, synchronisation, IRP and device files of the
// kernel model (the "core" half). Host-only C++.
#pragma once

#include "internal.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace km {

namespace detail {
struct DriverScope;
}

enum class ContextState { Ready, Blocked, Finished, Dead };
enum class ContextKind { Host, Thread, Dpc, WorkItem };

// A context's stack: `size` bytes from `base`, with an inaccessible guard page
// below (fiber.cpp).
struct FiberStack {
    char *base = nullptr;
    size_t size = 0;
    unsigned valgrindId = 0;
};

// What a blocked context waits for, in words: asked only when a deadlock is
// reported, so that a wait costs no formatting.
using WaitDescription = std::string (*)(const Context *waiter);

struct Context {
    int id = 0;
    // Its label (interned until the next boot) followed by "#id".
    std::string name;
    const std::string *label = nullptr;
    ContextKind kind = ContextKind::Thread;
    ContextState state = ContextState::Ready;
    bool started = false;
    FiberStack stack;
    void *sp = nullptr; // while switched out
    // What it runs: routine(this) for DPCs and work items (with `arguments`),
    // fn for threads.
    void (*routine)(Context *) = nullptr;
    void *arguments[4] = {};
    std::function<void()> fn;
    KIRQL irql = PASSIVE_LEVEL;
    // Spin locks, fast mutexes and the cancel spin lock held, in the order taken.
    std::vector<const void *> held;
    // Where the model called into driver code on this context, innermost
    // (nullptr: outside driver code).
    detail::DriverScope *scope = nullptr;
    // What the context is blocked on: describeWait(this) says it in words,
    // or waitWhat when describeWait is null.
    const void *waitObject = nullptr;
    WaitDescription describeWait = nullptr;
    std::string waitWhat;
    int64_t deadline = -1;
    uint64_t blockSeq = 0;
    bool satisfied = false;
    // Completion routines running on this context, innermost last: a driver
    // whose completion sends again and is completed inline recurses here.
    std::vector<PDRIVER_OBJECT> completing;
    // KeSetEvent(..., Wait = TRUE) returned: a wait must come next, at the
    // IRQL the context had before.
    bool waitNext = false;
    KIRQL waitNextIrql = PASSIVE_LEVEL;
    bool inUse = false; // taken from the scheduler's spares
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
// Compared a block at a time: it runs at every free and over whole device
// extensions at shutdown.
inline bool PatternIntact(const void *p, size_t n, unsigned char pattern, size_t *changed = nullptr)
{
    unsigned char block[1024];
    std::memset(block, pattern, sizeof block);
    const unsigned char *bytes = static_cast<const unsigned char *>(p);
    for (size_t done = 0; done < n; done += sizeof block) {
        size_t chunk = n - done < sizeof block ? n - done : sizeof block;
        if (std::memcmp(bytes + done, block, chunk) == 0) {
            continue;
        }
        for (size_t i = done;; ++i) {
            if (bytes[i] != pattern) {
                if (changed != nullptr) {
                    *changed = i;
                }
                return false;
            }
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
// The running context: asked at nearly every call the model serves.
extern Context *g_current;
inline Context *Current()
{
    return g_current;
}
// A scheduled context, not the test thread itself.
inline bool InContext()
{
    return g_current->kind != ContextKind::Host;
}
// A thread running fn.
Context *NewThread(const char *name, std::function<void()> fn);
// A DPC or work-item context running routine(context), with `arguments` in
// context->arguments; named after `prefix` and the driver routine `named`
// (the name is worked out once per routine and image, not per context).
Context *NewContext(ContextKind kind, const char *prefix, const void *named, void (*routine)(Context *),
                    std::initializer_list<void *> arguments);
// Blocks the current context on `object` until Wake*/a deadline; returns
// false only when the test thread's wait can never end. What it waits for
// is worded by `describe` when a deadlock is reported, or given as `what`.
bool Block(const void *object, WaitDescription describe, int64_t deadline = -1);
bool Block(const void *object, const std::string &what, int64_t deadline = -1);
// What a blocked context waits for, in words.
std::string WaitText(const Context *waiter);
void WakeAll(const void *object);
// Gives the processor back to the scheduler (a context only).
void Suspend();
// The earliest blocked context on `object` (FIFO), or nullptr.
Context *FirstWaiter(const void *object);
void WakeOne(Context *context);
// Runs fn on a passive system thread and waits for it: inline when the
// caller already is a passive context.
void RunOnSystemThread(const std::function<void()> &fn, const char *name);
// A line of the trace, formatted by the caller (the scheduler's own
// decisions are recorded compactly and formatted when the trace is read).
void Trace(const std::string &line);
// "<what> <name>", and " <suffix> <number>" when a suffix is given, recorded
// without formatting; `what` and `suffix` have static storage, `name` comes
// from InternLabel.
void TraceEvent(const char *what, const std::string *name, const char *suffix = nullptr, int64_t number = 0);
// The one copy of a name until the next boot.
const std::string *InternLabel(const std::string &label);
uint64_t Random();
int64_t Clock();
std::vector<Context *> BlockedContexts();
void ResetScheduler(int processors, uint64_t seed);
void FreeContexts();

// ---- fibers (fiber.cpp): stacks from a pool and the switch between them
FiberStack AcquireStack();
void ReleaseStack(const FiberStack &stack);
// A stack whose frames were never unwound: it stays mapped, a root for
// leak checkers.
void AbandonStack(const FiberStack &stack);
// The stack pointer of a fiber that will start in function(argument).
void *PrepareStack(const FiberStack &stack, void (*function)(void *), void *argument);
// Saves the running fiber's stack pointer in *from and resumes `to`.
void SwitchFiber(void **from, void *to);

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
// Armed timers and queued DPCs of `driver` (routine or object in its image).
void CheckTimersOfImage(PDRIVER_OBJECT driver);
// Queued work items whose routine lies in `driver`'s image.
void CheckWorkItemsOfImage(PDRIVER_OBJECT driver);
void ResetWorkItems();

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

// ---- drivers on the call stack and the kernel stack they use (stack_check.cpp)
// Held while the model runs driver code: the stack pointer where it called
// the driver starts one segment of that driver's own frames.
struct DriverScope {
    explicit DriverScope(PDRIVER_OBJECT driver);
    ~DriverScope();
    DriverScope(const DriverScope &) = delete;
    DriverScope &operator=(const DriverScope &) = delete;
    PDRIVER_OBJECT driver;
    DriverScope *outer;    // the scope this one runs inside, on the same context
    uintptr_t entry;       // where the model called the driver
    uintptr_t call = 0;    // where this driver code called the service now running (0: none)
    size_t above = 0;      // bytes of driver frames in outer scopes
    bool reported = false; // its stack use was reported
};
// Held by a service that may call driver code back (IofCallDriver,
// IofCompleteRequest, IoCancelIrp, PoCallDriver, PoRequestPowerIrp): the
// frames between `frame` and the driver code it calls are the kernel's.
struct ServiceCall {
    explicit ServiceCall(const void *frame);
    ~ServiceCall();
    ServiceCall(const ServiceCall &) = delete;
    ServiceCall &operator=(const ServiceCall &) = delete;
    DriverScope *scope;
    uintptr_t saved;
};
// Measures the stack the running driver code uses down to `frame` (a
// service's frame) against the budget.
void SampleStack(const void *frame);
// Completion routines running on one context, innermost last.
void EnterCompletion(PDRIVER_OBJECT driver);
void LeaveCompletion();
PDRIVER_OBJECT CurrentDriver();
PDRIVER_OBJECT DriverOfAddress(const void *address);
// Changes whenever a driver image is loaded or unloaded (loader.cpp).
uint64_t ImagesVersion();
// A code or data address as a name: "Symbol (image+0x1f0)", or "image+0x1f0"
// when no exported symbol covers it; offsets, never addresses, so that
// messages are the same in every process.
std::string CodeName(const void *address);

// ---- IRPs (irp.cpp, completion.cpp)
enum class Origin { None, Io, Pnp, PowerRequest };
struct LocationState {
    bool dispatched = false;
    bool returned = false;
    NTSTATUS result = 0;
    bool walked = false;
    bool markedAtWalk = false;
    NTSTATUS statusAtWalk = 0; // what the driver of this location completed with
};
struct IrpInfo {
    size_t bytes = 0;
    bool freed = false;
    bool walkedToTop = false;
    bool finishDeferred = false;  // completed, not pended: finished when the first dispatch routine returns
    uint64_t completionOrder = 0; // a handle request's place among completions, taken when it is completed
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
    size_t systemBytes = 0;
    void *userBuffer = nullptr; // the caller's own output (or write) buffer without buffered I/O
    size_t userBytes = 0;
    void *userInput = nullptr; // METHOD_NEITHER: the caller's input buffer
    PMDL mdl = nullptr;        // direct I/O: describes userBuffer
    std::vector<LocationState> locations;
    // Devices whose dispatch routine received this power IRP, by location,
    // and those for which PoStartNextPowerIrp was called.
    std::vector<std::pair<int, PDEVICE_OBJECT>> powerHolders;
    std::set<PDEVICE_OBJECT> powerStarted;
};
IrpInfo *FindIrp(PIRP irp);
// The IRP's memory is used again: its record goes.
void ForgetIrp(PIRP irp);
// `routine` (called from `caller`; nullptr: the kernel's own) allocates an
// IRP for `allocator` (nullptr: the I/O or power manager's).
PIRP AllocateIrp(CCHAR stackSize, PDRIVER_OBJECT allocator, const char *routine, const void *caller);
// Freed by `routine` (called from `caller`; nullptr: the kernel itself).
void ReleaseIrp(PIRP irp, const char *routine, const void *caller);
// checkReturn = false: nobody receives what the dispatch routine returns (a
// request the power manager held and delivers later).
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const char *routine, bool checkReturn = true);
NTSTATUS DispatchAt(PDEVICE_OBJECT device, PIRP irp, bool checkReturn = true);
// The I/O manager's routine for every major function a driver leaves alone:
// it fails the request with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);
void FinishOriginator(PIRP irp, IrpInfo *info);
// The next place among the completions of the boot, for a request being completed.
uint64_t NextCompletionOrder();
// What a dispatch routine returned against whether its location was marked
// pending: STATUS_PENDING exactly when marked.
void CheckPendingContract(PDEVICE_OBJECT device, UCHAR major, NTSTATUS returned, bool marked);
// A non-pending return must be the status the routine completed the IRP with.
void CheckReturnedStatus(PDEVICE_OBJECT device, UCHAR major, NTSTATUS returned, NTSTATUS completed);
// Completion routines, cancel routines and power callbacks of IRPs still
// pending that lie in `driver`'s image.
void CheckIrpsOfImage(PDRIVER_OBJECT driver);
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
    bool stackRemoved = false;   // IRP_MN_REMOVE_DEVICE sent since the last AddDevice
    uint64_t serial = 0;         // creation order, for orders that must not depend on addresses
    int powerVetoes = 0;         // a model PDO fails this many system power queries
    NTSTATUS vetoStatus = STATUS_UNSUCCESSFUL;
};
DeviceInfo *FindDevice(PDEVICE_OBJECT device);
// Not deleted (IoDeleteDevice not called).
bool IsLive(PDEVICE_OBJECT device);
// Its memory is still there: live, or deleted and still referenced.
bool IsAllocated(PDEVICE_OBJECT device);
// A physical device object the PnP manager knows: one a bus reported, or a
// model PDO.
bool IsPdo(PDEVICE_OBJECT device);
// The live PDOs in the order they were created.
std::vector<PDEVICE_OBJECT> PdosInCreationOrder();
// Destroys a deleted device object once no handle, reference or attached
// device needs its memory; true when it did.
bool DestroyIfUnused(PDEVICE_OBJECT device);
void ResetDevices();
void CheckDevicesAtShutdown();
PDRIVER_OBJECT NewDriverObject(const std::u16string &name);
void FreeDriverObjects();
std::string DeviceLabel(PDEVICE_OBJECT device);

// ---- special pool (guarded_pool.cpp, pool_faults.cpp): every block the
// kernel hands a driver sits at the end of its own pages, an inaccessible
// page after it; freed, its pages become inaccessible for a while.
enum class BlockKind : uint8_t { Pool, Irp, Mdl, WorkItem, SystemBuffer };
enum class BlockPlace : uint8_t { Before, Inside, After };
struct PoolBlock {
    BlockKind kind = BlockKind::Pool;
    uint64_t serial = 0; // per kind from each boot: names the block in messages
    uint32_t slot = 0;   // where it lies in the special pool
    size_t bytes = 0;
    ULONG tag = 0; // 0: none
    bool paged = false;
    bool freed = false;
    bool leakReported = false;
    PDRIVER_OBJECT driver = nullptr;     // whose it is (nullptr: the model's own)
    const char *allocator = "";          // the service that allocated it
    const void *allocatedFrom = nullptr; // the code that called the service (nullptr: the kernel)
    std::string allocatedIn;             // the context
    const char *freer = "";
    const void *freedFrom = nullptr;
    std::string freedIn;
};
// A block of block.bytes bytes, filled with a pattern (pool is not zeroed).
void *SpecialAllocate(PoolBlock block);
// The block (live or freed) that starts at `address`, or nullptr.
PoolBlock *BlockAt(const void *address);
// The block (live or freed) whose pages hold `address`: before its start,
// inside it, or after its end (the slack and the guard page); *offset is
// from its start.
PoolBlock *BlockHolding(const void *address, BlockPlace *place, ptrdiff_t *offset);
// Whether the bytes around a live block still hold their pattern; *before
// tells which side changed.
bool SlackIntact(const PoolBlock &block, bool *before);
// Seals the block's pages and puts them in quarantine (checks first).
void SpecialFree(PoolBlock &block);
void ForEachLiveBlock(const std::function<void(void *, PoolBlock &)> &visit);
size_t LiveBlocks(BlockKind kind);
void ResetSpecialPool();
// Whether a bad access faults and is reported as a violation (not in the
// sanitizer build, where AddressSanitizer reports it).
bool SpecialPoolFaults();
void InstallFaultHandler();
// "pool block #3 'Tag'", "IRP #7"
std::string BlockName(const PoolBlock &block);
// "of 24 bytes, allocated by ExAllocatePool in Routine (image+0x10) on thread#2[, freed by ...]"
std::string BlockHistory(const PoolBlock &block);

// ---- pool (pool.cpp)
void CheckPoolAtShutdown();
void ResetPool();
bool DescribePoolAddress(const void *address, std::string *out);
// A paged block touched at DISPATCH_LEVEL or above (through a routine that
// takes the object) is an "IRQL" violation; objects the kernel touches at
// DISPATCH_LEVEL whatever the caller's IRQL (spin locks, timers, DPCs) may
// never lie in paged pool (always = true).
void CheckResident(const void *object, const char *routine, bool always = false);
// Pool blocks of `driver` still allocated at its unload.
void CheckPoolOfImage(PDRIVER_OBJECT driver);
void *ModelAlloc(size_t bytes); // model-owned memory, zeroed, not tracked
void ModelFree(void *block);
// Frees a special-pool block of `kind` for `routine` (called from `caller`):
// a bad or double free, paged pool freed at DISPATCH_LEVEL or a changed
// slack is a violation.
void FreeBlock(void *block, BlockKind kind, const char *routine, const void *caller);

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

// ---- caller buffers (buffers.cpp): what the I/O manager gives a request,
// as Windows does for each transfer type, and takes back at its end.
void AttachBuffers(PDEVICE_OBJECT top, PIRP irp, IrpInfo *info, ULONG code, const void *input, ULONG inLength,
                   ULONG outLength);
// The caller's output bytes at completion (the system buffer for buffered
// I/O, else the caller's own buffer), or nullptr.
const uint8_t *CallerOutput(const IrpInfo *info);
// Checks the guards and frees the buffers; `check` = false at reset.
void ReleaseBuffers(PIRP irp, IrpInfo *info, bool check);

// ---- power manager (power_manager.cpp, system_power.cpp)
// PoCallDriver as the power manager does it: one set/query request per
// device and power type at a time, DISPATCH_LEVEL for a device without
// DO_POWER_PAGABLE, a system thread for a pageable one called above
// PASSIVE_LEVEL.
NTSTATUS PowerCallDriver(PDEVICE_OBJECT device, PIRP irp);
void ForgetPowerQueues(PDEVICE_OBJECT device);
void ResetPowerManager();
// The stack whose system query-power is outstanding (nullptr: none).
PDEVICE_OBJECT QueryingStack();

// ---- managers
void ResetIoManager();
void ResetPnpManager();
void ResetLoader();
void ResetFakes();
void ResetBuses();
void OnLastHandleClosed(PDEVICE_OBJECT device);
// The PnP manager's knowledge of buses: the parent that reported a child.
PDEVICE_OBJECT ParentOf(PDEVICE_OBJECT child);
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
