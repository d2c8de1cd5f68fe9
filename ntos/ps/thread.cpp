// ps/thread.cpp - kernel threads on host threads: creation, the start and end
// of a thread, the current thread, and the checks made when the kernel stops.
//
// A thread object holds two kinds of references: its creator's (given away as
// a handle or returned) and its own while it runs, dropped when it has ended.
#include "ntos/ps/psp.h"
#include "ntos/ps/pspstate.h"
#include "ntos/rtl/rtlp.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/irql_rule.h"

#include <chrono>
#include <cstdio>
#include <list>
#include <thread>

VfOwnedMutex PspLock;
LIST_ENTRY PspProcessList = {&PspProcessList, &PspProcessList};
POBJECT_TYPE PspThreadTypeStorage = nullptr;
POBJECT_TYPE* PsThreadType = &PspThreadTypeStorage;

namespace {

// The host side of a kernel thread; lives until the kernel stops.
struct PSP_HOST_THREAD {
    std::thread Thread;
    std::atomic<bool> Ended{false}; // the kernel thread has run down
    PKSTART_ROUTINE StartRoutine;   // for the shutdown report
    bool SystemThread;              // created by PsCreateSystemThread
};

// Thrown by PsTerminateSystemThread, and by the kernel's waits at power-off,
// to unwind the thread's stack to its start. Exception guards let it pass;
// their termination handlers run.
struct PSP_THREAD_TERMINATION {
    NTSTATUS ExitStatus;
    bool PowerOff; // the machine is powering off; not the thread's own choice
};

// How long a running thread may take to reach a wait once the power-off
// began, and how long a thread ending on its own may take at kernel stop.
constexpr auto PspEndGracePeriod = std::chrono::seconds(10);

std::list<PSP_HOST_THREAD> PspHostThreads; // PspLock
ULONG_PTR PspClientIdCounter = 0;          // PspLock
PETHREAD PspInitialThread = nullptr;

struct PSP_THREAD_CREATE_FAULT {
    bool Armed = false;
    ULONG Remaining = 0; // successful creations before the failure
    NTSTATUS Status = STATUS_SUCCESS;
};
PSP_THREAD_CREATE_FAULT PspThreadCreateFault; // PspLock

void PspDeleteThread(PVOID Object) {
    PETHREAD thread = static_cast<PETHREAD>(Object);
    PEPROCESS process = reinterpret_cast<PEPROCESS>(thread->Tcb.Process);
    thread->~_ETHREAD();
    ObfDereferenceObject(process);
}

// Creates the thread object in Process and enters it in the process's list.
NTSTATUS PspCreateThreadObject(PEPROCESS Process, PKSTART_ROUTINE StartRoutine, PVOID StartContext,
                               BOOLEAN SystemThread, PETHREAD* Thread) {
    PVOID body;
    NTSTATUS status = ObpCreateObject(PspThreadTypeStorage, sizeof(ETHREAD), &body);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PETHREAD thread = new (body) ETHREAD{};
    KiInitializeThread(&thread->Tcb, &Process->Pcb);
    ObfReferenceObject(Process);
    thread->StartRoutine = StartRoutine;
    thread->StartContext = StartContext;
    thread->SystemThread = SystemThread;
    thread->Tcb.KernelWorker = !SystemThread;
    thread->Cid.UniqueProcess = Process->UniqueProcessId;
    {
        std::lock_guard guard(PspLock);
        thread->Cid.UniqueThread = reinterpret_cast<HANDLE>(PspNextClientId());
        KiInsertTailList(&Process->ThreadListHead, &thread->ThreadListEntry);
        Process->ActiveThreads += 1;
    }
    *Thread = thread;
    return STATUS_SUCCESS;
}

// Takes an ended (or never started) thread out of its process.
void PspUnlinkThread(PETHREAD Thread, NTSTATUS ExitStatus) {
    std::lock_guard guard(PspLock);
    KiRemoveEntryList(&Thread->ThreadListEntry);
    reinterpret_cast<PEPROCESS>(Thread->Tcb.Process)->ActiveThreads -= 1;
    Thread->ExitStatus = ExitStatus;
}

void PspRunStartRoutine(PVOID Thread) {
    static_cast<PETHREAD>(Thread)->StartRoutine(static_cast<PETHREAD>(Thread)->StartContext);
}

void PspThreadMain(PETHREAD Thread, PSP_HOST_THREAD* Host) {
    KiSetCurrentThread(&Thread->Tcb);
    NTSTATUS exitStatus = STATUS_SUCCESS;
    BOOLEAN powerOff = FALSE;
    try {
        if (Thread->SystemThread) {
            // An exception a system thread leaves unhandled stops the machine
            // before anything unwinds, as the platform's thread start-up does.
            RtlpRunGuarded(PspRunStartRoutine, Thread);
        } else {
            Thread->StartRoutine(Thread->StartContext);
        }
    } catch (const PSP_THREAD_TERMINATION& termination) {
        exitStatus = termination.ExitStatus;
        powerOff = termination.PowerOff;
    }
    KiRundownThread(&Thread->Tcb, powerOff);
    PspUnlinkThread(Thread, exitStatus);
    KiSignalThread(&Thread->Tcb);
    KiSetCurrentThread(nullptr);
    ObfDereferenceObject(Thread); // the running thread's own reference
    Host->Ended.store(true, std::memory_order_release);
}

// Starts the host thread of Thread, which gets its own running reference.
NTSTATUS PspStartThread(PETHREAD Thread) {
    ObfReferenceObject(Thread);
    std::lock_guard guard(PspLock);
    PSP_HOST_THREAD& host = PspHostThreads.emplace_back();
    host.StartRoutine = Thread->StartRoutine;
    host.SystemThread = Thread->SystemThread;
    try {
        host.Thread = std::thread(PspThreadMain, Thread, &host);
    } catch (const std::system_error&) {
        PspHostThreads.pop_back();
        ObfDereferenceObject(Thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS PspCreateThread(PEPROCESS Process, PKSTART_ROUTINE StartRoutine, PVOID StartContext,
                         BOOLEAN SystemThread, PETHREAD* Thread) {
    PETHREAD thread;
    NTSTATUS status =
        PspCreateThreadObject(Process, StartRoutine, StartContext, SystemThread, &thread);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = PspStartThread(thread);
    if (!NT_SUCCESS(status)) {
        PspUnlinkThread(thread, status);
        ObfDereferenceObject(thread);
        return status;
    }
    *Thread = thread;
    return STATUS_SUCCESS;
}

// Consumes one creation of the armed fault, if any; returns the status to fail with.
NTSTATUS PspTakeThreadCreateFault() {
    std::lock_guard guard(PspLock);
    if (!PspThreadCreateFault.Armed) {
        return STATUS_SUCCESS;
    }
    if (PspThreadCreateFault.Remaining > 0) {
        PspThreadCreateFault.Remaining -= 1;
        return STATUS_SUCCESS;
    }
    PspThreadCreateFault.Armed = false;
    return PspThreadCreateFault.Status;
}

// Waits a bounded time for every thread created by PsCreateSystemThread to
// end, including those started meanwhile; bug-checks with Rule naming the
// start routine of one that does not.
void PspWaitForSystemThreads(const char* Rule) {
    const auto deadline = std::chrono::steady_clock::now() + PspEndGracePeriod;
    std::unique_lock lock(PspLock);
    for (PSP_HOST_THREAD& host : PspHostThreads) {
        if (!host.SystemThread) {
            continue;
        }
        while (!host.Ended.load(std::memory_order_acquire) &&
               std::chrono::steady_clock::now() < deadline) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            lock.lock();
        }
        if (!host.Ended.load(std::memory_order_acquire)) {
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, Rule,
                       reinterpret_cast<const void*>(host.StartRoutine),
                       reinterpret_cast<ULONG_PTR>(host.StartRoutine));
        }
    }
}

} // namespace

ULONG_PTR PspNextClientId() {
    ASSERT(PspLock.HeldByCurrentThread());
    PspClientIdCounter += 4;
    return PspClientIdCounter;
}

void PspCreateThreadType() {
    OBP_TYPE_PROCEDURES procedures{};
    procedures.Delete = PspDeleteThread;
    static const GENERIC_MAPPING mapping = {
        STANDARD_RIGHTS_READ | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION,
        STANDARD_RIGHTS_WRITE | THREAD_TERMINATE | THREAD_SUSPEND_RESUME | THREAD_ALERT |
            THREAD_SET_INFORMATION | THREAD_SET_CONTEXT,
        STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, THREAD_ALL_ACCESS};
    PspThreadTypeStorage = ObpCreateKernelType(u"Thread", procedures, TRUE, mapping);
}

void PspInjectThreadCreateFailure(ULONG AfterNCreates, NTSTATUS Status) {
    if (NT_SUCCESS(Status)) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "thread creation fault injected with a success status", VF_CALLER());
    }
    std::lock_guard guard(PspLock);
    PspThreadCreateFault.Armed = true;
    PspThreadCreateFault.Remaining = AfterNCreates;
    PspThreadCreateFault.Status = Status;
}

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread", VF_CALLER());
    PKTHREAD current = KiCurrentThread(VF_CALLER());
    if (current->Irql != PASSIVE_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "system thread created above PASSIVE_LEVEL", VF_CALLER(),
                   current->Irql);
    }
    if (ThreadHandle == nullptr || StartRoutine == nullptr) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "system thread created without a handle pointer or a start routine",
                   VF_CALLER());
    }
    PEPROCESS process = PsInitialSystemProcess;
    if (ProcessHandle != nullptr) {
        NTSTATUS status =
            ObReferenceObjectByHandle(ProcessHandle, PROCESS_CREATE_THREAD, PspProcessTypeStorage,
                                      KernelMode, reinterpret_cast<PVOID*>(&process), nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    } else {
        ObfReferenceObject(process);
    }
    NTSTATUS status = PspTakeThreadCreateFault();
    PETHREAD thread = nullptr;
    if (NT_SUCCESS(status)) {
        status = PspCreateThreadObject(process, StartRoutine, StartContext, TRUE, &thread);
    }
    ObfDereferenceObject(process);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG attributes = ObjectAttributes != nullptr ? ObjectAttributes->Attributes : 0;
    HANDLE handle;
    status =
        ObpCreateHandle(thread, DesiredAccess, attributes & OBJ_KERNEL_HANDLE, KernelMode, &handle);
    if (NT_SUCCESS(status)) {
        status = PspStartThread(thread);
        if (!NT_SUCCESS(status)) {
            ObpCloseHandle(handle, KernelMode);
        }
    }
    if (!NT_SUCCESS(status)) {
        PspUnlinkThread(thread, status);
        ObfDereferenceObject(thread);
        return status;
    }
    if (ClientId != nullptr) {
        *ClientId = thread->Cid;
    }
    *ThreadHandle = handle;
    ObfDereferenceObject(thread); // the handle and the running thread hold it now
    return STATUS_SUCCESS;
}

