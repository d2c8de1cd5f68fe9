// testdrv.cpp - the test driver's dispatch and completion routines.
#include "testdrv.h"

#include <cstring>

namespace {

NTSTATUS TestObservingCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    auto ext = static_cast<TestDeviceExtension*>(Context);
    ext->CompletionCalls++;
    ext->SawPendingReturned = Irp->PendingReturned;
    ext->SeenInformation = Irp->IoStatus.Information;
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}

NTSTATUS TestForgetfulCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    return STATUS_SUCCESS;
}

NTSTATUS TestSignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void TestQueue(TestDeviceExtension* Ext, PIRP Irp) {
    KIRQL irql;
    KeAcquireSpinLock(&Ext->QueueLock, &irql);
    InsertTailList(&Ext->Queue, &Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Ext->QueueLock, irql);
}

void TestCompleteNow(TestDeviceExtension* Ext, PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    if (Ext->Reply != nullptr && (Irp->Flags & IRP_BUFFERED_IO) && Information != 0) {
        std::memcpy(Irp->AssociatedIrp.SystemBuffer, Ext->Reply, Information);
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

NTSTATUS TestSplit(TestDeviceExtension* Ext, PIRP Master) {
    IoMarkIrpPending(Master);
    Master->IoStatus.Status = STATUS_SUCCESS;
    Master->IoStatus.Information = Ext->AssociatedCount;
    Master->AssociatedIrp.IrpCount = static_cast<LONG>(Ext->AssociatedCount);
    PIRP parts[8];
    for (ULONG i = 0; i < Ext->AssociatedCount; i++) {
        parts[i] = IoMakeAssociatedIrp(Master, Ext->Lower->StackSize);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(parts[i]);
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Read.Length = 512;
        next->Parameters.Read.ByteOffset.QuadPart = 512LL * i;
    }
    for (ULONG i = 0; i < Ext->AssociatedCount; i++) {
        IoCallDriver(Ext->Lower, parts[i]);
    }
    return STATUS_PENDING;
}

NTSTATUS TestDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto ext = TestExt(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    LONG slot = __atomic_fetch_add(&ext->SeenCount, 1, __ATOMIC_RELAXED);
    if (slot < static_cast<LONG>(sizeof(ext->Seen))) {
        ext->Seen[slot] = stack->MajorFunction;
    }
    if (stack->MajorFunction == IRP_MJ_CREATE && stack->FileObject != nullptr) {
        ext->LastFileName = stack->FileObject->FileName;
    }
    switch (ext->Action) {
    case TestAction::Complete: {
        NTSTATUS status = ext->Status;
        TestCompleteNow(ext, Irp, status, ext->Information);
        return status;
    }
    case TestAction::PassDown:
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(ext->Lower, Irp);
    case TestAction::PassDownObserving:
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, TestObservingCompletion, ext, TRUE, TRUE, TRUE);
        return IoCallDriver(ext->Lower, Irp);
    case TestAction::ForwardAndWait: {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, TestSignalCompletion, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(ext->Lower, Irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        NTSTATUS status = Irp->IoStatus.Status;
        Irp->IoStatus.Information = ext->RecompleteMarker;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    case TestAction::Pend:
        IoMarkIrpPending(Irp);
        TestQueue(ext, Irp);
        return STATUS_PENDING;
    case TestAction::PendUnmarked:
        TestQueue(ext, Irp);
        return STATUS_PENDING;
    case TestAction::CompleteTwice:
        TestCompleteNow(ext, Irp, STATUS_SUCCESS, 0);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case TestAction::PendAfterComplete:
        TestCompleteNow(ext, Irp, STATUS_SUCCESS, 0);
        return STATUS_PENDING;
    case TestAction::ForgetPending:
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, TestForgetfulCompletion, ext, TRUE, TRUE, TRUE);
        return IoCallDriver(ext->Lower, Irp);
    case TestAction::SplitAssociated:
        return TestSplit(ext, Irp);
    case TestAction::MarkThenComplete:
        IoMarkIrpPending(Irp);
        TestCompleteNow(ext, Irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    case TestAction::MarkThenQueue:
        IoMarkIrpPending(Irp);
        TestQueue(ext, Irp);
        return STATUS_SUCCESS;
    case TestAction::ReturnRaised: {
        TestCompleteNow(ext, Irp, STATUS_SUCCESS, 0);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        return STATUS_SUCCESS;
    }
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

// Completion work handed to a DPC or a system thread.
struct TestCompletionWork {
    PDEVICE_OBJECT Device;
    NTSTATUS Status;
    ULONG_PTR Information;
    KDPC Dpc;
    KEVENT Done;
    KIRQL Irql; // IRQL the requests were completed at
};

void TestCompleteAllQueued(TestCompletionWork* Work) {
    auto ext = TestExt(Work->Device);
    Work->Irql = KeGetCurrentIrql();
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&ext->QueueLock, &irql);
        PLIST_ENTRY entry = IsListEmpty(&ext->Queue) ? nullptr : RemoveHeadList(&ext->Queue);
        KeReleaseSpinLock(&ext->QueueLock, irql);
        if (entry == nullptr) {
            break;
        }
        TestCompleteNow(ext, CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry), Work->Status,
                        Work->Information);
    }
    KeSetEvent(&Work->Done, 0, FALSE);
}

VOID TestCompletionDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
    TestCompleteAllQueued(static_cast<TestCompletionWork*>(Context));
}

VOID TestCompletionThread(PVOID Context) {
    TestCompleteAllQueued(static_cast<TestCompletionWork*>(Context));
    PsTerminateSystemThread(STATUS_SUCCESS);
}

} // namespace

NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    for (auto& dispatch : DriverObject->MajorFunction) {
        dispatch = TestDispatch;
    }
    return STATUS_SUCCESS;
}

TestDeviceExtension* TestExt(PDEVICE_OBJECT Device) {
    return static_cast<TestDeviceExtension*>(Device->DeviceExtension);
}

PDEVICE_OBJECT TestCreateDevice(PDRIVER_OBJECT Driver, PCWSTR Name, TestAction Action, ULONG Flags,
                                DEVICE_TYPE Type) {
    UNICODE_STRING name;
    if (Name != nullptr) {
        RtlInitUnicodeString(&name, Name);
    }
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(TestDeviceExtension),
                                     Name != nullptr ? &name : nullptr, Type, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    auto ext = TestExt(device);
    ext->Self = device;
    ext->Action = Action;
    ext->Status = STATUS_SUCCESS;
    KeInitializeSpinLock(&ext->QueueLock);
    InitializeListHead(&ext->Queue);
    device->Flags |= Flags;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

PDEVICE_OBJECT TestAttach(PDEVICE_OBJECT Device, PDEVICE_OBJECT Target) {
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(Device, Target);
    TestExt(Device)->Lower = lower;
    return lower;
}

ULONG TestQueuedCount(PDEVICE_OBJECT Device) {
    auto ext = TestExt(Device);
    ULONG count = 0;
    KIRQL irql;
    KeAcquireSpinLock(&ext->QueueLock, &irql);
    for (PLIST_ENTRY e = ext->Queue.Flink; e != &ext->Queue; e = e->Flink) {
        count++;
    }
    KeReleaseSpinLock(&ext->QueueLock, irql);
    return count;
}

KIRQL TestCompleteQueued(PDEVICE_OBJECT Device, TestCompleter How, NTSTATUS Status,
                         ULONG_PTR Information) {
    TestCompletionWork work = {};
    work.Device = Device;
    work.Status = Status;
    work.Information = Information;
    KeInitializeEvent(&work.Done, NotificationEvent, FALSE);
    if (How == TestCompleter::SystemThread) {
        TestRunSystemThread(TestCompletionThread, &work);
        return work.Irql;
    }
    KeInitializeDpc(&work.Dpc, TestCompletionDpc, &work);
    KeInsertQueueDpc(&work.Dpc, nullptr, nullptr);
    if (How == TestCompleter::DpcThread) {
        KeWaitForSingleObject(&work.Done, Executive, KernelMode, FALSE, nullptr);
    }
    while (KeReadStateEvent(&work.Done) == 0) {
        __builtin_ia32_pause();
    }
    return work.Irql;
}

PVOID TestStartSystemThread(PKSTART_ROUTINE Routine, PVOID Context) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr,
                                           nullptr, Routine, Context);
    if (!NT_SUCCESS(status)) {
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, static_cast<ULONG_PTR>(status), 0, 0, 0);
    }
    PVOID thread;
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    return thread;
}

void TestJoinSystemThread(PVOID Thread) {
    KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(Thread);
}

void TestRunSystemThread(PKSTART_ROUTINE Routine, PVOID Context) {
    TestJoinSystemThread(TestStartSystemThread(Routine, Context));
}
