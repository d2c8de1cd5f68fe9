// io/device.cpp - device objects: creation and deletion, device stacks
// (attach, detach, the top of a stack), symbolic links to devices.
//
// Kernel mode. Creation, deletion and links run at PASSIVE_LEVEL; the stack
// queries run at IRQL <= DISPATCH_LEVEL.
#include "ntos/ex/exp.h"
#include "ntos/io/iodb.h"
#include "ntos/ob/obp.h"
#include "ntos/verifier/bugcheck.h"

#include <atomic>

namespace {

std::mutex IopDatabaseMutex;
std::atomic<ULONG> IopAttachRefusals{0};

constexpr SIZE_T IopAlign16(SIZE_T Bytes) {
    return (Bytes + 15) & ~static_cast<SIZE_T>(15);
}

bool IopDeviceHasVpb(DEVICE_TYPE Type) {
    return Type == FILE_DEVICE_DISK || Type == FILE_DEVICE_CD_ROM || Type == FILE_DEVICE_TAPE ||
           Type == FILE_DEVICE_VIRTUAL_DISK;
}

USHORT IopDefaultSectorSize(DEVICE_TYPE Type) {
    switch (Type) {
    case FILE_DEVICE_DISK:
    case FILE_DEVICE_VIRTUAL_DISK:
    case FILE_DEVICE_DISK_FILE_SYSTEM:
        return 512;
    case FILE_DEVICE_CD_ROM:
    case FILE_DEVICE_CD_ROM_FILE_SYSTEM:
        return 2048;
    default:
        return 0;
    }
}

PDEVICE_OBJECT IopTopOfStackLocked(PDEVICE_OBJECT DeviceObject) {
    while (DeviceObject->AttachedDevice != nullptr) {
        DeviceObject = DeviceObject->AttachedDevice;
    }
    return DeviceObject;
}

} // namespace

std::mutex& IopDatabaseLock() {
    return IopDatabaseMutex;
}

BOOLEAN IopIsDeviceDeleted(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::mutex> guard(IopDatabaseMutex);
    return DeviceObject->DeviceObjectExtension->DeletePending;
}

