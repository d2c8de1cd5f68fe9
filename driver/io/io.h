// io.h - the I/O path's chief header: read and write interception, the
// small routines the whole path shares (volume lock, snapshot lock, the
// volume's flags and broken state, the paging-file test), and the records of
// the index of preserved sectors.
//
// Kernel mode. Every routine says the IRQL it runs at.
#pragma once

#include <ntddk.h>

#include "frame/exempt_file_list.h"
#include "frame/frame.h"
#include "support/hash_table.h"

struct _SnapshotContext;

// ---------------------------------------------------------------------------
// The index of preserved sectors (ExtentTable)
// ---------------------------------------------------------------------------

// Sectors per block of the ExtentTable; a block's first sector is a multiple.
#define EXTENT_BLOCK_SECTORS 128u

// One preserved run of sectors inside a block, or one free range of the
// partial data file (then SectorOffset is 0). Guarded by the bucket lock of
// its block (FlushLock for free ranges).
typedef struct _ExtentPiece {
    struct _ExtentPiece* Next; // next piece of the list that holds it
    PVOID Data;                // in-memory copy of the sectors, NULL once in the file
    ULONGLONG FileOffset;      // bytes into the partial data file; valid once Data is NULL
    USHORT SectorOffset;       // first sector, relative to the block's FirstSector (0-127)
    USHORT SectorCount;        // sectors
} ExtentPiece;

// The preserved pieces of one block; a bucket chain holds these in ascending
// FirstSector, at most one per block. Guarded by the bucket lock.
typedef struct _ExtentEntry {
    struct _ExtentEntry* Next; // next entry of the bucket chain
    ExtentPiece* Pieces;       // ascending SectorOffset, never overlapping; NULL when none
    ULONGLONG FirstSector;     // block index * EXTENT_BLOCK_SECTORS
} ExtentEntry;

// Next value of a piece whose block was dropped while its copy was still on
// its way to the partial data file: the pending flush frees it.
#define EXTENT_PIECE_ORPHAN ((ExtentPiece*)(ULONG_PTR)0x12345678u)

// Takes every entry off Table's chains and returns it and its pieces to
// their pools; a piece whose copy is still in memory is marked orphaned
// and left to its flush. Takes no lock: the caller holds FlushLock
// exclusively. The table itself stays. IRQL: PASSIVE_LEVEL.
VOID DestroyExtentTable(HashTable* Table);

// ---------------------------------------------------------------------------
// The volume's state
// ---------------------------------------------------------------------------

// VolumeFlags, read under StateLock. IRQL: <= DISPATCH_LEVEL.
UCHAR ReadVolumeFlags(FilterExtension* Volume);

// Sets the bits Set and clears the bits Clear of VolumeFlags in one step
// under StateLock, so no concurrent change of another bit is lost. The
// broken bit changes only through SetFrozenStateBroken. Returns the flags
// as they were. IRQL: <= DISPATCH_LEVEL.
UCHAR ChangeVolumeFlags(FilterExtension* Volume, UCHAR Set, UCHAR Clear);

// Sets (Broken TRUE) or clears the broken bit under StateLock; the change
// from clear to set writes the event "Failed to maintain frozen state of
// volume." once. Returns the bit's previous value. IRQL: <= DISPATCH_LEVEL.
BOOLEAN SetFrozenStateBroken(FilterExtension* Volume, BOOLEAN Broken);

// The broken bit. IRQL: <= DISPATCH_LEVEL.
BOOLEAN IsFrozenStateBroken(FilterExtension* Volume);

// Breaks the frozen state for lack of free space on the partial data file's
// volume. Such a break, as long as nothing else broke the state too, may be
// mended when space returns: MendSpaceBreak clears it then (unless the
// snapshot keeps a broken state) and returns whether it did.
// IRQL: <= DISPATCH_LEVEL.
VOID BreakForLackOfSpace(FilterExtension* Volume);
BOOLEAN MendSpaceBreak(FilterExtension* Volume);

// Records Owner (or NULL) as SnapshotOwner, taking a reference on the new
// thread and dropping the one on the old. IRQL: PASSIVE_LEVEL.
VOID SetSnapshotOwner(FilterExtension* Volume, PETHREAD Owner);

// ---------------------------------------------------------------------------
// Locks
// ---------------------------------------------------------------------------

// Takes VolumeResource shared or exclusive; the wait runs inside a critical
// region that is left again at once, so the hold may be given back by
// another thread (ReleaseVolumeLock). IRQL: <= APC_LEVEL.
VOID AcquireVolumeLock(FilterExtension* Volume, BOOLEAN Exclusive);

// Gives VolumeResource back on behalf of Owner, the thread that took it.
// IRQL: <= DISPATCH_LEVEL.
VOID ReleaseVolumeLock(FilterExtension* Volume, PETHREAD Owner);

// Waits on and sets the snapshot's SnapshotLock (a synchronization event
// used as a mutex). Taken after VolumeResource; no other lock inside it.
// IRQL: <= APC_LEVEL.
VOID LockSnapshot(struct _SnapshotContext* Snapshot);
VOID UnlockSnapshot(struct _SnapshotContext* Snapshot);

// ---------------------------------------------------------------------------
// Interception
// ---------------------------------------------------------------------------

// IRP_MJ_READ and IRP_MJ_WRITE of the driver's devices. The control device
// refuses them (STATUS_NOT_IMPLEMENTED). IRQL: <= APC_LEVEL, issuing thread.
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// TRUE when FileObject is the paging file: its name is exactly
// "\pagefile.sys" in any case. IRQL: <= DISPATCH_LEVEL.
BOOLEAN IsPagingFile(PFILE_OBJECT FileObject);

// Notes a completed write of the stream Key at Time while the volume is
// quiescing (Time NULL: only asks). Returns TRUE when the stream is already
// quiet. A new stream whose entry cannot be had aborts the quiescing.
// Caller holds VolumeResource (shared or exclusive). IRQL: <= DISPATCH_LEVEL.
BOOLEAN NoteFileWrite(FilterExtension* Volume, PVOID Key, PLARGE_INTEGER Time);
#define IsFileQuiet(Volume, Key) NoteFileWrite((Volume), (Key), NULL)
