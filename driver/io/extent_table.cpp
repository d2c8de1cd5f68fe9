// extent_table.cpp - the index of preserved sectors: one ExtentEntry per
// block of 128 sectors in a hash table keyed by block index, each with its
// sorted list of pieces.
//
// Kernel mode, below DISPATCH_LEVEL: the table is paged and its buckets are
// executive resources.
#include "io/copy_on_write.h"
#include "support/pool_tags.h"

ExtentEntry* FindExtentEntry(SnapshotContext* Snapshot, ULONGLONG Sector, BOOLEAN Create,
                             HashBucket** Bucket, ULONG_PTR* LockHandle) {
    ULONGLONG key = Sector >> EXTENT_BLOCK_SHIFT;
    HashBucket* bucket =
        HashTableLookupAndLock(Snapshot->ExtentTable, &key, Create, NULL, LockHandle);
    *Bucket = bucket;

    // The chain holds the blocks of every key that hashes here, ascending.
    ULONGLONG blockStart = key << EXTENT_BLOCK_SHIFT;
    ExtentEntry* last = NULL;
    for (ExtentEntry* entry = (ExtentEntry*)bucket->Chain;
         entry != NULL && entry->FirstSector < blockStart + EXTENT_BLOCK_SECTORS;
         entry = entry->Next) {
        last = entry;
    }
    if (last != NULL && last->FirstSector + EXTENT_BLOCK_SECTORS > Sector) {
        return last;
    }
    if (!Create) {
        return NULL;
    }
    ExtentEntry* created = (ExtentEntry*)AllocateExtentEntry(FALSE);
    if (created == NULL) {
        return NULL;
    }
    created->Pieces = NULL;
    created->FirstSector = blockStart;
    if (last != NULL) {
        created->Next = last->Next;
        last->Next = created;
    } else {
        created->Next = (ExtentEntry*)bucket->Chain;
        bucket->Chain = created;
    }
    return created;
}

ExtentPiece* FindOverlappingExtent(ExtentEntry* Entry, ExtentPiece* After, ULONGLONG From,
                                   ULONGLONG To) {
    ExtentPiece* piece = After != NULL ? After->Next : Entry->Pieces;
    for (; piece != NULL; piece = piece->Next) {
        ULONGLONG start = Entry->FirstSector + piece->SectorOffset;
        if (start + piece->SectorCount <= From) {
            continue;
        }
        return start < To ? piece : NULL;
    }
    return NULL;
}

VOID DestroyExtentTable(HashTable* Table) {
    for (ULONG index = 0; index < HashTableBucketCount(Table); index++) {
        HashBucket* bucket = HashTableBucketAt(Table, index);
        while (bucket->Chain != NULL) {
            ExtentEntry* entry = (ExtentEntry*)bucket->Chain;
            bucket->Chain = entry->Next;
            while (entry->Pieces != NULL) {
                ExtentPiece* piece = entry->Pieces;
                entry->Pieces = piece->Next;
                if (piece->Data != NULL) {
                    // Its queued flush frees it, without writing.
                    piece->Next = EXTENT_PIECE_ORPHAN;
                } else {
                    FreeExtentPiece(piece);
                }
            }
            FreeExtentEntry(entry);
        }
    }
}
