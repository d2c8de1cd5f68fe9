// change_store.cpp - the change store: its file, the queue of write ranges
// the I/O path hands in, the worker that marks them in the bitmap, and
// draining, merging and closing a store.
//
// Kernel mode. ChangeStoreQueueWrite and ChangeStoreFail run at up to
// DISPATCH_LEVEL and take only the store's spin lock (and, inside it, the
// range pool's and the work queue's locks). Everything else runs at
// PASSIVE_LEVEL, attached to the System process while it uses the file, the
// section or the view.
//
// Lock order: a store's Resource before its SpinLock; in a merge the
// destination's Resource before the source's. The Resource is held shared
// while bits are set and exclusively while the view changes; a merge holds
// the destination's exclusively while it ORs bytes in, so that merging and
// marking never change the same byte at once.
#include "support/change_store.h"

#include "frame/exempt_file_list.h"
#include "frame/frame.h"
#include "frame/volume_lookup.h"
#include "resources/messages.h"
#include "snapshot/qvdapi.h"
#include "support/block_cache.h"
#include "support/pool_tags.h"
#include "support/zeroed_memory.h"

// Bits before the bitmap: the header's 24 bytes.
#define HEADER_BITS (CHANGE_STORE_HEADER_SIZE * 8u)

// A write range waiting to be marked; a ChangeRangePool block.
typedef struct _ChangeRange {
    LIST_ENTRY Link;  // in ChangeStore.Queue; the store's SpinLock
    ULONGLONG Offset; // volume byte offset
    ULONG Length;     // bytes
} ChangeRange;

static_assert(sizeof(ChangeRange) <= CHANGE_RANGE_BLOCK_SIZE, "a range fits its pool block");

// Attaches to the System process unless the caller runs in it; TRUE when
// attached (the caller then detaches).
static BOOLEAN AttachToSystemProcess(VOID) {
    if (IoGetCurrentProcess() == DriverGlobals.SystemProcess) {
        return FALSE;
    }
    KeAttachProcess((PRKPROCESS)DriverGlobals.SystemProcess);
    return TRUE;
}

static VOID DetachIfAttached(BOOLEAN Attached) {
    if (Attached) {
        KeDetachProcess();
    }
}

static BOOLEAN StoreHasFailed(ChangeStore* Store) {
    KIRQL irql = KfAcquireSpinLock(&Store->SpinLock);
    BOOLEAN failed = (Store->Flags & CHANGE_STORE_FAILED) != 0;
    KfReleaseSpinLock(&Store->SpinLock, irql);
    return failed;
}

// Sets the failed bit; TRUE when this call set it. Caller holds SpinLock.
static BOOLEAN SetFailedLocked(ChangeStore* Store) {
    BOOLEAN first = (Store->Flags & CHANGE_STORE_FAILED) == 0;
    Store->Flags |= CHANGE_STORE_FAILED;
    return first;
}

VOID ChangeStoreFail(ChangeStore* Store) {
    KIRQL irql = KfAcquireSpinLock(&Store->SpinLock);
    BOOLEAN first = SetFailedLocked(Store);
    KfReleaseSpinLock(&Store->SpinLock, irql);
    if (first) {
        LogEvent(QVD_MSG_CHANGE_STORE_FAILED, NULL);
    }
}

// Unmaps the view, if one is mapped. Caller holds Resource exclusively and
// is attached to the System process.
static VOID UnmapViewLocked(ChangeStore* Store) {
    ASSERT(ExIsResourceAcquiredExclusiveLite(Store->Resource));
    if (Store->View != NULL) {
        MmUnmapViewOfSection(DriverGlobals.SystemProcess, Store->View);
        Store->View = NULL;
    }
}

// Maps the view at file offset Offset (a multiple of the view size) in place
// of the current one; a failure fails the store. Caller as UnmapViewLocked.
static NTSTATUS MapViewLocked(ChangeStore* Store, ULONGLONG Offset) {
    ASSERT(ExIsResourceAcquiredExclusiveLite(Store->Resource));
    UnmapViewLocked(Store);
    ULONGLONG left = Store->FileSize - Offset;
    Store->ViewOffset = Offset;
    Store->ViewSize = (ULONG)(left < CHANGE_STORE_VIEW_SIZE ? left : CHANGE_STORE_VIEW_SIZE);
    PVOID base = NULL;
    LARGE_INTEGER sectionOffset;
    sectionOffset.QuadPart = (LONGLONG)Offset;
    SIZE_T viewSize = Store->ViewSize;
    NTSTATUS status = ZwMapViewOfSection(Store->Section, NtCurrentProcess(), &base, 0, 0,
                                         &sectionOffset, &viewSize, ViewShare, 0, PAGE_READWRITE);
    if (!NT_SUCCESS(status)) {
        ChangeStoreFail(Store);
        return status;
    }
    Store->View = (PUCHAR)base;
    return STATUS_SUCCESS;
}

