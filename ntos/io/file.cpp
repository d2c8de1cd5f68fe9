// io/file.cpp - file objects: opening a device (or a name below it) through
// the device's parse procedure with IRP_MJ_CREATE, cleanup at the last
// handle, close at the last reference, and the routines that open files for
// kernel code.
//
// Kernel mode, PASSIVE_LEVEL. Opens of names on a mounted volume go to the
// volume's file system through the VPB; mounting itself is the business of
// the routine set by IopSetMountRoutine.
#include "ntos/io/iodb.h"
#include "ntos/io/irptrack.h"
#include "ntos/ob/obp.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/irql_rule.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<IOP_MOUNT_ROUTINE> IopMountRoutineValue{nullptr};

// Tries this many times to get a request for cleanup or close, which must
// not fail, before giving up with a bug check.
constexpr int IopMustSucceedAttempts = 1000;

// Sends a request the I/O manager built to DeviceObject and waits for it;
// the request is threaded and freed at completion. Returns the final status,
// with the whole status block in *Iosb.
NTSTATUS IopSendAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STATUS_BLOCK Iosb) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    *Iosb = {};
    Irp->UserEvent = &event;
    Irp->UserIosb = Iosb;
    IopQueueThreadIrp(Irp);
    NTSTATUS status = IofCallDriver(DeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = Iosb->Status;
    }
    return status;
}

// Sends IRP_MJ_CLEANUP or IRP_MJ_CLOSE for FileObject; these cannot fail.
void IopSendCloseRequest(PFILE_OBJECT FileObject, UCHAR MajorFunction) {
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(FileObject);
    PIRP irp = nullptr;
    for (int attempt = 0; irp == nullptr; attempt++) {
        if (attempt == IopMustSucceedAttempts) {
            VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                       "no request could be allocated to clean up or close a file", VF_CALLER(),
                       reinterpret_cast<ULONG_PTR>(FileObject), MajorFunction);
        }
        irp = IopAllocateTrackedIrp(device->StackSize, IopIrpKind::Threaded, VF_CALLER());
    }
    irp->RequestorMode = KernelMode;
    irp->Flags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = MajorFunction;
    next->FileObject = FileObject;
    IO_STATUS_BLOCK iosb;
    IopSendAndWait(device, irp, &iosb);
}

ULONG IopFileObjectFlags(ULONG CreateOptions) {
    ULONG flags = 0;
    if (CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) {
        flags |= FO_SYNCHRONOUS_IO;
    }
    if (CreateOptions & FILE_SYNCHRONOUS_IO_ALERT) {
        flags |= FO_ALERTABLE_IO;
    }
    if (CreateOptions & FILE_NO_INTERMEDIATE_BUFFERING) {
        flags |= FO_NO_INTERMEDIATE_BUFFERING;
    }
    if (CreateOptions & FILE_WRITE_THROUGH) {
        flags |= FO_WRITE_THROUGH;
    }
    if (CreateOptions & FILE_SEQUENTIAL_ONLY) {
        flags |= FO_SEQUENTIAL_ONLY;
    }
    if (CreateOptions & FILE_RANDOM_ACCESS) {
        flags |= FO_RANDOM_ACCESS;
    }
    return flags;
}

// Finds the device an open of RealDevice goes to: the mounted volume when
// the device has a VPB (mounting it first when a mount routine is set),
// else the device itself.
NTSTATUS IopResolveVolume(PDEVICE_OBJECT RealDevice, PVPB* Vpb, PDEVICE_OBJECT* Target) {
    *Vpb = nullptr;
    *Target = RealDevice;
    PVPB vpb = RealDevice->Vpb;
    if (vpb == nullptr) {
        return STATUS_SUCCESS;
    }
    IOP_MOUNT_ROUTINE mount = IopMountRoutineValue.load();
    if (!(vpb->Flags & VPB_MOUNTED) && mount != nullptr) {
        NTSTATUS status = mount(RealDevice, vpb);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (vpb->Flags & VPB_MOUNTED) {
        *Vpb = vpb;
        *Target = vpb->DeviceObject;
    }
    return STATUS_SUCCESS;
}

} // namespace

