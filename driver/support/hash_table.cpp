// hash_table.cpp - bucket arrays with per-bucket locks.
//
// Kernel mode; see hash_table.h for the IRQL of each routine. Lock order: no
// routine holds two bucket locks; a bucket lock is taken after the locks of
// the table's owner (VolumeResource, FlushLock) and before MapLock.
#include "support/hash_table.h"

#include "support/block_cache.h"
#include "support/pool_tags.h"

ULONG HashU32(const VOID* Key, ULONG BucketCount) {
    return *(const ULONG*)Key % BucketCount;
}

ULONG HashU64(const VOID* Key, ULONG BucketCount) {
    return (ULONG)(*(const ULONGLONG*)Key % BucketCount);
}

// Gives back the event or resource blocks of the first Count buckets.
static VOID HashTableReleaseBucketLocks(HashTable* Table, ULONG Count) {
    for (ULONG index = 0; index < Count; index += 1) {
        HashBucket* bucket = &Table->Buckets[index];
        if (Table->LockKind & HASH_LOCK_SPIN) {
            continue;
        }
        if (Table->LockKind & HASH_LOCK_EVENT) {
            FreeEventBlock(bucket->Lock.Event);
            bucket->Lock.Event = NULL;
        } else if ((Table->LockKind & HASH_LOCK_RESOURCE) && bucket->Lock.Resource != NULL) {
            ExDeleteResourceLite(bucket->Lock.Resource);
            FreeResourceBlock(bucket->Lock.Resource);
            bucket->Lock.Resource = NULL;
        }
    }
}

static LONG HashTableAllocationFilter(NTSTATUS Code) {
    return Code == STATUS_INSUFFICIENT_RESOURCES ? EXCEPTION_EXECUTE_HANDLER
                                                 : EXCEPTION_CONTINUE_SEARCH;
}

NTSTATUS HashTableCreate(ULONG BucketCount, ULONG PoolType, HashCallback Hash, ULONG LockKind,
                         ULONG InitialBucketWord, HashTable** Table) {
    if (BucketCount == 0) {
        return STATUS_INVALID_PARAMETER_1;
    }
    if (Hash == NULL) {
        return STATUS_INVALID_PARAMETER_3;
    }
    if ((LockKind & HASH_LOCK_SPIN) && PoolType != NonPagedPool) {
        return STATUS_INVALID_PARAMETER_4;
    }
    if (Table == NULL) {
        return STATUS_INVALID_PARAMETER_5;
    }

    SIZE_T size = sizeof(HashTable) + (SIZE_T)BucketCount * sizeof(HashBucket);
    HashTable* NewTable =
        (HashTable*)ExAllocatePoolWithTag((POOL_TYPE)PoolType, size, QVD_TAG_HASH_TABLE);
    if (NewTable == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(NewTable, size);
    NewTable->BucketCount = BucketCount;
    NewTable->LockKind = LockKind;
    NewTable->Hash = Hash;
    NewTable->Buckets = (HashBucket*)(NewTable + 1);

    NTSTATUS status = STATUS_SUCCESS;
    ULONG Completed = 0;
    _SEH2_TRY {
        for (; Completed < BucketCount; Completed += 1) {
            HashBucket* bucket = &NewTable->Buckets[Completed];
            bucket->BucketWord = InitialBucketWord;
            bucket->Chain = NULL;
            if (LockKind & HASH_LOCK_SPIN) {
                KeInitializeSpinLock(&bucket->Lock.SpinLock);
            } else if (LockKind & HASH_LOCK_EVENT) {
                bucket->Lock.Event = AllocateEventBlock(TRUE);
                KeInitializeEvent(bucket->Lock.Event, SynchronizationEvent, TRUE);
            } else if (LockKind & HASH_LOCK_RESOURCE) {
                bucket->Lock.Resource = AllocateResourceBlock(TRUE);
                ExInitializeResourceLite(bucket->Lock.Resource);
            }
        }
    }
    _SEH2_EXCEPT(HashTableAllocationFilter(_SEH2_GetExceptionCode())) {
        status = _SEH2_GetExceptionCode();
    }
    _SEH2_END;

    if (!NT_SUCCESS(status)) {
        HashTableReleaseBucketLocks(NewTable, Completed);
        ExFreePool(NewTable);
        return status;
    }
    *Table = NewTable;
    return STATUS_SUCCESS;
}

VOID HashTableDestroy(HashTable* Table) {
    if (Table == NULL) {
        return;
    }
    HashTableReleaseBucketLocks(Table, Table->BucketCount);
    ExFreePool(Table);
}

ULONG HashTableBucketCount(HashTable* Table) {
    return Table->BucketCount;
}

HashBucket* HashTableBucketAt(HashTable* Table, ULONG Index) {
    return &Table->Buckets[Index];
}

HashBucket* HashTableBucketForKey(HashTable* Table, const VOID* Key) {
    return &Table->Buckets[Table->Hash(Key, Table->BucketCount)];
}

BOOLEAN HashTableLockBucket(HashTable* Table, HashBucket* Bucket, BOOLEAN Exclusive,
                            PLARGE_INTEGER Timeout, PULONG_PTR LockHandle) {
    if (Table->LockKind & HASH_LOCK_SPIN) {
        *LockHandle = KfAcquireSpinLock(&Bucket->Lock.SpinLock);
        return TRUE;
    }
    if (Table->LockKind & HASH_LOCK_EVENT) {
        *LockHandle = 0;
        NTSTATUS status =
            KeWaitForSingleObject(Bucket->Lock.Event, Executive, KernelMode, FALSE, Timeout);
        return status == STATUS_SUCCESS;
    }
    if (Table->LockKind & HASH_LOCK_RESOURCE) {
        // The critical region covers only the acquisition: the hold may be
        // given back by another thread on the owner's behalf.
        *LockHandle = ExGetCurrentResourceThread();
        KeEnterCriticalRegion();
        if (Exclusive) {
            ExAcquireResourceExclusiveLite(Bucket->Lock.Resource, TRUE);
        } else {
            ExAcquireResourceSharedLite(Bucket->Lock.Resource, TRUE);
        }
        KeLeaveCriticalRegion();
    }
    return TRUE;
}

HashBucket* HashTableLookupAndLock(HashTable* Table, const VOID* Key, BOOLEAN Exclusive,
                                   PLARGE_INTEGER Timeout, PULONG_PTR LockHandle) {
    HashBucket* bucket = HashTableBucketForKey(Table, Key);
    if (!HashTableLockBucket(Table, bucket, Exclusive, Timeout, LockHandle)) {
        return NULL;
    }
    return bucket;
}

VOID HashTableUnlockBucket(HashTable* Table, HashBucket* Bucket, ULONG_PTR LockHandle) {
    if (Table->LockKind & HASH_LOCK_SPIN) {
        KfReleaseSpinLock(&Bucket->Lock.SpinLock, (KIRQL)LockHandle);
    } else if (Table->LockKind & HASH_LOCK_EVENT) {
        KeSetEvent(Bucket->Lock.Event, 0, FALSE);
    } else if (Table->LockKind & HASH_LOCK_RESOURCE) {
        ExReleaseResourceForThreadLite(Bucket->Lock.Resource, (ERESOURCE_THREAD)LockHandle);
    }
}

VOID HashTableUnlockByRef(HashTable** TableRef, PVOID Reserved, HashBucket* Bucket,
                          ULONG_PTR LockHandle) {
    HashTableUnlockBucket(*TableRef, Bucket, LockHandle);
}
