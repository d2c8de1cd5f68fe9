// hash_table.h - a fixed array of buckets, each with its own lock and the
// head of a singly linked chain of the user's entries.
//
// Kernel mode. The table decides which bucket a key falls into and locks
// buckets; its users link, search and unlink their own entries (whose first
// word is the link to the next entry) while they hold the bucket's lock.
// A spin-lock table lives in nonpaged pool and may be used at IRQL <=
// DISPATCH_LEVEL; event and resource tables only below DISPATCH_LEVEL.
// Creation and destruction run at PASSIVE_LEVEL.
//
// Lock handle: what a lock hands back for the matching unlock, kept by the
// caller in a ULONG_PTR: the previous IRQL (spin lock), the owning thread
// (executive resource; it may be released on the owner's behalf by another
// thread with ExReleaseResourceForThreadLite), 0 (event).
#pragma once

#include <ntddk.h>

#ifndef STATUS_INVALID_PARAMETER_5
#define STATUS_INVALID_PARAMETER_5 ((NTSTATUS)0xC00000F3L)
#endif

// Lock kinds, one per table: tested in this order.
#define HASH_LOCK_SPIN 0x1u     // a spin lock per bucket
#define HASH_LOCK_EVENT 0x2u    // a synchronization event per bucket (EventBlockPool)
#define HASH_LOCK_RESOURCE 0x4u // an executive resource per bucket (ResourceBlockPool)

// Returns the bucket index of the key Key points to; must be below BucketCount.
typedef ULONG (*HashCallback)(const VOID* Key, ULONG BucketCount);

// Key: a ULONG; index = key modulo BucketCount.
ULONG HashU32(const VOID* Key, ULONG BucketCount);
// Key: a ULONGLONG; index = key modulo BucketCount, on all 64 bits.
ULONG HashU64(const VOID* Key, ULONG BucketCount);

typedef struct _HashBucket {
    PVOID Chain;      // first entry, NULL when none; bucket lock
    ULONG BucketWord; // the user's; set at creation, never touched by the table afterwards
    union {
        KSPIN_LOCK SpinLock; // HASH_LOCK_SPIN
        PKEVENT Event;       // HASH_LOCK_EVENT: signalled while the bucket is free
        PERESOURCE Resource; // HASH_LOCK_RESOURCE
    } Lock;
} HashBucket;

// Header of a table; the bucket array follows it in the same pool block
// (tag "QvdH"). Every field is set at creation and only read afterwards.
typedef struct _HashTable {
    ULONG BucketCount;   // at least 1
    ULONG LockKind;      // one of HASH_LOCK_*, or 0 for none
    HashCallback Hash;   // gives a key's bucket index
    HashBucket* Buckets; // BucketCount buckets, right behind this header
} HashTable;

// Creates a table of BucketCount buckets in pool PoolType, each with a lock of
// LockKind and its BucketWord set to InitialBucketWord, and stores it in
// *Table. Checks, in order: BucketCount 0 (STATUS_INVALID_PARAMETER_1), no
// Hash (_3), a spin-lock table outside nonpaged pool (_4), no Table (_5).
// STATUS_INSUFFICIENT_RESOURCES when the table or a bucket's lock cannot be
// allocated; then nothing is left allocated and *Table is not written.
// IRQL: PASSIVE_LEVEL.
NTSTATUS HashTableCreate(ULONG BucketCount, ULONG PoolType, HashCallback Hash, ULONG LockKind,
                         ULONG InitialBucketWord, HashTable** Table);

// Gives back the bucket locks and the table. The chains are not touched: the
// owner empties them first. A NULL table is ignored. IRQL: PASSIVE_LEVEL.
VOID HashTableDestroy(HashTable* Table);

// Number of buckets. Any IRQL.
ULONG HashTableBucketCount(HashTable* Table);

// The bucket at Index (not validated); takes no lock. Any IRQL.
HashBucket* HashTableBucketAt(HashTable* Table, ULONG Index);

// The bucket the hash callback names for Key; takes no lock. Any IRQL.
HashBucket* HashTableBucketForKey(HashTable* Table, const VOID* Key);

// Locks Bucket and stores the lock handle in *LockHandle. Exclusive selects
// exclusive or shared access to a resource bucket (ignored by the other
// kinds). Timeout bounds the wait for an event bucket (NULL: no limit;
// ignored by the other kinds). Returns TRUE when the bucket is locked, FALSE
// only when an event bucket's time-out expired: the caller then holds
// nothing and must not unlock. A table without locks always returns TRUE.
// IRQL: <= DISPATCH_LEVEL (spin lock), < DISPATCH_LEVEL (others).
BOOLEAN HashTableLockBucket(HashTable* Table, HashBucket* Bucket, BOOLEAN Exclusive,
                            PLARGE_INTEGER Timeout, PULONG_PTR LockHandle);

// The bucket of Key, locked as by HashTableLockBucket; NULL when the lock
// timed out. IRQL: as HashTableLockBucket.
HashBucket* HashTableLookupAndLock(HashTable* Table, const VOID* Key, BOOLEAN Exclusive,
                                   PLARGE_INTEGER Timeout, PULONG_PTR LockHandle);

// Unlocks Bucket with the handle its lock gave. IRQL: <= DISPATCH_LEVEL.
VOID HashTableUnlockBucket(HashTable* Table, HashBucket* Bucket, ULONG_PTR LockHandle);

// HashTableUnlockBucket for callers that hold only the place where the table
// pointer is stored. Reserved is not read.
VOID HashTableUnlockByRef(HashTable** TableRef, PVOID Reserved, HashBucket* Bucket,
                          ULONG_PTR LockHandle);