void IopSetMountRoutine(IOP_MOUNT_ROUTINE Routine) {
    IopMountRoutineValue.store(Routine);
}

IOP_MOUNT_ROUTINE IopMountRoutine() {
    return IopMountRoutineValue.load();
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
    PDEVICE_OBJECT device = FileObject->DeviceObject;
    if (FileObject->Vpb != nullptr && FileObject->Vpb->DeviceObject != nullptr) {
        device = FileObject->Vpb->DeviceObject;
    } else if (!(FileObject->Flags & FO_DIRECT_DEVICE_OPEN) && device->Vpb != nullptr &&
               device->Vpb->DeviceObject != nullptr) {
        device = device->Vpb->DeviceObject;
    }
    return IoGetAttachedDevice(device);
}

// ACCESS_SYSTEM_SECURITY: the right to a security descriptor's audit list.
#define IOP_ACCESS_SYSTEM_SECURITY 0x01000000L

NTSTATUS IopParseDevice(PVOID ParseObject, PUNICODE_STRING RemainingName, PVOID ParseContext,
                        PVOID* Object) {
    auto device = static_cast<PDEVICE_OBJECT>(ParseObject);
    auto packet = static_cast<IOP_OPEN_PACKET*>(ParseContext);
    *Object = nullptr;
    if (packet == nullptr) {
        // A lookup that is not an open cannot go below a device.
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    {
        std::lock_guard<std::mutex> guard(IopDatabaseLock());
        if (device->DeviceObjectExtension->DeletePending ||
            (device->Flags & DO_DEVICE_INITIALIZING)) {
            return STATUS_NO_SUCH_DEVICE;
        }
        if (device->DeviceObjectExtension->Exclusive && device->ReferenceCount != 0) {
            return STATUS_ACCESS_DENIED;
        }
        device->ReferenceCount++;
    }
    // An open of the device itself that asks only for its attributes and
    // security is a direct device open: it reaches the device's own stack
    // and neither mounts nor goes to a mounted file system.
    const ACCESS_MASK directOpenAccess = SYNCHRONIZE | FILE_READ_ATTRIBUTES | READ_CONTROL |
                                         IOP_ACCESS_SYSTEM_SECURITY | WRITE_OWNER | WRITE_DAC;
    const bool directOpen = (RemainingName == nullptr || RemainingName->Length == 0) &&
                            (packet->DesiredAccess & ~directOpenAccess) == 0 &&
                            !(packet->CreateOptions & FILE_DIRECTORY_FILE);
    PVPB vpb = nullptr;
    PDEVICE_OBJECT target = device;
    NTSTATUS status = directOpen ? STATUS_SUCCESS : IopResolveVolume(device, &vpb, &target);
    if (!NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(IopDatabaseLock());
        device->ReferenceCount--;
        return status;
    }

    USHORT nameBytes = RemainingName != nullptr ? RemainingName->Length : 0;
    PVOID body;
    status = ObpCreateObject(*IoFileObjectType, sizeof(FILE_OBJECT) + nameBytes, &body);
    if (!NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(IopDatabaseLock());
        device->ReferenceCount--;
        return status;
    }
    auto fileObject = static_cast<PFILE_OBJECT>(body);
    fileObject->Type = IO_TYPE_FILE;
    fileObject->Size = sizeof(FILE_OBJECT);
    fileObject->DeviceObject = device;
    ObReferenceObject(device);
    fileObject->Vpb = vpb;
    if (vpb != nullptr) {
        std::lock_guard<std::mutex> guard(IopDatabaseLock());
        vpb->ReferenceCount++;
    }
    if (nameBytes != 0) {
        fileObject->FileName.Buffer = reinterpret_cast<PWCHAR>(fileObject + 1);
        std::memcpy(fileObject->FileName.Buffer, RemainingName->Buffer, nameBytes);
        fileObject->FileName.Length = nameBytes;
        fileObject->FileName.MaximumLength = nameBytes;
    }
    fileObject->Flags = IopFileObjectFlags(packet->CreateOptions);
    if (directOpen) {
        fileObject->Flags |= FO_DIRECT_DEVICE_OPEN;
    }
    fileObject->ReadAccess = (packet->DesiredAccess & (FILE_READ_DATA | GENERIC_READ)) != 0;
    fileObject->WriteAccess =
        (packet->DesiredAccess & (FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE)) != 0;
    fileObject->DeleteAccess = (packet->DesiredAccess & DELETE) != 0;
    fileObject->SharedRead = (packet->ShareAccess & FILE_SHARE_READ) != 0;
    fileObject->SharedWrite = (packet->ShareAccess & FILE_SHARE_WRITE) != 0;
    fileObject->SharedDelete = (packet->ShareAccess & FILE_SHARE_DELETE) != 0;
    KeInitializeEvent(&fileObject->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&fileObject->Event, NotificationEvent, FALSE);

    PDEVICE_OBJECT top = IoGetAttachedDevice(target);
    PIRP irp = IopAllocateTrackedIrp(top->StackSize, IopIrpKind::Threaded, VF_CALLER());
    if (irp == nullptr) {
        // Never sent: no close goes to the driver.
        fileObject->Flags |= FO_FILE_OPEN_CANCELLED;
        ObDereferenceObject(fileObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IO_SECURITY_CONTEXT security = {};
    security.DesiredAccess = packet->DesiredAccess;
    security.FullCreateOptions = packet->CreateOptions;
    irp->RequestorMode = packet->AccessMode;
    irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    irp->Overlay.AllocationSize = packet->AllocationSize;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_CREATE;
    next->FileObject = fileObject;
    next->Parameters.Create.SecurityContext = &security;
    next->Parameters.Create.Options =
        (packet->Disposition << 24) | (packet->CreateOptions & FILE_VALID_OPTION_FLAGS);
    next->Parameters.Create.FileAttributes = static_cast<USHORT>(packet->FileAttributes);
    next->Parameters.Create.ShareAccess = static_cast<USHORT>(packet->ShareAccess);

    IO_STATUS_BLOCK iosb;
    status = IopSendAndWait(top, irp, &iosb);
    packet->FinalStatus = status;
    packet->Information = iosb.Information;
    if (!NT_SUCCESS(status) || status == STATUS_REPARSE) {
        // The driver refused the open: it owns nothing of this file object.
        fileObject->Flags |= FO_FILE_OPEN_CANCELLED;
        ObDereferenceObject(fileObject);
        return status == STATUS_REPARSE ? STATUS_NOT_IMPLEMENTED : status;
    }
    *Object = fileObject;
    return STATUS_SUCCESS;
}

void IopCloseFile(PEPROCESS Process, PVOID Object, ULONG HandleCountBeforeClose) {
    UNREFERENCED_PARAMETER(Process);
    auto fileObject = static_cast<PFILE_OBJECT>(Object);
    if (HandleCountBeforeClose == 1) {
        IopSendCloseRequest(fileObject, IRP_MJ_CLEANUP);
        fileObject->Flags |= FO_CLEANUP_COMPLETE;
    }
}

void IopDeleteFile(PVOID Object) {
    auto fileObject = static_cast<PFILE_OBJECT>(Object);
    if (!(fileObject->Flags & FO_FILE_OPEN_CANCELLED)) {
        if (!(fileObject->Flags & FO_CLEANUP_COMPLETE)) {
            // The file never had a handle: it is cleaned up on its way out.
            IopSendCloseRequest(fileObject, IRP_MJ_CLEANUP);
            fileObject->Flags |= FO_CLEANUP_COMPLETE;
        }
        IopSendCloseRequest(fileObject, IRP_MJ_CLOSE);
    }
    PDEVICE_OBJECT device = fileObject->DeviceObject;
    {
        std::lock_guard<std::mutex> guard(IopDatabaseLock());
        device->ReferenceCount--;
        if (fileObject->Vpb != nullptr) {
            fileObject->Vpb->ReferenceCount--;
        }
    }
    ObDereferenceObject(device);
}

NTSTATUS IopCreateFileHandle(ACCESS_MASK DesiredAccess, const OBJECT_ATTRIBUTES* ObjectAttributes,
                             LARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                             ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength,
                             KPROCESSOR_MODE Mode, PHANDLE Handle, PIO_STATUS_BLOCK Result) {
    // Opens relative to a directory handle and extended attributes are not
    // emulated.
    if (ObjectAttributes->RootDirectory != nullptr || EaBuffer != nullptr || EaLength != 0) {
        return STATUS_NOT_IMPLEMENTED;
    }
    if (Disposition > FILE_MAXIMUM_DISPOSITION || (CreateOptions & ~FILE_VALID_OPTION_FLAGS) ||
        ObjectAttributes->ObjectName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    IOP_OPEN_PACKET packet = {};
    packet.DesiredAccess = DesiredAccess;
    packet.Disposition = Disposition;
    packet.CreateOptions = CreateOptions;
    packet.FileAttributes = FileAttributes;
    packet.ShareAccess = ShareAccess;
    packet.AllocationSize = AllocationSize;
    packet.AccessMode = Mode;
    PVOID object;
    NTSTATUS status =
        ObpLookupObjectName(ObjectAttributes->ObjectName, *IoFileObjectType, &packet, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto fileObject = static_cast<PFILE_OBJECT>(object);
    status = ObpCreateHandle(fileObject, DesiredAccess,
                             ObjectAttributes->Attributes & (OBJ_KERNEL_HANDLE | OBJ_INHERIT), Mode,
                             Handle);
    if (NT_SUCCESS(status)) {
        fileObject->Flags |= FO_HANDLE_CREATED;
        Result->Status = packet.FinalStatus;
        Result->Information = packet.Information;
    }
    ObDereferenceObject(fileObject);
    return status;
}

NTSTATUS IoCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength,
                      CREATE_FILE_TYPE CreateFileType, PVOID ExtraCreateParameters, ULONG Options) {
    UNREFERENCED_PARAMETER(Options);
    // Pipes and mailslots are not emulated.
    if (CreateFileType != CreateFileTypeNone || ExtraCreateParameters != nullptr) {
        return STATUS_NOT_IMPLEMENTED;
    }
    LARGE_INTEGER allocation = {};
    if (AllocationSize != nullptr) {
        allocation = *AllocationSize;
    }
    IO_STATUS_BLOCK result = {};
    NTSTATUS status = IopCreateFileHandle(DesiredAccess, ObjectAttributes, allocation,
                                          FileAttributes, ShareAccess, Disposition, CreateOptions,
                                          EaBuffer, EaLength, KernelMode, FileHandle, &result);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    IoStatusBlock->Status = result.Status;
    IoStatusBlock->Information = result.Information;
    return result.Status;
}

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateFile", VF_CALLER());
    return IoCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize,
                        FileAttributes, ShareAccess, CreateDisposition, CreateOptions, EaBuffer,
                        EaLength, CreateFileTypeNone, nullptr, 0);
}

NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                    ULONG ShareAccess, ULONG OpenOptions) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwOpenFile", VF_CALLER());
    return IoCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0,
                        ShareAccess, FILE_OPEN, OpenOptions, nullptr, 0, CreateFileTypeNone,
                        nullptr, 0);
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                  PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceObjectPointer", VF_CALLER());
    // As on the platform: open a handle, take the file object from it and
    // close the handle, so the device sees create and cleanup now and close
    // when the caller drops the file object.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, ObjectName, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle;
    IO_STATUS_BLOCK iosb;
    NTSTATUS status =
        ZwOpenFile(&handle, DesiredAccess, &attributes, &iosb, 0, FILE_NON_DIRECTORY_FILE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID object;
    status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *FileObject = static_cast<PFILE_OBJECT>(object);
    *DeviceObject = IoGetRelatedDeviceObject(*FileObject);
    return STATUS_SUCCESS;
}
