// Runs one scenario on a fresh kernel with a freshly loaded port driver on the
// simulated modem, and checks the invariants at every checkpoint and at the end:
// the verifier is clean; every request completes exactly once, with a status
// the driver promises for it, and no later than the event that must end it;
// no operation is left hanging; reads deliver the modem's bytes in order, less
// only what a purge or a new open discarded; the modem received exactly what
// completed writes reported; the port is removed and its image unloads clean.
#include "tests/stress/scenario.h"
#include "tests/stress/stress.h"

#include "driver/core/device_extension.h"
#include "tests/modem_sim/modem_client.h"

#include <km/harness.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace stress {

const char *const Allocators[] = {"ExAllocatePool", "IoAllocateIrp", "IoAllocateWorkItem", "PoRequestPowerIrp"};
const int AllocatorCount = 4;

// Retryable failures first, then the three the driver takes as the loss of the device.
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
const uint32_t FailStatusCount = sizeof(FailStatuses) / sizeof(FailStatuses[0]);
const uint32_t FirstFatalStatus = 5;

namespace {

const wchar_t *const PortLink = L"\\DosDevices\\COM7";
const ULONG WaitOnMaskFunction = 18;
const int64_t Hour = 36000000000LL; // in 100 ns

// Byte i of a keyed pseudo-random stream; key 0 is the modem's stream.
std::vector<uint8_t> Bytes(uint64_t key, uint64_t offset, uint32_t length)
{
    std::vector<uint8_t> out(length);
    for (uint32_t i = 0; i < length; ++i) {
        uint64_t at = offset + i;
        out[i] = static_cast<uint8_t>(Rng(key << 32 | at >> 3).Next() >> (8 * (at & 7)));
    }
    return out;
}

// The input of a control request: its first word, then bytes of its own.
std::vector<uint8_t> ControlInput(const Op &op)
{
    uint32_t in = op.c & 0xFFFF;
    std::vector<uint8_t> input = Bytes(op.b ^ 0xC0FFEEULL, 0, in);
    for (uint32_t i = 0; i < in && i < 4; ++i) {
        input[i] = static_cast<uint8_t>(op.b >> (8 * i));
    }
    return input;
}

// How long (ms) a read of `length` may wait on an empty ring: 0 it ends at
// once, -1 it has no timer.
int64_t WaitLimit(const SERIAL_TIMEOUTS &t, uint32_t length)
{
    const ULONG max = 0xFFFFFFFF;
    ULONG m = t.ReadTotalTimeoutMultiplier, c = t.ReadTotalTimeoutConstant;
    if (t.ReadIntervalTimeout == max) {
        if (m == 0 && c == 0) {
            return 0;
        }
        if (c == max) {
            return -1;
        }
        return m == max ? c : static_cast<int64_t>(m) * length + c;
    }
    return m == 0 && c == 0 ? -1 : static_cast<int64_t>(m) * length + c;
}

// The fewest runs of the stream that the chunks (what the reads delivered, in
// their order of completion, each one free to trade places with the next,
// since two reads that end together may record their ends either way) leave
// out when they are laid along it in order; the bytes after the last chunk
// count as a run when `tail`. -1 when they cannot be laid along it at all.
int FewestGaps(const std::vector<std::vector<uint8_t>> &chunks, const std::vector<uint8_t> &stream, bool tail)
{
    const int none = 1 << 20;
    std::vector<std::vector<size_t>> places(chunks.size());
    for (size_t i = 0; i < chunks.size(); ++i) {
        for (auto at = stream.begin();
             (at = std::search(at, stream.end(), chunks[i].begin(), chunks[i].end())) != stream.end(); ++at) {
            places[i].push_back(static_cast<size_t>(at - stream.begin()));
        }
    }
    // Where chunk k may go from p on: right there, at its first place after,
    // or just before a place of chunk `then` (when there is one). Other
    // places cannot leave fewer gaps.
    auto candidates = [&](size_t k, size_t p, size_t then) {
        std::vector<size_t> out;
        auto first = std::lower_bound(places[k].begin(), places[k].end(), p);
        if (first != places[k].end()) {
            out.push_back(*first);
        }
        for (auto q = first; then < chunks.size() && q != places[k].end(); ++q) {
            if (std::binary_search(places[then].begin(), places[then].end(), *q + chunks[k].size())) {
                out.push_back(*q);
            }
        }
        return out;
    };
    std::map<std::pair<size_t, size_t>, int> memo;
    std::function<int(size_t, size_t)> from = [&](size_t i, size_t p) -> int {
        if (i == chunks.size()) {
            return tail && p < stream.size() ? 1 : 0;
        }
        auto known = memo.find({i, p});
        if (known != memo.end()) {
            return known->second;
        }
        int best = none;
        for (size_t q : candidates(i, p, i + 1)) {
            best = std::min(best, (q != p) + from(i + 1, q + chunks[i].size()));
        }
        if (i + 1 < chunks.size()) {
            for (size_t q : candidates(i + 1, p, i)) {
                size_t after = q + chunks[i + 1].size();
                for (size_t r : candidates(i, after, i + 2)) {
                    best = std::min(best, (q != p) + (r != after) + from(i + 2, r + chunks[i].size()));
                }
            }
        }
        return memo[{i, p}] = best;
    };
    int gaps = from(0, 0);
    return gaps >= none ? -1 : gaps;
}

enum Kind { ReadKind, WriteKind, ControlKind, WaitKind };

struct Tracked {
    km::Request *request;
    Kind kind;
    size_t op;
    uint32_t length; // read: asked for; write: sent; control: output buffer
    uint32_t salt;
    int64_t deadline; // a read must have ended by then; -1: no bound
    bool setsTimeouts;
    SERIAL_TIMEOUTS timeouts;
    bool checked;
};

std::string Hex(NTSTATUS status)
{
    std::ostringstream out;
    out << "0x" << std::hex << static_cast<uint32_t>(status);
    return out.str();
}

bool OneOf(NTSTATUS status, std::initializer_list<NTSTATUS> allowed)
{
    return std::find(allowed.begin(), allowed.end(), status) != allowed.end();
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
            verdict_.invariant = invariant;
            verdict_.detail = detail;
        }
    }
    bool BringUp();
    void Do(size_t index);
    void Track(km::Request *request, Kind kind, size_t op, uint32_t length, uint32_t salt = 0);
    void Checkpoint(const Op &op);
    void Check(const char *when);
    void CheckEnded(Tracked &t);
    void Quiesce();
    void CheckBytes();
    void TearDown();
    bool Alive() const
    {
        return fdo_ != nullptr && (km::DeviceExists(fdo_) || km::DeletePending(fdo_));
    }
    bool Usable() const
    {
        return Alive() && ext_->PnpState == Started && ext_->FailureMarker == 0;
    }
    bool Serving() const
    {
        return handle_ != nullptr && !cleaned_ && Usable();
    }
    NTSTATUS ModemFault(ULONG pipe, ULONG kind, ULONG count = 0, NTSTATUS status = 0, USBD_STATUS usbd = 0,
                        ULONG length = 0)
    {
        MODEM_FAULT fault = {0, pipe, kind, count, status, usbd, length};
        return modem_->Call(MODEM_CONTROL_INJECT_FAULT, &fault, sizeof(fault));
    }
    std::string Label(size_t op) const
    {
        return op < s_.ops.size() ? "op " + std::to_string(op) + " " + OpText(s_.ops[op]) : "the final drain or close";
    }
    // Issues a request from an application context, and lets it run.
    km::Request *Issue(const std::function<km::Request *()> &send)
    {
        km::Request *request = nullptr;
        km::Run([&] { request = send(); }, "application");
        km::RunUntilIdle();
        return request;
    }
    void CheckVerifier()
    {
        if (!km::Violations().empty()) {
            const km::Violation &v = km::Violations().front();
            Fail("verifier: " + v.rule, v.message + "\n  in " + v.context);
        }
    }

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
    // Read timeouts possibly in force: for this burst; after the last burst
    // that set any (each of them, when there were several at once); stored
    // since then.
    std::vector<SERIAL_TIMEOUTS> candidates_, committed_ = {SERIAL_TIMEOUTS{}}, stored_;
    uint64_t queued_ = 0; // bytes of the modem's stream it accepted
    FAST_MUTEX dataMutex_;
    int opens_ = 0;
    bool unplugged_ = false, removed_ = false, overReported_ = false;
    // What may mark the device failed: a fatal failure, or more than 20.
    bool fatal_ = false;
    uint32_t failures_ = 0;
    std::vector<std::pair<const char *, int>> planted_; // allocator, call number it must reach
};

