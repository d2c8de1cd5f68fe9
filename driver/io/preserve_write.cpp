// preserve_write.cpp - preservation of the sectors a write is about to
// overwrite: read from the volume below the filter, copied into memory,
// indexed in the ExtentTable and queued for the flush to the partial data
// file.
//
// Kernel mode, in the writer's own thread at PASSIVE_LEVEL or APC_LEVEL
// (paging writes of the lazy writer and of mapped views). Nothing here may
// therefore use a threaded request or a Zw call, nor wait for an APC: the old
// data is read with asynchronous requests of our own, completed by a
// completion routine that signals an event. Copying into pool memory needs no
// process context, so nothing attaches to the System process here.
#include "io/copy_on_write.h"
#include "support/pool_tags.h"

NTSTATUS AllocateHalving(POOL_TYPE PoolType, ULONG Minimum, PVOID* Buffer, PULONG Size,
                         ULONG Tag) {
    ULONG size = *Size > Minimum ? *Size : Minimum;
    for (;;) {
        PVOID memory = ExAllocatePoolWithTag(PoolType, size, Tag);
        if (memory != NULL) {
            RtlZeroMemory(memory, size);
            *Buffer = memory;
            *Size = size;
            return STATUS_SUCCESS;
        }
        // The minimum itself is the last size tried.
        if (size <= Minimum) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        size = size / 2 > Minimum ? size / 2 : Minimum;
    }
}

