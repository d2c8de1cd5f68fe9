// boot/user_process.cpp - user processes and the threads that run user
// programs in them.
#include "ntos/boot/user_process.h"
#include "ntos/io/nt_services.h"
#include "ntos/mm/user_memory.h"
#include "ntos/ps/psp.h"
#include "ntos/ps/pspstate.h"
#include "ntos/verifier/bugcheck.h"

#include <pthread.h>

struct _BOOT_USER_PROCESS {
    PEPROCESS Process;    // referenced; set at creation
    HANDLE ProcessHandle; // kernel handle, for creating threads in it
};

struct _BOOT_USER_THREAD {
    PBOOT_USER_PROCESS Process; // set at creation
    BOOT_USER_ROUTINE Routine;  // set at creation
    PVOID Context;              // set at creation
    PETHREAD Thread;            // referenced thread object
    ULONG ExitCode;             // written by the thread before it ends
};

namespace {

VOID BootpUserThreadStart(PVOID Context) {
    auto* thread = static_cast<PBOOT_USER_THREAD>(Context);
    PEPROCESS process = thread->Process->Process;
    pthread_attr_t attributes;
    void* stackLow = nullptr;
    size_t stackSize = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstack(&attributes, &stackLow, &stackSize);
        pthread_attr_destroy(&attributes);
    }
    MmpRegisterUserStack(process, stackLow, static_cast<PUCHAR>(stackLow) + stackSize);
    IopSetThreadPreviousMode(UserMode);
    thread->ExitCode = thread->Routine(thread->Context);
    IopSetThreadPreviousMode(KernelMode);
    MmpUnregisterUserStack(process, stackLow);
}

} // namespace

NTSTATUS BootCreateUserProcess(PCWSTR ImageName, PBOOT_USER_PROCESS* Process,
                               BOOT_USER_ACCOUNT Account) {
    const SEP_ACCOUNT account = Account == BootUserBackupOperator ? SepAccountBackupOperator
                                : Account == BootUserPlain        ? SepAccountUser
                                                                  : SepAccountAdministrator;
    PEPROCESS process;
    NTSTATUS status = PspCreateProcess(ImageName, &process, account);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = MmpCreateUserAddressSpace(process);
    if (!NT_SUCCESS(status)) {
        PspTerminateProcess(process, status);
        ObDereferenceObject(process);
        return status;
    }
    HANDLE handle;
    status = ObpCreateHandle(process, PROCESS_ALL_ACCESS, OBJ_KERNEL_HANDLE, KernelMode, &handle);
    if (!NT_SUCCESS(status)) {
        MmpDeleteUserAddressSpace(process);
        PspTerminateProcess(process, status);
        ObDereferenceObject(process);
        return status;
    }
    *Process = new BOOT_USER_PROCESS{process, handle};
    return STATUS_SUCCESS;
}

VOID BootDeleteUserProcess(PBOOT_USER_PROCESS Process) {
    // A thread is signalled a moment before it leaves its process's list.
    for (;;) {
        {
            std::lock_guard guard(PspLock);
            if (Process->Process->ActiveThreads == 0) {
                break;
            }
        }
        LARGE_INTEGER interval;
        interval.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    PspTerminateProcess(Process->Process, STATUS_SUCCESS);
    MmpDeleteUserAddressSpace(Process->Process);
    ObpCloseHandle(Process->ProcessHandle, KernelMode);
    ObDereferenceObject(Process->Process);
    delete Process;
}

PEPROCESS BootUserProcessObject(PBOOT_USER_PROCESS Process) {
    return Process->Process;
}

NTSTATUS BootStartUserThread(PBOOT_USER_PROCESS Process, BOOT_USER_ROUTINE Routine, PVOID Context,
                             PBOOT_USER_THREAD* Thread) {
    auto* thread = new BOOT_USER_THREAD{Process, Routine, Context, nullptr, 0};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle;
    NTSTATUS status =
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, Process->ProcessHandle,
                             nullptr, BootpUserThreadStart, thread);
    if (!NT_SUCCESS(status)) {
        delete thread;
        return status;
    }
    PVOID object = nullptr;
    status =
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr);
    ObpCloseHandle(handle, KernelMode);
    if (!NT_SUCCESS(status)) {
        // A kernel handle just created names its thread; this cannot fail.
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "new user thread's handle is not usable",
                   VF_CALLER(), static_cast<ULONG_PTR>(status));
    }
    thread->Thread = static_cast<PETHREAD>(object);
    *Thread = thread;
    return STATUS_SUCCESS;
}

NTSTATUS BootWaitUserThread(PBOOT_USER_THREAD Thread, ULONG TimeoutMs, PULONG ExitCode) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(TimeoutMs) * 10000;
    NTSTATUS status = KeWaitForSingleObject(Thread->Thread, Executive, KernelMode, FALSE,
                                            TimeoutMs == BOOT_INFINITE_WAIT ? nullptr : &timeout);
    if (status == STATUS_SUCCESS && ExitCode != nullptr) {
        *ExitCode = Thread->ExitCode;
    }
    return status;
}

VOID BootCloseUserThread(PBOOT_USER_THREAD Thread) {
    KeWaitForSingleObject(Thread->Thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(Thread->Thread);
    delete Thread;
}

NTSTATUS BootRunUserProgram(PCWSTR ImageName, BOOT_USER_ROUTINE Routine, PVOID Context,
                            PULONG ExitCode, BOOT_USER_ACCOUNT Account) {
    PBOOT_USER_PROCESS process;
    NTSTATUS status = BootCreateUserProcess(ImageName, &process, Account);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PBOOT_USER_THREAD thread;
    status = BootStartUserThread(process, Routine, Context, &thread);
    if (NT_SUCCESS(status)) {
        status = BootWaitUserThread(thread, BOOT_INFINITE_WAIT, ExitCode);
        BootCloseUserThread(thread);
    }
    BootDeleteUserProcess(process);
    return status;
}
