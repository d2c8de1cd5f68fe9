// io/complete.cpp - sending a request to a driver and completing it: the
// stack walk with completion routines, pending propagation, the I/O
// manager's finishing of threaded and associated requests, and the verifier
// checks on how drivers pend and complete.
//
// Kernel mode. IofCallDriver and IofCompleteRequest run at IRQL <=
// DISPATCH_LEVEL; completion routines run at the completing thread's IRQL.
#include "ntos/io/irptrack.h"
#include "ntos/ke/ki.h"
#include "ntos/verifier/bugcheck.h"

#include <cstring>

namespace {

// A caller's APC routine and context, carried to the normal kernel APC that
// runs it once the request itself is freed.
struct IopUserApc {
    PIO_APC_ROUTINE Routine;
    PVOID Context;
};

VOID IopRunUserApc(PVOID NormalContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* apc = static_cast<IopUserApc*>(NormalContext);
    IopUserApc copy = *apc;
    delete apc;
    copy.Routine(copy.Context, static_cast<PIO_STATUS_BLOCK>(SystemArgument1), 0);
}

VOID IopFreeIrpApc(PKAPC Apc, PKNORMAL_ROUTINE* NormalRoutine, PVOID* NormalContext,
                   PVOID* SystemArgument1, PVOID* SystemArgument2) {
    UNREFERENCED_PARAMETER(NormalRoutine);
    UNREFERENCED_PARAMETER(NormalContext);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    IoFreeIrp(CONTAINING_RECORD(Apc, IRP, Tail.Apc));
}

VOID IopAbortUserApc(PKAPC Apc) {
    delete static_cast<IopUserApc*>(Apc->NormalContext);
    IoFreeIrp(CONTAINING_RECORD(Apc, IRP, Tail.Apc));
}

// Special kernel APC in the issuing thread of a threaded request that pended.
VOID IopCompleteRequestApc(PKAPC Apc, PKNORMAL_ROUTINE* NormalRoutine, PVOID* NormalContext,
                           PVOID* SystemArgument1, PVOID* SystemArgument2) {
    UNREFERENCED_PARAMETER(NormalRoutine);
    UNREFERENCED_PARAMETER(NormalContext);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    IopFinishThreadedIrp(CONTAINING_RECORD(Apc, IRP, Tail.Apc), true);
}

// The issuing thread ended before the completion APC ran: release what the
// request holds, without running the caller's APC routine.
VOID IopAbortCompleteRequestApc(PKAPC Apc) {
    IopFinishThreadedIrp(CONTAINING_RECORD(Apc, IRP, Tail.Apc), false);
}

// The completion of an associated request: free it and complete the master
// when it was the last one.
void IopCompleteAssociatedIrp(PIRP Irp, CCHAR PriorityBoost) {
    PIRP master = Irp->AssociatedIrp.MasterIrp;
    IopFreeMdlChain(Irp);
    IoFreeIrp(Irp);
    LONG left = __atomic_sub_fetch(&master->AssociatedIrp.IrpCount, 1, __ATOMIC_ACQ_REL);
    if (left == 0) {
        IofCompleteRequest(master, PriorityBoost);
    }
}

} // namespace

void IopFreeMdlChain(PIRP Irp) {
    PMDL mdl = Irp->MdlAddress;
    Irp->MdlAddress = nullptr;
    while (mdl != nullptr) {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) {
            MmUnlockPages(mdl);
        }
        IoFreeMdl(mdl);
        mdl = next;
    }
}

