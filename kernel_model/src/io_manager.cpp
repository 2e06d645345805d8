// The I/O manager as applications see it: handles on named devices, create,
// read, write, device control, cleanup and close requests with file objects
// and buffered-I/O system buffers, and the finish of a request for its
// originator (copy back, status, free).
#include "model.h"

#include <cstring>

namespace km {

struct Handle {
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr; // the device the name resolved to
    PDEVICE_OBJECT top = nullptr;
    std::vector<Request *> requests;
    int dispatching = 0; // dispatch calls of its requests not yet returned
    bool cleanedUp = false;
    bool closed = false;
};

} // namespace km

namespace km::detail {
namespace {

struct IoManager {
    std::vector<std::unique_ptr<Request>> requests;
    std::vector<std::unique_ptr<Handle>> handles;
    uint64_t completions = 0;
};

IoManager &M()
{
    static IoManager m;
    return m;
}

} // namespace

uint64_t NextCompletionOrder()
{
    return ++M().completions;
}

namespace {

// A request on a file object holds the object, and with it the device, until
// the dispatch routine it called has returned, even if the request completed
// before (pended, then completed while the routine still runs).
void Send(Handle *handle, Request *request)
{
    handle->dispatching++;
    request->returned = CallDriver(handle->top, request->irp, "IofCallDriver");
    if (--handle->dispatching == 0) {
        WakeAll(handle);
    }
}

PIRP HandleRequest(Handle *handle, UCHAR major, Request **out)
{
    Request *request = NewOriginatorRequest(handle->top, major, false);
    PIRP irp = request->irp;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->FileObject = handle->file;
    irp->Tail.Overlay.OriginalFileObject = handle->file;
    handle->requests.push_back(request);
    *out = request;
    return irp;
}

Request *Refused(NTSTATUS status)
{
    auto owned = std::make_unique<Request>();
    owned->completed = true;
    owned->completions = 1;
    owned->order = NextCompletionOrder();
    owned->status = status;
    Request *request = owned.get();
    M().requests.push_back(std::move(owned));
    return request;
}

// Sends a request built for `device` and waits for it: the I/O manager's
// synchronous path, which reports what the dispatch routine returned unless
// that was STATUS_PENDING.
NTSTATUS SendAndWait(Handle *handle, Request *request)
{
    Send(handle, request);
    WaitRequest(request);
    return request->Reported();
}

NTSTATUS SendCleanup(Handle *handle)
{
    handle->cleanedUp = true;
    Request *cleanup;
    HandleRequest(handle, IRP_MJ_CLEANUP, &cleanup);
    return SendAndWait(handle, cleanup);
}

PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device)
{
    while (FindDevice(device) != nullptr && FindDevice(device)->lower != nullptr) {
        device = FindDevice(device)->lower;
    }
    return device;
}

} // namespace

Request *NewOriginatorRequest(PDEVICE_OBJECT device, UCHAR major, bool setCurrent)
{
    PIRP irp = AllocateIrp(device->StackSize, nullptr, "the I/O manager", nullptr);
    IrpInfo *info = FindIrp(irp);
    auto owned = std::make_unique<Request>();
    Request *request = owned.get();
    M().requests.push_back(std::move(owned));
    request->irp = irp;
    request->sentAfter = M().completions;
    info->origin = Origin::Io;
    info->request = request;
    info->major = major;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->RequestorMode = UserMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    if (setCurrent) {
        irp->CurrentLocation--;
        irp->Tail.Overlay.CurrentStackLocation--;
        next->DeviceObject = device;
    }
    return request;
}

static std::string RequestWaitText(const Context *waiter)
{
    return "request " + DescribeAddress(static_cast<const Request *>(waiter->waitObject)->irp) + " to complete";
}

void WaitRequest(Request *request)
{
    while (!request->completed) {
        if (!Block(request, RequestWaitText)) {
            return;
        }
    }
}

