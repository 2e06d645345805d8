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
    NewContext("work " + DescribeAddress(reinterpret_cast<const void *>(WorkItem->WorkerRoutine)),
               km::ContextKind::WorkItem, [WorkItem] {
                   PWORKER_THREAD_ROUTINE routine = WorkItem->WorkerRoutine;
                   PVOID parameter = WorkItem->Parameter;
                   WorkItem->List.Flink = nullptr;
                   Queued().erase(WorkItem);
                   DriverScope scope(DriverOfAddress(reinterpret_cast<const void *>(routine)));
                   routine(parameter);
               });
    SwitchPoint("ExQueueWorkItem");
}
