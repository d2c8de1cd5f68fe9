// copy_on_write.h - the copy-on-write path of a frozen volume: the index of
// preserved sectors (ExtentTable), preservation of the sectors a write is
// about to overwrite, the background flush of preserved data to the partial
// data file and the management of that file's space, reads of the frozen
// image, and the reclaim thread that drops what the agent has read.
//
// Kernel mode. Units: a sector is FilterExtension.SectorSize bytes; a block
// is EXTENT_BLOCK_SECTORS consecutive sectors whose first sector is a
// multiple of it; sector numbers and block indexes are unsigned 64-bit.
//
// Lock order: VolumeResource -> FlushLock -> ExtentTable bucket resource ->
// MapLock. SnapshotLock is taken and released before any bucket is locked.
// Every asynchronous piece of work (a flush, a queued frozen read, a sub-read,
// a reclaim visit) holds an acquisition of the volume's RemoveLock, tagged
// with its own record, until it has finished with the volume.
#pragma once

#include <ntddk.h>

#include "frame/frame.h"
#include "frame/work_queue.h"
#include "io/io.h"
#include "snapshot/snapshot.h"
#include "support/block_cache.h"
#include "support/hash_table.h"

// The shift from a sector to its block (EXTENT_BLOCK_SECTORS sectors).
#define EXTENT_BLOCK_SHIFT 7

// Largest SectorCount of a piece or a free file range (16 bits).
#define EXTENT_MAX_SECTORS 0xFFFFu

// Preservation buffer: at most this, halved down to the minimum when memory
// is short.
#define PRESERVE_BUFFER_BYTES 0x10000u
#define PRESERVE_BUFFER_MIN_BYTES 0x1000u

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// ExtentPiece and ExtentEntry (io.h) are kept in their block pools.
//
// States of a piece of a block:
//   in memory: Data holds the copy, FileOffset 0 until its flush allocates;
//   in file:   Data NULL, FileOffset valid (or, after a failed flush, the
//              range stays allocated and the frozen state is broken);
//   orphaned:  Next == EXTENT_PIECE_ORPHAN: its block was dropped before its
//              flush ran; the pending FlushItem frees Data and the piece.
static_assert(sizeof(ExtentPiece) <= EXTENT_PIECE_BLOCK_SIZE, "ExtentPiece outgrows its block");
static_assert(sizeof(ExtentEntry) <= EXTENT_ENTRY_BLOCK_SIZE, "ExtentEntry outgrows its block");

// Kind of a TransferRequest.
#define TRANSFER_PRESERVE 0u
#define TRANSFER_FROZEN_READ 1u

// A range of sectors handed to WalkSectorRange; zeroed before it is filled.
typedef struct _TransferRequest {
    ULONG Kind;            // TRANSFER_*
    PIRP Request;          // the write or read request
    ULONGLONG FirstSector; // first sector of the range
    ULONG SectorCount;     // sectors of the range
    PVOID Buffer;          // preserve: the transfer buffer; frozen read: the ReadRequest
    ULONG BufferSize;      // preserve: bytes of Buffer
    ULONGLONG Floor;       // preserve: sectors below this are not preserved
} TransferRequest;

// Work of queue 1: writes one piece to the partial data file. Holds the
// volume's RemoveLock (tag: this record) from its queueing until its end.
typedef struct _FlushItem {
    WorkItem Work;           // routine FlushExtent, context this record
    FilterExtension* Volume; // the volume the piece was preserved for
    ExtentPiece* Piece;      // the piece to write
    PERESOURCE BucketLock;   // resource of the bucket that holds the piece's block
} FlushItem;
static_assert(sizeof(FlushItem) <= WORK_RECORD_BLOCK_SIZE, "FlushItem outgrows its block");

// ReadRequest.Flags: no further sub-read will be added.
#define READ_ALL_ISSUED 0x1u

