// win32/user_heap.h - heap blocks in a user program's own address space,
// for the process heap. Plain types only, so that the win32 routines need
// not see the kernel's headers. Runs in the calling thread.
#pragma once

#include "ntdef.h"

// TRUE when the current thread runs a user program, whose heap blocks must
// be user memory of its process.
BOOLEAN BasepInUserProgram();
// A block of Bytes bytes, 16-byte aligned, in the current user program's
// address space; NULL when it has no room.
PVOID BasepAllocateUserBlock(SIZE_T Bytes);
// Releases Memory when it is a user block of the current user program and
// returns TRUE; FALSE for any other memory.
BOOLEAN BasepFreeUserBlock(PVOID Memory);
