// frozen_read.cpp - reads of the frozen image by the snapshot owner's
// thread: each read is split along blocks and preserved pieces into
// sub-reads from the volume below the filter, copies from pieces still in
// memory, and reads of the partial data file, all in flight together; the
// read completes when its last sub-read has.
//
// Kernel mode. The reads are served on the threads of work queue 0 at
// PASSIVE_LEVEL in the System process. Volume sub-reads complete in a
// completion routine (up to DISPATCH_LEVEL, any thread); file sub-reads by an
// APC to the issuing queue thread. Each sub-read holds VolumeResource and its
// block's bucket shared until it completes, so a thaw waits for it and a
// preserving write cannot overwrite sectors it is still fetching; both are
// given back for the thread that took them.
#include "io/copy_on_write.h"

// Kernel-mode delay between two looks at a draining read: 200 ms.
#define DRAIN_POLL_100NS (-2000000LL)

static FilterExtension* ItemVolume(ReadRequest* Item) {
    return (FilterExtension*)Item->Device->DeviceExtension;
}

//
// GiveBackReadRequest - frees Item and the RemoveLock acquisition it holds.
// IRQL: <= DISPATCH_LEVEL.
//
static VOID GiveBackReadRequest(ReadRequest* Item) {
    IoReleaseRemoveLock(&ItemVolume(Item)->RemoveLock, Item);
    FreeRequestContext(Item);
}

static NTSTATUS CompleteRead(PIRP Request, NTSTATUS Status, CCHAR Boost) {
    Request->IoStatus.Status = Status;
    Request->IoStatus.Information = 0;
    IofCompleteRequest(Request, Boost);
    return Status;
}

static BOOLEAN StaysBroken(FilterExtension* Volume) {
    KIRQL irql = KfAcquireSpinLock(&Volume->StateLock);
    BOOLEAN stayBroken = Volume->StayBroken;
    KfReleaseSpinLock(&Volume->StateLock, irql);
    return stayBroken;
}

//
// RequestBuffer - the system address of the caller's buffer, or NULL.
// IRQL: <= DISPATCH_LEVEL.
//
static PUCHAR RequestBuffer(ReadRequest* Item) {
    PMDL mdl = Item->Request->MdlAddress;
    return mdl != NULL ? (PUCHAR)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : NULL;
}

BOOLEAN QueueFrozenRead(PDEVICE_OBJECT Device, PIRP Request) {
    FilterExtension* volume = (FilterExtension*)Device->DeviceExtension;
    ReadRequest* item = (ReadRequest*)AllocateRequestContext(FALSE);
    if (item == NULL) {
        return FALSE;
    }
    if (!NT_SUCCESS(IoAcquireRemoveLock(&volume->RemoveLock, item))) {
        FreeRequestContext(item);
        return FALSE;
    }
    item->Work.Routine = FrozenReadWorker;
    item->Work.Context = item;
    item->Device = Device;
    item->Request = Request;
    IoMarkIrpPending(Request);
    QueueWorkItem(&item->Work, WORK_KIND_GENERAL);
    return TRUE;
}

BOOLEAN AddPieceReference(ReadRequest* Item) {
    KIRQL irql;
    KeAcquireSpinLock(&Item->Lock, &irql);
    BOOLEAN added = NT_SUCCESS(Item->Status);
    if (added) {
        Item->Pending++;
    }
    KeReleaseSpinLock(&Item->Lock, irql);
    return added;
}

VOID PieceDone(ReadRequest* Item, NTSTATUS Status, ULONG_PTR Bytes) {
    KIRQL irql;
    KeAcquireSpinLock(&Item->Lock, &irql);
    if (NT_SUCCESS(Status)) {
        Item->Bytes += (ULONG)Bytes;
    } else if (NT_SUCCESS(Item->Status)) {
        Item->Status = Status;
        SetFrozenStateBroken(ItemVolume(Item), TRUE);
    }
    BOOLEAN complete = --Item->Pending == 0 && (Item->Flags & READ_ALL_ISSUED) != 0;
    KeReleaseSpinLock(&Item->Lock, irql);
    if (complete) {
        PIRP request = Item->Request;
        NTSTATUS status = Item->Status;
        // A write whose preservation failed goes to the volume once the state
        // is broken, without waiting for sub-reads in flight: one of them may
        // have fetched its new data. With StayBroken the read is refused.
        FilterExtension* volume = ItemVolume(Item);
        if (NT_SUCCESS(status) && IsFrozenStateBroken(volume) && StaysBroken(volume)) {
            status = STATUS_ACCESS_DENIED;
        }
        request->IoStatus.Status = status;
        request->IoStatus.Information = NT_SUCCESS(status) ? Item->Bytes : 0;
        IofCompleteRequest(request, IO_DISK_INCREMENT);
        GiveBackReadRequest(Item);
    }
}

