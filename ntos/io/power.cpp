// io/power.cpp - the power manager's request routines. The emulated machine
// never changes power state by itself: power requests come only from tests
// and plug and play, and are not queued per device.
//
// Kernel mode, IRQL <= DISPATCH_LEVEL.
#include "ntos/io/iodb.h"
#include "ntos/io/irptrack.h"
#include "ntos/verifier/bugcheck.h"

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "PoCallDriver with a request that is not "
                   "a power request",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(Irp));
    }
    return IofCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "PoStartNextPowerIrp with a request that is not a power request", VF_CALLER(),
                   reinterpret_cast<ULONG_PTR>(Irp));
    }
    std::lock_guard<std::mutex> guard(IopIrpLock());
    IopIrpRecordRef record = IopFindIrpLocked(Irp);
    if (record != nullptr) {
        record->PowerStarts++;
    }
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    std::lock_guard<std::mutex> guard(IopDatabaseLock());
    struct _DEVOBJ_EXTENSION* ext = DeviceObject->DeviceObjectExtension;
    POWER_STATE previous;
    if (Type == SystemPowerState) {
        previous.SystemState = ext->SystemPowerState;
        ext->SystemPowerState = State.SystemState;
    } else {
        previous.DeviceState = ext->DevicePowerState;
        ext->DevicePowerState = State.DeviceState;
    }
    return previous;
}