// Maps the view at Offset unless it is the one mapped; FALSE on failure.
static BOOLEAN EnsureViewLocked(ChangeStore* Store, ULONGLONG Offset) {
    if (Store->View != NULL && Store->ViewOffset == Offset) {
        return TRUE;
    }
    return NT_SUCCESS(MapViewLocked(Store, Offset));
}

// The stream identity of the store's open file, or NULL. The file object is
// referenced only to read it.
static PVOID StoreFileIdentity(ChangeStore* Store) {
    PFILE_OBJECT file = NULL;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(Store->File, 0, *IoFileObjectType, KernelMode,
                                              (PVOID*)&file, NULL))) {
        return NULL;
    }
    PVOID identity = file->FsContext;
    ObDereferenceObject(file);
    return identity;
}

// Creates (or replaces) the file and lists it among the driver's own files,
// so that the filter lets its paging writes through. Attached to System.
static ULONG CreateStoreFile(ChangeStore* Store) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, Store->Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               NULL, NULL);
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status = ZwCreateFile(
        &Store->File, GENERIC_READ | GENERIC_WRITE | DELETE | SYNCHRONIZE, &attributes, &ioStatus,
        NULL, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, 0, FILE_OVERWRITE_IF,
        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
    if (!NT_SUCCESS(status)) {
        Store->File = NULL;
        return QVD_RESULT_FILE_SETUP_FAILED;
    }
    if (!ExemptFileAdd(StoreFileIdentity(Store), OWN_FILE_LIST)) {
        ZwClose(Store->File);
        Store->File = NULL;
        return QVD_RESULT_FILE_SETUP_FAILED;
    }
    return QVD_RESULT_SUCCESS;
}

// Writes zeros over the whole FileSize from the file's start. Attached to System.
static ULONG FillStoreFile(ChangeStore* Store) {
    PVOID zeros = ExAllocatePoolWithTag(PagedPool, CHANGE_STORE_BLOCK_SIZE, QVD_TAG_SCRATCH);
    if (zeros == NULL) {
        return QVD_RESULT_BAD_FILE_HANDLE;
    }
    RtlZeroMemory(zeros, CHANGE_STORE_BLOCK_SIZE);
    ULONG result = QVD_RESULT_SUCCESS;
    for (ULONGLONG left = Store->FileSize; left != 0 && result == QVD_RESULT_SUCCESS;) {
        ULONG chunk = (ULONG)(left < CHANGE_STORE_BLOCK_SIZE ? left : CHANGE_STORE_BLOCK_SIZE);
        IO_STATUS_BLOCK ioStatus;
        NTSTATUS status =
            ZwWriteFile(Store->File, NULL, NULL, NULL, &ioStatus, zeros, chunk, NULL, NULL);
        if (!NT_SUCCESS(status) || !NT_SUCCESS(ioStatus.Status) || ioStatus.Information < chunk) {
            result = QVD_RESULT_BAD_FILE_HANDLE;
        }
        left -= chunk;
    }
    ExFreePool(zeros);
    return result;
}

static ULONG CreateStoreSection(ChangeStore* Store) {
    LARGE_INTEGER maximumSize;
    maximumSize.QuadPart = (LONGLONG)Store->FileSize;
    NTSTATUS status = ZwCreateSection(&Store->Section, SECTION_ALL_ACCESS, NULL, &maximumSize,
                                      PAGE_READWRITE, SEC_RESERVE, Store->File);
    if (status != STATUS_SUCCESS) {
        Store->Section = NULL;
        return QVD_RESULT_BAD_FILE_HANDLE;
    }
    return QVD_RESULT_SUCCESS;
}

