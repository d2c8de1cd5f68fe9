// nt/ke.h - the kernel's dispatcher: IRQL, spin locks, DPCs, dispatcher objects
// (events, semaphores, mutants, timers), waits, APCs and the system clock.
//
// Records drivers embed (KEVENT, KTIMER, KDPC, ...) have the platform's layout
// where drivers read them: DISPATCHER_HEADER first, KMUTANT.OwnerThread and
// KMUTANT.Abandoned readable. Threads and processes are opaque here.
#pragma once

#include "ntdef.h"

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

typedef struct _KTHREAD KTHREAD, *PKTHREAD, *PRKTHREAD;
typedef struct _KPROCESS KPROCESS, *PKPROCESS, *PRKPROCESS;

// Dispatcher object kinds (DISPATCHER_HEADER.Type).
typedef enum _KOBJECTS {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    QueueObject = 4,
    SemaphoreObject = 5,
    ThreadObject = 6,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
} KOBJECTS;

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;                // KOBJECTS; set at initialisation
    UCHAR Absolute;            // timers: due time was absolute
    UCHAR Size;                // size of the record in ULONGs
    UCHAR Inserted;            // timers: in the timer list; dispatcher lock
    LONG SignalState;          // > 0 signalled; dispatcher lock
    LIST_ENTRY WaitListHead;   // KWAIT_BLOCKs of waiting threads; dispatcher lock
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny } WAIT_TYPE;

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    WrFreePage,
    WrPageIn,
    WrPoolAllocation,
    WrDelayExecution,
    WrSuspended,
    WrUserRequest,
    WrEventPair,
    WrQueue,
    WrLpcReceive,
    WrLpcReply,
    WrVirtualMemory,
    WrPageOut,
    WrRendezvous,
    MaximumWaitReason
} KWAIT_REASON;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KSEMAPHORE {
    DISPATCHER_HEADER Header;  // SignalState is the count
    LONG Limit;                // maximum count; set at initialisation
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;    // SignalState 1 free, <= 0 owned (1 - recursion depth)
    LIST_ENTRY MutantListEntry;  // in the owner's list of owned mutants; dispatcher lock
    PKTHREAD OwnerThread;        // NULL when free; dispatcher lock
    BOOLEAN Abandoned;           // its owner ended while holding it; dispatcher lock
    UCHAR ApcDisable;            // 1 for a kernel mutex: owning it disables normal kernel APCs
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef struct _KDPC KDPC, *PKDPC, *PRKDPC;
typedef VOID (*PKDEFERRED_ROUTINE)(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                   PVOID SystemArgument2);

struct _KDPC {
    CSHORT Type;
    UCHAR Number;
    UCHAR Importance;
    LIST_ENTRY DpcListEntry;              // in the DPC queue; DPC queue lock
    PKDEFERRED_ROUTINE DeferredRoutine;   // set at initialisation
    PVOID DeferredContext;                // set at initialisation
    PVOID SystemArgument1;                // set when queued; DPC queue lock
    PVOID SystemArgument2;                // set when queued; DPC queue lock
    PVOID DpcData;                        // the queue while queued, else NULL; DPC queue lock
};

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;    // SignalState 1 once expired
    ULARGE_INTEGER DueTime;      // absolute system time (100 ns) when inserted; dispatcher lock
    LIST_ENTRY TimerListEntry;   // in the timer list while Header.Inserted; dispatcher lock
    PKDPC Dpc;                   // queued at expiry, may be NULL; dispatcher lock
    LONG Period;                 // milliseconds, 0 for a one-shot timer; dispatcher lock
} KTIMER, *PKTIMER, *PRKTIMER;

typedef struct _KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;            // in the object's WaitListHead; dispatcher lock
    PKTHREAD Thread;                     // the waiting thread
    PVOID Object;                        // the dispatcher object waited for
    struct _KWAIT_BLOCK* NextWaitBlock;  // the next block of the same wait (circular)
    USHORT WaitKey;                      // index of Object in the wait's array
    USHORT WaitType;                     // WAIT_TYPE
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

// APCs.
typedef struct _KAPC KAPC, *PKAPC, *PRKAPC;
typedef VOID (*PKNORMAL_ROUTINE)(PVOID NormalContext, PVOID SystemArgument1,
                                 PVOID SystemArgument2);
typedef VOID (*PKKERNEL_ROUTINE)(PKAPC Apc, PKNORMAL_ROUTINE* NormalRoutine,
                                 PVOID* NormalContext, PVOID* SystemArgument1,
                                 PVOID* SystemArgument2);
typedef VOID (*PKRUNDOWN_ROUTINE)(PKAPC Apc);

typedef enum _KAPC_ENVIRONMENT {
    OriginalApcEnvironment,
    AttachedApcEnvironment,
    CurrentApcEnvironment,
    InsertApcEnvironment
} KAPC_ENVIRONMENT;