VOID AllPiecesIssued(ReadRequest* Item) {
    KIRQL irql;
    KeAcquireSpinLock(&Item->Lock, &irql);
    Item->Flags |= READ_ALL_ISSUED;
    Item->Pending++;
    KeReleaseSpinLock(&Item->Lock, irql);
    PieceDone(Item, STATUS_SUCCESS, 0);
}

VOID DrainPieces(ReadRequest* Item) {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&Item->Lock, &irql);
        ULONG pending = Item->Pending;
        KeReleaseSpinLock(&Item->Lock, irql);
        if (pending == 0) {
            return;
        }
        // Not alertable, but file sub-reads still complete: their APCs are
        // normal kernel APCs, delivered during this wait.
        LARGE_INTEGER delay;
        delay.QuadPart = DRAIN_POLL_100NS;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
}

//
// FinishPiece - what both kinds of sub-read do when they end: give back the
// bucket and the volume lock for the thread that took them, book the
// outcome, and release the piece's RemoveLock acquisition.
// IRQL: <= DISPATCH_LEVEL.
//
static VOID FinishPiece(ReadPiece* Piece, NTSTATUS Status, ULONG_PTR Bytes) {
    ReadRequest* item = Piece->Request;
    FilterExtension* volume = ItemVolume(item);
    ERESOURCE_THREAD owner = (ERESOURCE_THREAD)Piece->Owner;
    ExReleaseResourceForThreadLite(Piece->BucketLock, owner);
    ReleaseVolumeLock(volume, Piece->Owner);
    PieceDone(item, Status, Bytes);
    IoReleaseRemoveLock(&volume->RemoveLock, Piece);
    FreeTransferContext(Piece);
}

