// verifier/lock_order.h - deadlock detection: the order in which threads
// take owned locks, checked for cycles before they can deadlock.
//
// Every acquisition of an owned lock (spin locks, including the locks of the
// interlocked list routines; executive resources; kernel mutexes) is recorded
// in its thread's held set. Taking lock B while holding lock A records the
// order A -> B in one graph for the whole machine; an acquisition that would
// close a cycle in that graph is a lock hierarchy violation, reported as bug
// check 0xC4 / 0x1001 with the stack of the acquisition that recorded the
// earlier order and the stack of the one closing the cycle, whether or not
// the threads involved ever meet.
//
// A lock's class is its address: the graph records the orders of the lock
// instances actually taken. Initialising a lock, deleting a resource and
// freeing the pool that holds a lock make its address a new lock. Inversions
// that only appear between two instances of the same kind of lock (the lock
// of one volume against the lock of another) are not seen.
//
// As on the platform, only owned locks count: events and semaphores have no
// owner, any thread may signal them, so no thread can be blamed for a wait on
// them and they are not recorded. Shared and exclusive holds of a resource
// are ordered alike (a shared request waits behind an exclusive waiter).
// Recursive acquisitions (a kernel mutex or resource its thread already
// holds) add no order. A resource released for another thread
// (ExReleaseResourceForThreadLite) leaves that thread's held set.
//
// Other rules: a spin lock released while a spin lock taken after it is
// still held (0x1003: the IRQL it restores is wrong), and pool freed while it
// holds a lock some thread holds (0x100B).
#pragma once

#include "ntdef.h"

// DRIVER_VERIFIER_DETECTED_VIOLATION first parameters of these rules.
#define VF_DEADLOCK_DETECTED 0x1001
#define VF_DEADLOCK_UNEXPECTED_RELEASE 0x1003
#define VF_DEADLOCK_DELETED_OWNED_LOCK 0x100B

enum class VfLockKind : UCHAR { SpinLock, Resource, Mutex };

struct _KTHREAD;

// Thread is about to take Lock and may wait or spin for it: records the order
// of every lock it holds before Lock, and bug-checks an order cycle. Nothing
// is recorded for a lock the thread already holds.
void VfLockOrderCheck(_KTHREAD* Thread, const void* Lock, VfLockKind Kind, const void* Caller);
// Thread now holds Lock once more (Caller took it).
void VfLockHeld(_KTHREAD* Thread, const void* Lock, VfLockKind Kind, const void* Caller);
// VfLockOrderCheck then VfLockHeld, for locks taken by spinning.
void VfLockAcquire(_KTHREAD* Thread, const void* Lock, VfLockKind Kind, const void* Caller);
// Thread gives back one hold of Lock; AllHolds gives back every recursive
// hold. A lock the verifier does not know as held by Thread is left to the
// primitive's own ownership check.
void VfLockReleased(_KTHREAD* Thread, const void* Lock, const void* Caller,
                    BOOLEAN AllHolds = FALSE);
// Thread has ended: it holds nothing any more.
void VfLockThreadEnded(_KTHREAD* Thread);
// A lock is (re)initialised at Lock: the orders of an earlier lock that lived
// there are forgotten.
void VfLockInitialized(const void* Lock);
// Memory [Start, Start + Size) is given back: bug-checks a lock in it that a
// thread holds, and forgets the orders of the others.
void VfLockForgetRange(const void* Start, SIZE_T Size, const void* Caller);
// Forgets every order and held set (a new machine starts).
void VfLockOrderReset();

// Distinct orders recorded since the last reset.
ULONG VfLockOrdersSeen();
