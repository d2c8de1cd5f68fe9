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
    PEXCEPTION_RECORD record = ExceptionInformation->ExceptionRecord;
    NTSTATUS code = record->ExceptionCode;
    if (code == STATUS_IN_PAGE_ERROR && record->NumberParameters >= 3) {
        code = (NTSTATUS)record->ExceptionInformation[2];
    }
    return FsRtlIsNtstatusExpected(code) ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH;
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
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        KeBugCheckEx(WORKER_THREAD_RETURNED_AT_BAD_IRQL, (ULONG_PTR)Routine, irql,
                     (ULONG_PTR)Context, (ULONG_PTR)Item);
    }
}

// Runs the items of Queue, oldest first, until the queue is empty. Wake
// coalesces: items queued in a burst may wake a single thread. So a thread
// that leaves items behind when it takes one wakes another, which keeps every
// thread of the queue busy while items wait, even when a routine blocks.
static VOID WorkQueueDrain(WorkQueue* Queue) {
    for (;;) {
        KIRQL oldIrql = KfAcquireSpinLock(&Queue->Lock);
        if (IsListEmpty(&Queue->Items)) {
            KfReleaseSpinLock(&Queue->Lock, oldIrql);
            return;
        }
        PLIST_ENTRY entry = RemoveHeadList(&Queue->Items);
        Queue->Count -= 1;
        if (Queue->Count > 0) {
            KeSetEvent(&Queue->Wake, 0, FALSE);
        }
        KfReleaseSpinLock(&Queue->Lock, oldIrql);
        WorkQueueRunItem(CONTAINING_RECORD(entry, WorkItem, Link));
    }
}

// A queue thread; StartContext is the queue number. When Wake and Stop are
// both signalled Wake wins; once Stop is seen the queue takes no more items,
// so the last drain leaves it empty for good.
static VOID WorkQueueThread(PVOID StartContext) {
    WorkQueue* queue = &WorkQueues[(ULONG_PTR)StartContext];
    PVOID objects[2] = {&queue->Wake, &WorkQueueStop};
    for (;;) {
        NTSTATUS status =
            KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, TRUE, NULL, NULL);
        if (status == STATUS_ALERTED) {
            continue;
        }
        WorkQueueDrain(queue);
        if (status != STATUS_WAIT_0) {
            break;
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Starts one thread of queue QueueNumber and keeps its thread object, so that
// StopWorkQueues can wait until it has really ended.
static BOOLEAN WorkQueueStartThread(ULONG QueueNumber) {
    WorkQueue* queue = &WorkQueues[QueueNumber];
    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                           WorkQueueThread, (PVOID)(ULONG_PTR)QueueNumber);
    if (!NT_SUCCESS(status)) {
        return FALSE;
    }
    PVOID thread = NULL;
    status =
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, NULL);
    queue->Threads[queue->ThreadCount] = NT_SUCCESS(status) ? (PKTHREAD)thread : NULL;
    queue->ThreadHandles[queue->ThreadCount] = handle;
    queue->ThreadCount += 1;
    return NT_SUCCESS(status);
}

BOOLEAN StartWorkQueues(VOID) {
    if (WorkQueuesInitialised) {
        return WorkQueuesRunning;
    }
    KeInitializeEvent(&WorkQueueStop, NotificationEvent, FALSE);
    WorkQueuesInitialised = TRUE;
    BOOLEAN allStarted = TRUE;
    for (ULONG number = 0; number < WORK_QUEUE_COUNT && allStarted; number += 1) {
        WorkQueue* queue = &WorkQueues[number];
        KeInitializeSpinLock(&queue->Lock);
        KeInitializeEvent(&queue->Wake, SynchronizationEvent, FALSE);
        InitializeListHead(&queue->Items);
        queue->Count = 0;
        queue->Accepting = FALSE;
        queue->ThreadCount = 0;
        while (queue->ThreadCount < WorkQueueThreadCounts[number] && allStarted) {
            allStarted = WorkQueueStartThread(number);
        }
    }
    if (!allStarted) {
        StopWorkQueues();
        return FALSE;
    }
    for (ULONG number = 0; number < WORK_QUEUE_COUNT; number += 1) {
        WorkQueue* queue = &WorkQueues[number];
        KIRQL oldIrql = KfAcquireSpinLock(&queue->Lock);
        queue->Accepting = TRUE;
        KfReleaseSpinLock(&queue->Lock, oldIrql);
    }
    WorkQueuesRunning = TRUE;
    return TRUE;
}

VOID StopWorkQueues(VOID) {
    if (!WorkQueuesInitialised) {
        return;
    }
    WorkQueuesRunning = FALSE;
    for (ULONG number = 0; number < WORK_QUEUE_COUNT; number += 1) {
        WorkQueue* queue = &WorkQueues[number];
        KIRQL oldIrql = KfAcquireSpinLock(&queue->Lock);
        queue->Accepting = FALSE;
        KfReleaseSpinLock(&queue->Lock, oldIrql);
    }
    KeSetEvent(&WorkQueueStop, 0, FALSE);
    for (ULONG number = 0; number < WORK_QUEUE_COUNT; number += 1) {
        WorkQueue* queue = &WorkQueues[number];
        for (ULONG index = 0; index < queue->ThreadCount; index += 1) {
            PKTHREAD thread = queue->Threads[index];
            if (thread != NULL) {
                KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
                ObDereferenceObject(thread);
            } else {
                ZwWaitForSingleObject(queue->ThreadHandles[index], FALSE, NULL);
            }
            ZwClose(queue->ThreadHandles[index]);
            queue->Threads[index] = NULL;
            queue->ThreadHandles[index] = NULL;
        }
        queue->ThreadCount = 0;
    }
    WorkQueuesInitialised = FALSE;
}

VOID QueueWorkItem(WorkItem* Item, ULONG Kind) {
    if (Item == NULL || Item->Routine == NULL) {
        return;
    }
    WorkQueue* queue = &WorkQueues[Kind == WORK_KIND_GENERAL ? 0 : 1];
    KIRQL oldIrql = KfAcquireSpinLock(&queue->Lock);
    if (queue->Accepting) {
        InsertTailList(&queue->Items, &Item->Link);
        queue->Count += 1;
        // Set under the lock, so that no wake-up is left to happen after the
        // queue has stopped.
        KeSetEvent(&queue->Wake, 0, FALSE);
    }
    KfReleaseSpinLock(&queue->Lock, oldIrql);
}