void FinishOriginator(PIRP irp, IrpInfo *info)
{
    if (info->origin == Origin::PowerRequest) {
        IO_STATUS_BLOCK status = irp->IoStatus;
        PREQUEST_POWER_COMPLETE callback = info->powerCallback;
        if (callback != nullptr) {
            DriverScope scope(DriverOfAddress(reinterpret_cast<const void *>(callback)));
            callback(info->powerDevice, info->powerMinor, info->powerState, info->powerContext, &status);
        }
        ReleaseIrp(irp, "the power manager", nullptr);
        return;
    }
    Request *request = info->request;
    request->status = irp->IoStatus.Status;
    request->information = irp->IoStatus.Information;
    bool output = info->major == IRP_MJ_READ || info->major == IRP_MJ_DEVICE_CONTROL;
    // Success, information and warning statuses (STATUS_BUFFER_OVERFLOW among
    // them) all carry data back; only an error status does not.
    bool error = (static_cast<ULONG>(request->status) >> 30) == 3;
    // A caller that gave no output buffer gets nothing back: the I/O manager
    // copies only into a buffer it was given.
    const uint8_t *buffer = CallerOutput(info);
    if (output && !error && buffer != nullptr && info->outLength != 0) {
        ULONG_PTR bytes = request->information;
        // Only the system buffer is copied back, by that count, whatever the
        // caller's buffer holds: more overruns the caller's memory.
        if (bytes > info->outLength && buffer == info->systemBuffer) {
            Violate("BUFFER_OVERRUN", "request " + DescribeAddress(irp) + " completed with Information " +
                                          std::to_string(bytes) + " for an output buffer of " +
                                          std::to_string(info->outLength) + " bytes");
        }
        bytes = bytes > info->outLength ? info->outLength : bytes;
        request->output.assign(buffer, buffer + bytes);
    }
    request->completions++;
    request->completed = true;
    request->order = info->completionOrder != 0 ? info->completionOrder : NextCompletionOrder();
    ReleaseIrp(irp, "the I/O manager", nullptr);
    WakeAll(request);
}

void ResetIoManager()
{
    for (auto &handle : M().handles) {
        ModelFree(handle->file);
    }
    M().handles.clear();
    M().requests.clear();
    M().completions = 0;
}

} // namespace km::detail