void Runner::Track(km::Request *request, Kind kind, size_t op, uint32_t length, uint32_t salt)
{
    Tracked t = {request, kind, op, length, salt, -1, false, {}, false};
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
    if (bus_->entryStatus != STATUS_SUCCESS) {
        Fail("bring-up", "the modem's bus driver did not load");
        return false;
    }
    host_ = std::make_unique<ModemClient>(bus_);
    modem_ = std::make_unique<ModemClient>(host_->Direct());
    root_ = km::CreateRootDevice(bus_);
    host_->CompleteInline(s_.inlineCompletion);
    std::vector<PDEVICE_OBJECT> children = km::Children(root_);
    if (children.size() != 1) {
        Fail("bring-up", "the modem's bus has no child");
        return false;
    }
    child_ = children[0];
    static const char16_t name[] = u"COM7";
    km::SetDeviceValue(child_, L"PortName", REG_SZ, name, sizeof(name));
    port_ = km::LoadDriver(ZQ_DRIVER_PATH, L"zqevdodiag");
    if (port_->entryStatus != STATUS_SUCCESS || km::AddDevice(port_, child_) != STATUS_SUCCESS) {
        Fail("bring-up", "the port driver did not load or add its device");
        return false;
    }
    fdo_ = km::TopOfStack(child_);
    ext_ = GetExtension(fdo_);
    if (km::StartDevice(child_) != STATUS_SUCCESS) {
        Fail("bring-up", "the port did not start");
        return false;
    }
    return true;
}

