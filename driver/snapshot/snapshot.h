// snapshot.h - the snapshot of one volume, its freeze lifecycle (quiescing,
// the watchdog, the free-space watch, ending) and the control operations
// the agent sends.
//
// Kernel mode. Lock order per volume: VolumeResource, then FlushLock, an
// ExtentTable bucket, MapLock; SnapshotLock after VolumeResource with no
// lock inside it; ActivityTable bucket locks after VolumeResource; StateLock
// innermost. No thread waits for the watchdog or for a busy change-store
// slot while it holds VolumeResource.
#pragma once

#include <ntddk.h>

#include "frame/exempt_file_list.h"
#include "frame/frame.h"
#include "frame/volume_lookup.h"
#include "io/io.h"
#include "snapshot/qvdapi.h"
#include "support/hash_table.h"


// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// What FreezeVolume takes from the agent's request: the numbers, and the
// embedded strings captured into pool memory (tag "QvdV") in the agent's
// thread, each terminated. Owned by FreezeVolume.
typedef struct _FreezeParameters {
    PWSTR VolumeName;          // never NULL
    PWSTR PartialDataFilePath; // never NULL; second character ':'
    PWSTR ChangeStorePath;     // NULL when the agent wants no change store
    HANDLE SnapshotMutex;      // the agent's handle
    ULONG FreezeFlags;         // QVD_FREEZE_*
    ULONGLONG MaxQuiesceMs;    // checked: * 10,000 fits a signed 64-bit interval
    ULONGLONG QuietPeriodMs;   // likewise
    ULONGLONG WarnFreeKB;      // checked: * 1024 fits 64 bits
    ULONGLONG MinFreeKB;       // likewise; <= WarnFreeKB
} FreezeParameters;

// One snapshot of one volume (paged pool, tag "QvdC"), from SetUpSnapshot to
// TearDownSnapshot. The pointer in the FilterExtension and every field not
// marked otherwise change only with VolumeResource held exclusively; the I/O
// path reads them under its shared hold.
typedef struct _SnapshotContext {
    ULONG FreezeFlags;        // the request's QVD_FREEZE_* bits
    ULONGLONG MaxQuiesceMs;   // milliseconds
    ULONGLONG QuietPeriodMs;  // milliseconds
    ULONGLONG WarnFreeKB;     // kilobytes
    ULONGLONG MinFreeKB;      // kilobytes
    PKEVENT SnapshotLock;     // synchronization event used as a mutex (LockSnapshot)
    ULONGLONG ProgressMark;   // sector the agent has read up to; only rises; SnapshotLock
    ULONGLONG PartitionLength;  // bytes of the volume
    ULONG SnapshotStatus;       // QVD_STATUS_LOW_SPACE | QVD_STATUS_OUT_OF_SPACE; SnapshotLock
    HANDLE SpaceVolumeHandle;   // System-process handle of the partial data file's volume
    VolumeSizeInfo SpaceFigures;  // last successful free-space query; SnapshotLock
    BOOLEAN SpaceQueryPending;    // a free-space query is queued or running; SnapshotLock
    BOOLEAN SpaceFiguresValid;    // SpaceFigures hold a successful query; SnapshotLock
    HashTable* ActivityTable;     // streams written while quiescing; NULL once quiescing ended
    PVOID NtfsStream;             // the file system's internal stream on OWN_FILE_LIST, or NULL
    PERESOURCE FlushLock;         // flushes shared; reclaim and teardown exclusive
    HashTable* ExtentTable;       // preserved extents by block
    ExtentPiece* FreeList;        // free ranges of the partial data file; MapLock
    ULONGLONG LowestBlock;        // lowest block that may hold preserved data; MapLock
    PUNICODE_STRING PartialDataFileName; // "\DosDevices\" + the agent's path (JoinPath block)
    HANDLE PartialFileHandle;     // System-process handle, asynchronous I/O
    ULONGLONG FileEnd;            // next append offset of the partial data file; MapLock
    PKEVENT MapLock;              // synchronization event used as a mutex
    struct _ChangeStore* ChangeStore; // this snapshot's slot of the FilterExtension, or NULL
    PDEVICE_OBJECT PartialFileDevice; // device the partial data file lies on
    // Pieces linked in the ExtentTable whose data is still only in memory;
    // changed under the piece's bucket resource held exclusively.
    volatile LONG UnflushedPieces;
} SnapshotContext;

