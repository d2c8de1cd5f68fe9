// ke/ki.h - internal records and routines of the kernel's dispatcher.
//
// One host mutex, the dispatcher lock, guards every dispatcher object's state,
// wait lists, APC queues, the timer list and the timed-wait list, as the
// platform's dispatcher database lock does. A waiting thread sleeps on its own
// condition variable; whoever satisfies its wait (a signal, the clock, an APC
// insertion, an alert) sets its WaitStatus or its wake flags and notifies it.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "bugcodes.h"
#include "nt/ke.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#ifndef IRQL_NOT_GREATER_OR_EQUAL
#define IRQL_NOT_GREATER_OR_EQUAL 0x00000009
#endif

// KTHREAD.AttachState.
#define KI_NOT_ATTACHED 0
#define KI_SELF_ATTACHED 1  // KeAttachProcess to the thread's own current process
#define KI_ATTACHED 2

// A wait in progress has this WaitStatus until something ends it.
#define KI_WAIT_PENDING ((NTSTATUS)0x7FFFFFFF)

struct _KPROCESS {
    DISPATCHER_HEADER Header;  // signalled when the process has ended
};

struct _KTHREAD {
    DISPATCHER_HEADER Header;       // signalled when the thread has ended
    PKPROCESS Process;              // owning process; set at creation
    PKPROCESS ApcStateProcess;      // current process, the attached one while attached;
                                    // written by the thread under the dispatcher lock
    UCHAR AttachState;              // KI_*ATTACHED; the thread itself
    KIRQL Irql;                     // current IRQL; the thread itself
    LONG KernelApcDisable;          // critical regions + owned kernel mutexes; the thread
                                    // itself, or its waker while it sleeps (dispatcher lock)
    BOOLEAN KernelApcInProgress;    // a normal kernel APC is running; the thread itself
    BOOLEAN IsInitialThread;        // the host thread that started the kernel
    BOOLEAN KernelWorker;           // the kernel's own thread (DPC, volume workers), stopped
                                    // by its owner and never unwound at power-off; set at
                                    // creation
    BOOLEAN PowerOffUnwound;        // its stack has been unwound for power-off; the thread
                                    // itself
    KPROCESSOR_MODE PreviousMode;   // mode the current system service was called from;
                                    // the thread itself
    KPRIORITY Priority;             // dispatcher lock
    LIST_ENTRY ApcListHead;         // pending kernel APCs; dispatcher lock
    BOOLEAN ApcQueueable;           // FALSE once the thread runs down; dispatcher lock
    std::atomic<bool> ApcPendingHint;  // set on insertion; lets the thread skip the lock
    LIST_ENTRY MutantListHead;      // owned mutants; dispatcher lock
    BOOLEAN Alerted;                // dispatcher lock
    ULONG Processor;                // the processor it runs on; the thread itself (assigned
                                    // round robin at creation, or by its affinity)
    ULONG AssignedProcessor;        // the processor it returns to when its affinity reverts
    BOOLEAN IsDpcThread;            // runs its processor's DPCs; set at creation
    LIST_ENTRY HeldDpcs;            // DPCs it queued at DISPATCH_LEVEL or above for its own
                                    // processor, run once it drops below; DPC lock
    BOOLEAN HeldDpcHint;            // it held a DPC since it last dropped below
                                    // DISPATCH_LEVEL (lets it skip the DPC lock); the thread
    BOOLEAN WaitNext;               // a Wait TRUE set/release keeps the dispatcher raised
                                    // until this thread's next wait; the thread itself
    KIRQL WaitNextIrql;             // the IRQL that wait returns to; the thread itself

    // Wait state; dispatcher lock.
    BOOLEAN Waiting;                // blocked in a wait
    LIST_ENTRY WaitingListEntry;    // in KiWaitingThreads while Waiting
    BOOLEAN WaitApcEligible;        // normal kernel APCs may interrupt this wait
    BOOLEAN WaitAlertable;
    BOOLEAN ApcWake;                // woken to deliver kernel APCs
    NTSTATUS WaitStatus;            // KI_WAIT_PENDING until the wait ends
    NTSTATUS WaitTimeoutStatus;     // what a time-out ends it with
    PKWAIT_BLOCK WaitBlockList;     // the wait's blocks (circular via NextWaitBlock)
    ULONG WaitCount;                // blocks linked into object wait lists
    LONGLONG WaitDueTime;           // absolute system time, when InTimeoutList
    BOOLEAN InTimeoutList;
    LIST_ENTRY TimeoutListEntry;    // in the timed-wait list
    KWAIT_BLOCK WaitBlock[THREAD_WAIT_OBJECTS];
    std::condition_variable WaitCv;  // the thread sleeps here
};

extern std::mutex KiDispatcherLock;
// Threads blocked in a wait (KTHREAD.WaitingListEntry); dispatcher lock.
extern LIST_ENTRY KiWaitingThreads;
// Set while the machine powers off; dispatcher lock.
extern BOOLEAN KiPowerOffUnderway;

