// change_store.h - the change store: one bit per 4096-byte block of a volume,
// set for every block written, kept in a file the backup agent names.
//
// Kernel mode. The file is a 24-byte header followed by the bitmap: bit n
// stands for volume bytes n * 4096 to n * 4096 + 4095 and lies in file byte
// 24 + n / 8 at bit position n % 8 (least significant bit first). The header
// is written at a clean close only; while the store is open, and in the file
// of a store that failed, it reads zero. The bitmap is changed only through
// 64 KiB views of a section on the file, mapped into the System process; the
// memory manager writes the pages back.
//
// Writes reach a store from the I/O path (ChangeStoreQueueWrite, at up to
// DISPATCH_LEVEL), which only queues the range; the store's work item, on
// work queue 0, marks the queued ranges at PASSIVE_LEVEL.
#pragma once

#include <ntddk.h>

#include "frame/work_queue.h"

// Bytes of volume one bit stands for.
#define CHANGE_STORE_BLOCK_SIZE 4096u
// Bytes of the file header.
#define CHANGE_STORE_HEADER_SIZE 24u
// Bytes of bitmap file mapped at a time.
#define CHANGE_STORE_VIEW_SIZE 65536u

// Flags of a store.
#define CHANGE_STORE_FAILED 0x01u      // final: no range is taken, no header written
#define CHANGE_STORE_WORK_QUEUED 0x02u // the work item is queued or running
#define CHANGE_STORE_OPEN 0x04u        // created and not closing: ranges are taken

// The file's header, little-endian, as written at a clean close.
typedef struct _ChangeStoreHeader {
    ULONGLONG BlocksMarked;      // bits each recorded range covered, set before or not,
                                 // plus the set bits merges brought in
    ULONGLONG BlocksNewlyMarked; // bits that went from 0 to 1, by marking or merging
    ULONG BlockSize;             // CHANGE_STORE_BLOCK_SIZE; 0 in a file never closed cleanly
    ULONG Reserved;              // 0
} ChangeStoreHeader;

static_assert(sizeof(ChangeStoreHeader) == CHANGE_STORE_HEADER_SIZE, "the header is 24 bytes");
static_assert(FIELD_OFFSET(ChangeStoreHeader, BlocksNewlyMarked) == 8, "header layout");
static_assert(FIELD_OFFSET(ChangeStoreHeader, BlockSize) == 16, "header layout");

// One store; two are embedded in each FilterExtension. Zero when not open.
// SpinLock guards the fields marked so; Resource guards which view is mapped
// (exclusive to change it, shared to use it). Handles are handles of the
// System process.
typedef struct _ChangeStore {
    PUNICODE_STRING Name;     // "\DosDevices\" + the agent's path (JoinPath block)
    ULONG QueuedRanges;       // ranges in Queue; SpinLock
    HANDLE File;              // the bitmap file, or NULL
    HANDLE Section;           // section on File, or NULL
    ULONGLONG ViewOffset;     // file offset of View, a multiple of 65536; Resource
    ULONG ViewSize;           // bytes of View: min(65536, FileSize - ViewOffset); Resource
    PUCHAR View;              // the mapped view in the System process, or NULL; Resource
    PERESOURCE Resource;      // from ResourceBlockPool, or NULL
    KSPIN_LOCK SpinLock;      // never zeroed while the record is in use
    ULONGLONG FileSize;       // header + ceil(VolumeSize / 32768) bytes
    ULONGLONG VolumeSize;     // bytes of the volume
    WorkItem Work;            // ChangeStoreWorker with this store
    LIST_ENTRY Queue;         // ranges waiting, in ascending volume offset; SpinLock
    ChangeStoreHeader Header; // the counters, kept here until close; SpinLock
    UCHAR Flags;              // CHANGE_STORE_*; SpinLock
    KEVENT Idle; // notification: set while no work item is queued or running; SpinLock to change
} ChangeStore;

// Creates the store's file "\DosDevices\" + Path (replacing any file there),
// zero-filled to its full size for a volume of VolumeSize bytes, puts it on
// the driver's own-file list, creates the section and maps the first view.
// Store is taken as it is (zeroed or not) and is left zeroed on failure.
// Returns QVD_RESULT_SUCCESS; QVD_RESULT_NO_MEMORY without a name or a
// resource block; QVD_RESULT_FILE_SETUP_FAILED when the file cannot be
// created or listed; QVD_RESULT_BAD_FILE_HANDLE when it cannot be filled,
// sectioned or mapped. IRQL: PASSIVE_LEVEL.
ULONG ChangeStoreCreate(ChangeStore* Store, PCWSTR Path, ULONGLONG VolumeSize);

// Queues the write range [Offset, Offset + Length) to be marked; Store may be
// NULL. A store that is not open or has failed takes nothing; no range block
// fails the store. Returns STATUS_SUCCESS. IRQL: <= DISPATCH_LEVEL.
NTSTATUS ChangeStoreQueueWrite(ChangeStore* Store, ULONGLONG Offset, ULONG Length);

// The work routine: marks queued ranges, oldest-lowest first, until the queue
// is empty. Context is the store. IRQL: PASSIVE_LEVEL, work-queue thread.
VOID ChangeStoreWorker(PVOID Context);

// Sets the bits of every block that [Offset, Offset + Length) touches and
// adds to the header's counters. A range that ends beyond the volume marks
// nothing and succeeds. Returns STATUS_SUCCESS, or the status of a view that
// could not be mapped (the store has failed then). Called by the worker, the
// one thread that marks a store. IRQL: PASSIVE_LEVEL.
NTSTATUS ChangeStoreMark(ChangeStore* Store, ULONGLONG Offset, ULONG Length);

// Returns once no range is queued and the worker is not marking one.
// IRQL: PASSIVE_LEVEL.
VOID ChangeStoreDrain(ChangeStore* Store);

// ORs the bitmap of Source into that of Destination (stores of one volume)
// and adds to Destination's counters the set bits brought in (blocks marked)
// and those of them that were clear (blocks newly marked). FALSE, counters
// unchanged, when either store has failed or cannot map a view. The caller
// has drained Source. IRQL: PASSIVE_LEVEL.
BOOLEAN ChangeStoreMerge(ChangeStore* Source, ChangeStore* Destination);

// Stops taking ranges, waits for the queued ones to be marked, writes the
// header unless the store failed, unmaps, closes section and file, takes the
// file off the own-file list, frees name and resource and zeroes the record
// (its spin lock stays usable). Safe on a partly created or already closed
// record. Returns 0. IRQL: PASSIVE_LEVEL.
ULONG ChangeStoreClose(ChangeStore* Store);

// Marks the store failed; the first time, logs "Attempt to record write
// request in partial data file failed." (0xC7770005). IRQL: <= DISPATCH_LEVEL.
VOID ChangeStoreFail(ChangeStore* Store);
