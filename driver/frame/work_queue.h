// work_queue.h - the driver's two work queues, each served by its own system
// threads, which run work handed in at up to DISPATCH_LEVEL at PASSIVE_LEVEL.
//
// Kernel mode. A caller embeds a WorkItem in its own record, fills in Routine
// and Context and hands it to QueueWorkItem; a thread of the queue later calls
// Routine(Context) at PASSIVE_LEVEL in the System process. The queue never
// frees an item; an item may be queued again once its routine has started.
//
// Queue 0 (kind WORK_KIND_GENERAL, three threads) serves frozen reads, the
// freeze watchdog, the free-space query and the change stores; queue 1
// (every other kind, two threads) serves the flushes of preserved data.
#pragma once

#include <ntddk.h>

// Kinds of work: WORK_KIND_GENERAL selects queue 0, every other kind queue 1.
#define WORK_KIND_FLUSH 0u
#define WORK_KIND_GENERAL 1u

typedef VOID (*WorkRoutine)(PVOID Context);

// Owned by the record it is embedded in; the fields are the owner's until it
// queues the item, then the queue's until Routine starts.
typedef struct _WorkItem {
    LIST_ENTRY Link;     // in the queue's Items while waiting; queue lock
    WorkRoutine Routine; // the work; an item without one is refused
    PVOID Context;       // passed to Routine
} WorkItem;

// Starts both queues and their five threads. Returns TRUE when every thread
// runs; on FALSE the threads already started have ended again. Called again
// while started, returns TRUE at once. IRQL: PASSIVE_LEVEL, System process.
BOOLEAN StartWorkQueues(VOID);

// Stops taking items, lets the threads run what is queued, and returns once
// every queue thread has ended; the queues can then be started again. Not to
// be called from a queue thread. IRQL: PASSIVE_LEVEL, System process.
VOID StopWorkQueues(VOID);

// Appends Item to the queue that Kind selects and wakes a thread of it. A
// NULL item, an item without a routine, and any item while the queues are
// not started are ignored. IRQL: <= DISPATCH_LEVEL.
VOID QueueWorkItem(WorkItem* Item, ULONG Kind);

// Exception filter for guarded calls of work routines: handles the statuses
// FsRtlIsNtstatusExpected calls expected (for STATUS_IN_PAGE_ERROR, the
// underlying I/O status in parameter 2), lets the others (access violations
// and the like) go on. Returns EXCEPTION_EXECUTE_HANDLER or
// EXCEPTION_CONTINUE_SEARCH. IRQL: any.
LONG ExpectedExceptionFilter(PEXCEPTION_POINTERS ExceptionInformation);