// One operation, in a context of its own.
void Runner::Do(size_t index)
{
    const Op &op = s_.ops[index];
    switch (op.act) {
    case OpOpen: {
        km::Handle *handle = nullptr;
        NTSTATUS status = km::Open(PortLink, &handle);
        if (!OneOf(status, {STATUS_SUCCESS, STATUS_ACCESS_DENIED, STATUS_INSUFFICIENT_RESOURCES, STATUS_DELETE_PENDING,
                            STATUS_UNSUCCESSFUL, STATUS_OBJECT_NAME_NOT_FOUND, STATUS_NO_SUCH_DEVICE})) {
            Fail("promised status", Label(index) + " failed with " + Hex(status));
        }
        if (NT_SUCCESS(status) && handle_ != nullptr) {
            Fail("exclusive open", Label(index) + " was granted while another handle was open");
        }
        if (NT_SUCCESS(status)) {
            handle_ = handle;
            cleaned_ = false;
            ++opens_;
        }
        break;
    }
    case OpCleanup:
    case OpClose: {
        km::Handle *handle = handle_;
        if (handle == nullptr) {
            break;
        }
        // Requests after a cleanup still reach the driver; after a close the
        // I/O manager refuses them itself.
        cleaned_ = true;
        if (op.act == OpClose) {
            handle_ = nullptr;
        }
        NTSTATUS status = op.act == OpCleanup ? km::Cleanup(handle) : km::Close(handle);
        if (!OneOf(status, {STATUS_SUCCESS, STATUS_INVALID_HANDLE, STATUS_DELETE_PENDING})) {
            Fail("promised status", Label(index) + " ended with " + Hex(status));
        }
        break;
    }
    case OpRead:
        Track(km::ReadAsync(handle_, op.a), ReadKind, index, op.a);
        break;
    case OpWrite: {
        std::vector<uint8_t> bytes = Bytes(op.b + 1ULL, 0, op.a);
        Track(km::WriteAsync(handle_, bytes.data(), op.a), WriteKind, index, op.a, op.b);
        break;
    }
    case OpControl: {
        uint32_t in = op.c & 0xFFFF, out = op.c >> 16;
        if (op.a == 0) {
            Track(km::MajorAsync(handle_, IRP_MJ_FLUSH_BUFFERS), ControlKind, index, 0);
            break;
        }
        std::vector<uint8_t> input = ControlInput(op);
        ULONG code = CTL_CODE(FILE_DEVICE_SERIAL_PORT, op.a, METHOD_BUFFERED, FILE_ANY_ACCESS);
        Track(km::IoctlAsync(handle_, code, input.data(), in, out), op.a == WaitOnMaskFunction ? WaitKind : ControlKind,
              index, out);
        if (code == IOCTL_SERIAL_SET_TIMEOUTS && in >= sizeof(SERIAL_TIMEOUTS)) {
            tracked_.back().setsTimeouts = true;
            std::memcpy(&tracked_.back().timeouts, input.data(), sizeof(SERIAL_TIMEOUTS));
        }
        break;
    }
    case OpTimeouts: {
        SERIAL_TIMEOUTS t = {op.a, op.b, op.c, 0, 0};
        Track(km::IoctlAsync(handle_, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof(t), 0), ControlKind, index, 0);
        tracked_.back().setsTimeouts = true;
        tracked_.back().timeouts = t;
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
        std::vector<uint8_t> record(sizeof(MODEM_SELECT));
        std::vector<uint8_t> bytes = Bytes(0, queued_, op.a);
        record.insert(record.end(), bytes.begin(), bytes.end());
        uint32_t taken = 0;
        modem_->Call(MODEM_CONTROL_QUEUE_BYTES, record.data(), static_cast<ULONG>(record.size()), nullptr, 0, &taken);
        queued_ += taken;
        ExReleaseFastMutex(&dataMutex_);
        break;
    }
    case OpModem: {
        const FailStatus &fail = FailStatuses[(op.c >> 8) % FailStatusCount];
        switch (op.a) {
        case FaultFail:
            ModemFault(op.b, MODEM_FAULT_FAIL, op.c & 0xFF, fail.status, fail.usbd);
            failures_ += fail.status == STATUS_CANCELLED ? 0 : op.c & 0xFF;
            fatal_ = fatal_ || &fail >= &FailStatuses[FirstFatalStatus];
            break;
        case FaultShort:
            ModemFault(op.b, MODEM_FAULT_SHORT, op.c & 0xFF, 0, 0, op.c >> 8);
            break;
        case FaultNak:
        case FaultAck:
        case FaultStall: {
            static const ULONG kinds[] = {MODEM_FAULT_NAK, MODEM_FAULT_ACK, MODEM_FAULT_STALL};
            ModemFault(op.b, kinds[op.a == FaultNak ? 0 : op.a == FaultAck ? 1 : 2]);
            break;
        }
        case FaultOverReport:
            // Past the bytes it moved, a bulk-in buffer holds what an earlier
            // transfer left: the reads' bytes are then no longer all the modem's.
            overReported_ = overReported_ || op.b == MODEM_PIPE_BULK_IN;
            ModemFault(op.b, MODEM_FAULT_OVERREPORT, op.c & 0xFF, 0, 0, op.c >> 8);
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
            fatal_ = true; // a device that cannot be powered is failed
            static const ULONG minors[] = {MODEM_ANY_POWER_MINOR, IRP_MN_SET_POWER, IRP_MN_QUERY_POWER};
            modem_->FailPower(op.b, STATUS_UNSUCCESSFUL, minors[op.c % 3]);
            break;
        }
        default:
            // The simulated bus deletes an unplugged child at any removal, even
            // before it has reported it missing, which the PnP manager of the
            // model does not survive: an unplug and a removal of the port by
            // the PnP manager do not meet in a scenario.
            if (!removed_) {
                unplugged_ = fatal_ = true;
                modem_->Unplug();
            }
            break;
        }
        break;
    }
    case OpPnp:
        removed_ = removed_ || op.a != PnpRebalance;
        if (km::DeviceExists(child_) && !unplugged_) {
            static NTSTATUS (*const sequences[])(PDEVICE_OBJECT) = {km::RebalanceDevice, km::RemoveDevice,
                                                                    km::SurpriseRemoveDevice, km::DisableDevice};
            sequences[op.a % 4](child_);
        }
        break;
    case OpPower: {
        SYSTEM_POWER_STATE sleep = static_cast<SYSTEM_POWER_STATE>(PowerSystemSleeping1 + op.b % 3);
        if (op.a == PowerVetoedSleep) {
            km::VetoSystemQueries(root_, 1);
        }
        op.a == PowerResume      ? km::SystemResume()
        : op.a == PowerHibernate ? km::SystemHibernate()
                                 : km::SystemSleep(sleep);
        break;
    }
    default:
        break;
    }
}