//
// VolumePieceCompletion - completion routine of a volume sub-read; the
// request is ours and is freed here. IRQL: <= DISPATCH_LEVEL.
//
static NTSTATUS NTAPI VolumePieceCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                            PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    while (Irp->MdlAddress != NULL) {
        PMDL mdl = Irp->MdlAddress;
        Irp->MdlAddress = mdl->Next;
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    FinishPiece((ReadPiece*)Context, Irp->IoStatus.Status, Irp->IoStatus.Information);
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

//
// FilePieceCompletion - APC routine of a file sub-read, in the thread that
// issued it. IRQL: PASSIVE_LEVEL or APC_LEVEL.
//
static VOID NTAPI FilePieceCompletion(PVOID Context, PIO_STATUS_BLOCK IoStatus, ULONG Reserved) {
    UNREFERENCED_PARAMETER(IoStatus);
    UNREFERENCED_PARAMETER(Reserved);
    ReadPiece* piece = (ReadPiece*)Context;
    FinishPiece(piece, piece->IoStatus.Status, piece->IoStatus.Information);
}

//
// StartPiece - the common first steps of a sub-read: a ReadPiece counted
// into Item, holding the volume's RemoveLock, and the caller's buffer.
// NULL when any is missing (a counted sub-read is then booked as failed).
// IRQL: PASSIVE_LEVEL.
//
static ReadPiece* StartPiece(FilterExtension* Volume, ReadRequest* Item, PUCHAR* Buffer) {
    ReadPiece* piece = (ReadPiece*)AllocateTransferContext(FALSE);
    if (piece == NULL) {
        return NULL;
    }
    if (!AddPieceReference(Item)) {
        FreeTransferContext(piece);
        return NULL;
    }
    *Buffer = RequestBuffer(Item);
    if (*Buffer == NULL || !NT_SUCCESS(IoAcquireRemoveLock(&Volume->RemoveLock, piece))) {
        FreeTransferContext(piece);
        PieceDone(Item, STATUS_INSUFFICIENT_RESOURCES, 0);
        return NULL;
    }
    return piece;
}

//
// HoldForPiece - fills Piece and takes the two shared holds its completion
// gives back. IRQL: PASSIVE_LEVEL.
//
static VOID HoldForPiece(FilterExtension* Volume, ReadPiece* Piece, ReadRequest* Item,
                         HashBucket* Bucket) {
    Piece->Request = Item;
    Piece->IoStatus.Status = STATUS_SUCCESS;
    Piece->IoStatus.Information = 0;
    Piece->Owner = PsGetCurrentThread();
    Piece->BucketLock = Bucket->Lock.Resource;
    AcquireVolumeLock(Volume, FALSE);
    ULONG_PTR lockHandle;
    HashTableLockBucket(Volume->SnapshotContext->ExtentTable, Bucket, FALSE, NULL, &lockHandle);
}

LONG ReadVolumePiece(FilterExtension* Volume, ULONGLONG Sector, ULONG Count, ULONG Done,
                     ReadRequest* Item, HashBucket* Bucket) {
    PUCHAR buffer = NULL;
    ReadPiece* piece = StartPiece(Volume, Item, &buffer);
    if (piece == NULL) {
        return -1;
    }
    ULONG sectorSize = Volume->SectorSize;
    LARGE_INTEGER offset;
    offset.QuadPart = (LONGLONG)(Sector * sectorSize);
    PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, Volume->LowerDevice,
                                             buffer + (SIZE_T)Done * sectorSize,
                                             Count * sectorSize, &offset, NULL);
    if (irp == NULL) {
        IoReleaseRemoveLock(&Volume->RemoveLock, piece);
        FreeTransferContext(piece);
        PieceDone(Item, STATUS_INSUFFICIENT_RESOURCES, 0);
        return -1;
    }
    irp->RequestorMode = KernelMode;
    IoGetNextIrpStackLocation(irp)->DeviceObject = Volume->LowerDevice;
    IoSetCompletionRoutine(irp, VolumePieceCompletion, piece, TRUE, TRUE, TRUE);
    HoldForPiece(Volume, piece, Item, Bucket);
    NTSTATUS status = IofCallDriver(Volume->LowerDevice, irp);
    return NT_ERROR(status) ? -1 : 0;
}

LONG ReadFilePiece(FilterExtension* Volume, ULONGLONG FileOffset, ULONG Count, ULONG Done,
                   ReadRequest* Item, HashBucket* Bucket) {
    PUCHAR buffer = NULL;
    ReadPiece* piece = StartPiece(Volume, Item, &buffer);
    if (piece == NULL) {
        return -1;
    }
    ULONG sectorSize = Volume->SectorSize;
    HoldForPiece(Volume, piece, Item, Bucket);
    LARGE_INTEGER offset;
    offset.QuadPart = (LONGLONG)FileOffset;
    NTSTATUS status = ZwReadFile(Volume->SnapshotContext->PartialFileHandle, NULL,
                                 FilePieceCompletion, piece, &piece->IoStatus,
                                 buffer + (SIZE_T)Done * sectorSize, Count * sectorSize, &offset,
                                 NULL);
    if (NT_ERROR(status)) {
        // Refused before it was sent: no APC will come.
        piece->IoStatus.Status = status;
        FilePieceCompletion(piece, &piece->IoStatus, 0);
        return -1;
    }
    return 0;
}

