// file_space.cpp - the space of the partial data file: a list of free ranges
// in ascending file order, reused first-fit, and the end at which the file
// grows.
//
// The file has no header and no index of its own: each flushed piece
// occupies SectorCount sectors at its FileOffset, a multiple of the sector
// size; which volume sectors a run holds is known only from the ExtentTable.
//
// Kernel mode, below DISPATCH_LEVEL. MapLock (an event used as a mutex) is
// the innermost lock of the volume and is held only for the list updates.
#include "io/copy_on_write.h"

static VOID LockMap(SnapshotContext* Snapshot) {
    KeWaitForSingleObject(Snapshot->MapLock, Executive, KernelMode, FALSE, NULL);
}

static VOID UnlockMap(SnapshotContext* Snapshot) {
    KeSetEvent(Snapshot->MapLock, IO_NO_INCREMENT, FALSE);
}

// RangeEnd - the byte just past Range.
static ULONGLONG RangeEnd(ExtentPiece* Range, ULONG SectorSize) {
    return Range->FileOffset + (ULONGLONG)Range->SectorCount * SectorSize;
}

VOID AllocateFileSpace(FilterExtension* Volume, SnapshotContext* Snapshot, ULONG Count,
                       PULONGLONG FileOffset) {
    ULONG sectorSize = Volume->SectorSize;
    LockMap(Snapshot);
    ExtentPiece** link = &Snapshot->FreeList;
    while (*link != NULL && (*link)->SectorCount < Count) {
        link = &(*link)->Next;
    }
    ExtentPiece* range = *link;
    if (range != NULL) {
        *FileOffset = range->FileOffset;
        range->FileOffset += (ULONGLONG)Count * sectorSize;
        range->SectorCount = (USHORT)(range->SectorCount - Count);
        if (range->SectorCount == 0) {
            *link = range->Next;
            FreeExtentPiece(range);
        }
    } else {
        *FileOffset = Snapshot->FileEnd;
        Snapshot->FileEnd += (ULONGLONG)Count * sectorSize;
    }
    UnlockMap(Snapshot);
}

VOID ReleaseFileSpace(FilterExtension* Volume, SnapshotContext* Snapshot, ExtentPiece* Range) {
    ULONG sectorSize = Volume->SectorSize;
    Range->SectorOffset = 0;
    LockMap(Snapshot);
    ExtentPiece* prev = NULL;
    ExtentPiece* next = Snapshot->FreeList;
    while (next != NULL && next->FileOffset < Range->FileOffset) {
        prev = next;
        next = next->Next;
    }

    if (prev != NULL && RangeEnd(prev, sectorSize) == Range->FileOffset) {
        if ((ULONG)prev->SectorCount + Range->SectorCount > EXTENT_MAX_SECTORS) {
            Range->Next = next;
            prev->Next = Range;
        } else {
            prev->SectorCount = (USHORT)(prev->SectorCount + Range->SectorCount);
            FreeExtentPiece(Range);
            if (next != NULL && RangeEnd(prev, sectorSize) == next->FileOffset &&
                (ULONG)prev->SectorCount + next->SectorCount <= EXTENT_MAX_SECTORS) {
                prev->SectorCount = (USHORT)(prev->SectorCount + next->SectorCount);
                prev->Next = next->Next;
                FreeExtentPiece(next);
            }
        }
    } else if (next != NULL && RangeEnd(Range, sectorSize) == next->FileOffset &&
               (ULONG)Range->SectorCount + next->SectorCount <= EXTENT_MAX_SECTORS) {
        next->FileOffset = Range->FileOffset;
        next->SectorCount = (USHORT)(next->SectorCount + Range->SectorCount);
        FreeExtentPiece(Range);
    } else {
        Range->Next = next;
        if (prev != NULL) {
            prev->Next = Range;
        } else {
            Snapshot->FreeList = Range;
        }
    }
    UnlockMap(Snapshot);
}
