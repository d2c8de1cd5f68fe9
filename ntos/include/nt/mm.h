// nt/mm.h - user buffers as kernel code meets them: probing a caller's
// buffer and reaching a 32-bit user address embedded in a request.
//
// Every process other than System has a user address space whose addresses
// fit in 32 bits; a user address and the kernel's pointer to the same byte
// are equal. The routines raise (through the exception guards of nt/seh.h)
// rather than return: kernel code calls them inside _SEH2_TRY.
// IRQL <= APC_LEVEL.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "nt/seh.h"

// Raises STATUS_DATATYPE_MISALIGNMENT when Address is not a multiple of
// Alignment (1, 2, 4, 8 or 16) and STATUS_ACCESS_VIOLATION when any byte of
// [Address, Address + Length) is not committed user memory of the current
// process (the attached one while attached). Length 0 checks nothing.
VOID ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment);
// As ProbeForRead, for a buffer the caller is about to write.
VOID ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment);

// The kernel's pointer to Length bytes at the 32-bit user address
// UserAddress of the current process, after the checks of ProbeForWrite
// (Write TRUE) or ProbeForRead. This is the only way kernel code reaches a
// pointer embedded in a user's request record.
PVOID MmGetUserBuffer(ULONG32 UserAddress, SIZE_T Length, ULONG Alignment, BOOLEAN Write);
