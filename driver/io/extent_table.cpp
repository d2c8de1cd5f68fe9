// extent_table.cpp - emptying the index of preserved sectors when a
// snapshot ends.
//
// Kernel mode, PASSIVE_LEVEL. The caller holds the snapshot's FlushLock
// exclusively, so no flush runs on the table and no lock is taken here.
#include "io/io.h"
#include "support/block_cache.h"

VOID DestroyExtentTable(HashTable* Table) {
    ULONG buckets = HashTableBucketCount(Table);
    for (ULONG i = 0; i < buckets; i++) {
        HashBucket* bucket = HashTableBucketAt(Table, i);
        ExtentEntry* entry = (ExtentEntry*)bucket->Chain;
        bucket->Chain = NULL;
        while (entry != NULL) {
            ExtentEntry* nextEntry = entry->Next;
            ExtentPiece* piece = entry->Pieces;
            while (piece != NULL) {
                ExtentPiece* nextPiece = piece->Next;
                if (piece->Data != NULL) {
                    // Its copy is still on the way to the file: the flush
                    // that carries it frees the piece.
                    piece->Next = EXTENT_PIECE_ORPHAN;
                } else {
                    FreeExtentPiece(piece);
                }
                piece = nextPiece;
            }
            FreeExtentEntry(entry);
            entry = nextEntry;
        }
    }
}