// The current thread; a bug check for a host thread the kernel does not know.
// A point of contention: yields or sleeps when scheduling jitter says so
// (KiSetSchedulingJitter). Does nothing while jitter is off.
void KiJitter();

PKTHREAD KiCurrentThread(const void* Caller);
PKTHREAD KiCurrentThreadOrNull();
void KiSetCurrentThread(PKTHREAD Thread);

// Thread life (ps drives these).
void KiInitializeProcess(PKPROCESS Process);
void KiInitializeThread(PKTHREAD Thread, PKPROCESS Process);
// Checks the rules of a thread's end, delivers its pending APCs and abandons
// its mutants. Runs in the ending thread; KiSignalThread then wakes its
// waiters, once the thread has left its process. A thread unwound for
// power-off did not choose where it ended: the rules are not checked, its
// IRQL, attachment and critical regions are reset instead.
void KiRundownThread(PKTHREAD Thread, BOOLEAN PowerOff);
void KiSignalThread(PKTHREAD Thread);
void KiSignalProcess(PKPROCESS Process);

// Marks the kernel as powering off and wakes every waiting thread, so that
// each thread the power-off ends unwinds at its current or next wait.
void KiBeginPowerOff();

// Dispatcher internals; the caller holds the dispatcher lock.
BOOLEAN KiIsSignaledFor(PDISPATCHER_HEADER Object, PKTHREAD Thread);
void KiWaitTest(PDISPATCHER_HEADER Object);
void KiEndWait(PKTHREAD Thread, NTSTATUS Status);
void KiInsertTimeout(PKTHREAD Thread, LONGLONG DueTime);
void KiRemoveTimeout(PKTHREAD Thread);
void KiExpireTimersLocked(LONGLONG Now);
void KiClockNotify();
void KiRemoveTimerLocked(PKTIMER Timer);
void KiInsertTimerLocked(PKTIMER Timer, LONGLONG Due);

// APCs: delivers what the current thread may receive now (it runs at
// PASSIVE_LEVEL, outside the dispatcher lock).
void KiDeliverApcs(PKTHREAD Thread);
void KiCheckApcs(PKTHREAD Thread);
// The spin lock inside one of the kernel's own objects (an executive
// resource's), taken and given back within one routine that takes no other
// lock meanwhile: raised and checked as KeAcquireSpinLock, but not a lock of
// the lock order, whose holder is the object itself.
KIRQL KiAcquireObjectSpinLock(PKSPIN_LOCK SpinLock);
void KiReleaseObjectSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
// Sets the IRQL without delivering APCs.
void KiSetIrql(PKTHREAD Thread, KIRQL Irql);
// A set or release with Wait TRUE: checks the caller may wait next, then
// raises it to DISPATCH_LEVEL until its next wait, which lowers it back.
void KiHoldDispatcherForWait(PKTHREAD Thread, const void* Caller);
// Bug checks an IRQL change made while a Wait TRUE call still holds the
// dispatcher for the thread's next wait.
void KiCheckNoWaitNext(PKTHREAD Thread, const void* Caller);

// The clock.
LONGLONG KiQuerySystemTime();
LONGLONG KiAbsoluteDueTime(LONGLONG DueTime);
void KiStartClock(double Scale);
void KiStopClock();

// The processors' DPC queues and their threads.
void KiStartDpcThread();
void KiStopDpcThread();
void KiQueueDpcFromTimer(PKDPC Dpc);
// A processor for a new thread, round robin.
ULONG KiAssignProcessor();
// The current thread dropped below DISPATCH_LEVEL: the DPCs it queued for its
// processor meanwhile run now, before it goes on. Below DISPATCH_LEVEL only.
void KiRunHeldDpcs(PKTHREAD Thread);

// Wait-list helpers.
void KiInitializeDispatcherHeader(PDISPATCHER_HEADER Header, UCHAR Type, ULONG Size,
                                  LONG SignalState);
inline void KiInitializeListHead(PLIST_ENTRY Head) { Head->Flink = Head->Blink = Head; }
inline bool KiIsListEmpty(const LIST_ENTRY* Head) { return Head->Flink == Head; }
inline void KiInsertTailList(PLIST_ENTRY Head, PLIST_ENTRY Entry) {
    Entry->Flink = Head;
    Entry->Blink = Head->Blink;
    Head->Blink->Flink = Entry;
    Head->Blink = Entry;
}
inline void KiInsertHeadList(PLIST_ENTRY Head, PLIST_ENTRY Entry) {
    Entry->Flink = Head->Flink;
    Entry->Blink = Head;
    Head->Flink->Blink = Entry;
    Head->Flink = Entry;
}
inline void KiRemoveEntryList(PLIST_ENTRY Entry) {
    Entry->Blink->Flink = Entry->Flink;
    Entry->Flink->Blink = Entry->Blink;
    Entry->Flink = Entry->Blink = Entry;
}

// Detaches a mutant that is being deleted from its owner, if any. Any thread.
void KiRundownMutant(PKMUTANT Mutant);