// A frozen read of the snapshot owner, queued to queue 0. Holds the volume's
// RemoveLock (tag: this record) until it is given back.
typedef struct _ReadRequest {
    WorkItem Work;         // routine FrozenReadWorker, context this record
    PDEVICE_OBJECT Device; // the filter device
    PIRP Request;          // the caller's read, marked pending
    KSPIN_LOCK Lock;       // guards the four fields below
    ULONG Pending;         // sub-reads in flight, plus 1 while they are being issued
    ULONG Bytes;           // bytes delivered so far
    NTSTATUS Status;       // success until the first sub-read fails
    USHORT Flags;          // READ_ALL_ISSUED
} ReadRequest;
static_assert(sizeof(ReadRequest) <= REQUEST_CONTEXT_BLOCK_SIZE, "ReadRequest outgrows its block");

// One sub-read of a frozen read. Holds the volume's RemoveLock (tag: this
// record), VolumeResource shared and its block's bucket shared until it
// completes; both locks are given back for Owner.
typedef struct _ReadPiece {
    ReadRequest* Request;     // the frozen read it serves
    PERESOURCE BucketLock;    // the bucket resource held shared
    PETHREAD Owner;           // the thread that took the locks
    IO_STATUS_BLOCK IoStatus; // outcome of a file sub-read
} ReadPiece;
static_assert(sizeof(ReadPiece) <= TRANSFER_CONTEXT_BLOCK_SIZE, "ReadPiece outgrows its block");

// ---------------------------------------------------------------------------
// Preservation
// ---------------------------------------------------------------------------

// PreserveWrite - preserves the old contents of the sectors a write of
// Length bytes at Offset is about to overwrite, once per sector and
// snapshot; sectors below the agent's progress (rounded down to a block) are
// left alone. Returns when the old data has been read and copied to memory;
// while the backlog's budget is spent it first waits for flushes to make
// room (paging writes and writes at APC_LEVEL only for a bounded time).
// STATUS_SUCCESS; STATUS_INVALID_PARAMETER when Length is not a multiple of
// the sector size (nothing preserved or marked); STATUS_UNSUCCESSFUL when
// preserving failed (the frozen state is then broken). The write's own data
// is never looked at. Caller holds VolumeResource shared.
// IRQL: <= APC_LEVEL (paging writes arrive at APC_LEVEL).
NTSTATUS PreserveWrite(FilterExtension* Volume, PIRP Request, ULONGLONG Offset, ULONG Length);

// WalkSectorRange - walks a TransferRequest block by block: preserves (kind
// TRANSFER_PRESERVE) or issues the sub-reads of a frozen read. Stops at the
// first failure, and at the first block once the frozen state is broken.
// Returns 0; 1 when no ExtentEntry could be had; -1 on any other failure.
// IRQL: <= APC_LEVEL.
ULONG WalkSectorRange(FilterExtension* Volume, TransferRequest* Transfer);

// FindExtentEntry - the entry of Sector's block. Locks the block's bucket,
// exclusively when Create, else shared, and hands it back in *Bucket and
// *LockHandle for the caller to unlock. Create makes a missing entry; NULL
// when there is none (or none could be had). IRQL: <= APC_LEVEL.
ExtentEntry* FindExtentEntry(SnapshotContext* Snapshot, ULONGLONG Sector, BOOLEAN Create,
                             HashBucket** Bucket, ULONG_PTR* LockHandle);

// FindOverlappingExtent - the first piece of Entry after After (from the
// start when NULL) that overlaps sectors [From, To), or NULL when the next
// piece that ends above From starts at or after To. Caller holds the bucket.
// IRQL: any.
ExtentPiece* FindOverlappingExtent(ExtentEntry* Entry, ExtentPiece* After, ULONGLONG From,
                                   ULONGLONG To);

// PreserveBlockRange - preserves the gaps between the pieces of Entry within
// sectors [From, To) (inside Entry's block), each gap in parts of at most
// BufferSize bytes. Returns 0 or nonzero (the frozen state is then broken).
// Caller holds the bucket exclusively. IRQL: <= APC_LEVEL.
LONG PreserveBlockRange(FilterExtension* Volume, ExtentEntry* Entry, HashBucket* Bucket,
                        ULONGLONG From, ULONGLONG To, PVOID Buffer, ULONG BufferSize);