// The volume's watchdog (nonpaged pool, tag "QvdA"), owned by the
// FilterExtension; allocated by FreezeVolume and freed by whoever ends the
// snapshot, once the watchdog is idle.
typedef struct _FreezeTimer {
    WorkItem Work;     // runs FreezeWatchdog at PASSIVE_LEVEL; Context the FilterExtension
    KEVENT Idle;       // notification: set while the watchdog is neither armed, queued nor running
    KTIMER Timer;      // the 60-second period
    KDPC Dpc;          // queues Work; context the filter device
    BOOLEAN Stop;      // a thread waits on Idle for the watchdog to end; VolumeResource
    ULONG Waiters;     // threads waiting on Idle (they free the block when it was
                       // detached meanwhile); VolumeResource
} FreezeTimer;

// An entry of the ActivityTable (ActivityEntryPool): one stream written while
// quiescing. Guarded by its bucket's spin lock.
typedef struct _ActivityEntry {
    struct _ActivityEntry* Next; // next entry of the bucket chain
    LONGLONG LastWrite;          // completion time of the stream's latest write (100 ns)
    PVOID Key;                   // the stream (FsContext)
    USHORT Flags;                // ACTIVITY_QUIET
} ActivityEntry;

#define ACTIVITY_QUIET 0x1u         // ActivityEntry.Flags: the stream has been quiet
#define ACTIVITY_BUCKET_QUIET 0x1u  // HashBucket.BucketWord: every entry is quiet

// Watchdog period and quiescing poll, in 100 ns units (negative: relative).
#define FREEZE_WATCHDOG_PERIOD (-600000000LL)
#define QUIESCE_POLL_INTERVAL (-2000000LL)

// ---------------------------------------------------------------------------
// Snapshot context (set-up and teardown)
// ---------------------------------------------------------------------------

// Builds the volume's SnapshotContext from Parameters: tables, locks, the
// partial data file, the handle for free-space queries and the optional
// change store. Returns 0, a QVD_RESULT_* code, or the failing status of
// the query of the partial data file's volume name; on failure nothing of
// the snapshot remains except the SnapshotMutex reference.
// Caller holds VolumeResource exclusively. IRQL: PASSIVE_LEVEL, agent's thread.
ULONG SetUpSnapshot(FilterExtension* Volume, const FreezeParameters* Parameters);

// Frees the snapshot and everything it holds, and drops the SnapshotMutex
// reference. The snapshot's change store is not touched. Caller holds
// VolumeResource exclusively. IRQL: PASSIVE_LEVEL.
VOID TearDownSnapshot(FilterExtension* Volume);

// Puts the NT file system's internal stream of the mounted volume on
// OWN_FILE_LIST (*Identity receives it; NULL for another file system).
// STATUS_UNSUCCESSFUL without a mounted file system or when the control
// block does not have the expected shape. IRQL: PASSIVE_LEVEL.
NTSTATUS CheckNtfsStream(FilterExtension* Volume, PVOID* Identity);

// Bucket counts of the two tables by the system's size and product type.
ULONG ActivityBucketCount(VOID);
ULONG ExtentBucketCount(VOID);

// Attaches the current thread to the System process unless it is there
// already; returns whether it was. DetachFromSystemProcess undoes an attach
// (called only when AttachToSystemProcess returned FALSE). IRQL: PASSIVE_LEVEL.
BOOLEAN AttachToSystemProcess(VOID);
VOID DetachFromSystemProcess(VOID);

