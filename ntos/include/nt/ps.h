// nt/ps.h - processes and threads as drivers see them: system threads, the
// current thread and process, the system's version and size.
#pragma once

#include "ntdef.h"
#include "nt/ke.h"

typedef struct _EPROCESS EPROCESS, *PEPROCESS;
typedef struct _ETHREAD ETHREAD, *PETHREAD;

typedef VOID (*PKSTART_ROUTINE)(PVOID StartContext);

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)
#define ZwCurrentThread() NtCurrentThread()

// The System process (valid while the kernel runs).
extern PEPROCESS PsInitialSystemProcess;

// Creates a kernel thread running StartRoutine(StartContext) at PASSIVE_LEVEL in
// the System process (ProcessHandle NULL) or in the process ProcessHandle names.
// The returned thread handle belongs to the current process (to the System
// process when ObjectAttributes carries OBJ_KERNEL_HANDLE); the caller closes it.
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
// Ends the current system thread; does not return.
NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);

// The process's primary token, referenced; PsDereferencePrimaryToken drops
// the reference. PASSIVE_LEVEL or APC_LEVEL.
PVOID PsReferencePrimaryToken(PEPROCESS Process);
VOID PsDereferencePrimaryToken(PVOID PrimaryToken);

PETHREAD PsGetCurrentThread(VOID);
PEPROCESS PsGetCurrentProcess(VOID);  // the attached process while attached
PEPROCESS IoGetCurrentProcess(VOID);
HANDLE PsGetCurrentThreadId(VOID);
HANDLE PsGetCurrentProcessId(VOID);
BOOLEAN PsIsSystemThread(PETHREAD Thread);

// Reports the configured version. CSDVersion, if given, is set to describe the
// kernel's service-pack string (valid while the kernel runs). Returns TRUE on a
// checked build (never here).
BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                     PUNICODE_STRING CSDVersion);

// System size, from the memory manager.
typedef enum _MM_SYSTEM_SIZE { MmSmallSystem, MmMediumSystem, MmLargeSystem } MM_SYSTEMSIZE;
MM_SYSTEMSIZE MmQuerySystemSize(VOID);
BOOLEAN MmIsThisAnNtAsSystem(VOID);