void IopRefuseAttach(ULONG Count) {
    IopAttachRefusals.store(Count);
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    SIZE_T deviceBytes = IopAlign16(sizeof(DEVICE_OBJECT));
    SIZE_T extensionBytes = IopAlign16(DeviceExtensionSize);
    SIZE_T total = deviceBytes + extensionBytes + sizeof(struct _DEVOBJ_EXTENSION);
    PVOID body;
    NTSTATUS status = ObpCreateObject(*IoDeviceObjectType, static_cast<ULONG>(total), &body);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto device = static_cast<PDEVICE_OBJECT>(body);
    auto base = static_cast<PUCHAR>(body);
    auto ioExtension =
        reinterpret_cast<struct _DEVOBJ_EXTENSION*>(base + deviceBytes + extensionBytes);
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceExtension = DeviceExtensionSize != 0 ? base + deviceBytes : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->StackSize = 1;
    device->SectorSize = IopDefaultSectorSize(DeviceType);
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) |
                    (DeviceName != nullptr ? DO_DEVICE_HAS_NAME : 0);
    InitializeListHead(&device->Queue.ListEntry);
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    device->DeviceObjectExtension = ioExtension;
    ioExtension->Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
    ioExtension->Size = sizeof(struct _DEVOBJ_EXTENSION);
    ioExtension->DeviceObject = device;
    ioExtension->Exclusive = Exclusive;
    ioExtension->SystemPowerState = PowerSystemWorking;
    ioExtension->DevicePowerState = PowerDeviceD0;

    if (IopDeviceHasVpb(DeviceType)) {
        auto vpb = static_cast<PVPB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(VPB), IOP_TAG_VPB));
        if (vpb == nullptr) {
            ObDereferenceObject(device);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(vpb, sizeof(VPB));
        vpb->Type = IO_TYPE_VPB;
        vpb->Size = sizeof(VPB);
        vpb->RealDevice = device;
        device->Vpb = vpb;
    }
    if (DeviceName != nullptr) {
        status = ObpInsertObjectName(device, DeviceName);
        if (!NT_SUCCESS(status)) {
            ObDereferenceObject(device);
            return status;
        }
    }
    {
        std::lock_guard<std::mutex> guard(IopDatabaseMutex);
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    {
        std::lock_guard<std::mutex> guard(IopDatabaseMutex);
        struct _DEVOBJ_EXTENSION* ext = DeviceObject->DeviceObjectExtension;
        if (DeviceObject->AttachedDevice != nullptr) {
            VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                       "device deleted while another device is still attached to it", VF_CALLER(),
                       reinterpret_cast<ULONG_PTR>(DeviceObject),
                       reinterpret_cast<ULONG_PTR>(DeviceObject->AttachedDevice));
        }
        if (ext->AttachedTo != nullptr) {
            VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                       "device deleted while still attached to the device below it (call "
                       "IoDetachDevice first)",
                       VF_CALLER(), reinterpret_cast<ULONG_PTR>(DeviceObject),
                       reinterpret_cast<ULONG_PTR>(ext->AttachedTo));
        }
        if (ext->DeletePending) {
            VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "device deleted twice", VF_CALLER(),
                       reinterpret_cast<ULONG_PTR>(DeviceObject));
        }
        ext->DeletePending = TRUE;
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link != DeviceObject) {
            link = &(*link)->NextDevice;
        }
        *link = DeviceObject->NextDevice;
        DeviceObject->NextDevice = nullptr;
    }
    if (DeviceObject->Flags & DO_DEVICE_HAS_NAME) {
        ObpRemoveObjectName(DeviceObject);
    }
    ObDereferenceObject(DeviceObject);
}

void IopDeleteDevice(PVOID Object) {
    auto device = static_cast<PDEVICE_OBJECT>(Object);
    if (device->DeviceExtension != nullptr) {
        // The extension's memory goes with the device: a resource the driver
        // kept in it must have been deleted before.
        ExpCheckNoResourceIn(device->DeviceExtension, device->Size - sizeof(DEVICE_OBJECT),
                             nullptr);
    }
    if (device->Vpb != nullptr) {
        ExFreePoolWithTag(device->Vpb, IOP_TAG_VPB);
        device->Vpb = nullptr;
    }
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
    ULONG refusals = IopAttachRefusals.load();
    while (refusals != 0 && !IopAttachRefusals.compare_exchange_weak(refusals, refusals - 1)) {
    }
    if (refusals != 0) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(IopDatabaseMutex);
    PDEVICE_OBJECT top = IopTopOfStackLocked(TargetDevice);
    if (top->DeviceObjectExtension->DeletePending) {
        return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    std::lock_guard<std::mutex> guard(IopDatabaseMutex);
    PDEVICE_OBJECT attached = TargetDevice->AttachedDevice;
    if (attached == nullptr) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "IoDetachDevice on a device with nothing attached to it", VF_CALLER(),
                   reinterpret_cast<ULONG_PTR>(TargetDevice));
    }
    TargetDevice->AttachedDevice = nullptr;
    attached->DeviceObjectExtension->AttachedTo = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::mutex> guard(IopDatabaseMutex);
    return IopTopOfStackLocked(DeviceObject);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::mutex> guard(IopDatabaseMutex);
    PDEVICE_OBJECT top = IopTopOfStackLocked(DeviceObject);
    ObReferenceObject(top);
    return top;
}

PDEVICE_OBJECT IopGetLowerDevice(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::mutex> guard(IopDatabaseMutex);
    return DeviceObject->DeviceObjectExtension->AttachedTo;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    return ObpCreateSymbolicLink(SymbolicLinkName, DeviceName);
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    return ObpDeleteSymbolicLink(SymbolicLinkName);
}