// ---------------------------------------------------------------------------
// Freeze lifecycle
// ---------------------------------------------------------------------------

// Waits, polling every 200 ms without the resource, until every stream
// written since quiescing began has been quiet for QuietPeriodMs; then the
// volume is frozen (TRUE). FALSE when MaxQuiesceMs passed, the quiescing was
// aborted or the frozen state broke. Caller holds VolumeResource
// exclusively; so does this on return. IRQL: PASSIVE_LEVEL.
BOOLEAN QuiesceLoop(FilterExtension* Volume);

// One pass over the ActivityTable at Now: TRUE when every stream has been
// quiet for the quiet period. Marks found quiet stay. Caller holds
// VolumeResource exclusively. IRQL: PASSIVE_LEVEL.
BOOLEAN AllQuiet(FilterExtension* Volume, SnapshotContext* Snapshot, LONGLONG Now);

// Frees the ActivityTable with every entry in it (none when it is already
// gone). Quiescing ends with it; teardown frees what quiescing left.
// Caller holds VolumeResource exclusively. IRQL: PASSIVE_LEVEL.
VOID DestroyActivityTable(SnapshotContext* Snapshot);

// Ends the frozen or quiescing snapshot: clears the state, hands the
// snapshot's change store to the volume, tears the snapshot down and empties
// the pass-through list. Returns 0, or QVD_RESULT_INVALID when there was
// nothing to end. Caller holds VolumeResource exclusively. IRQL: PASSIVE_LEVEL.
ULONG ThawCore(FilterExtension* Volume);

// Stops the watchdog: afterwards it is neither armed nor queued nor running.
// May give the resource up while it waits and take it again exclusively.
// Caller holds VolumeResource exclusively. IRQL: PASSIVE_LEVEL.
VOID StopFreezeWatchdog(FilterExtension* Volume);

// Detaches the volume's FreezeTimer and frees it, unless a thread still
// waits on it (the last such thread frees it). Caller holds VolumeResource
// exclusively and has stopped the watchdog. IRQL: PASSIVE_LEVEL.
VOID FreeFreezeTimer(FilterExtension* Volume);

// Aborts a running quiescing and waits, with the resource given up, until
// the freeze that runs it has finished. Caller holds VolumeResource
// exclusively; so does this on return. IRQL: PASSIVE_LEVEL.
VOID AbortQuiescing(FilterExtension* Volume);

// Waits, with the resource given up, until no change-store slot is busy.
// Caller holds VolumeResource exclusively; so does this on return.
// IRQL: PASSIVE_LEVEL.
VOID WaitForChangeStoreSlots(FilterExtension* Volume);

// Marks slot Slot busy (the caller is about to give the resource up and
// drain, merge or close it) and idle again. Caller holds VolumeResource
// exclusively. IRQL: PASSIVE_LEVEL.
VOID MarkChangeStoreSlotBusy(FilterExtension* Volume, struct _ChangeStore* Store);
VOID MarkChangeStoreSlotIdle(FilterExtension* Volume, struct _ChangeStore* Store);

// Arms the watchdog for one period. Caller holds VolumeResource.
// IRQL: <= DISPATCH_LEVEL.
VOID ArmFreezeTimer(FilterExtension* Volume);

// Starts the watchdog's period again if the volume is frozen and the period
// is still running. Caller holds VolumeResource. IRQL: <= DISPATCH_LEVEL.
VOID RestartFreezeTimer(FilterExtension* Volume);

// The watchdog: from its DPC it queues itself; at PASSIVE_LEVEL it ends the
// snapshot when the agent's mutex was abandoned, else arms itself again.
VOID NTAPI FreezeWatchdogDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                             PVOID SystemArgument2);
VOID NTAPI FreezeWatchdog(PVOID Context);

