// ps/process.cpp - processes: the System process and the user processes the
// emulation creates, their lists, their handle tables and their tokens.
#include "ntos/ps/psp.h"
#include "ntos/ps/pspstate.h"
#include "ntos/verifier/bugcheck.h"

PEPROCESS PsInitialSystemProcess = nullptr;

namespace {

void PspDeleteProcess(PVOID Object) {
    PEPROCESS process = static_cast<PEPROCESS>(Object);
    {
        std::lock_guard guard(PspLock);
        KiRemoveEntryList(&process->ProcessListEntry);
    }
    if (process->ObjectTable != nullptr) {
        ObpDestroyHandleTable(process->ObjectTable);
    }
    if (process->Token != nullptr) {
        ObfDereferenceObject(process->Token);
    }
    process->~_EPROCESS();
}

} // namespace

POBJECT_TYPE PspProcessTypeStorage = nullptr;
POBJECT_TYPE* PsProcessType = &PspProcessTypeStorage;

void PspCreateProcessType() {
    OBP_TYPE_PROCEDURES procedures{};
    procedures.Delete = PspDeleteProcess;
    PspProcessTypeStorage = ObpCreateKernelType(u"Process", procedures, TRUE);
}

NTSTATUS PspCreateProcessObject(PCWSTR ImageName, SEP_ACCOUNT Account, PEPROCESS* Process) {
    PACCESS_TOKEN token;
    NTSTATUS status = SepCreateToken(Account, &token);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID body;
    status = ObpCreateObject(PspProcessTypeStorage, sizeof(EPROCESS), &body);
    if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(token);
        return status;
    }
    PEPROCESS process = new (body) EPROCESS{};
    process->Token = token;
    KiInitializeProcess(&process->Pcb);
    process->ImageName = ImageName;
    KiInitializeListHead(&process->ThreadListHead);
    {
        std::lock_guard guard(PspLock);
        process->UniqueProcessId = reinterpret_cast<HANDLE>(PspNextClientId());
        KiInsertTailList(&PspProcessList, &process->ProcessListEntry);
    }
    process->ObjectTable = ObpCreateHandleTable(process);
    *Process = process;
    return STATUS_SUCCESS;
}

NTSTATUS PspCreateProcess(PCWSTR ImageName, PEPROCESS* Process, SEP_ACCOUNT Account) {
    KiCurrentThread(VF_CALLER());
    return PspCreateProcessObject(ImageName, Account, Process);
}

PVOID PsReferencePrimaryToken(PEPROCESS Process) {
    if (KeGetCurrentIrql() > APC_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "primary token referenced above APC_LEVEL",
                   VF_CALLER(), KeGetCurrentIrql());
    }
    ObfReferenceObject(Process->Token);
    return Process->Token;
}

VOID PsDereferencePrimaryToken(PVOID PrimaryToken) {
    ObfDereferenceObject(PrimaryToken);
}

NTSTATUS PspTerminateProcess(PEPROCESS Process, NTSTATUS ExitStatus) {
    UNREFERENCED_PARAMETER(ExitStatus);
    PKTHREAD current = KiCurrentThread(VF_CALLER());
    if (Process == PsInitialSystemProcess) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "the System process cannot be terminated",
                   VF_CALLER());
    }
    if (current->ApcStateProcess == &Process->Pcb) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "process terminated by a thread running or attached in it", VF_CALLER());
    }
    OBP_HANDLE_TABLE* table;
    {
        std::lock_guard guard(PspLock);
        if (Process->Terminated) {
            return STATUS_PROCESS_IS_TERMINATING;
        }
        if (Process->ActiveThreads != 0) {
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                       "process terminated while its threads run (ending a running thread is "
                       "not emulated)",
                       VF_CALLER(), Process->ActiveThreads);
        }
        Process->Terminated = TRUE;
        table = Process->ObjectTable;
        Process->ObjectTable = nullptr;
    }
    ObpDestroyHandleTable(table);
    KiSignalProcess(&Process->Pcb);
    return STATUS_SUCCESS;
}

PEPROCESS PsGetCurrentProcess(VOID) {
    return reinterpret_cast<PEPROCESS>(KiCurrentThread(VF_CALLER())->ApcStateProcess);
}

PEPROCESS IoGetCurrentProcess(VOID) {
    return reinterpret_cast<PEPROCESS>(KiCurrentThread(VF_CALLER())->ApcStateProcess);
}

HANDLE PsGetCurrentProcessId(VOID) {
    return reinterpret_cast<PEPROCESS>(KiCurrentThread(VF_CALLER())->ApcStateProcess)
        ->UniqueProcessId;
}