// A request that has ended: once, with a status and a byte count it may have.
void Runner::CheckEnded(Tracked &t)
{
    t.checked = true;
    const km::Request &r = *t.request;
    NTSTATUS s = r.status;
    std::string what = Label(t.op) + " completed with " + Hex(s) + " and " + std::to_string(r.information) + " bytes";
    if (r.completions != 1) {
        Fail("completed once", Label(t.op) + " completed " + std::to_string(r.completions) + " times");
    }
    bool refusal = OneOf(s, {STATUS_CANCELLED, STATUS_DELETE_PENDING, STATUS_INVALID_HANDLE, STATUS_TIMEOUT});
    switch (t.kind) {
    case ReadKind:
        if (!OneOf(s,
                   {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED, STATUS_DELETE_PENDING, STATUS_INVALID_HANDLE}) ||
            r.information > t.length || (refusal && r.information != 0)) {
            Fail("promised status", what);
        }
        break;
    case WriteKind: {
        bool bus = false;
        for (uint32_t i = 0; i < FailStatusCount; ++i) {
            bus = bus || s == FailStatuses[i].status;
        }
        if (!(bus || OneOf(s, {STATUS_SUCCESS, STATUS_CANCELLED, STATUS_DELETE_PENDING, STATUS_INSUFFICIENT_RESOURCES,
                               STATUS_INVALID_HANDLE, STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_CONNECTED})) ||
            r.information > t.length || (r.returned != STATUS_PENDING && !NT_SUCCESS(s) && r.information != 0)) {
            Fail("promised status", what);
        }
        break;
    }
    case ControlKind:
    case WaitKind: {
        // A purge reports its 4 bytes to a caller that gave no buffer for them.
        bool purge = t.op < s_.ops.size() && s_.ops[t.op].act == OpControl && s_.ops[t.op].a == 19;
        if (!OneOf(s, {STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_PARAMETER, STATUS_INVALID_DEVICE_REQUEST,
                       STATUS_DELETE_PENDING, STATUS_CANCELLED, STATUS_INVALID_HANDLE}) ||
            (r.information > t.length && !(t.length == 0 && purge)) || (!NT_SUCCESS(s) && r.information != 0) ||
            (t.kind == WaitKind && s == STATUS_SUCCESS && r.information != 4)) {
            Fail("promised status", what);
        }
        if (t.setsTimeouts && s == STATUS_SUCCESS) {
            stored_.push_back(t.timeouts);
        }
        break;
    }
    }
}

