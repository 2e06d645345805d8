// Executive work items: each queued item runs once, later, on a system
// worker thread at PASSIVE_LEVEL.
#include "model.h"

namespace km::detail {
namespace {

// Items queued whose worker has not picked them up yet.
std::set<PWORK_QUEUE_ITEM> &Queued()
{
    static std::set<PWORK_QUEUE_ITEM> queued;
    return queued;
}

void RunWorkItem(Context *context)
{
    PWORK_QUEUE_ITEM item = static_cast<PWORK_QUEUE_ITEM>(context->arguments[0]);
    PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
    PVOID parameter = item->Parameter;
    item->List.Flink = nullptr;
    Queued().erase(item);
    DriverScope scope(DriverOfAddress(reinterpret_cast<const void *>(routine)));
    routine(parameter);
}

} // namespace

void CheckWorkItemsOfImage(PDRIVER_OBJECT driver)
{
    for (PWORK_QUEUE_ITEM item : Queued()) {
        if (DriverOfAddress(reinterpret_cast<const void *>(item->WorkerRoutine)) == driver) {
            Violate("UNLOAD_PENDING_WORK",
                    "the driver unloads with the work item " + DescribeAddress(item) + " still queued");
            return;
        }
    }
}

void ResetWorkItems()
{
    Queued().clear();
}

} // namespace km::detail

using namespace km::detail;

VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType)
{
    (void)QueueType;
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExQueueWorkItem");
    if (WorkItem->List.Flink != nullptr) {
        Violate("WORK_ITEM_REQUEUED", "ExQueueWorkItem on an item already queued: " + DescribeAddress(WorkItem));
        return;
    }
    CheckResident(WorkItem, "ExQueueWorkItem");
    WorkItem->List.Flink = &WorkItem->List; // queued; cleared when its worker picks it up
    Queued().insert(WorkItem);
    NewContext(km::ContextKind::WorkItem, "work ", reinterpret_cast<const void *>(WorkItem->WorkerRoutine), RunWorkItem,
               {WorkItem});
    SwitchPoint("ExQueueWorkItem");
}

// An I/O manager work item: a pool block of the driver's, queued once at a
// time, holding a reference on its device object while queued and running.
struct _IO_WORKITEM {
    PDEVICE_OBJECT Device;
    bool Queued;
};

// The routine may free the item; the reference is the model's own.
static void RunIoWorkItem(km::Context *context)
{
    PIO_WORKITEM item = static_cast<PIO_WORKITEM>(context->arguments[0]);
    PIO_WORKITEM_ROUTINE routine = reinterpret_cast<PIO_WORKITEM_ROUTINE>(context->arguments[1]);
    PVOID parameter = context->arguments[2];
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(context->arguments[3]);
    item->Queued = false;
    {
        DriverScope scope(DriverOfAddress(reinterpret_cast<const void *>(routine)));
        routine(device, parameter);
    }
    ObDereferenceObject(device);
}

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    NTSTATUS status;
    if (ShouldFail("IoAllocateWorkItem", &status)) {
        return nullptr;
    }
    auto item = static_cast<PIO_WORKITEM>(PoolAllocate(sizeof(_IO_WORKITEM), "IoAllocateWorkItem"));
    item->Device = DeviceObject;
    item->Queued = false;
    return item;
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    if (IoWorkItem->Queued) {
        Violate("WORK_ITEM_FREED_QUEUED", "IoFreeWorkItem on an item still queued: " + DescribeAddress(IoWorkItem));
        return;
    }
    PoolFree(IoWorkItem, "IoFreeWorkItem");
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context)
{
    (void)QueueType;
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    if (IoWorkItem->Queued) {
        Violate("WORK_ITEM_REQUEUED", "IoQueueWorkItem on an item already queued: " + DescribeAddress(IoWorkItem));
        return;
    }
    IoWorkItem->Queued = true;
    PDEVICE_OBJECT device = IoWorkItem->Device;
    ObReferenceObject(device);
    NewContext(km::ContextKind::WorkItem, "work ", reinterpret_cast<const void *>(WorkerRoutine), RunIoWorkItem,
               {IoWorkItem, reinterpret_cast<void *>(WorkerRoutine), Context, device});
    SwitchPoint("IoQueueWorkItem");
}
