// zeroed_memory.cpp - raw zero-filled kernel pool memory.
//
// Kernel mode; see zeroed_memory.h for the IRQL of each routine.
#include "support/zeroed_memory.h"

#include "support/pool_tags.h"

PVOID AllocZeroed(ULONG Size, ULONG PoolType) {
    PVOID Memory = ExAllocatePoolWithTag((POOL_TYPE)PoolType, Size, QVD_TAG_ZEROED);
    if (Memory != NULL) {
        RtlZeroMemory(Memory, Size);
    }
    return Memory;
}

VOID FreeIfAllocated(PVOID Memory) {
    if (Memory != NULL) {
        ExFreePool(Memory);
    }
}
