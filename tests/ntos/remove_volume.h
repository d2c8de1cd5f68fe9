// remove_volume.h - removes an emulated volume as plug and play does when
// its disk goes: a remove request sent to the top of its stack and waited
// for. The volume's device objects are gone when it returns.
#pragma once

#include "ntos/io/iop.h"

inline NTSTATUS NTAPI TestVolumeRemoved(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

inline void TestRemoveVolume(PDEVICE_OBJECT Volume) {
    PIRP irp = IoAllocateIrp(Volume->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_REMOVE_DEVICE;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, TestVolumeRemoved, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Volume, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    IoFreeIrp(irp);
}