// Nothing may wait that the events so far should have ended: a read waits
// only for data on an open, usable port with an empty ring, and not past its
// timeout; a wait-on-mask only on an open, usable port; a write only while the
// bus holds its piece (and after cleanup, only the one on the bus); nothing
// else waits at all. One of each, at most. No operation may hang, unless a
// close waits for a write the bus holds.
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
    if (Alive() && ext_->FailureMarker != 0 && !fatal_ && failures_ <= 20) {
        Fail("failed with cause", "the device was marked failed " + std::string(when) + " after at most " +
                                      std::to_string(failures_) + " transfers failed, none of them fatally");
    }
    int reads = 0, waits = 0, writes = 0;
    for (Tracked &t : tracked_) {
        if (t.request->completed) {
            if (!t.checked) {
                CheckEnded(t);
            }
            continue;
        }
        std::string stranded = Label(t.op) + " still pending " + when;
        switch (t.kind) {
        case ReadKind:
            ++reads;
            if (!Serving() || ext_->RingCount != 0 || (t.deadline >= 0 && km::Now() >= t.deadline)) {
                Fail("request ended",
                     stranded + (Serving() ? ext_->RingCount != 0 ? " with data in the ring" : " past its timeout"
                                           : " on a port that no longer serves it"));
            }
            break;
        case WaitKind:
            ++waits;
            if (!Serving()) {
                Fail("request ended", stranded + " on a port that no longer serves it");
            }
            break;
        case WriteKind:
            ++writes;
            if (!outHeld || (!Serving() && writes > 1)) {
                Fail("request ended", stranded + (outHeld ? " behind a write that may not go on" : ", the bus idle"));
            }
            break;
        default:
            Fail("request ended", stranded);
        }
    }
    if (reads > 1 || waits > 1) {
        Fail("request ended", "two reads or two waits pending " + std::string(when));
    }
    for (const auto &[context, op] : contexts_) {
        if (!km::Finished(context) && !outHeld) {
            Fail("operation returned", Label(op) + " never returned " + when);
        }
    }
}