ULONG ChangeStoreCreate(ChangeStore* Store, PCWSTR Path, ULONGLONG VolumeSize) {
    PAGED_CODE();
    RtlZeroMemory(Store, sizeof(*Store));
    KeInitializeSpinLock(&Store->SpinLock);
    KeInitializeEvent(&Store->Idle, NotificationEvent, TRUE);
    InitializeListHead(&Store->Queue);
    Store->Work.Routine = ChangeStoreWorker;
    Store->Work.Context = Store;
    Store->Header.BlockSize = CHANGE_STORE_BLOCK_SIZE;

    Store->Name = JoinPath(u"\\DosDevices", Path, NULL);
    if (Store->Name == NULL) {
        return QVD_RESULT_NO_MEMORY;
    }
    Store->Resource = AllocateResourceBlock(FALSE);
    if (Store->Resource == NULL) {
        ChangeStoreClose(Store);
        return QVD_RESULT_NO_MEMORY;
    }
    ExInitializeResourceLite(Store->Resource);

    BOOLEAN attached = AttachToSystemProcess();
    ULONG result = CreateStoreFile(Store);
    if (result == QVD_RESULT_SUCCESS) {
        Store->VolumeSize = VolumeSize;
        Store->FileSize = ((VolumeSize + 32767) >> 15) + CHANGE_STORE_HEADER_SIZE;
        result = FillStoreFile(Store);
    }
    if (result == QVD_RESULT_SUCCESS) {
        result = CreateStoreSection(Store);
    }
    if (result == QVD_RESULT_SUCCESS) {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(Store->Resource, TRUE);
        if (!NT_SUCCESS(MapViewLocked(Store, 0))) {
            result = QVD_RESULT_BAD_FILE_HANDLE;
        }
        ExReleaseResourceLite(Store->Resource);
        KeLeaveCriticalRegion();
    }
    DetachIfAttached(attached);

    // One path releases whatever was taken: ChangeStoreClose clears each
    // handle and block as it lets it go.
    if (result != QVD_RESULT_SUCCESS) {
        ChangeStoreClose(Store);
        return result;
    }
    Store->Flags |= CHANGE_STORE_OPEN;
    return QVD_RESULT_SUCCESS;
}

NTSTATUS ChangeStoreQueueWrite(ChangeStore* Store, ULONGLONG Offset, ULONG Length) {
    if (Store == NULL) {
        return STATUS_SUCCESS;
    }
    BOOLEAN failedNow = FALSE;
    KIRQL irql = KfAcquireSpinLock(&Store->SpinLock);
    if ((Store->Flags & (CHANGE_STORE_OPEN | CHANGE_STORE_FAILED)) == CHANGE_STORE_OPEN) {
        ChangeRange* range = (ChangeRange*)AllocateChangeRange(FALSE);
        if (range == NULL) {
            failedNow = SetFailedLocked(Store);
        } else {
            range->Offset = Offset;
            range->Length = Length;
            // Before the first range of the same or a higher offset. Writes
            // mostly come in ascending order, so the place is sought from the
            // tail.
            PLIST_ENTRY before = Store->Queue.Blink;
            while (before != &Store->Queue &&
                   CONTAINING_RECORD(before, ChangeRange, Link)->Offset >= Offset) {
                before = before->Blink;
            }
            InsertHeadList(before, &range->Link);
            Store->QueuedRanges++;
            if (!(Store->Flags & CHANGE_STORE_WORK_QUEUED)) {
                Store->Flags |= CHANGE_STORE_WORK_QUEUED;
                KeClearEvent(&Store->Idle);
                QueueWorkItem(&Store->Work, WORK_KIND_GENERAL);
            }
        }
    }
    KfReleaseSpinLock(&Store->SpinLock, irql);
    if (failedNow) {
        LogEvent(QVD_MSG_CHANGE_STORE_FAILED, NULL);
    }
    return STATUS_SUCCESS;
}

VOID ChangeStoreWorker(PVOID Context) {
    PAGED_CODE();
    ChangeStore* store = (ChangeStore*)Context;
    for (;;) {
        KIRQL irql = KfAcquireSpinLock(&store->SpinLock);
        if (IsListEmpty(&store->Queue)) {
            // Last touch of the store: once the lock is given back, a drain
            // may return and the store be closed.
            store->Flags &= ~CHANGE_STORE_WORK_QUEUED;
            KeSetEvent(&store->Idle, IO_NO_INCREMENT, FALSE);
            KfReleaseSpinLock(&store->SpinLock, irql);
            return;
        }
        ChangeRange* range = CONTAINING_RECORD(RemoveHeadList(&store->Queue), ChangeRange, Link);
        store->QueuedRanges--;
        KfReleaseSpinLock(&store->SpinLock, irql);
        ChangeStoreMark(store, range->Offset, range->Length);
        FreeChangeRange(range);
    }
}

