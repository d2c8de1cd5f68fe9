// io/irp.cpp - allocating, initialising, reusing and freeing requests, and
// the record the I/O manager keeps of each one for its verifier checks.
//
// Kernel mode, IRQL <= DISPATCH_LEVEL.
#include "ntos/io/irptrack.h"
#include "ntos/verifier/bugcheck.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace {

std::mutex IopIrpMutex;
// Every request the I/O manager knows, freed ones included until their
// address is reused, so that a late completion or free of a freed request
// is reported as such. Guarded by IopIrpMutex.
std::unordered_map<PIRP, IopIrpRecordRef>* IopIrpTable;

std::unordered_map<PIRP, IopIrpRecordRef>& IopTable() {
    if (IopIrpTable == nullptr) {
        IopIrpTable = new std::unordered_map<PIRP, IopIrpRecordRef>();
    }
    return *IopIrpTable;
}

// Lays out a request of PacketSize bytes with StackSize locations, keeping
// AllocationFlags.
void IopInitializeIrpBody(PIRP Irp, USHORT PacketSize, CCHAR StackSize, UCHAR AllocationFlags) {
    std::memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->AllocationFlags = AllocationFlags;
    Irp->ApcEnvironment = OriginalApcEnvironment;
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

void IopResetRecordLocked(IopIrpRecord& Record, CCHAR StackSize) {
    Record.FullyCompleted = false;
    Record.PowerDeliveries = 0;
    Record.PowerStarts = 0;
    Record.Freed = false;
    Record.Locations.assign(static_cast<size_t>(StackSize) + 2, 0);
}

} // namespace

std::mutex& IopIrpLock() {
    return IopIrpMutex;
}

IopIrpRecordRef IopTrackIrp(PIRP Irp, IopIrpKind Kind, const void* Creator) {
    auto record = std::make_shared<IopIrpRecord>();
    record->Irp = Irp;
    record->Kind = Kind;
    record->Creator = Creator;
    record->Issuer = nullptr;
    record->DereferenceUserEvent = false;
    record->FileObject = nullptr;
    IopResetRecordLocked(*record, Irp->StackCount);
    std::lock_guard<std::mutex> guard(IopIrpMutex);
    IopTable()[Irp] = record;
    return record;
}

void IopCheckPowerStartsLocked(const IopIrpRecord& Record, const void* Caller) {
    if (Record.PowerStarts < Record.PowerDeliveries) {
        // On the platform the power manager would hold every later power
        // request of the device stack for good.
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "power request finished before every driver it reached called "
                   "PoStartNextPowerIrp",
                   Caller, reinterpret_cast<ULONG_PTR>(Record.Irp), Record.PowerDeliveries,
                   Record.PowerStarts);
    }
}

IopIrpRecordRef IopFindIrpLocked(PIRP Irp) {
    auto& table = IopTable();
    auto it = table.find(Irp);
    return it == table.end() ? nullptr : it->second;
}

PIRP IopAllocateTrackedIrp(CCHAR StackSize, IopIrpKind Kind, const void* Creator) {
    if (StackSize < 1) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "a request needs at least one stack location", Creator,
                   static_cast<ULONG_PTR>(StackSize));
    }
    USHORT size = IoSizeOfIrp(StackSize);
    auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, IOP_TAG_IRP));
    if (irp == nullptr) {
        return nullptr;
    }
    IopInitializeIrpBody(irp, size, StackSize, IRP_ALLOCATED_FIXED_SIZE);
    IopTrackIrp(irp, Kind, Creator);
    return irp;
}

