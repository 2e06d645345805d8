// Kernel and executive services of the model: IRQL, spin locks, dispatcher
// objects (events, timers), DPCs, fast mutexes, work items, interlocked
// operations, time and pool. Same names, values and layouts as the DDK.
#pragma once

#include <km/nt_base.h>

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

#define MAXIMUM_PROCESSORS 32

typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _ETHREAD *PETHREAD;
typedef struct _EPROCESS *PEPROCESS;

// ---------------------------------------------------------------- dispatcher objects

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;
static_assert(sizeof(DISPATCHER_HEADER) == KM_I386_X64(16, 24), "DISPATCHER_HEADER");

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;
static_assert(sizeof(KEVENT) == KM_I386_X64(16, 24), "KEVENT");

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
} KWAIT_REASON;

typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef LONG KPRIORITY;
#define EVENT_INCREMENT 1

typedef struct _KDPC *PKDPC, *PRKDPC;
typedef VOID NTAPI KDEFERRED_ROUTINE(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE *PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    CSHORT Type;
    UCHAR Number;
    UCHAR Importance;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData;
} KDPC;
static_assert(sizeof(KDPC) == KM_I386_X64(32, 64), "KDPC");

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;
    LIST_ENTRY TimerListEntry;
    struct _KDPC *Dpc;
    LONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;
static_assert(sizeof(KTIMER) == KM_I386_X64(40, 64), "KTIMER");

typedef struct _FAST_MUTEX {
    LONG Count;
    PKTHREAD Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;
static_assert(sizeof(FAST_MUTEX) == KM_I386_X64(32, 56), "FAST_MUTEX");

typedef VOID NTAPI WORKER_THREAD_ROUTINE(PVOID Parameter);
typedef WORKER_THREAD_ROUTINE *PWORKER_THREAD_ROUTINE;

typedef struct _WORK_QUEUE_ITEM {
    LIST_ENTRY List;
    PWORKER_THREAD_ROUTINE WorkerRoutine;
    PVOID Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;
static_assert(sizeof(WORK_QUEUE_ITEM) == KM_I386_X64(16, 32), "WORK_QUEUE_ITEM");

typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue,
    DelayedWorkQueue,
    HyperCriticalWorkQueue,
    MaximumWorkQueue
} WORK_QUEUE_TYPE;

typedef enum _POOL_TYPE {
    NonPagedPool,
    PagedPool,
    NonPagedPoolMustSucceed,
    DontUseThisType,
    NonPagedPoolCacheAligned,
    PagedPoolCacheAligned,
    NonPagedPoolCacheAlignedMustS,
} POOL_TYPE;

// ---------------------------------------------------------------- routines

KM_API VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KM_API KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
KM_API VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
KM_API VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
KM_API VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
KM_API KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
KM_API VOID FASTCALL KfLowerIrql(KIRQL NewIrql);
KM_API KIRQL NTAPI KeGetCurrentIrql(void);

#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KfAcquireSpinLock(SpinLock))
#define KeReleaseSpinLock(SpinLock, NewIrql) KfReleaseSpinLock((SpinLock), (NewIrql))
#define KeRaiseIrql(NewIrql, OldIrql) (*(OldIrql) = KfRaiseIrql(NewIrql))
#define KeLowerIrql(NewIrql) KfLowerIrql(NewIrql)

KM_API VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
KM_API LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
KM_API LONG NTAPI KeResetEvent(PRKEVENT Event);
KM_API VOID NTAPI KeClearEvent(PRKEVENT Event);
KM_API LONG NTAPI KeReadStateEvent(PRKEVENT Event);
KM_API NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                            BOOLEAN Alertable, PLARGE_INTEGER Timeout);
KM_API NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

KM_API VOID NTAPI KeInitializeTimer(PKTIMER Timer);
KM_API VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
KM_API BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
KM_API BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
KM_API BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
KM_API BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer);

KM_API VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
KM_API BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
KM_API BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);

KM_API VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
KM_API VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex);
KM_API VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex);

#define ExInitializeWorkItem(Item, Routine, Context)                                                                   \
    ((Item)->WorkerRoutine = (Routine), (Item)->Parameter = (Context), (Item)->List.Flink = NULL)
KM_API VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);

KM_API LONG FASTCALL InterlockedIncrement(LONG volatile *Addend);
KM_API LONG FASTCALL InterlockedDecrement(LONG volatile *Addend);
KM_API LONG FASTCALL InterlockedExchange(LONG volatile *Target, LONG Value);
KM_API LONG FASTCALL InterlockedExchangeAdd(LONG volatile *Addend, LONG Value);
KM_API LONG FASTCALL InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand);
KM_API PVOID FASTCALL InterlockedExchangePointer(PVOID volatile *Target, PVOID Value);
KM_API PVOID FASTCALL InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange, PVOID Comparand);

KM_API VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
KM_API VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount);
KM_API ULONG NTAPI KeQueryTimeIncrement(void);

KM_API PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
KM_API PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
KM_API VOID NTAPI ExFreePool(PVOID P);
KM_API VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
