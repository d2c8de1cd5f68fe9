// testdrv.h - a small driver the I/O manager's tests load: each device does
// one configurable thing with every request it receives (complete it, pass
// it down, pend it for the test to complete later, split it into associated
// requests, or misbehave on purpose), and logs the major functions it saw.
//
// Kernel mode; dispatch routines run at the caller's IRQL (<= DISPATCH_LEVEL).
#pragma once

#include "ntddk.h"

enum class TestAction {
    Complete,          // complete with Status / Information (buffered output gets Reply)
    PassDown,          // skip the location and send to the device below
    PassDownObserving, // copy the location, completion routine that propagates pending
    ForwardAndWait,    // send down, wait for the lower completion (MPR), complete again
    Pend,              // mark pending and queue until TestCompleteQueued
    PendUnmarked,      // queue and return STATUS_PENDING without marking (a bug)
    CompleteTwice,     // complete the request twice (a bug)
    PendAfterComplete, // complete at once, then return STATUS_PENDING unmarked (a bug)
    ForgetPending,     // send down with a completion routine that drops a pending return (a bug)
    MarkThenComplete,  // mark pending, complete, return STATUS_SUCCESS (a bug)
    MarkThenQueue,     // mark pending, queue, return STATUS_SUCCESS (a bug)
    ReturnRaised,      // complete, return at DISPATCH_LEVEL (a bug)
    SplitAssociated,   // split into AssociatedCount associated requests sent below
};

// How TestCompleteQueued completes the queued requests.
enum class TestCompleter {
    DpcThread,    // from a DPC: another thread, at DISPATCH_LEVEL
    DpcSpinning,  // the same, but the caller spins instead of waiting, so that
                  // no APC can be delivered to it meanwhile
    SystemThread, // from a new system thread at PASSIVE_LEVEL
};

struct TestDeviceExtension {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower; // device below, set by TestAttach
    TestAction Action;
    NTSTATUS Status;            // Complete: status to complete with
    ULONG_PTR Information;      // Complete: information to complete with
    const void* Reply;          // Complete: bytes copied to a buffered request's system buffer
    ULONG AssociatedCount;      // SplitAssociated: requests to split into
    ULONG_PTR RecompleteMarker; // ForwardAndWait: Information set before completing again

    KSPIN_LOCK QueueLock;
    LIST_ENTRY Queue; // pended requests (Tail.Overlay.ListEntry); QueueLock

    // Observations; written by the device's routines, read by the test after
    // the request has finished.
    LONG CompletionCalls;       // PassDownObserving completion routine runs
    BOOLEAN SawPendingReturned; // PassDownObserving: PendingReturned at its routine
    ULONG_PTR SeenInformation;  // PassDownObserving: Information at its routine
    UCHAR Seen[32];             // major functions received, in order
    LONG SeenCount;
    UNICODE_STRING LastFileName; // FileName of the last create (points into the file object)
};

NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Creates a device of the test driver (named when Name is given).
PDEVICE_OBJECT TestCreateDevice(PDRIVER_OBJECT Driver, PCWSTR Name, TestAction Action,
                                ULONG Flags = 0, DEVICE_TYPE Type = FILE_DEVICE_UNKNOWN);
TestDeviceExtension* TestExt(PDEVICE_OBJECT Device);
// Attaches Device on top of Target's stack and records the device below.
PDEVICE_OBJECT TestAttach(PDEVICE_OBJECT Device, PDEVICE_OBJECT Target);
// Completes every request queued on Device with Status and Information,
// the way How says; returns once they are completed, with the IRQL they
// were completed at.
KIRQL TestCompleteQueued(PDEVICE_OBJECT Device, TestCompleter How, NTSTATUS Status,
                         ULONG_PTR Information);
// Runs Routine(Context) on a new system thread and waits until it ends.
void TestRunSystemThread(PKSTART_ROUTINE Routine, PVOID Context);
// Starts Routine(Context) on a new system thread; TestJoinSystemThread waits for it.
PVOID TestStartSystemThread(PKSTART_ROUTINE Routine, PVOID Context);
void TestJoinSystemThread(PVOID Thread);
// Requests queued on Device.
ULONG TestQueuedCount(PDEVICE_OBJECT Device);