struct _KAPC {
    CSHORT Type;
    CSHORT Size;
    ULONG Spare0;
    PKTHREAD Thread;                    // target thread; set at initialisation
    LIST_ENTRY ApcListEntry;            // in the target's APC queue; dispatcher lock
    PKKERNEL_ROUTINE KernelRoutine;     // runs at APC_LEVEL
    PKRUNDOWN_ROUTINE RundownRoutine;   // runs if the thread ends before delivery; may be NULL
    PKNORMAL_ROUTINE NormalRoutine;     // runs at PASSIVE_LEVEL; NULL for a special APC
    PVOID NormalContext;
    PVOID SystemArgument1;              // set by KeInsertQueueApc
    PVOID SystemArgument2;              // set by KeInsertQueueApc
    CCHAR ApcStateIndex;                // KAPC_ENVIRONMENT given at initialisation
    KPROCESSOR_MODE ApcMode;            // KernelMode only
    BOOLEAN Inserted;                   // queued, not yet delivered; dispatcher lock
    PKPROCESS Process;                  // process context it must run in; set when queued
};

// IRQL.
KIRQL KeGetCurrentIrql(VOID);
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
VOID FASTCALL KfLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel(VOID);
#define KeRaiseIrql(NewIrql, OldIrql) (*(OldIrql) = KfRaiseIrql(NewIrql))
#define KeLowerIrql(NewIrql) KfLowerIrql(NewIrql)

// Spin locks.
VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID FASTCALL KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID FASTCALL KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KfAcquireSpinLock(SpinLock))
#define KeReleaseSpinLock(SpinLock, NewIrql) KfReleaseSpinLock(SpinLock, NewIrql)

// DPCs.
VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
// The processor the current thread runs on, 0-based.
ULONG KeGetCurrentProcessorNumber(VOID);
// Makes Dpc run on processor Number (0-based) whoever queues it.
VOID KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number);

// Events.
VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG KeResetEvent(PRKEVENT Event);
VOID KeClearEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);
LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);

// Semaphores. KeReleaseSemaphore raises STATUS_SEMAPHORE_LIMIT_EXCEEDED past the limit.
VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                        BOOLEAN Wait);
LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

// Kernel mutexes (owning one disables normal kernel APCs) and mutants (user-mode
// mutexes; owning one does not). KeReleaseMutant with Abandon FALSE by a thread that
// does not own the mutant raises STATUS_MUTANT_NOT_OWNED.
VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
LONG KeReadStateMutex(PRKMUTEX Mutex);
VOID KeInitializeMutant(PRKMUTANT Mutant, BOOLEAN InitialOwner);
LONG KeReleaseMutant(PRKMUTANT Mutant, KPRIORITY Increment, BOOLEAN Abandon, BOOLEAN Wait);
LONG KeReadStateMutant(PRKMUTANT Mutant);
#define KeWaitForMutexObject KeWaitForSingleObject

// Timers. DueTime: negative = relative interval, positive = absolute system time,
// both in 100 ns units. Period in milliseconds.
VOID KeInitializeTimer(PKTIMER Timer);
VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

// Waits. Timeout: NULL = none, 0 = poll, negative = relative, positive = absolute.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval);
// Ends an alertable wait of Thread with STATUS_ALERTED (or marks it alerted for
// its next alertable wait). Returns whether it was already alerted.
BOOLEAN KeAlertThread(PKTHREAD Thread, KPROCESSOR_MODE AlertMode);

// APCs and critical regions.
VOID KeEnterCriticalRegion(VOID);
VOID KeLeaveCriticalRegion(VOID);
BOOLEAN KeAreApcsDisabled(VOID);
VOID KeInitializeApc(PRKAPC Apc, PRKTHREAD Thread, KAPC_ENVIRONMENT Environment,
                     PKKERNEL_ROUTINE KernelRoutine, PKRUNDOWN_ROUTINE RundownRoutine,
                     PKNORMAL_ROUTINE NormalRoutine, KPROCESSOR_MODE ApcMode,
                     PVOID NormalContext);
BOOLEAN KeInsertQueueApc(PRKAPC Apc, PVOID SystemArgument1, PVOID SystemArgument2,
                         KPRIORITY Increment);

// Threads and processes.
PKTHREAD KeGetCurrentThread(VOID);
VOID KeAttachProcess(PRKPROCESS Process);
VOID KeDetachProcess(VOID);
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);
// The mode of the caller of the system service the current thread is in:
// UserMode while a user program's thread is inside a system service (and in
// the drivers that service calls), KernelMode for system threads.
KPROCESSOR_MODE KeGetPreviousMode(VOID);
KPROCESSOR_MODE ExGetPreviousMode(VOID);

// The clock: system time in 100 ns units since 1601-01-01.
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
VOID KeQueryTickCount(PLARGE_INTEGER TickCount);
ULONG KeQueryTimeIncrement(VOID);
VOID KeStallExecutionProcessor(ULONG MicroSeconds);
