// boot/user_process.h - user programs on the emulated machine: a user
// process with its own address space and handle table, and threads that run
// a host function as the program's user-mode code.
//
// A user thread is a kernel thread of its process whose previous mode is
// UserMode, so the system services it calls probe its arguments and treat
// its handles as user handles. Its host stack counts as user memory of the
// process while it runs. When it ends, the kernel abandons the mutants it
// still owns. Callers run at PASSIVE_LEVEL in a kernel thread (a test's
// initial thread, or a system thread).
#pragma once

#include "ntddk.h"

typedef struct _BOOT_USER_PROCESS BOOT_USER_PROCESS, *PBOOT_USER_PROCESS;
typedef struct _BOOT_USER_THREAD BOOT_USER_THREAD, *PBOOT_USER_THREAD;

// The user-mode code of a thread; its result is the thread's exit code.
typedef ULONG (*BOOT_USER_ROUTINE)(PVOID Context);

// Whom a program runs as: its token's privileges follow (backup, restore and
// security are held by an administrator and, but for security, a backup
// operator; a plain user has none of them). Held privileges start disabled
// except change notify.
typedef enum _BOOT_USER_ACCOUNT {
    BootUserAdministrator,
    BootUserBackupOperator,
    BootUserPlain,
} BOOT_USER_ACCOUNT;

NTSTATUS BootCreateUserProcess(PCWSTR ImageName, PBOOT_USER_PROCESS* Process,
                               BOOT_USER_ACCOUNT Account = BootUserAdministrator);
// Ends the process: closes every handle left in its table (as the platform
// does when a process exits) and releases its address space. Every thread
// of it must have ended and been closed.
VOID BootDeleteUserProcess(PBOOT_USER_PROCESS Process);
PEPROCESS BootUserProcessObject(PBOOT_USER_PROCESS Process);

NTSTATUS BootStartUserThread(PBOOT_USER_PROCESS Process, BOOT_USER_ROUTINE Routine, PVOID Context,
                             PBOOT_USER_THREAD* Thread);
// Waits up to TimeoutMs milliseconds (BOOT_INFINITE_WAIT for no limit) for the
// thread to end; STATUS_SUCCESS with its exit code, or STATUS_TIMEOUT.
#define BOOT_INFINITE_WAIT 0xFFFFFFFF
NTSTATUS BootWaitUserThread(PBOOT_USER_THREAD Thread, ULONG TimeoutMs, PULONG ExitCode);
// Waits for the thread to end and forgets it.
VOID BootCloseUserThread(PBOOT_USER_THREAD Thread);

// Creates a process, runs Routine(Context) on its main thread, waits for it,
// ends the process and returns the exit code in *ExitCode.
NTSTATUS BootRunUserProgram(PCWSTR ImageName, BOOT_USER_ROUTINE Routine, PVOID Context,
                            PULONG ExitCode, BOOT_USER_ACCOUNT Account = BootUserAdministrator);