//
// ReadLowerDone - completion of a ReadLowerSync request: hands the outcome
// to the waiting thread and frees the request, which is ours.
// IRQL: <= DISPATCH_LEVEL.
//
static NTSTATUS NTAPI ReadLowerDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PKEVENT event = (PKEVENT)Context;
    *Irp->UserIosb = Irp->IoStatus;
    while (Irp->MdlAddress != NULL) {
        PMDL mdl = Irp->MdlAddress;
        Irp->MdlAddress = mdl->Next;
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    IoFreeIrp(Irp);
    KeSetEvent(event, IO_DISK_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ReadLowerSync(PDEVICE_OBJECT Device, PIO_STATUS_BLOCK IoStatus, PKEVENT Event,
                       PVOID Buffer, ULONG Length, ULONGLONG Offset) {
    LARGE_INTEGER offset;
    offset.QuadPart = (LONGLONG)Offset;
    PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, Device, Buffer, Length, &offset,
                                             IoStatus);
    if (irp == NULL) {
        IoStatus->Status = STATUS_INSUFFICIENT_RESOURCES;
        IoStatus->Information = 0;
        KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->RequestorMode = KernelMode;
    IoGetNextIrpStackLocation(irp)->DeviceObject = Device;
    IoSetCompletionRoutine(irp, ReadLowerDone, Event, TRUE, TRUE, TRUE);
    NTSTATUS status;
    _SEH2_TRY {
        status = IofCallDriver(Device, irp);
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        status = _SEH2_GetExceptionCode();
        IoStatus->Status = status;
        IoStatus->Information = 0;
        KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
    }
    _SEH2_END;
    return status;
}

LONG StoreExtent(FilterExtension* Volume, ExtentEntry* Entry, HashBucket* Bucket, PVOID Buffer,
                 ULONGLONG From, ULONG Count, ExtentPiece* After, ExtentPiece** Stored) {
    ExtentPiece* piece = (ExtentPiece*)AllocateExtentPiece(FALSE);
    if (piece == NULL) {
        return 1;
    }
    piece->SectorOffset = (USHORT)(From - Entry->FirstSector);
    piece->SectorCount = (USHORT)Count;

    SIZE_T bytes = (SIZE_T)Count * Volume->SectorSize;
    piece->Data = ExAllocatePoolWithTag(PagedPool, bytes, QVD_TAG_PRESERVED_DATA);
    FlushItem* item = piece->Data != NULL ? (FlushItem*)AllocateWorkRecord(FALSE) : NULL;
    if (item != NULL && !NT_SUCCESS(IoAcquireRemoveLock(&Volume->RemoveLock, item))) {
        FreeWorkRecord(item);
        item = NULL;
    }
    if (item == NULL) {
        if (piece->Data != NULL) {
            ExFreePoolWithTag(piece->Data, QVD_TAG_PRESERVED_DATA);
        }
        FreeExtentPiece(piece);
        return -1;
    }
    RtlCopyMemory(piece->Data, Buffer, bytes);
    ChargeBacklog((ULONG)bytes);

    // Linked before its flush is queued. A queued flush reads the Next of
    // its piece (for the orphan mark) without the bucket lock, so the Next
    // of a linked piece changes only atomically.
    if (After != NULL) {
        piece->Next = After->Next;
        InterlockedExchangePointer((PVOID volatile*)&After->Next, piece);
    } else {
        ExtentPiece** link = &Entry->Pieces;
        while (*link != NULL && (*link)->SectorOffset < piece->SectorOffset) {
            link = &(*link)->Next;
        }
        piece->Next = *link;
        InterlockedExchangePointer((PVOID volatile*)link, piece);
    }
    InterlockedIncrement(&Volume->SnapshotContext->UnflushedPieces);

    // The flush may start at once; it frees Data only under the bucket held
    // exclusively, which this thread holds until the walk leaves the block.
    item->Work.Routine = FlushExtent;
    item->Work.Context = item;
    item->Volume = Volume;
    item->Piece = piece;
    item->BucketLock = Bucket->Lock.Resource;
    QueueWorkItem(&item->Work, WORK_KIND_FLUSH);
    *Stored = piece;
    return 0;
}

LONG PreserveBlockRange(FilterExtension* Volume, ExtentEntry* Entry, HashBucket* Bucket,
                        ULONGLONG From, ULONGLONG To, PVOID Buffer, ULONG BufferSize) {
    ULONG sectorSize = Volume->SectorSize;
    ULONG bufferSectors = BufferSize / sectorSize;
    ExtentPiece* prev = NULL;
    PKEVENT event = NULL;
    LONG result = 0;

    while (From < To && result == 0) {
        ExtentPiece* piece = FindOverlappingExtent(Entry, prev, From, To);
        ULONGLONG gapEnd = piece != NULL ? Entry->FirstSector + piece->SectorOffset : To;
        ULONGLONG gap = gapEnd > From ? gapEnd - From : 0;
        if (gap > To - From) {
            gap = To - From;
        }
        while (gap > 0 && result == 0) {
            ULONG count = (ULONG)(gap < bufferSectors ? gap : bufferSectors);
            if (event == NULL) {
                event = AllocateEventBlock(FALSE);
                if (event == NULL) {
                    result = -1;
                    break;
                }
                KeInitializeEvent(event, SynchronizationEvent, FALSE);
            }
            IO_STATUS_BLOCK ioStatus = {};
            ReadLowerSync(Volume->LowerDevice, &ioStatus, event, Buffer, count * sectorSize,
                          From * sectorSize);
            NTSTATUS wait = KeWaitForSingleObject(event, Executive, KernelMode, FALSE, NULL);
            if (wait != STATUS_SUCCESS || !NT_SUCCESS(ioStatus.Status) ||
                ioStatus.Information != (ULONG_PTR)count * sectorSize) {
                result = -1;
                break;
            }
            result = StoreExtent(Volume, Entry, Bucket, Buffer, From, count, prev, &prev);
            gap -= count;
            From += count;
        }
        if (result != 0) {
            break;
        }
        From = piece != NULL ? Entry->FirstSector + piece->SectorOffset + piece->SectorCount : To;
        prev = piece;
    }

    if (result != 0) {
        SetFrozenStateBroken(Volume, TRUE);
    }
    if (event != NULL) {
        FreeEventBlock(event);
    }
    return result;
}

ULONG WalkSectorRange(FilterExtension* Volume, TransferRequest* Transfer) {
    SnapshotContext* snapshot = Volume->SnapshotContext;
    BOOLEAN preserving = Transfer->Kind == TRANSFER_PRESERVE;
    ReadRequest* item = (ReadRequest*)Transfer->Buffer;
    ULONGLONG floor = 0;
    if (preserving) {
        floor = Transfer->Floor;
    } else {
        KeInitializeSpinLock(&item->Lock);
        item->Pending = 0;
        item->Bytes = 0;
        item->Status = STATUS_SUCCESS;
        item->Flags = 0;
    }
    ULONGLONG cursor = Transfer->FirstSector > floor ? Transfer->FirstSector : floor;
    ULONGLONG start = cursor;
    ULONGLONG end = Transfer->FirstSector + Transfer->SectorCount;
    ULONG done = 0;
    ULONG result = 0;

    while (cursor < end && result == 0) {
        HashBucket* bucket = NULL;
        ULONG_PTR lockHandle = 0;
        ExtentEntry* entry = FindExtentEntry(snapshot, cursor, preserving, &bucket, &lockHandle);
        ULONGLONG blockEnd = (cursor & ~(ULONGLONG)(EXTENT_BLOCK_SECTORS - 1)) +
                             EXTENT_BLOCK_SECTORS;
        ULONGLONG step = blockEnd - cursor;
        _SEH2_TRY {
            if (entry != NULL) {
                if (IsFrozenStateBroken(Volume)) {
                    result = (ULONG)-1;
                } else {
                    ULONGLONG stop = blockEnd < end ? blockEnd : end;
                    result = preserving
                                 ? (ULONG)PreserveBlockRange(Volume, entry, bucket, cursor, stop,
                                                             Transfer->Buffer, Transfer->BufferSize)
                                 : (ULONG)ReadBlockRange(Volume, entry, cursor, stop, done, item,
                                                         bucket);
                }
            } else if (preserving) {
                result = 1;
            } else {
                ULONGLONG remaining = end - cursor;
                ULONG count = (ULONG)(step < remaining ? step : remaining);
                result = (ULONG)ReadVolumePiece(Volume, cursor, count, done, item, bucket);
            }
        }
        _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            result = (ULONG)-1;
        }
        _SEH2_END;
        HashTableUnlockBucket(snapshot->ExtentTable, bucket, lockHandle);
        done += (ULONG)step;
        cursor += step;
    }

    if (preserving) {
        ULONGLONG block = start >> EXTENT_BLOCK_SHIFT;
        KeWaitForSingleObject(snapshot->MapLock, Executive, KernelMode, FALSE, NULL);
        if (snapshot->LowestBlock > block) {
            snapshot->LowestBlock = block;
        }
        KeSetEvent(snapshot->MapLock, IO_NO_INCREMENT, FALSE);
    }
    return result;
}

NTSTATUS PreserveWrite(FilterExtension* Volume, PIRP Request, ULONGLONG Offset, ULONG Length) {
    ULONG sectorSize = Volume->SectorSize;
    if (Length % sectorSize != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    SnapshotContext* snapshot = Volume->SnapshotContext;
    ULONGLONG firstSector = (ULONGLONG)((LONGLONG)Offset / (LONGLONG)sectorSize);
    ULONG sectorCount = Length / sectorSize;

    LockSnapshot(snapshot);
    ULONGLONG floor = snapshot->ProgressMark & ~(ULONGLONG)(EXTENT_BLOCK_SECTORS - 1);
    UnlockSnapshot(snapshot);
    if (sectorCount == 0 || firstSector + sectorCount < floor) {
        return STATUS_SUCCESS;
    }

    PVOID buffer = NULL;
    ULONG bufferSize = Length < PRESERVE_BUFFER_BYTES ? Length : PRESERVE_BUFFER_BYTES;
    if (!NT_SUCCESS(AllocateHalving(PagedPool, PRESERVE_BUFFER_MIN_BYTES, &buffer, &bufferSize,
                                    QVD_TAG_TRANSFER_BUFFER))) {
        SetFrozenStateBroken(Volume, TRUE);
        return STATUS_UNSUCCESSFUL;
    }

    TransferRequest transfer;
    RtlZeroMemory(&transfer, sizeof(transfer));
    transfer.Kind = TRANSFER_PRESERVE;
    transfer.Request = Request;
    transfer.Buffer = buffer;
    transfer.BufferSize = bufferSize;
    transfer.Floor = floor;
    // Walked in parts of at most the buffer's size, each with its room in
    // the backlog reserved first, so that the data waiting for its flush
    // stays within the budget however many writers preserve at once.
    NTSTATUS status = STATUS_SUCCESS;
    ULONGLONG sector = firstSector > floor ? firstSector : floor;
    ULONGLONG end = firstSector + sectorCount;
    ULONG partSectors = bufferSize / sectorSize;
    BOOLEAN bounded = KeGetCurrentIrql() >= APC_LEVEL ||
                      (Request != NULL && (Request->Flags & IRP_PAGING_IO) != 0);
    while (sector < end) {
        ULONG count = (ULONG)(end - sector < partSectors ? end - sector : partSectors);
        ULONG bytes = count * sectorSize;
        if (!ReserveBacklog(Volume, bytes, bounded)) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        transfer.FirstSector = sector;
        transfer.SectorCount = count;
        ULONG result = WalkSectorRange(Volume, &transfer);
        ReturnBacklog(bytes);
        if (result != 0) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        sector += count;
    }
    if (!NT_SUCCESS(status)) {
        SetFrozenStateBroken(Volume, TRUE);
    }
    ExFreePoolWithTag(buffer, QVD_TAG_TRANSFER_BUFFER);
    return status;
}
