// Work items that count in OutstandingIo from their queueing until their
// routine has run, so that close and removal wait for them. The I/O work item
// keeps the device object, and so the driver, in place until the worker has
// returned. Each item is allocated for one run and freed by its worker.
#include "driver/core/core.h"

struct CountedWorkItem {
    PIO_WORKITEM WorkItem;
    PDEVICE_EXTENSION Extension;
    PCOUNTED_WORK_ROUTINE Routine;
};

static VOID NTAPI CountedWorker(PDEVICE_OBJECT, PVOID Context)
{
    CountedWorkItem *item = static_cast<CountedWorkItem *>(Context);
    PDEVICE_EXTENSION extension = item->Extension;
    item->Routine(extension);
    IoFreeWorkItem(item->WorkItem);
    ExFreePool(item);
    DecrementIo(extension);
}

// At up to DISPATCH_LEVEL. Without memory the routine does not run.
NTSTATUS QueueCountedWork(PDEVICE_EXTENSION Extension, PCOUNTED_WORK_ROUTINE Routine)
{
    CountedWorkItem *item = static_cast<CountedWorkItem *>(ExAllocatePool(NonPagedPool, sizeof(CountedWorkItem)));
    if (item == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    item->WorkItem = IoAllocateWorkItem(Extension->Self);
    if (item->WorkItem == NULL) {
        ExFreePool(item);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    item->Extension = Extension;
    item->Routine = Routine;
    IncrementIo(Extension);
    IoQueueWorkItem(item->WorkItem, CountedWorker, DelayedWorkQueue, item);
    return STATUS_SUCCESS;
}