void Runner::Checkpoint(const Op &op)
{
    if (op.act == OpAdvance) {
        km::AdvanceMs(op.a);
    } else {
        km::RunUntilIdle();
    }
    Check("at a checkpoint");
}

// The end of every scenario: faults and holds lifted and the system awake,
// then the timed reads' time; what the ring holds is read out, the handle
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
    bool faulted =
        std::any_of(planted_.begin(), planted_.end(), [](const auto &p) { return km::CallCount(p.first) >= p.second; });
    if (Serving() && verdict_.ok()) {
        // Whatever the modem holds reaches the ring, then the reads, which end at once.
        Track(Issue([&] {
                  SERIAL_TIMEOUTS immediate = {0xFFFFFFFF, 0, 0, 0, 0};
                  return km::IoctlAsync(handle_, IOCTL_SERIAL_SET_TIMEOUTS, &immediate, sizeof(immediate), 0);
              }),
              ControlKind, s_.ops.size(), 0);
        for (int i = 0; i < 8; ++i) {
            Track(Issue([&] { return km::ReadAsync(handle_, 70000); }), ReadKind, s_.ops.size(), 70000);
            if (tracked_.back().request->information == 0 && host_->Status().HostQueued == 0) {
                break;
            }
        }
        if (!faulted && host_->Status().HostQueued != 0) {
            Fail("data flows", "the port is open and the modem still holds " +
                                   std::to_string(host_->Status().HostQueued) + " bytes: the reader has stopped");
        }
    }
    if (handle_ != nullptr) {
        km::Handle *handle = handle_;
        handle_ = nullptr;
        contexts_.push_back({km::Spawn([handle] { km::Close(handle); }, "close"), s_.ops.size()});
    }
    km::RunUntilIdle();
    Check("after the close");
    for (Tracked &t : tracked_) {
        if (!t.request->completed) {
            Fail("request ended", Label(t.op) + " never completed");
        }
    }
}

