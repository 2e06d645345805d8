// Runs one scenario on a fresh kernel with a freshly loaded port driver on the
// simulated modem, and checks the invariants at every checkpoint and at the end
// (README, Reliability): the verifier is clean; every request completes once,
// as the driver promises, and no later than the event that must end it; no
// operation hangs; the device is failed only with cause; data flows; reads
// deliver the modem's bytes in order, less what a purge or a new open threw
// away; the modem received what completed writes reported; the port is removed
// and both images unload clean.
#include "tests/stress/scenario.h"

#include "driver/core/device_extension.h"
#include "tests/modem_sim/modem_client.h"

#include <km/harness.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include <sys/wait.h>
#include <unistd.h>

namespace stress {

const char *const Allocators[] = {"ExAllocatePool", "IoAllocateIrp", "IoAllocateWorkItem", "PoRequestPowerIrp"};
const FailStatus FailStatuses[] = {
    {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
    {STATUS_UNSUCCESSFUL, USBD_STATUS_CRC},
    {STATUS_IO_TIMEOUT, USBD_STATUS_TIMEOUT},
    {STATUS_DEVICE_NOT_READY, USBD_STATUS_NOT_ACCESSED},
    {STATUS_CANCELLED, USBD_STATUS_CANCELED},
    {STATUS_DEVICE_DATA_ERROR, USBD_STATUS_XACT_ERROR},
    {STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING},
    {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING},
};
static_assert(sizeof(FailStatuses) / sizeof(FailStatuses[0]) == FailStatusCount, "fail statuses");

namespace {

const int64_t Hour = 36000000000LL; // in 100 ns
const uint32_t PurgeFunction = 19, WaitFunction = 18, SetTimeoutsFunction = 7;

// A keyed pseudo-random byte stream; key 0 is the modem's.
std::vector<uint8_t> Bytes(uint64_t key, uint64_t offset, uint32_t length)
{
    std::vector<uint8_t> out(length);
    for (uint32_t i = 0; i < length; ++i) {
        uint64_t at = offset + i;
        out[i] = static_cast<uint8_t>(Rng{key << 32 | at >> 3}.Next() >> (8 * (at & 7)));
    }
    return out;
}

// The input of a control request: its first word, then bytes of its own.
std::vector<uint8_t> ControlInput(const Op &op)
{
    std::vector<uint8_t> input = Bytes(op.b ^ 0xC0FFEEULL, 0, op.c & 0xFFFF);
    for (size_t i = 0; i < input.size() && i < 4; ++i) {
        input[i] = static_cast<uint8_t>(op.b >> (8 * i));
    }
    return input;
}

// The read timeouts an operation sets, if it sets any.
bool SetsTimeouts(const Op &op, SERIAL_TIMEOUTS *t)
{
    if (op.act == OpTimeouts) {
        *t = {op.a, op.b, op.c, 0, 0};
    } else if (op.act == OpControl && op.a == SetTimeoutsFunction && (op.c & 0xFFFF) >= sizeof(*t)) {
        std::memcpy(t, ControlInput(op).data(), sizeof(*t));
    } else {
        return false;
    }
    return true;
}

// How long (ms) a read of `length` may wait on an empty ring: 0 it ends at
// once, -1 it has no timer. The read-timeout table, row by row.
int64_t WaitLimit(const SERIAL_TIMEOUTS &t, uint32_t length)
{
    const ULONG max = 0xFFFFFFFF;
    ULONG m = t.ReadTotalTimeoutMultiplier, c = t.ReadTotalTimeoutConstant;
    if (t.ReadIntervalTimeout == max && m == 0 && c == 0) {
        return 0;
    }
    if ((t.ReadIntervalTimeout == max && c == max) || (m == 0 && c == 0)) {
        return -1;
    }
    return t.ReadIntervalTimeout == max && m == max ? c : static_cast<int64_t>(m) * length + c;
}

// What a read delivered, with the completions of the boot before it was sent
// and its own place among them.
struct Chunk {
    std::vector<uint8_t> bytes;
    uint64_t sentAfter;
    uint64_t order;
};

// The fewest runs of the stream that the chunks (what the reads delivered, in
// their order of completion) leave out when laid along it; the bytes after the
// last chunk count as a run when `tail`. A read sent after another had
// completed took later bytes than it; reads pending together may have taken
// theirs in any order (one takes its bytes, another takes and completes
// first), so they are laid in whichever order leaves the fewest gaps. -1 when
// they cannot be laid along the stream at all.
int FewestGaps(const std::vector<Chunk> &chunks, const std::vector<uint8_t> &stream, bool tail)
{
    const int none = 1 << 20;
    const size_t window = 16; // of reads pending together, the most laid out of order
    size_t n = chunks.size();
    std::vector<std::vector<size_t>> places(n);
    for (size_t i = 0; i < n; ++i) {
        auto at = stream.begin();
        while ((at = std::search(at, stream.end(), chunks[i].bytes.begin(), chunks[i].bytes.end())) != stream.end()) {
            places[i].push_back(static_cast<size_t>(at++ - stream.begin()));
        }
    }
    // Whether chunk i + d may be laid next: no chunk before it, not yet laid,
    // had completed when it was sent.
    auto free = [&](size_t i, uint32_t laid, size_t d) {
        for (size_t e = 0; e < d; ++e) {
            if (!(e > 0 && (laid >> (e - 1) & 1)) && chunks[i + e].order <= chunks[i + d].sentAfter) {
                return false;
            }
        }
        return true;
    };
    // i: the first chunk not yet laid; bit e - 1 of `laid`: chunk i + e is.
    std::map<std::tuple<size_t, uint32_t, size_t>, int> memo;
    std::function<int(size_t, uint32_t, size_t)> from = [&](size_t i, uint32_t laid, size_t p) -> int {
        if (i == n) {
            return tail && p < stream.size() ? 1 : 0;
        }
        auto known = memo.find({i, laid, p});
        if (known != memo.end()) {
            return known->second;
        }
        int best = none;
        for (size_t d = 0; d < window && i + d < n; ++d) {
            if ((d > 0 && (laid >> (d - 1) & 1)) || !free(i, laid, d)) {
                continue;
            }
            size_t next = i;
            uint32_t rest = laid | (d > 0 ? 1u << (d - 1) : 0);
            if (d == 0) {
                for (next = i + 1; rest & 1; ++next) {
                    rest >>= 1;
                }
                rest >>= 1;
            }
            const std::vector<size_t> &at = places[i + d];
            for (auto q = std::lower_bound(at.begin(), at.end(), p); q != at.end(); ++q) {
                best = std::min(best, (*q != p) + from(next, rest, *q + chunks[i + d].bytes.size()));
            }
        }
        return memo[{i, laid, p}] = best;
    };
    int gaps = from(0, 0, 0);
    return gaps >= none ? -1 : gaps;
}

enum Kind { ReadKind, WriteKind, ControlKind, WaitKind };

struct Tracked {
    km::Request *request;
    Kind kind;
    size_t op;        // its operation; past the end: the final drain
    uint32_t length;  // read: asked for; write: sent; control: output buffer
    int64_t deadline; // a read must have ended by then; -1: no bound
    bool checked;
};

bool OneOf(NTSTATUS status, std::initializer_list<NTSTATUS> allowed)
{
    return std::find(allowed.begin(), allowed.end(), status) != allowed.end();
}

std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(status));
    return text;
}

class Runner {
public:
    explicit Runner(const Scenario &s) : s_(s)
    {
    }
    Verdict Run();

private:
    void Fail(const std::string &invariant, const std::string &detail)
    {
        if (verdict_.ok()) {
            verdict_ = {invariant, detail};
        }
    }
    void CheckVerifier()
    {
        if (!km::Violations().empty()) {
            Fail("verifier: " + km::Violations()[0].rule,
                 km::Violations()[0].message + "\n  in " + km::Violations()[0].context);
        }
    }
    bool Alive() const
    {
        return km::DeviceExists(fdo_) || km::DeletePending(fdo_);
    }
    bool Serving() const
    {
        return handle_ != nullptr && !cleaned_ && Alive() && ext_->PnpState == Started && ext_->FailureMarker == 0;
    }
    bool Faulted() const // an allocation failure planted has been met
    {
        return std::any_of(planted_.begin(), planted_.end(),
                           [](auto &p) { return km::CallCount(p.first) >= p.second; });
    }
    std::string Label(size_t op) const
    {
        return op < s_.ops.size() ? "op " + std::to_string(op) + " " + OpText(s_.ops[op]) : "the final drain";
    }
    void ModemFault(ULONG pipe, ULONG kind, ULONG count = 0, const FailStatus &fail = {}, ULONG length = 0)
    {
        MODEM_FAULT fault = {0, pipe, kind, count, fail.status, fail.usbd, length};
        modem_->Call(MODEM_CONTROL_INJECT_FAULT, &fault, sizeof(fault));
    }
    void Track(km::Request *request, Kind kind, size_t op, uint32_t length);
    bool BringUp();
    void Do(size_t index);
    void DoModem(const Op &op);
    void Check(const char *when);
    void CheckEnded(Tracked &t);
    void Quiesce();
    void CheckBytes();
    void NameWaiters();