NTSTATUS PspCreateKernelThread(PKSTART_ROUTINE StartRoutine, PVOID StartContext, PETHREAD* Thread) {
    return PspCreateThread(PsInitialSystemProcess, StartRoutine, StartContext, FALSE, Thread);
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    PETHREAD thread = reinterpret_cast<PETHREAD>(KiCurrentThread(VF_CALLER()));
    if (!thread->SystemThread) {
        return STATUS_INVALID_PARAMETER;
    }
    throw PSP_THREAD_TERMINATION{ExitStatus, false};
}

void PspUnwindThreadForPowerOff() {
    RtlpRunTerminationHandlersOnHostUnwind(TRUE);
    throw PSP_THREAD_TERMINATION{STATUS_SUCCESS, true};
}

PETHREAD PsGetCurrentThread(VOID) {
    return reinterpret_cast<PETHREAD>(KiCurrentThread(VF_CALLER()));
}

HANDLE PsGetCurrentThreadId(VOID) {
    return reinterpret_cast<PETHREAD>(KiCurrentThread(VF_CALLER()))->Cid.UniqueThread;
}

BOOLEAN PsIsSystemThread(PETHREAD Thread) {
    return reinterpret_cast<PEPROCESS>(Thread->Tcb.Process) == PsInitialSystemProcess;
}

