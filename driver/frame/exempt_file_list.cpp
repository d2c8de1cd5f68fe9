// exempt_file_list.cpp - the exempt file lists.
//
// Kernel mode, IRQL <= DISPATCH_LEVEL. Lock order: each list has its own spin
// lock and no routine holds two of them; the work under a lock is a scan of
// at most EXEMPT_FILE_LIST_SLOTS slots.
#include "frame/exempt_file_list.h"

typedef struct _ExemptFileList {
    KSPIN_LOCK Lock;
    BOOLEAN Closing;                     // set by ExemptFileClose: no more adds; Lock
    ULONG Count;                         // occupied slots; Lock
    PVOID Slots[EXEMPT_FILE_LIST_SLOTS]; // identities, NULL marks a free slot; Lock
} ExemptFileList;

static ExemptFileList ExemptFileLists[EXEMPT_FILE_LIST_COUNT];

VOID ExemptFileInit(VOID) {
    for (ULONG list = 0; list < EXEMPT_FILE_LIST_COUNT; list += 1) {
        ExemptFileList* entries = &ExemptFileLists[list];
        KeInitializeSpinLock(&entries->Lock);
        entries->Closing = FALSE;
        entries->Count = 0;
        RtlZeroMemory(entries->Slots, sizeof(entries->Slots));
    }
}

VOID ExemptFileClose(VOID) {
    for (ULONG list = 0; list < EXEMPT_FILE_LIST_COUNT; list += 1) {
        ExemptFileList* entries = &ExemptFileLists[list];
        KIRQL oldIrql = KfAcquireSpinLock(&entries->Lock);
        entries->Closing = TRUE;
        KfReleaseSpinLock(&entries->Lock, oldIrql);
    }
}

BOOLEAN ExemptFileAdd(PVOID Identity, ULONG List) {
    if (Identity == NULL || List >= EXEMPT_FILE_LIST_COUNT) {
        return FALSE;
    }
    ExemptFileList* entries = &ExemptFileLists[List];
    BOOLEAN added = FALSE;
    KIRQL oldIrql = KfAcquireSpinLock(&entries->Lock);
    if (!entries->Closing && entries->Count < EXEMPT_FILE_LIST_SLOTS) {
        for (ULONG slot = 0; slot < EXEMPT_FILE_LIST_SLOTS; slot += 1) {
            if (entries->Slots[slot] == NULL) {
                entries->Slots[slot] = Identity;
                entries->Count += 1;
                added = TRUE;
                break;
            }
        }
    }
    KfReleaseSpinLock(&entries->Lock, oldIrql);
    return added;
}

BOOLEAN ExemptFileRemove(PVOID Identity, ULONG List) {
    if (Identity == NULL || List >= EXEMPT_FILE_LIST_COUNT) {
        return FALSE;
    }
    ExemptFileList* entries = &ExemptFileLists[List];
    BOOLEAN removed = FALSE;
    KIRQL oldIrql = KfAcquireSpinLock(&entries->Lock);
    for (ULONG slot = 0; entries->Count > 0 && slot < EXEMPT_FILE_LIST_SLOTS; slot += 1) {
        if (entries->Slots[slot] == Identity) {
            entries->Slots[slot] = NULL;
            entries->Count -= 1;
            removed = TRUE;
            break;
        }
    }
    KfReleaseSpinLock(&entries->Lock, oldIrql);
    return removed;
}

BOOLEAN ExemptFileContains(PVOID Identity, ULONG List) {
    if (Identity == NULL || List >= EXEMPT_FILE_LIST_COUNT) {
        return FALSE;
    }
    ExemptFileList* entries = &ExemptFileLists[List];
    BOOLEAN found = FALSE;
    KIRQL oldIrql = KfAcquireSpinLock(&entries->Lock);
    for (ULONG slot = 0; entries->Count > 0 && slot < EXEMPT_FILE_LIST_SLOTS; slot += 1) {
        if (entries->Slots[slot] == Identity) {
            found = TRUE;
            break;
        }
    }
    KfReleaseSpinLock(&entries->Lock, oldIrql);
    return found;
}

VOID ExemptFileClear(ULONG List) {
    if (List >= EXEMPT_FILE_LIST_COUNT) {
        return;
    }
    ExemptFileList* entries = &ExemptFileLists[List];
    KIRQL oldIrql = KfAcquireSpinLock(&entries->Lock);
    RtlZeroMemory(entries->Slots, sizeof(entries->Slots));
    entries->Count = 0;
    KfReleaseSpinLock(&entries->Lock, oldIrql);
}