namespace km {

using namespace detail;

Request *NewRequest(PDEVICE_OBJECT device, UCHAR major, ULONG ioControlCode, const void *input, ULONG inLength,
                    ULONG outLength)
{
    Request *request = NewOriginatorRequest(device, major, true);
    PIRP irp = request->irp;
    IrpInfo *info = FindIrp(irp);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    info->ioControlCode = ioControlCode;
    info->outLength = outLength;
    AttachBuffers(nullptr, irp, info, ioControlCode, input, inLength, outLength);
    switch (major) {
    case IRP_MJ_READ:
        location->Parameters.Read.Length = outLength;
        break;
    case IRP_MJ_WRITE:
        location->Parameters.Write.Length = inLength;
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        location->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
        location->Parameters.DeviceIoControl.InputBufferLength = inLength;
        location->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        break;
    default:
        break;
    }
    return request;
}

NTSTATUS Dispatch(Request *request)
{
    PIRP irp = request->irp;
    request->returned = DispatchAt(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    return request->returned;
}

NTSTATUS Open(const wchar_t *name, Handle **handle)
{
    *handle = nullptr;
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    RunOnSystemThread(
        [&] {
            PDEVICE_OBJECT device = ResolveName(Wide(name));
            if (device == nullptr || !IsLive(device)) {
                result = STATUS_OBJECT_NAME_NOT_FOUND;
                return;
            }
            DeviceInfo *info = FindDevice(device);
            if ((device->Flags & DO_DEVICE_INITIALIZING) != 0) {
                result = STATUS_NO_SUCH_DEVICE;
                return;
            }
            if ((device->Flags & DO_EXCLUSIVE) != 0 && info->openHandles > 0) {
                result = STATUS_ACCESS_DENIED;
                return;
            }
            auto owned = std::make_unique<Handle>();
            Handle *h = owned.get();
            h->device = device;
            h->top = IoGetAttachedDevice(device);
            h->file = static_cast<PFILE_OBJECT>(ModelAlloc(sizeof(FILE_OBJECT)));
            h->file->Type = IO_TYPE_FILE;
            h->file->Size = sizeof(FILE_OBJECT);
            h->file->DeviceObject = device;
            M().handles.push_back(std::move(owned));
            Request *request;
            HandleRequest(h, IRP_MJ_CREATE, &request);
            info->openHandles++; // counted while the create is in flight, as the object manager does
            result = SendAndWait(h, request);
            if (!NT_SUCCESS(result)) {
                info->openHandles--;
                h->closed = true;
                return;
            }
            *handle = h;
        },
        "open");
    return result;
}

Request *ReadAsync(Handle *handle, ULONG length)
{
    if (handle == nullptr || handle->closed) {
        return Refused(STATUS_INVALID_HANDLE);
    }
    Request *request;
    PIRP irp = HandleRequest(handle, IRP_MJ_READ, &request);
    IrpInfo *info = FindIrp(irp);
    info->outLength = length;
    AttachBuffers(handle->top, irp, info, 0, nullptr, 0, length);
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = length;
    Send(handle, request);
    return request;
}

Request *WriteAsync(Handle *handle, const void *data, ULONG length)
{
    if (handle == nullptr || handle->closed) {
        return Refused(STATUS_INVALID_HANDLE);
    }
    Request *request;
    PIRP irp = HandleRequest(handle, IRP_MJ_WRITE, &request);
    AttachBuffers(handle->top, irp, FindIrp(irp), 0, data, length, 0);
    IoGetNextIrpStackLocation(irp)->Parameters.Write.Length = length;
    Send(handle, request);
    return request;
}

Request *IoctlAsync(Handle *handle, ULONG code, const void *input, ULONG inLength, ULONG outLength)
{
    if (handle == nullptr || handle->closed) {
        return Refused(STATUS_INVALID_HANDLE);
    }
    Request *request;
    PIRP irp = HandleRequest(handle, IRP_MJ_DEVICE_CONTROL, &request);
    IrpInfo *info = FindIrp(irp);
    info->ioControlCode = code;
    info->outLength = outLength;
    AttachBuffers(handle->top, irp, info, code, input, inLength, outLength);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    Send(handle, request);
    return request;
}

Request *MajorAsync(Handle *handle, UCHAR major)
{
    if (handle == nullptr || handle->closed) {
        return Refused(STATUS_INVALID_HANDLE);
    }
    Request *request;
    HandleRequest(handle, major, &request);
    Send(handle, request);
    return request;
}

void Wait(Request *request)
{
    WaitRequest(request);
}

NTSTATUS Close(Handle *handle)
{
    if (handle == nullptr || handle->closed) {
        return STATUS_INVALID_HANDLE;
    }
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    RunOnSystemThread(
        [&] {
            handle->closed = true;
            if (!handle->cleanedUp) {
                SendCleanup(handle);
            }
            // The close follows once every request on the file object has
            // ended and the dispatch routines they called have returned.
            for (size_t i = 0; i < handle->requests.size(); ++i) {
                WaitRequest(handle->requests[i]);
            }
            while (handle->dispatching != 0) {
                if (!Block(handle, "the dispatch routines of the handle's requests to return")) {
                    break;
                }
            }
            Request *close;
            HandleRequest(handle, IRP_MJ_CLOSE, &close);
            result = SendAndWait(handle, close);
            DeviceInfo *info = FindDevice(handle->device);
            info->openHandles--;
            if (!DestroyIfUnused(handle->device) && info->openHandles == 0) {
                OnLastHandleClosed(BottomOf(handle->device));
            }
        },
        "close");
    return result;
}

NTSTATUS Cleanup(Handle *handle)
{
    if (handle == nullptr || handle->closed || handle->cleanedUp) {
        return STATUS_INVALID_HANDLE;
    }
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    RunOnSystemThread([&] { result = SendCleanup(handle); }, "cleanup");
    return result;
}

} // namespace km
