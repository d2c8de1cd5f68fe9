// snapshot_context.h - one snapshot of one volume: the record that the
// freeze set-up builds and the copy-on-write path works on.
//
// Kernel mode. The record lives in paged pool from the freeze set-up to the
// teardown; the I/O path reaches it through FilterExtension.SnapshotContext
// only while VolumeFlags says quiescing or frozen, under VolumeResource.
#pragma once

#include <ntddk.h>

#include "frame/frame.h"
#include "support/hash_table.h"

struct _ExtentPiece;

// FreezeFlags bit 0: a broken frozen state fails the owner's reads instead of
// serving them from the live volume.
#define FREEZE_FLAG_STAY_BROKEN 0x1u

typedef struct _SnapshotContext {
    ULONG FreezeFlags;            // the request's flags; FREEZE_FLAG_STAY_BROKEN
    PKEVENT SnapshotLock;         // synchronization event used as a mutex
    ULONGLONG ProgressMark;       // sector the agent has read up to; only rises; SnapshotLock
    ULONGLONG PartitionLength;    // bytes of the volume
    PERESOURCE FlushLock;         // flushes shared; reclaim and teardown exclusive
    HashTable* ExtentTable;       // ExtentEntry per block of 128 sectors; bucket resources
    struct _ExtentPiece* FreeList; // free file ranges, ascending FileOffset; MapLock
    ULONGLONG LowestBlock;        // lowest block index that may hold pieces; MapLock
    HANDLE PartialFileHandle;     // partial data file, asynchronous I/O, System process
    ULONGLONG FileEnd;            // next append offset of the partial data file (bytes); MapLock
    PKEVENT MapLock;              // synchronization event used as a mutex; innermost lock
    // Pieces linked in the ExtentTable whose data is still in memory; changed
    // under the piece's bucket resource held exclusively, read without it.
    volatile LONG UnflushedPieces;
} SnapshotContext;
