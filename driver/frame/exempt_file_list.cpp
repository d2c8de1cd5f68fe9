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
    for (ULONG List = 0; List < EXEMPT_FILE_LIST_COUNT; List += 1) {
        ExemptFileList* Entries = &ExemptFileLists[List];
        KeInitializeSpinLock(&Entries->Lock);
        Entries->Closing = FALSE;
        Entries->Count = 0;
        RtlZeroMemory(Entries->Slots, sizeof(Entries->Slots));
    }
}

VOID ExemptFileClose(VOID) {
    for (ULONG List = 0; List < EXEMPT_FILE_LIST_COUNT; List += 1) {
        ExemptFileList* Entries = &ExemptFileLists[List];
        KIRQL OldIrql = KfAcquireSpinLock(&Entries->Lock);
        Entries->Closing = TRUE;
        KfReleaseSpinLock(&Entries->Lock, OldIrql);
    }
}

BOOLEAN ExemptFileAdd(PVOID Identity, ULONG List) {
    if (Identity == NULL || List >= EXEMPT_FILE_LIST_COUNT) {
        return FALSE;
    }
    ExemptFileList* Entries = &ExemptFileLists[List];
    BOOLEAN Added = FALSE;
    KIRQL OldIrql = KfAcquireSpinLock(&Entries->Lock);
    if (!Entries->Closing && Entries->Count < EXEMPT_FILE_LIST_SLOTS) {
        for (ULONG Slot = 0; Slot < EXEMPT_FILE_LIST_SLOTS; Slot += 1) {
            if (Entries->Slots[Slot] == NULL) {
                Entries->Slots[Slot] = Identity;
                Entries->Count += 1;
                Added = TRUE;
                break;
            }
        }
    }
    KfReleaseSpinLock(&Entries->Lock, OldIrql);
    return Added;
}

BOOLEAN ExemptFileRemove(PVOID Identity, ULONG List) {
    if (Identity == NULL || List >= EXEMPT_FILE_LIST_COUNT) {
        return FALSE;
    }
    ExemptFileList* Entries = &ExemptFileLists[List];
    BOOLEAN Removed = FALSE;
    KIRQL OldIrql = KfAcquireSpinLock(&Entries->Lock);
    for (ULONG Slot = 0; Entries->Count > 0 && Slot < EXEMPT_FILE_LIST_SLOTS; Slot += 1) {
        if (Entries->Slots[Slot] == Identity) {
            Entries->Slots[Slot] = NULL;
            Entries->Count -= 1;
            Removed = TRUE;
            break;
        }
    }
    KfReleaseSpinLock(&Entries->Lock, OldIrql);
    return Removed;
}

BOOLEAN ExemptFileContains(PVOID Identity, ULONG List) {
    if (Identity == NULL || List >= EXEMPT_FILE_LIST_COUNT) {
        return FALSE;
    }
    ExemptFileList* Entries = &ExemptFileLists[List];
    BOOLEAN Found = FALSE;
    KIRQL OldIrql = KfAcquireSpinLock(&Entries->Lock);
    for (ULONG Slot = 0; Entries->Count > 0 && Slot < EXEMPT_FILE_LIST_SLOTS; Slot += 1) {
        if (Entries->Slots[Slot] == Identity) {
            Found = TRUE;
            break;
        }
    }
    KfReleaseSpinLock(&Entries->Lock, OldIrql);
    return Found;
}

VOID ExemptFileClear(ULONG List) {
    if (List >= EXEMPT_FILE_LIST_COUNT) {
        return;
    }
    ExemptFileList* Entries = &ExemptFileLists[List];
    KIRQL OldIrql = KfAcquireSpinLock(&Entries->Lock);
    RtlZeroMemory(Entries->Slots, sizeof(Entries->Slots));
    Entries->Count = 0;
    KfReleaseSpinLock(&Entries->Lock, OldIrql);
}