// Sets bits First to Last of the mapped view (bit numbers within the view)
// and returns how many of them were clear. An exception while touching the
// view (an in-page error on the file) loses the rest of the bits.
static ULONG SetViewBits(PUCHAR View, ULONG First, ULONG Last) {
    ULONG newlyMarked = 0;
    _SEH2_TRY {
        for (ULONG bit = First; bit <= Last; bit++) {
            UCHAR mask = (UCHAR)(1u << (bit % 8));
            if (!(View[bit / 8] & mask)) {
                View[bit / 8] |= mask;
                newlyMarked++;
            }
        }
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {}
    _SEH2_END;
    return newlyMarked;
}

NTSTATUS ChangeStoreMark(ChangeStore* Store, ULONGLONG Offset, ULONG Length) {
    PAGED_CODE();
    ULONGLONG end = Offset + Length;
    if (end > Store->VolumeSize || end < Offset) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = STATUS_SUCCESS;
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(Store->Resource, TRUE);
    BOOLEAN attached = AttachToSystemProcess();
    while (Offset < end && NT_SUCCESS(status)) {
        // Bits of the step, as file bit numbers: from the block of the
        // first byte to the block of the range's last byte, within one view.
        ULONGLONG firstBit = Offset / CHANGE_STORE_BLOCK_SIZE + HEADER_BITS;
        ULONGLONG viewOffset = (firstBit / 8) & ~(ULONGLONG)(CHANGE_STORE_VIEW_SIZE - 1);
        ULONGLONG lastBit = (end - 1) / CHANGE_STORE_BLOCK_SIZE + HEADER_BITS;
        ULONGLONG viewLastBit = (viewOffset + CHANGE_STORE_VIEW_SIZE) * 8 - 1;
        if (lastBit > viewLastBit) {
            lastBit = viewLastBit;
        }
        ULONG count = (ULONG)(lastBit - firstBit + 1);

        if (Store->View == NULL || Store->ViewOffset != viewOffset) {
            ExReleaseResourceLite(Store->Resource);
            ExAcquireResourceExclusiveLite(Store->Resource, TRUE);
            if (!StoreHasFailed(Store) && !EnsureViewLocked(Store, viewOffset)) {
                status = STATUS_UNSUCCESSFUL;
            }
            ExConvertExclusiveToSharedLite(Store->Resource);
        }
        if (!NT_SUCCESS(status) || StoreHasFailed(Store)) {
            break;
        }

        ULONG newlyMarked = SetViewBits(Store->View, (ULONG)(firstBit - viewOffset * 8),
                                        (ULONG)(lastBit - viewOffset * 8));
        KIRQL irql = KfAcquireSpinLock(&Store->SpinLock);
        Store->Header.BlocksMarked += count;
        Store->Header.BlocksNewlyMarked += newlyMarked;
        KfReleaseSpinLock(&Store->SpinLock, irql);

        Offset = (lastBit + 1 - HEADER_BITS) * CHANGE_STORE_BLOCK_SIZE;
    }
    DetachIfAttached(attached);
    ExReleaseResourceLite(Store->Resource);
    KeLeaveCriticalRegion();
    return status;
}

VOID ChangeStoreDrain(ChangeStore* Store) {
    PAGED_CODE();
    for (;;) {
        KIRQL irql = KfAcquireSpinLock(&Store->SpinLock);
        BOOLEAN busy = (Store->Flags & CHANGE_STORE_WORK_QUEUED) != 0;
        KfReleaseSpinLock(&Store->SpinLock, irql);
        if (!busy) {
            return;
        }
        KeWaitForSingleObject(&Store->Idle, Executive, KernelMode, FALSE, NULL);
    }
}

// ORs one view of Source into the same view of Destination (both mapped),
// counting the set bits brought in and those that were clear before.
static VOID MergeViews(ChangeStore* Source, ChangeStore* Destination, ULONGLONG* Marked,
                       ULONGLONG* NewlyMarked) {
    ULONG size =
        Source->ViewSize < Destination->ViewSize ? Source->ViewSize : Destination->ViewSize;
    // The header bytes of the first view are not part of the bitmap.
    ULONG first = Source->ViewOffset == 0 ? CHANGE_STORE_HEADER_SIZE : 0;
    _SEH2_TRY {
        for (ULONG index = first; index < size; index++) {
            UCHAR bits = Source->View[index];
            if (bits != 0) {
                UCHAR before = Destination->View[index];
                *Marked += (ULONG)__builtin_popcount(bits);
                *NewlyMarked += (ULONG)__builtin_popcount(bits & (UCHAR)~before);
                Destination->View[index] = (UCHAR)(before | bits);
            }
        }
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {}
    _SEH2_END;
}

BOOLEAN ChangeStoreMerge(ChangeStore* Source, ChangeStore* Destination) {
    PAGED_CODE();
    if (Source->Resource == NULL || Destination->Resource == NULL) {
        return FALSE;
    }
    BOOLEAN merged = TRUE;
    ULONGLONG marked = 0;
    ULONGLONG newlyMarked = 0;
    BOOLEAN attached = AttachToSystemProcess();
    KeEnterCriticalRegion();
    for (ULONGLONG offset = 0; merged && offset < Source->FileSize;) {
        ExAcquireResourceExclusiveLite(Destination->Resource, TRUE);
        ExAcquireResourceExclusiveLite(Source->Resource, TRUE);
        merged = !StoreHasFailed(Source) && !StoreHasFailed(Destination) &&
                 EnsureViewLocked(Source, offset) && EnsureViewLocked(Destination, offset);
        if (merged) {
            MergeViews(Source, Destination, &marked, &newlyMarked);
            offset += Source->ViewSize;
        }
        ExReleaseResourceLite(Source->Resource);
        ExReleaseResourceLite(Destination->Resource);
    }
    KeLeaveCriticalRegion();
    DetachIfAttached(attached);
    if (merged) {
        KIRQL irql = KfAcquireSpinLock(&Destination->SpinLock);
        Destination->Header.BlocksMarked += marked;
        Destination->Header.BlocksNewlyMarked += newlyMarked;
        KfReleaseSpinLock(&Destination->SpinLock, irql);
    }
    return merged;
}

// Writes the header into the file, through the first view, unless the store
// has failed; then unmaps. Attached to System; the worker is idle.
static VOID WriteHeaderAndUnmap(ChangeStore* Store) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(Store->Resource, TRUE);
    if (!StoreHasFailed(Store) && EnsureViewLocked(Store, 0)) {
        KIRQL irql = KfAcquireSpinLock(&Store->SpinLock);
        ChangeStoreHeader header = Store->Header;
        KfReleaseSpinLock(&Store->SpinLock, irql);
        _SEH2_TRY {
            RtlCopyMemory(Store->View, &header, sizeof(header));
        }
        _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {}
        _SEH2_END;
    }
    UnmapViewLocked(Store);
    ExReleaseResourceLite(Store->Resource);
    KeLeaveCriticalRegion();
}

ULONG ChangeStoreClose(ChangeStore* Store) {
    PAGED_CODE();
    // No range is taken from now on; those already queued are marked first.
    KIRQL irql = KfAcquireSpinLock(&Store->SpinLock);
    Store->Flags &= ~CHANGE_STORE_OPEN;
    KfReleaseSpinLock(&Store->SpinLock, irql);
    ChangeStoreDrain(Store);

    BOOLEAN attached = AttachToSystemProcess();
    if (Store->File != NULL) {
        if (Store->Section != NULL) {
            if (Store->View != NULL) {
                WriteHeaderAndUnmap(Store);
            }
            ZwClose(Store->Section);
            Store->Section = NULL;
        }
        ExemptFileRemove(StoreFileIdentity(Store), OWN_FILE_LIST);
        ZwClose(Store->File);
        Store->File = NULL;
    }
    DetachIfAttached(attached);

    FreeIfAllocated(Store->Name);
    Store->Name = NULL;
    if (Store->Resource != NULL) {
        ExDeleteResourceLite(Store->Resource);
        FreeResourceBlock(Store->Resource);
        Store->Resource = NULL;
    }

    // Zero the record under its lock, the lock itself and the idle event
    // excepted: a writer of the I/O path may still come by and must find a
    // store that takes nothing.
    irql = KfAcquireSpinLock(&Store->SpinLock);
    PUCHAR record = (PUCHAR)Store;
    RtlZeroMemory(record, FIELD_OFFSET(ChangeStore, SpinLock));
    RtlZeroMemory(record + FIELD_OFFSET(ChangeStore, SpinLock) + sizeof(KSPIN_LOCK),
                  FIELD_OFFSET(ChangeStore, Idle) - FIELD_OFFSET(ChangeStore, SpinLock) -
                      sizeof(KSPIN_LOCK));
    KfReleaseSpinLock(&Store->SpinLock, irql);
    return 0;
}
