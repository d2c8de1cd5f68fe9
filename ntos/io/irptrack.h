// io/irptrack.h - the I/O manager's own record of each request: who owns it,
// how far its completion went, and which stack locations returned pending.
//
// Emulation internal, shared by the request routines of ntos/io. The records
// are found by the request's address and outlive the request while a call
// into a driver still needs them (a request may be freed by a completion
// routine before its dispatch routine has returned).
#pragma once

#include "ntos/io/iop.h"

#include <memory>
#include <mutex>
#include <vector>

enum class IopIrpKind {
    Owned,        // IoAllocateIrp / IoBuildAsynchronousFsdRequest: freed by its owner
    Threaded,     // IoBuildDeviceIoControlRequest / IoBuildSynchronousFsdRequest and the
                  // I/O manager's own requests: finished and freed by the I/O manager
    Associated,   // IoMakeAssociatedIrp: freed at completion, completes its master
    CallerMemory, // IoInitializeIrp on the caller's memory: not freed by IoFreeIrp
};

// Bits of IopIrpRecord::Locations, one byte per stack location.
#define IOP_LOC_RETURNED_PENDING 0x01 // a dispatch routine at this location returned pending
#define IOP_LOC_COMPLETED 0x02        // completion has passed this location
#define IOP_LOC_MARKED 0x04           // it was marked pending when completion passed it

// Every field is guarded by IopIrpLock().
struct IopIrpRecord {
    PIRP Irp; // the request (not dereferenced once Freed)
    IopIrpKind Kind;
    const void* Creator;          // code address that built the request
    PKTHREAD Issuer;              // threaded requests: thread that finishes them
    bool DereferenceUserEvent;    // UserEvent is a referenced event object
    PFILE_OBJECT FileObject;      // threaded requests: Tail.Overlay.OriginalFileObject, kept
                                  // here at completion because the completion APC overlays it
    bool Freed;                   // the request's memory is gone
    bool FullyCompleted;          // completion reached the top of the stack
    std::vector<UCHAR> Locations; // IOP_LOC_* by location number 1..StackCount
    // Query-power and set-power requests: drivers the request was sent to,
    // and calls of PoStartNextPowerIrp for it. Each driver owes one call.
    ULONG PowerDeliveries;
    ULONG PowerStarts;
};

using IopIrpRecordRef = std::shared_ptr<IopIrpRecord>;

std::mutex& IopIrpLock();

// Starts tracking Irp (replacing any earlier record of that address).
IopIrpRecordRef IopTrackIrp(PIRP Irp, IopIrpKind Kind, const void* Creator);
// The record of Irp, or null. Caller holds IopIrpLock().
IopIrpRecordRef IopFindIrpLocked(PIRP Irp);

// A query-power or set-power request that completes or is freed owes no
// driver's PoStartNextPowerIrp: bug-checks otherwise. Caller holds IopIrpLock().
void IopCheckPowerStartsLocked(const IopIrpRecord& Record, const void* Caller);

// Allocates and tracks a request with StackSize locations; NULL when pool is short.
PIRP IopAllocateTrackedIrp(CCHAR StackSize, IopIrpKind Kind, const void* Creator);

// Threaded requests: records the issuing thread (the current one) and makes
// the request the I/O manager's to finish.
void IopQueueThreadIrp(PIRP Irp);

// TRUE for the requests after which each driver must call
// PoStartNextPowerIrp: query-power and set-power.
inline bool IopNeedsPowerStart(PIO_STACK_LOCATION Stack) {
    return Stack->MajorFunction == IRP_MJ_POWER &&
           (Stack->MinorFunction == IRP_MN_QUERY_POWER || Stack->MinorFunction == IRP_MN_SET_POWER);
}

// Drops every record (kernel stop).
void IopForgetIrps();

// Finishes a threaded request whose completion reached the top: copies the
// buffered output and the status back, sets the events, drops the file
// object reference, runs the caller's APC routine by a normal kernel APC,
// and frees the request. Runs in the issuing thread when the request pended.
void IopFinishThreadedIrp(PIRP Irp, bool QueueUserApc);
