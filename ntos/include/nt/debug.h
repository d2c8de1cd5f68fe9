// nt/debug.h - the checking build's assertions: ASSERT, ASSERTMSG and
// PAGED_CODE, always compiled in.
//
// Kernel mode, any IRQL. A failed assertion ends the machine with a bug
// check that names the expression, its file and line: with no debugger to
// answer the breakpoint, the platform's checking build ends the same way.
#pragma once

#include "ntdef.h"
#include "nt/ke.h"

// Reports FailedAssertion (the expression's text) at FileName:LineNumber,
// with Message when not NULL, and bug-checks
// (KMODE_EXCEPTION_NOT_HANDLED, STATUS_BREAKPOINT).
[[noreturn]] VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber,
                                  PCHAR Message);

#define ASSERT(exp)                                                                                \
    ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE)

#define ASSERTMSG(msg, exp)                                                                        \
    ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, (PCHAR)(msg)), FALSE) : TRUE)

// First statement of a routine whose code or data may be paged out: it
// must not run above APC_LEVEL.
#define PAGED_CODE()                                                                               \
    do {                                                                                           \
        if (KeGetCurrentIrql() > APC_LEVEL) {                                                      \
            RtlAssert((PVOID) "KeGetCurrentIrql() <= APC_LEVEL", (PVOID)__FILE__, __LINE__,        \
                      (PCHAR) "pageable code called above APC_LEVEL");                             \
        }                                                                                          \
    } while (0)