    const Scenario &s_;
    Verdict verdict_;
    km::Image *bus_ = nullptr, *port_ = nullptr;
    PDEVICE_OBJECT root_ = nullptr, child_ = nullptr, fdo_ = nullptr;
    PDEVICE_EXTENSION ext_ = nullptr;
    std::unique_ptr<ModemClient> host_, modem_; // called from the test, and from a context
    km::Handle *handle_ = nullptr;
    bool cleaned_ = false;
    std::vector<Tracked> tracked_;
    std::vector<std::pair<km::Context *, size_t>> contexts_;
    // Read timeouts that may be in force: for this burst; as the last burst
    // that stored any left them (all of them, if several raced); stored since.
    std::vector<SERIAL_TIMEOUTS> candidates_, committed_ = {SERIAL_TIMEOUTS{}}, stored_;
    uint64_t queued_ = 0; // bytes of the modem's stream it took
    FAST_MUTEX dataMutex_;
    int opens_ = 0;
    bool overReported_[2] = {};
    bool fatal_ = false;    // something the driver may take as the loss of the device happened
    uint32_t failures_ = 0; // transfers made to fail, at most, that the driver counts
    std::vector<std::pair<const char *, int>> planted_; // allocator, call number it must reach
};

void Runner::Track(km::Request *request, Kind kind, size_t op, uint32_t length)
{
    Tracked t = {request, kind, op, length, -1, false};
    if (kind == ReadKind && length != 0) {
        // The longest bound of the timeouts that may be in force; none if any has none.
        int64_t limit = 0;
        for (const SERIAL_TIMEOUTS &timeouts : candidates_) {
            int64_t l = WaitLimit(timeouts, length);
            limit = limit < 0 || l < 0 ? -1 : std::max(limit, l);
        }
        t.deadline = limit < 0 ? -1 : km::Now() + std::min<int64_t>(limit * 10000, 1000 * Hour);
    }
    tracked_.push_back(t);
}

bool Runner::BringUp()
{
    km::Options options;
    options.seed = s_.seed;
    km::Boot(options);
    ExInitializeFastMutex(&dataMutex_);
    bus_ = km::LoadDriver(ZQ_MODEM_SIM_PATH, L"zqmodemsim");
    host_ = std::make_unique<ModemClient>(bus_);
    modem_ = std::make_unique<ModemClient>(host_->Direct());
    root_ = km::CreateRootDevice(bus_);
    host_->CompleteInline(s_.inlineCompletion);
    child_ = km::Children(root_).at(0);
    static const char16_t name[] = u"COM7";
    km::SetDeviceValue(child_, L"PortName", REG_SZ, name, sizeof(name));
    port_ = km::LoadDriver(ZQ_DRIVER_PATH, L"zqevdodiag");
    if (port_->entryStatus != STATUS_SUCCESS || km::AddDevice(port_, child_) != STATUS_SUCCESS) {
        return false;
    }
    fdo_ = km::TopOfStack(child_);
    ext_ = GetExtension(fdo_);
    return km::StartDevice(child_) == STATUS_SUCCESS;
}

// One operation, in a context of its own.
void Runner::Do(size_t index)
{
    const Op &op = s_.ops[index];
    km::Handle *handle = handle_;
    NTSTATUS status = STATUS_SUCCESS;
    switch (op.act) {
    case OpOpen:
        status = km::Open(L"\\DosDevices\\COM7", &handle);
        if (!OneOf(status, {STATUS_SUCCESS, STATUS_ACCESS_DENIED, STATUS_INSUFFICIENT_RESOURCES, STATUS_DELETE_PENDING,
                            STATUS_UNSUCCESSFUL, STATUS_OBJECT_NAME_NOT_FOUND, STATUS_NO_SUCH_DEVICE})) {
            Fail("promised status", Label(index) + " failed with " + Hex(status));
        } else if (NT_SUCCESS(status) && handle_ != nullptr) {
            Fail("exclusive open", Label(index) + " was granted while another handle was open");
        } else if (NT_SUCCESS(status)) {
            handle_ = handle;
            cleaned_ = false;
            ++opens_;
        }
        break;
    case OpCleanup:
    case OpClose:
        // Requests after a cleanup still reach the driver; after a close the
        // I/O manager refuses them itself.
        cleaned_ = true;
        handle_ = op.act == OpClose ? nullptr : handle_;
        status = handle == nullptr ? STATUS_SUCCESS : op.act == OpClose ? km::Close(handle) : km::Cleanup(handle);
        if (!OneOf(status, {STATUS_SUCCESS, STATUS_INVALID_HANDLE, STATUS_DELETE_PENDING})) {
            Fail("promised status", Label(index) + " ended with " + Hex(status));
        }
        break;
    case OpRead:
        Track(km::ReadAsync(handle, op.a), ReadKind, index, op.a);
        break;
    case OpWrite:
        Track(km::WriteAsync(handle, Bytes(op.b + 1ULL, 0, op.a).data(), op.a), WriteKind, index, op.a);
        break;
    case OpControl:
    case OpTimeouts: {
        SERIAL_TIMEOUTS t;
        std::vector<uint8_t> input = op.act == OpControl ? ControlInput(op) : std::vector<uint8_t>();
        uint32_t in = op.c & 0xFFFF, out = op.c >> 16, function = op.a;
        if (op.act == OpTimeouts && SetsTimeouts(op, &t)) {
            input.assign(reinterpret_cast<uint8_t *>(&t), reinterpret_cast<uint8_t *>(&t + 1));
            in = sizeof(t), out = 0, function = SetTimeoutsFunction;
        }
        ULONG code = CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
        Track(function == 0 ? km::MajorAsync(handle, IRP_MJ_FLUSH_BUFFERS)
                            : km::IoctlAsync(handle, code, input.data(), in, out),
              function == WaitFunction ? WaitKind : ControlKind, index, out);
        break;
    }
    case OpCancel: {
        std::vector<km::Request *> pending;
        for (const Tracked &t : tracked_) {
            if (!t.request->completed) {
                pending.push_back(t.request);
            }
        }
        if (!pending.empty()) {
            km::Cancel(pending[op.a % pending.size()]);
        }
        break;
    }
    case OpData: {
        // One at a time, so that the modem queues the stream in its order.
        ExAcquireFastMutex(&dataMutex_);
        std::vector<uint8_t> record(sizeof(MODEM_SELECT)), bytes = Bytes(0, queued_, op.a);
        record.insert(record.end(), bytes.begin(), bytes.end());
        uint32_t taken = 0;
        modem_->Call(MODEM_CONTROL_QUEUE_BYTES, record.data(), static_cast<ULONG>(record.size()), nullptr, 0, &taken);
        queued_ += taken;
        ExReleaseFastMutex(&dataMutex_);
        break;
    }
    case OpModem:
        DoModem(op);
        break;
    case OpPnp:
        if (km::DeviceExists(child_)) {
            static NTSTATUS (*const sequences[])(PDEVICE_OBJECT) = {km::RebalanceDevice, km::RemoveDevice,
                                                                    km::SurpriseRemoveDevice, km::DisableDevice};
            sequences[op.a % 4](child_);
        }
        break;
    case OpPower:
        if (op.a == PowerVetoedSleep) {
            km::VetoSystemQueries(root_, 1);
        }
        op.a == PowerResume      ? km::SystemResume()
        : op.a == PowerHibernate ? km::SystemHibernate()
                                 : km::SystemSleep(static_cast<SYSTEM_POWER_STATE>(PowerSystemSleeping1 + op.b % 3));
        break;
    default:
        break;
    }
}

void Runner::DoModem(const Op &op)
{
    const FailStatus &fail = FailStatuses[(op.c >> 8) % FailStatusCount];
    switch (op.a) {
    case FaultFail:
        ModemFault(op.b, MODEM_FAULT_FAIL, op.c & 0xFF, fail);
        failures_ += fail.status == STATUS_CANCELLED ? 0 : op.c & 0xFF;
        fatal_ = fatal_ || &fail >= &FailStatuses[FirstFatalStatus];
        break;
    case FaultShort:
    case FaultOverReport:
        // A bus that reports more than it moved breaks the count of that pipe's
        // bytes: past them, a bulk-in buffer holds what an earlier transfer left.
        overReported_[op.b & 1] = overReported_[op.b & 1] || op.a == FaultOverReport;
        ModemFault(op.b, op.a == FaultShort ? MODEM_FAULT_SHORT : MODEM_FAULT_OVERREPORT, op.c & 0xFF, {}, op.c >> 8);
        break;
    case FaultNak:
    case FaultAck:
    case FaultStall:
        ModemFault(op.b, op.a == FaultNak ? MODEM_FAULT_NAK : op.a == FaultAck ? MODEM_FAULT_ACK : MODEM_FAULT_STALL);
        break;
    case ModemRate:
        modem_->Rate(op.b);
        break;
    case ModemHold:
        modem_->UnpoweredPolicy(op.b != 0 ? MODEM_UNPOWERED_HOLD : MODEM_UNPOWERED_FAIL);
        break;
    case ModemInline:
        modem_->CompleteInline(op.b != 0);
        break;
    case ModemFailPower: {
        static const ULONG minors[] = {MODEM_ANY_POWER_MINOR, IRP_MN_SET_POWER, IRP_MN_QUERY_POWER};
        fatal_ = true; // a device that cannot be powered may be taken as failed
        modem_->FailPower(op.b, STATUS_UNSUCCESSFUL, minors[op.c % 3]);
        break;
    }
    default:
        fatal_ = true;
        modem_->Unplug();
        break;
    }
}

// A request that has ended: once, with a status and a byte count it may have.
void Runner::CheckEnded(Tracked &t)
{
    t.checked = true;
    const km::Request &r = *t.request;
    NTSTATUS s = r.status;
    bool bus =
        std::any_of(FailStatuses, FailStatuses + FailStatusCount, [s](const FailStatus &f) { return f.status == s; });
    bool promised =
        t.kind == ReadKind ? OneOf(s, {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED, STATUS_DELETE_PENDING,
                                       STATUS_INVALID_HANDLE}) &&
                                 (s == STATUS_SUCCESS || r.information == 0)
        : t.kind == WriteKind
            ? (bus || OneOf(s, {STATUS_SUCCESS, STATUS_CANCELLED, STATUS_DELETE_PENDING, STATUS_INSUFFICIENT_RESOURCES,
                                STATUS_INVALID_HANDLE, STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_CONNECTED})) &&
                  (r.returned == STATUS_PENDING || NT_SUCCESS(s) || r.information == 0)
            : OneOf(s,
                    {STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_PARAMETER, STATUS_INVALID_DEVICE_REQUEST,
                     STATUS_DELETE_PENDING, STATUS_CANCELLED, STATUS_INVALID_HANDLE}) &&
                  (NT_SUCCESS(s) || r.information == 0) &&
                  (t.kind != WaitKind || s != STATUS_SUCCESS || r.information == 4);
    // A purge reports its 4 bytes to a caller that gave no buffer for them.
    bool purge = t.op < s_.ops.size() && s_.ops[t.op].act == OpControl && s_.ops[t.op].a == PurgeFunction;
    if (r.completions != 1) {
        Fail("completed once", Label(t.op) + " completed " + std::to_string(r.completions) + " times");
    } else if (!promised || (r.information > t.length && !(purge && t.length == 0))) {
        Fail("promised status",
             Label(t.op) + " completed with " + Hex(s) + " and " + std::to_string(r.information) + " bytes");
    }
    SERIAL_TIMEOUTS timeouts;
    if (t.op < s_.ops.size() && SetsTimeouts(s_.ops[t.op], &timeouts) && s == STATUS_SUCCESS) {
        stored_.push_back(timeouts);
    }
}

// Once nothing can run, nothing may wait that the events so far should have
// ended: a read waits only for data on an open, usable port with an empty
// ring, and not past its timeout; a wait-on-mask only on an open, usable port;
// a write only while the bus holds its piece (after cleanup, only the one on
// the bus); nothing else at all; one read and one wait at most. No operation
// hangs, unless a close waits for a write the bus holds.
void Runner::Check(const char *when)
{
    CheckVerifier();
    if (!verdict_.ok()) {
        return;
    }
    MODEM_STATUS modem = host_->Status();
    bool outHeld = modem.Pipes[MODEM_PIPE_BULK_OUT].Pending != 0;
    if (Serving() && modem.Pipes[MODEM_PIPE_BULK_IN].Pending > 1) {
        Fail("one reader", std::to_string(modem.Pipes[MODEM_PIPE_BULK_IN].Pending) + " bulk-in transfers " + when);
    }
    // A failed allocation may leave the device without power, or its reader
    // stopped: it too may be taken as the loss of the device.
    if (Alive() && ext_->FailureMarker != 0 && !fatal_ && !Faulted() && failures_ <= 20) {
        Fail("failed with cause", "the device was marked failed " + std::string(when) + " after at most " +
                                      std::to_string(failures_) + " transfers failed, none of them fatally");
    }
    int waiting[4] = {};
    for (Tracked &t : tracked_) {
        if (t.request->completed) {
            if (!t.checked) {
                CheckEnded(t);
            }
            continue;
        }
        ++waiting[t.kind];
        const char *why = t.kind == ControlKind             ? ""
                          : t.kind == WriteKind && !outHeld ? ", the bus idle"
                          : t.kind == WriteKind && !Serving() && waiting[t.kind] > 1
                              ? " behind a write that may not go on"
                          : t.kind != WriteKind && !Serving()          ? " on a port that no longer serves it"
                          : t.kind == ReadKind && ext_->RingCount != 0 ? " with data in the ring"
                          : t.kind == ReadKind && t.deadline >= 0 && km::Now() >= t.deadline ? " past its timeout"
                                                                                             : nullptr;
        if (why != nullptr) {
            Fail("request ended", Label(t.op) + " still pending " + when + why);
        }
    }
    if (waiting[ReadKind] > 1 || waiting[WaitKind] > 1) {
        Fail("request ended", "two reads or two waits pending " + std::string(when));
    }
    for (const auto &[context, op] : contexts_) {
        if (!km::Finished(context) && !outHeld) {
            Fail("operation returned", Label(op) + " never returned " + when);
        }
    }
}

// The end of every scenario: faults and holds lifted and the system awake,
// the timed reads' time passed; what the modem holds is read out, the handle
// closed, and everything must have ended.
void Runner::Quiesce()
{
    km::RunUntilIdle();
    Check("at the end");
    for (ULONG pipe = 0; pipe < MODEM_PIPE_COUNT; ++pipe) {
        ModemFault(pipe, MODEM_FAULT_CLEAR);
    }
    host_->Rate(0);
    host_->FailPower(0, STATUS_SUCCESS);
    km::ClearFaults();
    km::VetoSystemQueries(root_, 0);
    if (km::SystemPower() != PowerSystemWorking) {
        km::SystemResume();
    }
    km::RunUntilIdle();
    int64_t latest = km::Now();
    for (const Tracked &t : tracked_) {
        if (!t.request->completed && t.deadline >= 0 && t.deadline < km::Now() + Hour) {
            latest = std::max(latest, t.deadline);
        }
    }
    km::AdvanceClock(latest - km::Now());
    Check("once the faults were lifted");
    if (Serving() && verdict_.ok()) {
        // Every byte the modem holds reaches the reads, which end at once.
        auto issue = [&](Kind kind, auto send) {
            km::Run([&] { Track(send(), kind, s_.ops.size(), 70000); });
            km::RunUntilIdle();
        };
        SERIAL_TIMEOUTS immediate = {0xFFFFFFFF, 0, 0, 0, 0};
        issue(ControlKind, [&] { return km::IoctlAsync(handle_, IOCTL_SERIAL_SET_TIMEOUTS, &immediate, 20, 0); });
        for (int i = 0;
             i < 8 && (i == 0 || tracked_.back().request->information != 0 || host_->Status().HostQueued != 0); ++i) {
            issue(ReadKind, [&] { return km::ReadAsync(handle_, 70000); });
        }
        if (!Faulted() && host_->Status().HostQueued != 0) {
            Fail("data flows", "the port is open and the modem still holds " +
                                   std::to_string(host_->Status().HostQueued) + " bytes: the reader has stopped");
        }
    }
    if (handle_ != nullptr) {
        contexts_.push_back({km::Spawn([h = handle_] { km::Close(h); }, "close"), s_.ops.size()});
        handle_ = nullptr;
    }
    km::RunUntilIdle();
    Check("after the close");
    for (Tracked &t : tracked_) {
        if (!t.request->completed) {
            Fail("request ended", Label(t.op) + " never completed");
        }
    }
}

// Laid along the modem's stream in their order, the reads' bytes may leave
// gaps only where a purge or a new open threw the ring away, or at its end
// when the port no longer serves. The modem received exactly the bytes
// completed writes reported, in their order.
void Runner::CheckBytes()
{
    std::vector<const Tracked *> ended;
    int purges = 0;
    for (const Tracked &t : tracked_) {
        ended.push_back(&t);
        const Op *op = t.op < s_.ops.size() ? &s_.ops[t.op] : nullptr;
        purges += op != nullptr && op->act == OpControl && op->a == PurgeFunction && (op->b & SERIAL_PURGE_RXCLEAR) &&
                  t.request->status == STATUS_SUCCESS;
    }
    std::sort(ended.begin(), ended.end(), [](auto x, auto y) { return x->request->order < y->request->order; });
    std::vector<uint8_t> expected;
    std::vector<Chunk> chunks;
    for (const Tracked *t : ended) {
        uint32_t moved = static_cast<uint32_t>(t->request->information);
        if (t->kind == WriteKind && moved != 0) {
            std::vector<uint8_t> bytes = Bytes(s_.ops[t->op].b + 1ULL, 0, moved);
            expected.insert(expected.end(), bytes.begin(), bytes.end());
        } else if (t->kind == ReadKind && moved != 0) {
            chunks.push_back({t->request->output, t->request->sentAfter, t->request->order});
        }
    }
    std::string captured = host_->Captured();
    if (!overReported_[MODEM_PIPE_BULK_OUT] &&
        (host_->Status().CaptureDropped != 0 || captured != std::string(expected.begin(), expected.end()))) {
        Fail("write bytes", "the modem received " + std::to_string(captured.size()) +
                                " bytes, completed writes reported " + std::to_string(expected.size()));
        return;
    }
    std::vector<uint8_t> stream = Bytes(0, 0, host_->Status().Pipes[MODEM_PIPE_BULK_IN].Bytes);
    int gaps = overReported_[MODEM_PIPE_BULK_IN] ? 0 : FewestGaps(chunks, stream, Serving());
    if (gaps < 0) {
        Fail("read bytes", "the reads delivered bytes that are not the modem's, in its order");
    } else if (gaps > purges + std::max(opens_ - 1, 0)) {
        Fail("read bytes", std::to_string(gaps) + " runs of the modem's bytes never reached a read, with " +
                               std::to_string(purges) + " purges and " + std::to_string(opens_) + " opens");
    }
}

// ZQ_STRESS_WAITERS=1 adds to a failure who waits for what: a context that
// waits for ever makes the scheduler say. (ZQ_TRACE=1 prints the kernel's trace.)
void Runner::NameWaiters()
{
    km::ClearViolations();
    km::Run([] {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    });
    verdict_.detail += km::Violations().empty() ? "" : "\n  " + km::Violations()[0].message;
}

Verdict Runner::Run()
{
    if (!BringUp()) {
        Fail("bring-up", "the port did not come up on the modem");
    }
    for (size_t i = 0; i < s_.ops.size() && verdict_.ok(); ++i) {
        const Op &op = s_.ops[i];
        if (op.act == OpIdle || op.act == OpAdvance) {
            op.act == OpAdvance ? km::AdvanceMs(op.a) : km::RunUntilIdle();
            Check("at a checkpoint");
            continue;
        }
        if (i == 0 || s_.ops[i - 1].act == OpIdle || s_.ops[i - 1].act == OpAdvance) {
            // A new burst: its reads may meet the timeouts it sets.
            committed_.swap(stored_.empty() ? committed_ : stored_);
            stored_.clear();
            candidates_ = committed_;
            SERIAL_TIMEOUTS t;
            for (size_t j = i; j < s_.ops.size() && s_.ops[j].act != OpIdle && s_.ops[j].act != OpAdvance; ++j) {
                if (SetsTimeouts(s_.ops[j], &t)) {
                    candidates_.push_back(t);
                }
            }
        }
        if (op.act == OpFailCall) {
            km::FailCall(Allocators[op.a % AllocatorCount], static_cast<int>(op.b));
            planted_.push_back({Allocators[op.a % AllocatorCount],
                                km::CallCount(Allocators[op.a % AllocatorCount]) + static_cast<int>(op.b)});
        } else {
            contexts_.push_back({km::Spawn([this, i] { Do(i); }, "operation"), i});
        }
    }
    if (verdict_.ok()) {
        Quiesce();
    }
    if (verdict_.ok()) {
        CheckBytes();
    }
    if (verdict_.ok()) {
        // The port leaves with its device, the bus after it; both images
        // unload with nothing of theirs left behind.
        if (km::DeviceExists(child_) && km::RemoveDevice(child_) != STATUS_SUCCESS) {
            Fail("removal", "the removal of the port was refused with no handle open");
        } else if (Alive()) {
            Fail("removal", "the port's device is still there after its removal");
        } else {
            km::UnloadDriver(port_);
            km::RemoveDevice(root_);
            km::UnloadDriver(bus_);
            CheckVerifier();
        }
    }
    verdict_.faultReached =
        std::all_of(planted_.begin(), planted_.end(), [](auto &p) { return km::CallCount(p.first) >= p.second; });
    verdict_.requests = static_cast<int>(tracked_.size());
    if (std::getenv("ZQ_STRESS_WAITERS") != nullptr && !verdict_.ok()) {
        NameWaiters();
    }
    km::Shutdown();
    CheckVerifier();
    km::ClearViolations();
    return verdict_;
}

// A verdict through a pipe: the scenario's index, then the fields, each ended
// by a character no message holds.
void Send(int fd, size_t index, const Verdict &v)
{
    std::string record = std::to_string(index) + '\x1f' + v.invariant + '\x1f' + v.detail + '\x1f' +
                         (v.faultReached ? "1" : "0") + std::to_string(v.requests) + '\x1e';
    if (write(fd, record.data(), record.size()) != static_cast<ssize_t>(record.size())) {
        _exit(1);
    }
}

bool Receive(FILE *in, size_t *index, Verdict *v)
{
    std::string fields[4];
    int field = 0;
    for (int c; (c = std::fgetc(in)) != EOF;) {
        if (c == '\x1e' && field == 3) {
            *index = std::stoul(fields[0]);
            *v = {fields[1], fields[2], fields[3][0] == '1', std::stoi(fields[3].substr(1))};
            return true;
        }
        if (c == '\x1f' && field < 3) {
            ++field;
        } else {
            fields[field] += static_cast<char>(c);
        }
    }
    return false;
}

} // namespace

