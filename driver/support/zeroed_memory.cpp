// zeroed_memory.cpp - raw zero-filled kernel pool memory.
//
// Kernel mode; see zeroed_memory.h for the IRQL of each routine.
#include "support/zeroed_memory.h"

#include "support/pool_tags.h"

PVOID AllocZeroed(ULONG Size, ULONG PoolType) {
    PVOID memory = ExAllocatePoolWithTag((POOL_TYPE)PoolType, Size, QVD_TAG_ZEROED);
    if (memory != NULL) {
        RtlZeroMemory(memory, Size);
    }
    return memory;
}

VOID FreeIfAllocated(PVOID Memory) {
    if (Memory != NULL) {
        ExFreePool(Memory);
    }
}