// StoreExtent - copies Count sectors from Buffer into a new piece at From,
// queues its flush and links it into Entry after After (or at its place).
// Returns 0 and the piece in *Stored; 1 when no piece could be had; -1 when
// its data or flush record could not be had. Caller holds the bucket
// exclusively. IRQL: <= APC_LEVEL.
LONG StoreExtent(FilterExtension* Volume, ExtentEntry* Entry, HashBucket* Bucket, PVOID Buffer,
                 ULONGLONG From, ULONG Count, ExtentPiece* After, ExtentPiece** Stored);

// ReadLowerSync - sends an asynchronous read of Length bytes at Offset into
// Buffer to Device. Event is signalled once the read has completed, whatever
// the outcome, with its status and byte count in *IoStatus. Returns the
// status of the send (STATUS_INSUFFICIENT_RESOURCES when the request cannot
// be built: the event is signalled then too). IRQL: <= APC_LEVEL.
NTSTATUS ReadLowerSync(PDEVICE_OBJECT Device, PIO_STATUS_BLOCK IoStatus, PKEVENT Event,
                       PVOID Buffer, ULONG Length, ULONGLONG Offset);

// AllocateHalving - a zero-filled buffer of *Size bytes (at least Minimum)
// from PoolType, halving the size while the kernel refuses, down to Minimum.
// STATUS_SUCCESS with *Buffer and *Size set; STATUS_INSUFFICIENT_RESOURCES.
// IRQL: < DISPATCH_LEVEL for paged pool.
NTSTATUS AllocateHalving(POOL_TYPE PoolType, ULONG Minimum, PVOID* Buffer, PULONG Size,
                         ULONG Tag);

// ---------------------------------------------------------------------------
// The backlog: preserved data waiting in memory for its flush
// ---------------------------------------------------------------------------

// Budget of the backlog, in bytes, by the machine's size (MmQuerySystemSize):
// the memory copies of all volumes together. Paged pool of a machine of this
// class is a few tens of MiB at most, and a backup volume slower than the
// writers would otherwise fill it.
#define BACKLOG_BUDGET_SMALL (4u << 20)
#define BACKLOG_BUDGET_MEDIUM (16u << 20)
#define BACKLOG_BUDGET_LARGE (32u << 20)

// Driver-wide, beside DriverGlobals; set up by InitBacklog at start-up.
// A preserving writer reserves room for the part it is about to preserve
// before it locks any bucket, and waits while the budget is spent; each
// flush gives the room of its piece back when it frees the memory copy.
// Bytes in memory never exceed the budget: what a walk stores is charged
// while its reservation still counts, so Committed only over-counts.
typedef struct _BacklogState {
    KSPIN_LOCK Lock;    // guards Committed and the clearing of Room
    LONGLONG Committed; // bytes: memory copies not yet freed by their flush, plus
                        // the reservations of walks in progress; Lock
    LONGLONG Budget;    // bytes; written at start-up (tests may lower it)
    KEVENT Room;        // notification: set when Committed falls or a frozen state breaks
} BacklogState;

extern BacklogState BacklogGlobals;

// InitBacklog - the budget by system size, nothing committed.
// IRQL: PASSIVE_LEVEL.
VOID InitBacklog(VOID);

// How long a paging write, or a write at APC_LEVEL, waits for room before
// it overruns the budget (100 ns units, relative). The memory manager's
// writers may hold what a flush needs: a cached write of the partial data
// file can wait for the lazy writer, and a thread at APC_LEVEL may hold a
// file system's fast mutex. They are slowed, never stopped.
#define BACKLOG_PAGING_WAIT (-1000000LL)
// How often a waiting writer looks for an exclusive waiter on its volume's
// VolumeResource (100 ns units, relative).
#define BACKLOG_POLL (-100000LL)