void IopQueueThreadIrp(PIRP Irp) {
    Irp->Tail.Overlay.Thread = PsGetCurrentThread();
    std::lock_guard<std::mutex> guard(IopIrpMutex);
    IopIrpRecordRef record = IopFindIrpLocked(Irp);
    record->Kind = IopIrpKind::Threaded;
    record->Issuer = KeGetCurrentThread();
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    return IopAllocateTrackedIrp(StackSize, IopIrpKind::Owned, VF_CALLER());
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    if (PacketSize < IoSizeOfIrp(StackSize)) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "IoInitializeIrp given a packet too small for its stack locations", VF_CALLER(),
                   reinterpret_cast<ULONG_PTR>(Irp), PacketSize, static_cast<ULONG_PTR>(StackSize));
    }
    IopInitializeIrpBody(Irp, PacketSize, StackSize, 0);
    IopTrackIrp(Irp, IopIrpKind::CallerMemory, VF_CALLER());
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    std::lock_guard<std::mutex> guard(IopIrpMutex);
    IopIrpRecordRef record = IopFindIrpLocked(Irp);
    if (record == nullptr || record->Freed) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoReuseIrp on a request that is not live",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(Irp));
    }
    if (record->Kind == IopIrpKind::Threaded || record->Kind == IopIrpKind::Associated) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "IoReuseIrp on a request the I/O manager finishes", VF_CALLER(),
                   reinterpret_cast<ULONG_PTR>(Irp));
    }
    IopInitializeIrpBody(Irp, Irp->Size, Irp->StackCount, Irp->AllocationFlags);
    Irp->IoStatus.Status = Iostatus;
    IopResetRecordLocked(*record, Irp->StackCount);
}

VOID IoFreeIrp(PIRP Irp) {
    {
        std::lock_guard<std::mutex> guard(IopIrpMutex);
        IopIrpRecordRef record = IopFindIrpLocked(Irp);
        if (record == nullptr) {
            VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                       "IoFreeIrp on memory that is not a request", VF_CALLER(),
                       reinterpret_cast<ULONG_PTR>(Irp));
        }
        if (record->Freed) {
            VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "request freed twice", VF_CALLER(),
                       reinterpret_cast<ULONG_PTR>(Irp));
        }
        if (record->Kind == IopIrpKind::CallerMemory) {
            VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                       "IoFreeIrp on a request initialised in the caller's memory", VF_CALLER(),
                       reinterpret_cast<ULONG_PTR>(Irp));
        }
        IopCheckPowerStartsLocked(*record, VF_CALLER());
        record->Freed = true;
    }
    ExFreePoolWithTag(Irp, IOP_TAG_IRP);
}

PIRP IoMakeAssociatedIrp(PIRP Irp, CCHAR StackSize) {
    PIRP associated = IopAllocateTrackedIrp(StackSize, IopIrpKind::Associated, VF_CALLER());
    if (associated == nullptr) {
        return nullptr;
    }
    associated->Flags |= IRP_ASSOCIATED_IRP;
    associated->AssociatedIrp.MasterIrp = Irp;
    associated->Tail.Overlay.Thread = Irp->Tail.Overlay.Thread;
    associated->RequestorMode = Irp->RequestorMode;
    return associated;
}

ULONG IopLiveIrpCount() {
    std::lock_guard<std::mutex> guard(IopIrpMutex);
    ULONG live = 0;
    for (auto& [irp, record] : IopTable()) {
        if (!record->Freed && record->Kind != IopIrpKind::CallerMemory) {
            live++;
        }
    }
    return live;
}

void IopVerifyNoLeakedIrps() {
    const IopIrpRecord* first = nullptr;
    ULONG live = 0;
    {
        std::lock_guard<std::mutex> guard(IopIrpMutex);
        for (auto& [irp, record] : IopTable()) {
            if (!record->Freed && record->Kind != IopIrpKind::CallerMemory) {
                live++;
                if (first == nullptr) {
                    first = record.get();
                }
            }
        }
        if (live == 0) {
            return;
        }
        std::fprintf(stderr, "*** %u request(s) leaked; the first, %p, was built by:\n", live,
                     static_cast<void*>(first->Irp));
    }
    VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "request leaked", first->Creator,
               reinterpret_cast<ULONG_PTR>(first->Irp), live);
}

void IopForgetIrps() {
    std::lock_guard<std::mutex> guard(IopIrpMutex);
    IopTable().clear();
}