LONG ReadBlockRange(FilterExtension* Volume, ExtentEntry* Entry, ULONGLONG From, ULONGLONG To,
                    ULONG Done, ReadRequest* Item, HashBucket* Bucket) {
    ULONG sectorSize = Volume->SectorSize;
    ExtentPiece* piece = FindOverlappingExtent(Entry, NULL, From, To);
    LONG result = 0;
    while (piece != NULL) {
        ULONGLONG pieceStart = Entry->FirstSector + piece->SectorOffset;
        if (pieceStart > From) {
            ULONGLONG gap = pieceStart - From;
            ULONG count = (ULONG)(gap < To - From ? gap : To - From);
            result = ReadVolumePiece(Volume, From, count, Done, Item, Bucket);
            From += count;
            Done += count;
            if (result != 0) {
                return result;
            }
        }
        if (From >= To) {
            return result;
        }
        ULONGLONG pieceEnd = pieceStart + piece->SectorCount;
        ULONG count = (ULONG)((pieceEnd < To ? pieceEnd : To) - From);
        if (piece->Data != NULL) {
            // Flushes free Data only under the bucket held exclusively; the
            // caller holds it shared.
            if (AddPieceReference(Item)) {
                PUCHAR buffer = RequestBuffer(Item);
                if (buffer == NULL) {
                    PieceDone(Item, STATUS_INSUFFICIENT_RESOURCES, 0);
                } else {
                    RtlCopyMemory(buffer + (SIZE_T)Done * sectorSize,
                                  (PUCHAR)piece->Data + (From - pieceStart) * sectorSize,
                                  (SIZE_T)count * sectorSize);
                    PieceDone(Item, STATUS_SUCCESS, (ULONG_PTR)count * sectorSize);
                }
            }
        } else {
            result = ReadFilePiece(Volume, piece->FileOffset + (From - pieceStart) * sectorSize,
                                   count, Done, Item, Bucket);
        }
        From += count;
        Done += count;
        piece = piece->Next;
        if (result != 0 || From >= To) {
            return result;
        }
    }
    return ReadVolumePiece(Volume, From, (ULONG)(To - From), Done, Item, Bucket);
}

NTSTATUS ServeFrozenRead(ReadRequest* Item) {
    FilterExtension* volume = ItemVolume(Item);
    SnapshotContext* snapshot = volume->SnapshotContext;
    PIRP request = Item->Request;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request);
    ULONGLONG offset = (ULONGLONG)stack->Parameters.Read.ByteOffset.QuadPart;
    ULONG length = stack->Parameters.Read.Length;
    ULONG sectorSize = volume->SectorSize;

    // Written so that no sum can wrap: the read must end within the volume.
    if (length > snapshot->PartitionLength || offset > snapshot->PartitionLength - length ||
        length % sectorSize != 0) {
        CompleteRead(request, STATUS_INVALID_PARAMETER, IO_NO_INCREMENT);
        GiveBackReadRequest(Item);
        return STATUS_INVALID_PARAMETER;
    }

    TransferRequest transfer;
    RtlZeroMemory(&transfer, sizeof(transfer));
    transfer.Kind = TRANSFER_FROZEN_READ;
    transfer.Request = request;
    transfer.FirstSector = offset / sectorSize;
    transfer.SectorCount = length / sectorSize;
    transfer.Buffer = Item;
    if (WalkSectorRange(volume, &transfer) == 0) {
        AllPiecesIssued(Item);
        return STATUS_PENDING;
    }

    DrainPieces(Item);
    SetFrozenStateBroken(volume, TRUE);
    if (StaysBroken(volume)) {
        CompleteRead(request, STATUS_ACCESS_DENIED, IO_NO_INCREMENT);
        GiveBackReadRequest(Item);
        return STATUS_ACCESS_DENIED;
    }
    PassDown(Item->Device, request);
    GiveBackReadRequest(Item);
    return STATUS_UNSUCCESSFUL;
}

VOID FrozenReadWorker(PVOID Context) {
    ReadRequest* item = (ReadRequest*)Context;
    FilterExtension* volume = ItemVolume(item);
    PDEVICE_OBJECT device = item->Device;
    PIRP request = item->Request;
    AcquireVolumeLock(volume, FALSE);
    PETHREAD owner = PsGetCurrentThread();

    if ((ReadVolumeFlags(volume) & VOLUME_FROZEN) == 0) {
        // Quiescing, or the snapshot ended while the read was queued.
        ReleaseVolumeLock(volume, owner);
        PassDown(device, request);
        GiveBackReadRequest(item);
        return;
    }
    RestartFreezeTimer(volume);
    if (!IsFrozenStateBroken(volume)) {
        ServeFrozenRead(item);
    } else {
        if (StaysBroken(volume)) {
            CompleteRead(request, STATUS_ACCESS_DENIED, IO_DISK_INCREMENT);
        } else {
            PassDown(device, request);
        }
        GiveBackReadRequest(item);
    }
    ReleaseVolumeLock(volume, owner);
}