// Reads deliver the modem's stream in order: each read's bytes continue where
// the one before ended (completions that overlapped may be recorded the other
// way round), and the stream may skip only where a purge or a new open threw
// the ring away, or at its end when the port no longer serves. The modem
// received exactly the bytes completed writes reported, in their order.
void Runner::CheckBytes()
{
    std::vector<const Tracked *> writes, reads;
    int purges = 0;
    for (const Tracked &t : tracked_) {
        const km::Request &r = *t.request;
        if (t.kind == WriteKind && r.information != 0) {
            writes.push_back(&t);
        } else if (t.kind == ReadKind && r.information != 0) {
            reads.push_back(&t);
        }
        const Op &op = t.op < s_.ops.size() ? s_.ops[t.op] : s_.ops.front();
        bool purge = t.op < s_.ops.size() && op.act == OpControl && op.a == 19 && (op.b & SERIAL_PURGE_RXCLEAR);
        purges += purge && r.status == STATUS_SUCCESS;
    }
    auto byOrder = [](const Tracked *x, const Tracked *y) { return x->request->order < y->request->order; };
    std::sort(writes.begin(), writes.end(), byOrder);
    std::sort(reads.begin(), reads.end(), byOrder);

    std::vector<uint8_t> expected;
    for (const Tracked *t : writes) {
        std::vector<uint8_t> bytes = Bytes(t->salt + 1ULL, 0, static_cast<uint32_t>(t->request->information));
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    std::string captured = host_->Captured();
    if (host_->Status().CaptureDropped != 0 || captured != std::string(expected.begin(), expected.end())) {
        Fail("write bytes", "the modem received " + std::to_string(captured.size()) +
                                " bytes, completed writes reported " + std::to_string(expected.size()));
        return;
    }

    std::vector<uint8_t> stream = Bytes(0, 0, host_->Status().Pipes[MODEM_PIPE_BULK_IN].Bytes);
    std::vector<std::vector<uint8_t>> chunks;
    for (const Tracked *t : reads) {
        chunks.push_back(t->request->output);
    }
    int gaps = overReported_ ? 0 : FewestGaps(chunks, stream, Serving());
    if (gaps < 0) {
        Fail("read bytes", "the reads delivered bytes that are not the modem's, in its order");
    } else if (gaps > purges + std::max(opens_ - 1, 0)) {
        Fail("read bytes", std::to_string(gaps) + " runs of the modem's bytes never reached a read, with " +
                               std::to_string(purges) + " purges and " + std::to_string(opens_) + " opens");
    }
}

// The port leaves with its device, the bus after it; both images unload with
// nothing of theirs left behind.
void Runner::TearDown()
{
    if (km::DeviceExists(child_) && km::RemoveDevice(child_) != STATUS_SUCCESS) {
        Fail("removal", "the removal of the port was refused with no handle open");
    }
    if (Alive()) {
        Fail("removal", "the port's device is still there after its removal");
        return;
    }
    km::UnloadDriver(port_);
    if (km::DeviceExists(root_)) {
        km::RemoveDevice(root_);
    }
    km::UnloadDriver(bus_);
    CheckVerifier();
}

Verdict Runner::Run()
{
    if (BringUp()) {
        for (size_t i = 0; i < s_.ops.size() && verdict_.ok(); ++i) {
            const Op &op = s_.ops[i];
            if (op.act == OpIdle || op.act == OpAdvance) {
                Checkpoint(op);
                continue;
            }
            if (i == 0 || s_.ops[i - 1].act == OpIdle || s_.ops[i - 1].act == OpAdvance) {
                // A new burst: the reads in it may meet the timeouts it sets.
                if (!stored_.empty()) {
                    committed_.swap(stored_);
                    stored_.clear();
                }
                candidates_ = committed_;
                for (size_t j = i; j < s_.ops.size() && s_.ops[j].act != OpIdle && s_.ops[j].act != OpAdvance; ++j) {
                    const Op &o = s_.ops[j];
                    if (o.act == OpTimeouts) {
                        candidates_.push_back({o.a, o.b, o.c, 0, 0});
                    } else if (o.act == OpControl && o.a == 7 && (o.c & 0xFFFF) >= sizeof(SERIAL_TIMEOUTS)) {
                        SERIAL_TIMEOUTS t;
                        std::memcpy(&t, ControlInput(o).data(), sizeof(t));
                        candidates_.push_back(t);
                    }
                }
            }
            if (op.act == OpFailCall) {
                const char *allocator = Allocators[op.a % AllocatorCount];
                km::FailCall(allocator, static_cast<int>(op.b));
                planted_.push_back({allocator, km::CallCount(allocator) + static_cast<int>(op.b)});
                continue;
            }
            contexts_.push_back({km::Spawn([this, i] { Do(i); }, "operation"), i});
        }
        if (verdict_.ok()) {
            Quiesce();
        }
        if (verdict_.ok()) {
            CheckBytes();
        }
        if (verdict_.ok()) {
            TearDown();
        }
        for (const auto &p : planted_) {
            verdict_.faultReached = verdict_.faultReached && km::CallCount(p.first) >= p.second;
        }
    }
    verdict_.requests = static_cast<int>(tracked_.size());
    // ZQ_STRESS_TRACE=file keeps the kernel's trace of a failing run.
    if (const char *path = std::getenv("ZQ_STRESS_TRACE"); path != nullptr && !verdict_.ok()) {
        // A context that waits for ever makes the scheduler name every waiter.
        km::ClearViolations();
        km::Run([] {
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        });
        std::ofstream out(path);
        for (const km::Violation &v : km::Violations()) {
            out << v.rule << ": " << v.message << "\n";
        }
        for (const Tracked &t : tracked_) {
            out << Label(t.op) << ": " << (t.request->completed ? Hex(t.request->status) : "pending") << ", "
                << t.request->information << " bytes, completion " << t.request->order << "\n";
        }
        for (const std::string &line : km::Trace()) {
            out << line << "\n";
        }
    }
    km::Shutdown();
    CheckVerifier();
    km::ClearViolations();
    return verdict_;
}

} // namespace

