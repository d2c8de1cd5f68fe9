// work_queue.cpp - the driver's work queues and their threads.
//
// Kernel mode; see work_queue.h for the IRQL of each routine. Lock order: a
// queue's Lock is innermost (only the dispatcher is entered under it, to set
// Wake); routines run with no lock of this file held.
#include "frame/work_queue.h"

#define WORK_QUEUE_COUNT 2u
#define WORK_QUEUE_MAX_THREADS 3u

// One queue and the threads that serve it.
typedef struct _WorkQueue {
    KSPIN_LOCK Lock;
    KEVENT Wake;       // synchronization event, set after every queued item
    LIST_ENTRY Items;  // waiting items, oldest first; Lock
    ULONG Count;       // number of waiting items; Lock
    BOOLEAN Accepting; // QueueWorkItem appends only while set; Lock
    ULONG ThreadCount; // threads started, entries of the two arrays below; start/stop only
    PKTHREAD Threads[WORK_QUEUE_MAX_THREADS];     // referenced thread objects; start/stop only
    HANDLE ThreadHandles[WORK_QUEUE_MAX_THREADS]; // their handles (System process); start/stop only
} WorkQueue;

static WorkQueue WorkQueues[WORK_QUEUE_COUNT];

// Threads that serve each queue.
static const ULONG WorkQueueThreadCounts[WORK_QUEUE_COUNT] = {3, 2};

// Set to end the threads once their queue is empty; notification event.
static KEVENT WorkQueueStop;
// The queues are set up (start/stop only).
static BOOLEAN WorkQueuesInitialised;
// Every thread was started and the queues take items (start/stop only).
static BOOLEAN WorkQueuesRunning;

LONG ExpectedExceptionFilter(PEXCEPTION_POINTERS ExceptionInformation) {
    PEXCEPTION_RECORD Record = ExceptionInformation->ExceptionRecord;
    NTSTATUS Code = Record->ExceptionCode;
    if (Code == STATUS_IN_PAGE_ERROR && Record->NumberParameters >= 3) {
        Code = (NTSTATUS)Record->ExceptionInformation[2];
    }
    return FsRtlIsNtstatusExpected(Code) ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH;
}

// Calls one item's routine. An expected exception drops the item; a routine
// that comes back at a raised IRQL is a bug: it would run every later item of
// this thread at that IRQL.
static VOID WorkQueueRunItem(WorkItem* Item) {
    WorkRoutine Routine = Item->Routine;
    PVOID Context = Item->Context;
    _SEH2_TRY {
        Routine(Context);
    }
    _SEH2_EXCEPT(ExpectedExceptionFilter(_SEH2_GetExceptionInformation())) {}
    _SEH2_END;
    KIRQL Irql = KeGetCurrentIrql();
    if (Irql != PASSIVE_LEVEL) {
        KeBugCheckEx(WORKER_THREAD_RETURNED_AT_BAD_IRQL, (ULONG_PTR)Routine, Irql,
                     (ULONG_PTR)Context, (ULONG_PTR)Item);
    }
}

// Runs the items of Queue, oldest first, until the queue is empty. Wake
// coalesces: items queued in a burst may wake a single thread. So a thread
// that leaves items behind when it takes one wakes another, which keeps every
// thread of the queue busy while items wait, even when a routine blocks.
static VOID WorkQueueDrain(WorkQueue* Queue) {
    for (;;) {
        KIRQL OldIrql = KfAcquireSpinLock(&Queue->Lock);
        if (IsListEmpty(&Queue->Items)) {
            KfReleaseSpinLock(&Queue->Lock, OldIrql);
            return;
        }
        PLIST_ENTRY Entry = RemoveHeadList(&Queue->Items);
        Queue->Count -= 1;
        if (Queue->Count > 0) {
            KeSetEvent(&Queue->Wake, 0, FALSE);
        }
        KfReleaseSpinLock(&Queue->Lock, OldIrql);
        WorkQueueRunItem(CONTAINING_RECORD(Entry, WorkItem, Link));
    }
}