// ReserveBacklog - reserves Bytes of the budget for a walk that preserves at
// most that much, waiting while it would overrun the budget (a reservation
// is always granted when nothing is committed, so a part larger than the
// budget still goes on). The reservation is made over budget once Volume's
// VolumeResource has an exclusive waiter (a freeze or thaw, which the
// flushes may be queued behind), and, when Bounded, after
// BACKLOG_PAGING_WAIT. FALSE, nothing reserved, once Volume's frozen state
// is broken. Caller holds VolumeResource shared and no bucket: flushes need
// the buckets, never the writers. IRQL: <= APC_LEVEL.
BOOLEAN ReserveBacklog(FilterExtension* Volume, ULONG Bytes, BOOLEAN Bounded);

// ChargeBacklog / ReturnBacklog - Bytes more, or fewer, are committed: a
// memory copy was made or freed, or a reservation ends. Returning wakes the
// waiting writers. IRQL: <= DISPATCH_LEVEL.
VOID ChargeBacklog(ULONG Bytes);
VOID ReturnBacklog(ULONG Bytes);

// WakeBacklogWaiters - writers waiting for room look again (a frozen state
// broke: they give up). IRQL: <= DISPATCH_LEVEL.
VOID WakeBacklogWaiters(VOID);

// FreePreservedData - frees the memory copy of Piece of Volume and gives its
// room back. Caller holds the piece's bucket exclusively, or the piece is
// reachable only from its flush. IRQL: <= APC_LEVEL.
VOID FreePreservedData(FilterExtension* Volume, ExtentPiece* Piece);

// ---------------------------------------------------------------------------
// Flushing and the partial data file's space
// ---------------------------------------------------------------------------

// FlushExtent - queue 1's routine for a FlushItem: writes the piece to the
// partial data file and frees its memory copy, or frees an orphaned or stale
// piece without writing. IRQL: PASSIVE_LEVEL, System process.
VOID FlushExtent(PVOID Context);

// WriteExtentToFile - allocates file space for Piece and writes Data there,
// waiting for the write's completion (with Event, or one from the pool).
// Returns 0 or -1. IRQL: PASSIVE_LEVEL, System process.
LONG WriteExtentToFile(FilterExtension* Volume, SnapshotContext* Snapshot, ExtentPiece* Piece,
                       PVOID Data, PKEVENT Event, PIO_STATUS_BLOCK IoStatus);

// AllocateFileSpace - the file offset for Count sectors: the front of the
// first free range large enough, else the end of the file, which then grows.
// IRQL: <= APC_LEVEL.
VOID AllocateFileSpace(FilterExtension* Volume, SnapshotContext* Snapshot, ULONG Count,
                       PULONGLONG FileOffset);

// ReleaseFileSpace - Range (FileOffset, SectorCount) becomes free: merged into
// a touching neighbour while the sum fits 16 bits, else linked in order (the
// record then belongs to FreeList, else it is given back). IRQL: <= APC_LEVEL.
VOID ReleaseFileSpace(FilterExtension* Volume, SnapshotContext* Snapshot, ExtentPiece* Range);

// ---------------------------------------------------------------------------
// Frozen reads
// ---------------------------------------------------------------------------

// QueueFrozenRead - hands the snapshot owner's read Request of the filter
// Device to queue 0, where FrozenReadWorker serves it: marks it pending and
// returns TRUE. FALSE (the request untouched) when no ReadRequest could be
// had or removal has begun. IRQL: <= APC_LEVEL.
BOOLEAN QueueFrozenRead(PDEVICE_OBJECT Device, PIRP Request);

// FrozenReadWorker - queue 0's routine for a ReadRequest: serves the read
// from the frozen image, or sends it to the live volume when the volume is
// no longer frozen (or broken without StayBroken). IRQL: PASSIVE_LEVEL.
VOID FrozenReadWorker(PVOID Context);