bool Isolate = false;

// Isolated, the scenarios run in a worker process one after the other, as in
// this process; when one crashes, that is its verdict, and a new worker goes
// on with the next.
void RunAll(size_t count, const std::function<Scenario(size_t)> &make,
            const std::function<void(size_t, const Verdict &)> &done)
{
    for (size_t next = 0; next < count;) {
        int fds[2];
        if (!Isolate || pipe(fds) != 0) {
            for (; next < count; ++next) {
                done(next, Runner(make(next)).Run());
            }
            return;
        }
        std::fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            for (size_t i = next; i < count; ++i) {
                Send(fds[1], i, Runner(make(i)).Run());
            }
            _exit(0);
        }
        close(fds[1]);
        FILE *in = fdopen(fds[0], "r");
        size_t index = 0;
        for (Verdict v; Receive(in, &index, &v); next = index + 1) {
            done(index, v);
        }
        std::fclose(in);
        int status = 0;
        waitpid(pid, &status, 0);
        if (next < count) {
            done(next++, {"crash", WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                                       : "the worker ended"});
        }
    }
}

Verdict RunScenario(const Scenario &scenario)
{
    Verdict verdict;
    RunAll(
        1, [&](size_t) { return scenario; }, [&](size_t, const Verdict &v) { verdict = v; });
    return verdict;
}

} // namespace stress
