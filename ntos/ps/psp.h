// ps/psp.h - internal records and routines of processes and threads.
//
// EPROCESS and ETHREAD are objects of the object manager (PsProcessType,
// PsThreadType) with the kernel's KPROCESS / KTHREAD first. Each kernel thread
// runs on its own host thread.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "nt/ps.h"
#include "ntos/ke/ki.h"
#include "ntos/ob/obp.h"
#include "ntos/se/sep.h"

#include <string>

struct _EPROCESS {
    KPROCESS Pcb;                  // must be first
    HANDLE UniqueProcessId;        // set at creation
    std::u16string ImageName;      // set at creation
    PVOID Token;                   // primary token, referenced; set at creation
    OBP_HANDLE_TABLE* ObjectTable; // NULL once the process has ended
    LIST_ENTRY ProcessListEntry;   // in the process list; PspLock
    LIST_ENTRY ThreadListHead;     // its running threads; PspLock
    ULONG ActiveThreads;           // PspLock
    BOOLEAN Terminated;            // PspLock
};

struct _ETHREAD {
    KTHREAD Tcb;                  // must be first
    CLIENT_ID Cid;                // set at creation
    PKSTART_ROUTINE StartRoutine; // set at creation
    PVOID StartContext;           // set at creation
    BOOLEAN SystemThread;         // created by PsCreateSystemThread
    LIST_ENTRY ThreadListEntry;   // in its process's thread list while it runs; PspLock
    NTSTATUS ExitStatus;          // set when it ends
};

// Creates a System-process kernel thread for the kernel's own use (the DPC
// thread). Returns the referenced thread.
NTSTATUS PspCreateKernelThread(PKSTART_ROUTINE StartRoutine, PVOID StartContext, PETHREAD* Thread);

// Creates a user process named ImageName running as Account, with an empty
// handle table; returns it referenced.
NTSTATUS PspCreateProcess(PCWSTR ImageName, PEPROCESS* Process,
                          SEP_ACCOUNT Account = SepAccountAdministrator);
// Ends Process: closes every handle left in its table and signals it. Its
// threads must have ended (the emulation cannot end a host thread).
NTSTATUS PspTerminateProcess(PEPROCESS Process, NTSTATUS ExitStatus);

// Unwinds the current thread's stack to its start, as PsTerminateSystemThread
// does, and ends it as one the power-off stopped. The kernel's waits call it.
[[noreturn]] void PspUnwindThreadForPowerOff();
// From the initial thread, once the power-off began: waits a bounded time
// for every thread but the kernel's own workers to end, and bug-checks
// naming one that never reaches a wait.
void PspWaitForPowerOff();

// Makes the next thread creation after AfterNCreates successful ones fail
// with Status (one failure). Cleared when the kernel stops.
void PspInjectThreadCreateFailure(ULONG AfterNCreates, NTSTATUS Status);

// Lifetime, driven by KiStartKernel / KiStopKernel. PspInitialize makes the
// calling host thread the System process's initial thread.
void PspInitialize();
// Waits a while for every thread created by PsCreateSystemThread to end and
// bug-checks naming one that does not; then checks every live process's
// handle table for leaks.
void PspVerifyShutdown();
void PspShutdown();