// ServeFrozenRead - splits the read along blocks and pieces into sub-reads
// from the volume, from memory and from the partial data file. Returns
// STATUS_PENDING when the request completes through its sub-reads, else the
// status it was finished with (the item is then given back).
// Caller holds VolumeResource shared. IRQL: PASSIVE_LEVEL.
NTSTATUS ServeFrozenRead(ReadRequest* Item);

// ReadBlockRange - the sub-reads of sectors [From, To) of Entry's block,
// written at sector Done of the caller's buffer. Returns 0 or -1.
// Caller holds the bucket shared. IRQL: PASSIVE_LEVEL.
LONG ReadBlockRange(FilterExtension* Volume, ExtentEntry* Entry, ULONGLONG From, ULONGLONG To,
                    ULONG Done, ReadRequest* Item, HashBucket* Bucket);

// ReadVolumePiece / ReadFilePiece - one sub-read of Count sectors from the
// volume at Sector, or from the partial data file at FileOffset, into sector
// Done of the caller's buffer. Each takes VolumeResource and the bucket
// shared once more, given back by its completion. Return 0 or -1.
// IRQL: PASSIVE_LEVEL.
LONG ReadVolumePiece(FilterExtension* Volume, ULONGLONG Sector, ULONG Count, ULONG Done,
                     ReadRequest* Item, HashBucket* Bucket);
LONG ReadFilePiece(FilterExtension* Volume, ULONGLONG FileOffset, ULONG Count, ULONG Done,
                   ReadRequest* Item, HashBucket* Bucket);

// Sub-read bookkeeping of a ReadRequest, under its Lock. AddPieceReference
// counts a sub-read unless one has failed; PieceDone books one as finished
// and completes the request after the last (refused when the state broke
// meanwhile and the snapshot stays broken); AllPiecesIssued closes issuing;
// DrainPieces waits until no sub-read is in flight. IRQL: <= DISPATCH_LEVEL
// (DrainPieces: PASSIVE_LEVEL).
BOOLEAN AddPieceReference(ReadRequest* Item);
VOID PieceDone(ReadRequest* Item, NTSTATUS Status, ULONG_PTR Bytes);
VOID AllPiecesIssued(ReadRequest* Item);
VOID DrainPieces(ReadRequest* Item);

// ---------------------------------------------------------------------------
// Reclaim
// ---------------------------------------------------------------------------

// The reclaim thread's state, beside DriverGlobals; zeroed by DriverEntry.
typedef struct _ReclaimState {
    volatile LONG Running;  // the thread exists; set by StartReclaimThread, cleared by the thread
    volatile LONG Stop;     // a stop was asked for; tested between volumes and blocks
    KEVENT Work;            // notification: a pass is wanted; cleared before each pass
    KEVENT StopEvent;       // notification: set by StopReclaimThread
} ReclaimState;

extern ReclaimState ReclaimGlobals;

// StartReclaimThread - starts the reclaim thread once. FALSE when it cannot
// be created. IRQL: PASSIVE_LEVEL, System process.
BOOLEAN StartReclaimThread(VOID);

// StopReclaimThread - asks the thread to end and waits for it (at most 30
// seconds). IRQL: PASSIVE_LEVEL.
VOID StopReclaimThread(VOID);

// WakeReclaimThread - asks for a pass after the agent's progress advanced.
// IRQL: <= DISPATCH_LEVEL.
VOID WakeReclaimThread(VOID);

// ReclaimPass - drops, on every frozen volume, the blocks below the block
// that holds the agent's progress. IRQL: PASSIVE_LEVEL.
VOID ReclaimPass(VOID);

// ReclaimBlocks - drops the blocks from LowestBlock up to (not including)
// Limit: pieces still in memory are orphaned to their flush, the file space
// of flushed ones is freed. Stops early for an exclusive waiter on
// VolumeResource or a stop request. Caller holds VolumeResource shared.
// IRQL: PASSIVE_LEVEL.
VOID ReclaimBlocks(FilterExtension* Volume, ULONGLONG Limit);