void IopFinishThreadedIrp(PIRP Irp, bool QueueUserApc) {
    PFILE_OBJECT fileObject;
    bool dereferenceEvent;
    PKTHREAD issuer;
    {
        std::lock_guard<std::mutex> guard(IopIrpLock());
        IopIrpRecordRef record = IopFindIrpLocked(Irp);
        fileObject = record->FileObject;
        dereferenceEvent = record->DereferenceUserEvent;
        issuer = record->Issuer;
    }

    if (Irp->Flags & IRP_BUFFERED_IO) {
        if ((Irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(Irp->IoStatus.Status) &&
            Irp->IoStatus.Information != 0 && Irp->UserBuffer != nullptr) {
            std::memcpy(Irp->UserBuffer, Irp->AssociatedIrp.SystemBuffer,
                        Irp->IoStatus.Information);
        }
        if (Irp->Flags & IRP_DEALLOCATE_BUFFER) {
            ExFreePoolWithTag(Irp->AssociatedIrp.SystemBuffer, IOP_TAG_SYSTEM_BUFFER);
            Irp->AssociatedIrp.SystemBuffer = nullptr;
        }
    }
    IopFreeMdlChain(Irp);

    if (Irp->UserIosb != nullptr) {
        *Irp->UserIosb = Irp->IoStatus;
    }
    if (fileObject != nullptr && (fileObject->Flags & FO_SYNCHRONOUS_IO)) {
        fileObject->FinalStatus = Irp->IoStatus.Status;
    }
    if (Irp->UserEvent != nullptr) {
        KeSetEvent(Irp->UserEvent, 0, FALSE);
        if (dereferenceEvent) {
            ObDereferenceObject(Irp->UserEvent);
        }
    } else if (fileObject != nullptr) {
        KeSetEvent(&fileObject->Event, 0, FALSE);
    }
    if (fileObject != nullptr) {
        ObDereferenceObject(fileObject);
    }

    PIO_APC_ROUTINE routine = Irp->Overlay.AsynchronousParameters.UserApcRoutine;
    if (QueueUserApc && routine != nullptr) {
        auto* apc = new IopUserApc{routine, Irp->Overlay.AsynchronousParameters.UserApcContext};
        PIO_STATUS_BLOCK iosb = Irp->UserIosb;
        KeInitializeApc(&Irp->Tail.Apc, issuer, OriginalApcEnvironment, IopFreeIrpApc,
                        IopAbortUserApc, IopRunUserApc, KernelMode, apc);
        if (KeInsertQueueApc(&Irp->Tail.Apc, iosb, nullptr, 0)) {
            return;
        }
        delete apc;
    }
    IoFreeIrp(Irp);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    KiJitter();
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "request sent at IRQL above DISPATCH_LEVEL",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(Irp), KeGetCurrentIrql());
    }
    IopIrpRecordRef record;
    {
        std::lock_guard<std::mutex> guard(IopIrpLock());
        record = IopFindIrpLocked(Irp);
        if (record == nullptr || record->Freed) {
            VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                       "request sent that is not live (freed, or never allocated)", VF_CALLER(),
                       reinterpret_cast<ULONG_PTR>(Irp));
        }
        if (record->FullyCompleted) {
            VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "request sent after it was completed",
                       VF_CALLER(), reinterpret_cast<ULONG_PTR>(Irp));
        }
    }

    IoSetNextIrpStackLocation(Irp);
    if (Irp->CurrentLocation <= 0) {
        VfBugCheck(NO_MORE_IRP_STACK_LOCATIONS, "request sent with no stack location left",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(Irp),
                   reinterpret_cast<ULONG_PTR>(DeviceObject));
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    auto location = static_cast<size_t>(Irp->CurrentLocation);
    {
        std::lock_guard<std::mutex> guard(IopIrpLock());
        record->Locations[location] = 0;
        if (IopNeedsPowerStart(stack)) {
            record->PowerDeliveries++;
        }
    }

    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    const KIRQL irql = KeGetCurrentIrql();
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (KeGetCurrentIrql() != irql) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "dispatch routine returned at another IRQL than it was called at",
                   reinterpret_cast<const void*>(dispatch), reinterpret_cast<ULONG_PTR>(Irp),
                   irql, KeGetCurrentIrql());
    }

    // The request may be complete and freed by now: only the record is read,
    // and the stack location only while completion has not passed it (the
    // request is then still held by a driver).
    if (status != STATUS_PENDING) {
        std::lock_guard<std::mutex> guard(IopIrpLock());
        UCHAR state = record->Locations[location];
        bool marked = (state & IOP_LOC_COMPLETED)
                          ? (state & IOP_LOC_MARKED) != 0
                          : !record->Freed && (stack->Control & SL_PENDING_RETURNED) != 0;
        if (marked) {
            VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                       "dispatch routine marked the request pending but returned a status other "
                       "than STATUS_PENDING",
                       reinterpret_cast<const void*>(dispatch), reinterpret_cast<ULONG_PTR>(Irp),
                       static_cast<ULONG_PTR>(status));
        }
    }
    if (status == STATUS_PENDING) {
        std::lock_guard<std::mutex> guard(IopIrpLock());
        UCHAR& state = record->Locations[location];
        if ((state & IOP_LOC_COMPLETED) && !(state & IOP_LOC_MARKED)) {
            VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                       "dispatch routine returned STATUS_PENDING without marking the request "
                       "pending",
                       reinterpret_cast<const void*>(dispatch), reinterpret_cast<ULONG_PTR>(Irp),
                       reinterpret_cast<ULONG_PTR>(DeviceObject));
        }
        state |= IOP_LOC_RETURNED_PENDING;
    }
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    KiJitter();
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "request completed at IRQL above DISPATCH_LEVEL", VF_CALLER(),
                   reinterpret_cast<ULONG_PTR>(Irp), KeGetCurrentIrql());
    }
    IopIrpRecordRef record;
    {
        std::lock_guard<std::mutex> guard(IopIrpLock());
        record = IopFindIrpLocked(Irp);
        if (record == nullptr) {
            VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                       "request completed that was never allocated", VF_CALLER(),
                       reinterpret_cast<ULONG_PTR>(Irp));
        }
        if (record->Freed || record->FullyCompleted) {
            VfBugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, "request completed twice", VF_CALLER(),
                       reinterpret_cast<ULONG_PTR>(Irp));
        }
    }
    if (Irp->CurrentLocation > Irp->StackCount + 1 ||
        (Irp->CurrentLocation == Irp->StackCount + 1 && record->Kind != IopIrpKind::Threaded)) {
        // No driver holds the request at a stack location: it was completed
        // (and handed back to its owner) already.
        VfBugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, "request completed twice", VF_CALLER(),
                   reinterpret_cast<ULONG_PTR>(Irp));
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "request completed with STATUS_PENDING",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(Irp));
    }

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        {
            std::lock_guard<std::mutex> guard(IopIrpLock());
            UCHAR& state = record->Locations[static_cast<size_t>(Irp->CurrentLocation)];
            if ((state & IOP_LOC_RETURNED_PENDING) && !Irp->PendingReturned) {
                VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                           "dispatch routine returned STATUS_PENDING without marking the "
                           "request pending",
                           VF_CALLER(), reinterpret_cast<ULONG_PTR>(Irp),
                           reinterpret_cast<ULONG_PTR>(stack->DeviceObject));
            }
            state |= IOP_LOC_COMPLETED | (Irp->PendingReturned ? IOP_LOC_MARKED : 0);
        }

        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        stack->MinorFunction = 0;
        stack->Flags = 0;
        stack->Control = 0;
        std::memset(&stack->Parameters, 0, sizeof(stack->Parameters));
        stack->FileObject = nullptr;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        IoSkipCurrentIrpStackLocation(Irp);

        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke =
            routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                   (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        bool hasLocation = Irp->CurrentLocation <= Irp->StackCount;
        if (invoke) {
            PDEVICE_OBJECT device =
                hasLocation ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
            if (hasLocation && Irp->PendingReturned &&
                !(IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED)) {
                VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                           "completion routine did not propagate a pending return (mark the "
                           "request pending or return STATUS_MORE_PROCESSING_REQUIRED)",
                           reinterpret_cast<const void*>(routine),
                           reinterpret_cast<ULONG_PTR>(Irp));
            }
        } else if (hasLocation && Irp->PendingReturned) {
            IoMarkIrpPending(Irp);
        }
    }

    IopIrpKind kind;
    PKTHREAD issuer;
    {
        std::lock_guard<std::mutex> guard(IopIrpLock());
        record->FullyCompleted = true;
        IopCheckPowerStartsLocked(*record, VF_CALLER());
        record->FileObject = Irp->Tail.Overlay.OriginalFileObject;
        kind = record->Kind;
        issuer = record->Issuer;
    }
    switch (kind) {
    case IopIrpKind::Associated:
        IopCompleteAssociatedIrp(Irp, PriorityBoost);
        return;
    case IopIrpKind::Threaded:
        if (Irp->PendingReturned) {
            KeInitializeApc(&Irp->Tail.Apc, issuer, OriginalApcEnvironment, IopCompleteRequestApc,
                            IopAbortCompleteRequestApc, nullptr, KernelMode, nullptr);
            if (!KeInsertQueueApc(&Irp->Tail.Apc, nullptr, nullptr, PriorityBoost)) {
                IopFinishThreadedIrp(Irp, false);
            }
        } else {
            IopFinishThreadedIrp(Irp, true);
        }
        return;
    case IopIrpKind::Owned:
    case IopIrpKind::CallerMemory:
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "request owned by a driver completed past its owner (the owner's completion "
                   "routine must return STATUS_MORE_PROCESSING_REQUIRED)",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(Irp));
    }
}