bool Isolate = false;

namespace {

// A verdict through a pipe: its length, then its fields.
void Send(int fd, size_t index, const Verdict &v)
{
    std::string record = std::to_string(index) + '\0' + v.invariant + '\0' + v.detail + '\0' +
                         (v.faultReached ? "1" : "0") + '\0' + std::to_string(v.requests) + '\0';
    uint32_t length = static_cast<uint32_t>(record.size());
    if (write(fd, &length, sizeof(length)) != sizeof(length) ||
        write(fd, record.data(), length) != static_cast<ssize_t>(length)) {
        _exit(1);
    }
}

bool Receive(FILE *in, size_t *index, Verdict *v)
{
    uint32_t length = 0;
    if (std::fread(&length, sizeof(length), 1, in) != 1) {
        return false;
    }
    std::string record(length, '\0');
    if (std::fread(&record[0], 1, length, in) != length) {
        return false;
    }
    std::vector<std::string> fields;
    for (size_t at = 0, end; (end = record.find('\0', at)) != std::string::npos; at = end + 1) {
        fields.push_back(record.substr(at, end - at));
    }
    if (fields.size() != 5) {
        return false;
    }
    *index = std::stoul(fields[0]);
    v->invariant = fields[1];
    v->detail = fields[2];
    v->faultReached = fields[3] == "1";
    v->requests = std::stoi(fields[4]);
    return true;
}

} // namespace

// Isolated, the scenarios run in a worker process, one after the other as in
// this process; when one crashes, in the driver or anywhere, that is its
// verdict, and a new worker goes on with the next.
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
        Verdict v;
        while (Receive(in, &index, &v)) {
            next = index + 1;
            done(index, v);
        }
        std::fclose(in);
        int status = 0;
        waitpid(pid, &status, 0);
        if (next < count) {
            Verdict crash;
            crash.invariant = "crash";
            crash.detail = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status)) : "no verdict";
            done(next++, crash);
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
