// zeroed_memory.h - raw zero-filled kernel pool memory for the driver's own
// structures (block pool pages, paged pool resources, joined paths).
//
// Kernel mode. Nonpaged requests at IRQL <= DISPATCH_LEVEL, paged requests
// below DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>

// Allocates Size bytes from the kernel pool of PoolType (NonPagedPool or
// PagedPool), tagged "QvdU", and fills them with zeros.
// Returns the memory, or NULL when the kernel has none to give.
// IRQL: <= DISPATCH_LEVEL for nonpaged memory, < DISPATCH_LEVEL for paged.
PVOID AllocZeroed(ULONG Size, ULONG PoolType);

// Returns Memory to the kernel pool; a NULL pointer is ignored.
// IRQL: as for the allocation of Memory.
VOID FreeIfAllocated(PVOID Memory);