void PspInitialize() {
    {
        std::lock_guard guard(PspLock);
        KiInitializeListHead(&PspProcessList);
        PspClientIdCounter = 0;
        PspThreadCreateFault = PSP_THREAD_CREATE_FAULT{};
    }
    PspCreateProcessType();
    PspCreateThreadType();
    PEPROCESS system;
    NTSTATUS status = PspCreateProcessObject(u"System", SepAccountSystem, &system);
    if (NT_SUCCESS(status)) {
        PsInitialSystemProcess = system;
        status = PspCreateThreadObject(system, nullptr, nullptr, FALSE, &PspInitialThread);
    }
    if (!NT_SUCCESS(status)) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "the System process or its initial thread could not be created", nullptr,
                   static_cast<ULONG_PTR>(status));
    }
    PspInitialThread->Tcb.IsInitialThread = TRUE;
    KiSetCurrentThread(&PspInitialThread->Tcb);
}

void PspWaitForPowerOff() {
    PspWaitForSystemThreads("thread never reached a wait while the machine powered off");
}

void PspVerifyShutdown() {
    PKTHREAD current = KiCurrentThread(VF_CALLER());
    if (!current->IsInitialThread) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "kernel stopped from a thread other than the one that started it", nullptr);
    }
    // Threads that are on their way out get a grace period to finish.
    PspWaitForSystemThreads("system thread still running when the kernel stopped");
    std::lock_guard guard(PspLock);
    for (PLIST_ENTRY e = PspProcessList.Flink; e != &PspProcessList; e = e->Flink) {
        PEPROCESS process = CONTAINING_RECORD(e, EPROCESS, ProcessListEntry);
        if (process->ObjectTable != nullptr) {
            ObpVerifyNoHandles(process->ObjectTable, process->ImageName.c_str());
        }
    }
}

void PspShutdown() {
    KiRundownThread(&PspInitialThread->Tcb, FALSE);
    PspUnlinkThread(PspInitialThread, STATUS_SUCCESS);
    KiSignalThread(&PspInitialThread->Tcb);
    KiSetCurrentThread(nullptr);
    ObfDereferenceObject(PspInitialThread);
    PspInitialThread = nullptr;
    std::list<PSP_HOST_THREAD> hosts;
    {
        std::lock_guard guard(PspLock);
        hosts.splice(hosts.end(), PspHostThreads);
    }
    for (PSP_HOST_THREAD& host : hosts) {
        host.Thread.join();
    }
    ObfDereferenceObject(PsInitialSystemProcess);
    PsInitialSystemProcess = nullptr;
}
