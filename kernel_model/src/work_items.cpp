// Executive work items: each queued item runs once, later, on a system
// worker thread at PASSIVE_LEVEL.
#include "model.h"

using namespace km::detail;

VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType)
{
    (void)QueueType;
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExQueueWorkItem");
    if (WorkItem->List.Flink != nullptr) {
        Violate("WORK_ITEM_REQUEUED", "ExQueueWorkItem on an item already queued: " + DescribeAddress(WorkItem));
        return;
    }
    WorkItem->List.Flink = &WorkItem->List; // queued; cleared when its worker picks it up
    NewContext("work " + DescribeAddress(reinterpret_cast<const void *>(WorkItem->WorkerRoutine)),
               km::ContextKind::WorkItem, [WorkItem] {
                   PWORKER_THREAD_ROUTINE routine = WorkItem->WorkerRoutine;
                   PVOID parameter = WorkItem->Parameter;
                   WorkItem->List.Flink = nullptr;
                   DriverScope scope(DriverOfAddress(reinterpret_cast<const void *>(routine)));
                   routine(parameter);
               });
    SwitchPoint("ExQueueWorkItem");
}
