// pnp/request.cpp - plug-and-play and power requests sent to volume stacks.
//
// Each request is sent by a System-process system thread at PASSIVE_LEVEL
// with the forward-and-wait idiom: the manager owns the request, its
// completion routine signals an event and returns
// STATUS_MORE_PROCESSING_REQUIRED, and the manager frees it.
#include "ntos/pnp/pnpp.h"
#include "ntos/verifier/bugcheck.h"

#include <cstring>

namespace {

NTSTATUS PnppRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct PNPP_THREADED_REQUEST {
    PDEVICE_OBJECT Pdo;
    IO_STACK_LOCATION Location;
    NTSTATUS Status;
    ULONG_PTR Information;
};

VOID PnppThreadedRequest(PVOID Context) {
    auto* request = static_cast<PNPP_THREADED_REQUEST*>(Context);
    request->Status = PnppSendRequest(request->Pdo, request->Location, &request->Information);
}

// Sends the request from a system thread of its own.
NTSTATUS PnppSend(PDEVICE_OBJECT Pdo, const IO_STACK_LOCATION& Location, ULONG_PTR* Information) {
    PNPP_THREADED_REQUEST request = {Pdo, Location, STATUS_UNSUCCESSFUL, 0};
    PnppRunInSystemThread(PnppThreadedRequest, &request);
    if (Information != nullptr) {
        *Information = request.Information;
    }
    return request.Status;
}

IO_STACK_LOCATION PnppLocation(UCHAR MajorFunction, UCHAR MinorFunction) {
    IO_STACK_LOCATION location;
    std::memset(&location, 0, sizeof(location));
    location.MajorFunction = MajorFunction;
    location.MinorFunction = MinorFunction;
    return location;
}

} // namespace

NTSTATUS PnppSendRequest(PDEVICE_OBJECT Pdo, const IO_STACK_LOCATION& Location,
                         ULONG_PTR* Information) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    std::memcpy(next, &Location, offsetof(IO_STACK_LOCATION, DeviceObject));
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, PnppRequestDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status =
        Location.MajorFunction == IRP_MJ_POWER ? PoCallDriver(top, irp) : IofCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    status = irp->IoStatus.Status;
    if (Information != nullptr) {
        *Information = irp->IoStatus.Information;
    }
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return status;
}

VOID PnppRunInSystemThread(PKSTART_ROUTINE Routine, PVOID Context) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, nullptr,
                                           nullptr, Routine, Context);
    if (!NT_SUCCESS(status)) {
        // The platform's plug-and-play manager runs on threads of its own;
        // it has no failure path for this.
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "plug-and-play manager could not create its system thread", VF_CALLER(),
                   static_cast<ULONG_PTR>(status));
    }
    ZwWaitForSingleObject(thread, FALSE, nullptr);
    ZwClose(thread);
}

NTSTATUS PnpSendQueryDeviceRelations(PDEVICE_OBJECT Pdo, DEVICE_RELATION_TYPE Type,
                                     PDEVICE_RELATIONS* Relations) {
    IO_STACK_LOCATION location = PnppLocation(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS);
    location.Parameters.QueryDeviceRelations.Type = Type;
    ULONG_PTR information = 0;
    NTSTATUS status = PnppSend(Pdo, location, &information);
    *Relations = NT_SUCCESS(status) ? reinterpret_cast<PDEVICE_RELATIONS>(information) : nullptr;
    return status;
}

NTSTATUS PnpSendSurpriseRemoval(PDEVICE_OBJECT Pdo) {
    NTSTATUS status = PnppSend(Pdo, PnppLocation(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL), nullptr);
    PnppSetVolumeState(Pdo, PnpVolumeSurpriseRemoved, status);
    return status;
}

NTSTATUS PnpSendRemove(PDEVICE_OBJECT Pdo) {
    NTSTATUS status = PnppSend(Pdo, PnppLocation(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), nullptr);
    PDEVICE_OBJECT top = IoGetAttachedDevice(Pdo);
    if (top != Pdo) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "device still attached to a volume after IRP_MN_REMOVE_DEVICE (a filter must "
                   "detach and delete its device)",
                   top->DriverObject != nullptr
                       ? reinterpret_cast<const void*>(top->DriverObject->MajorFunction[IRP_MJ_PNP])
                       : nullptr,
                   reinterpret_cast<ULONG_PTR>(top), reinterpret_cast<ULONG_PTR>(Pdo));
    }
    PnppSetVolumeState(Pdo, PnpVolumeRemoved, status);
    return status;
}

NTSTATUS PnpSendPower(PDEVICE_OBJECT Pdo, UCHAR MinorFunction, POWER_STATE_TYPE Type,
                      POWER_STATE State) {
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "only set-power and query-power requests are emulated", VF_CALLER(),
                   MinorFunction);
    }
    IO_STACK_LOCATION location = PnppLocation(IRP_MJ_POWER, MinorFunction);
    location.Parameters.Power.Type = Type;
    location.Parameters.Power.State = State;
    location.Parameters.Power.ShutdownType = PowerActionNone;
    return PnppSend(Pdo, location, nullptr);
}