// A queue thread; StartContext is the queue number. When Wake and Stop are
// both signalled Wake wins; once Stop is seen the queue takes no more items,
// so the last drain leaves it empty for good.
static VOID WorkQueueThread(PVOID StartContext) {
    WorkQueue* Queue = &WorkQueues[(ULONG_PTR)StartContext];
    PVOID Objects[2] = {&Queue->Wake, &WorkQueueStop};
    for (;;) {
        NTSTATUS Status =
            KeWaitForMultipleObjects(2, Objects, WaitAny, Executive, KernelMode, TRUE, NULL, NULL);
        if (Status == STATUS_ALERTED) {
            continue;
        }
        WorkQueueDrain(Queue);
        if (Status != STATUS_WAIT_0) {
            break;
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Starts one thread of queue QueueNumber and keeps its thread object, so that
// StopWorkQueues can wait until it has really ended.
static BOOLEAN WorkQueueStartThread(ULONG QueueNumber) {
    WorkQueue* Queue = &WorkQueues[QueueNumber];
    HANDLE Handle;
    NTSTATUS Status = PsCreateSystemThread(&Handle, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                           WorkQueueThread, (PVOID)(ULONG_PTR)QueueNumber);
    if (!NT_SUCCESS(Status)) {
        return FALSE;
    }
    PVOID Thread = NULL;
    Status =
        ObReferenceObjectByHandle(Handle, SYNCHRONIZE, *PsThreadType, KernelMode, &Thread, NULL);
    Queue->Threads[Queue->ThreadCount] = NT_SUCCESS(Status) ? (PKTHREAD)Thread : NULL;
    Queue->ThreadHandles[Queue->ThreadCount] = Handle;
    Queue->ThreadCount += 1;
    return NT_SUCCESS(Status);
}

BOOLEAN StartWorkQueues(VOID) {
    if (WorkQueuesInitialised) {
        return WorkQueuesRunning;
    }
    KeInitializeEvent(&WorkQueueStop, NotificationEvent, FALSE);
    WorkQueuesInitialised = TRUE;
    BOOLEAN AllStarted = TRUE;
    for (ULONG Number = 0; Number < WORK_QUEUE_COUNT && AllStarted; Number += 1) {
        WorkQueue* Queue = &WorkQueues[Number];
        KeInitializeSpinLock(&Queue->Lock);
        KeInitializeEvent(&Queue->Wake, SynchronizationEvent, FALSE);
        InitializeListHead(&Queue->Items);
        Queue->Count = 0;
        Queue->Accepting = FALSE;
        Queue->ThreadCount = 0;
        while (Queue->ThreadCount < WorkQueueThreadCounts[Number] && AllStarted) {
            AllStarted = WorkQueueStartThread(Number);
        }
    }
    if (!AllStarted) {
        StopWorkQueues();
        return FALSE;
    }
    for (ULONG Number = 0; Number < WORK_QUEUE_COUNT; Number += 1) {
        WorkQueue* Queue = &WorkQueues[Number];
        KIRQL OldIrql = KfAcquireSpinLock(&Queue->Lock);
        Queue->Accepting = TRUE;
        KfReleaseSpinLock(&Queue->Lock, OldIrql);
    }
    WorkQueuesRunning = TRUE;
    return TRUE;
}

VOID StopWorkQueues(VOID) {
    if (!WorkQueuesInitialised) {
        return;
    }
    WorkQueuesRunning = FALSE;
    for (ULONG Number = 0; Number < WORK_QUEUE_COUNT; Number += 1) {
        WorkQueue* Queue = &WorkQueues[Number];
        KIRQL OldIrql = KfAcquireSpinLock(&Queue->Lock);
        Queue->Accepting = FALSE;
        KfReleaseSpinLock(&Queue->Lock, OldIrql);
    }
    KeSetEvent(&WorkQueueStop, 0, FALSE);
    for (ULONG Number = 0; Number < WORK_QUEUE_COUNT; Number += 1) {
        WorkQueue* Queue = &WorkQueues[Number];
        for (ULONG Index = 0; Index < Queue->ThreadCount; Index += 1) {
            PKTHREAD Thread = Queue->Threads[Index];
            if (Thread != NULL) {
                KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, NULL);
                ObDereferenceObject(Thread);
            } else {
                ZwWaitForSingleObject(Queue->ThreadHandles[Index], FALSE, NULL);
            }
            ZwClose(Queue->ThreadHandles[Index]);
            Queue->Threads[Index] = NULL;
            Queue->ThreadHandles[Index] = NULL;
        }
        Queue->ThreadCount = 0;
    }
    WorkQueuesInitialised = FALSE;
}

VOID QueueWorkItem(WorkItem* Item, ULONG Kind) {
    if (Item == NULL || Item->Routine == NULL) {
        return;
    }
    WorkQueue* Queue = &WorkQueues[Kind == WORK_KIND_GENERAL ? 0 : 1];
    KIRQL OldIrql = KfAcquireSpinLock(&Queue->Lock);
    if (Queue->Accepting) {
        InsertTailList(&Queue->Items, &Item->Link);
        Queue->Count += 1;
        // Set under the lock, so that no wake-up is left to happen after the
        // queue has stopped.
        KeSetEvent(&Queue->Wake, 0, FALSE);
    }
    KfReleaseSpinLock(&Queue->Lock, OldIrql);
}