// The free-space watch, for each recorded write while frozen: queues a
// query now and then, and breaks or mends the frozen state by the last
// figures. Returns TRUE when the frozen state is not broken. Caller holds
// VolumeResource shared. IRQL: <= APC_LEVEL.
BOOLEAN SpaceWatch(FilterExtension* Volume);

// The SpaceQueryItem's routine: asks the partial data file's volume for its
// free space. Context: the FilterExtension. IRQL: PASSIVE_LEVEL, worker thread.
VOID NTAPI SpaceQueryWork(PVOID Context);

// Checks under ASSERT that the volume's flags, snapshot, owner and watchdog
// agree with one of the freeze states. Caller holds VolumeResource
// exclusively. IRQL: PASSIVE_LEVEL.
VOID CheckFreezeState(FilterExtension* Volume);

// ---------------------------------------------------------------------------
// Control operations
// ---------------------------------------------------------------------------

// Each takes the system buffer, its input and output lengths and the byte
// count to return; returns STATUS_SUCCESS with the outcome in the record's
// Result word, or STATUS_INVALID_BUFFER_SIZE (nothing written) when the
// buffer is shorter than the record. IRQL: PASSIVE_LEVEL, agent's thread.
typedef NTSTATUS (*ControlOperation)(PVOID Buffer, ULONG InputLength, ULONG OutputLength,
                                     PULONG_PTR Information);

NTSTATUS QueryVersion(PVOID Buffer, ULONG InputLength, ULONG OutputLength, PULONG_PTR Information);
NTSTATUS FreezeVolume(PVOID Buffer, ULONG InputLength, ULONG OutputLength, PULONG_PTR Information);
NTSTATUS ThawVolume(PVOID Buffer, ULONG InputLength, ULONG OutputLength, PULONG_PTR Information);
NTSTATUS ReportProgress(PVOID Buffer, ULONG InputLength, ULONG OutputLength,
                        PULONG_PTR Information);
NTSTATUS AddRemovePassThroughFile(PVOID Buffer, ULONG InputLength, ULONG OutputLength,
                                  PULONG_PTR Information, BOOLEAN Add);
NTSTATUS ClearPassThroughFiles(PVOID Buffer, ULONG InputLength, ULONG OutputLength,
                               PULONG_PTR Information);
NTSTATUS EnableExtentList(PVOID Buffer, ULONG InputLength, ULONG OutputLength,
                          PULONG_PTR Information);
NTSTATUS ReadExtentList(PVOID Buffer, ULONG InputLength, ULONG OutputLength,
                        PULONG_PTR Information);

// The FilterExtension of the filter device the agent's VolumeHandle names,
// held (the caller gives it back with ReleaseFilterDevice); NULL when the
// value names no filter device in service. IRQL: PASSIVE_LEVEL.
FilterExtension* ReferenceVolumeByHandle(ULONG VolumeHandle);

// A change store's state, read under its spin lock. IRQL: <= DISPATCH_LEVEL.
BOOLEAN ChangeStoreIsOpen(struct _ChangeStore* Store);
BOOLEAN ChangeStoreHasFailed(struct _ChangeStore* Store);

// TRUE when the caller's token holds the backup privilege, enabled or not.
// IRQL: PASSIVE_LEVEL, caller's thread.
BOOLEAN CallerMayReadVolumes(VOID);

// Copies the terminated wide string at the caller's 32-bit address
// UserAddress, at most MaxChars characters before the terminator, into
// nonpaged pool (tag "QvdV"); *String receives it. STATUS_ACCESS_VIOLATION
// for an address outside the caller's memory, STATUS_NAME_TOO_LONG past
// MaxChars, STATUS_INSUFFICIENT_RESOURCES. IRQL: PASSIVE_LEVEL, caller's thread.
NTSTATUS CaptureUserString(ULONG32 UserAddress, ULONG MaxChars, PWSTR* String);
