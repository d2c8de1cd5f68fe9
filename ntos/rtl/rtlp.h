// rtl/rtlp.h - run-time library routines internal to the emulated kernel.
#pragma once

#include "ntdef.h"

// The system's ANSI code page (Windows-1252). A character the code page
// lacks converts to '?'.
CHAR RtlpUnicodeCharToAnsi(WCHAR Character);
WCHAR RtlpAnsiCharToUnicode(CHAR Character);

// Runs Routine(Context) as the outermost code of a system thread: an
// exception that no guard of the routine handles bug-checks
// SYSTEM_THREAD_EXCEPTION_NOT_HANDLED (parameters: code, raise address,
// first two exception parameters) before anything unwinds. Thread start-up
// code of the kernel wraps every thread routine in it.
VOID RtlpRunGuarded(void (*Routine)(PVOID), PVOID Context);

// A host exception passing a termination handler skips it, as a thread's end
// does on the platform (PsTerminateSystemThread runs no handler of the ending
// thread). Power-off of the emulated machine, which has no platform
// counterpart, ends threads through their termination handlers so that their
// locks are given back: it sets this for the current thread before it throws.
VOID RtlpRunTerminationHandlersOnHostUnwind(BOOLEAN Run);
