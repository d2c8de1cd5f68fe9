// io/driver.cpp - driver objects: loading a driver (its object, name and
// DriverEntry call), unloading it, and the per-driver extensions other
// modules attach by key.
//
// Kernel mode. Loading and unloading run at PASSIVE_LEVEL; the driver
// object extension routines at IRQL <= DISPATCH_LEVEL.
#include "ntos/io/iodb.h"
#include "ntos/ob/obp.h"
#include "ntos/verifier/bugcheck.h"

#include <cstring>

namespace {

// A block from IoAllocateDriverObjectExtension; the caller's bytes follow.
struct alignas(16) IOP_CLIENT_EXTENSION {
    LIST_ENTRY Links; // in IOP_DRIVER_BODY.ClientExtensions; IopDatabaseLock
    PVOID ClientId;   // ClientIdentificationAddress, the key
};

const WCHAR IopDriverPrefix[] = u"\\Driver\\";
const WCHAR IopServicesPrefix[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
WCHAR IopHardwareDatabaseText[] = u"\\Registry\\Machine\\Hardware\\Description\\System";
UNICODE_STRING IopHardwareDatabase = {sizeof(IopHardwareDatabaseText) - sizeof(WCHAR),
                                      sizeof(IopHardwareDatabaseText), IopHardwareDatabaseText};

constexpr SIZE_T IopCharCount(const WCHAR* Text) {
    SIZE_T n = 0;
    while (Text[n] != 0) {
        n++;
    }
    return n;
}

IOP_DRIVER_BODY* IopBody(PDRIVER_OBJECT DriverObject) {
    return CONTAINING_RECORD(DriverObject, IOP_DRIVER_BODY, Driver);
}

// Fills String with Prefix followed by Suffix, written at Storage.
void IopComposeName(PUNICODE_STRING String, PWCHAR Storage, const WCHAR* Prefix,
                    const WCHAR* Suffix) {
    SIZE_T prefix = IopCharCount(Prefix);
    SIZE_T suffix = IopCharCount(Suffix);
    std::memcpy(Storage, Prefix, prefix * sizeof(WCHAR));
    std::memcpy(Storage + prefix, Suffix, suffix * sizeof(WCHAR));
    Storage[prefix + suffix] = 0;
    String->Buffer = Storage;
    String->Length = static_cast<USHORT>((prefix + suffix) * sizeof(WCHAR));
    String->MaximumLength = static_cast<USHORT>(String->Length + sizeof(WCHAR));
}

NTSTATUS IopInvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// Runs a driver routine on a system thread of the System process and waits.
struct IOP_DRIVER_CALL {
    PDRIVER_OBJECT Driver;
    PDRIVER_INITIALIZE Entry; // DriverEntry, or NULL to call Unload
    PUNICODE_STRING RegistryPath;
    NTSTATUS Status;
};

VOID IopDriverCallThread(PVOID Context) {
    auto call = static_cast<IOP_DRIVER_CALL*>(Context);
    if (call->Entry != nullptr) {
        call->Status = call->Entry(call->Driver, call->RegistryPath);
    } else {
        call->Driver->DriverUnload(call->Driver);
        call->Status = STATUS_SUCCESS;
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS IopCallOnSystemThread(IOP_DRIVER_CALL* Call) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, nullptr,
                                           nullptr, IopDriverCallThread, Call);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID threadObject;
    status = ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode,
                                       &threadObject, nullptr);
    ZwClose(thread);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KeWaitForSingleObject(threadObject, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(threadObject);
    return Call->Status;
}

} // namespace

NTSTATUS IopLoadDriver(PCWSTR ServiceName, PDRIVER_INITIALIZE Entry, PDRIVER_OBJECT* Out) {
    SIZE_T service = IopCharCount(ServiceName);
    SIZE_T nameChars = IopCharCount(IopDriverPrefix) + service + 1;
    SIZE_T bodyBytes = sizeof(IOP_DRIVER_BODY) + (nameChars + service + 1) * sizeof(WCHAR);
    PVOID object;
    NTSTATUS status = ObpCreateObject(*IoDriverObjectType, static_cast<ULONG>(bodyBytes), &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto body = static_cast<IOP_DRIVER_BODY*>(object);
    PDRIVER_OBJECT driver = &body->Driver;
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &body->Extension;
    driver->DriverStart = reinterpret_cast<PVOID>(Entry);
    driver->HardwareDatabase = &IopHardwareDatabase;
    driver->DriverInit = Entry;
    for (auto& dispatch : driver->MajorFunction) {
        dispatch = IopInvalidDeviceRequest;
    }
    body->Extension.DriverObject = driver;
    InitializeListHead(&body->ClientExtensions);
    IopComposeName(&driver->DriverName, body->Names, IopDriverPrefix, ServiceName);
    IopComposeName(&body->Extension.ServiceKeyName, body->Names + nameChars, u"", ServiceName);

    status = ObpInsertObjectName(driver, &driver->DriverName);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(driver);
        return status;
    }

    SIZE_T pathChars = IopCharCount(IopServicesPrefix) + service + 1;
    auto pathBuffer = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(PagedPool, pathChars * sizeof(WCHAR), IOP_TAG_NAME));
    if (pathBuffer == nullptr) {
        ObpRemoveObjectName(driver);
        ObDereferenceObject(driver);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING registryPath;
    IopComposeName(&registryPath, pathBuffer, IopServicesPrefix, ServiceName);
    IOP_DRIVER_CALL call = {driver, Entry, &registryPath, STATUS_UNSUCCESSFUL};
    status = IopCallOnSystemThread(&call);
    ExFreePoolWithTag(pathBuffer, IOP_TAG_NAME);
    if (!NT_SUCCESS(status)) {
        if (driver->DeviceObject != nullptr) {
            VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                       "DriverEntry failed but left device objects behind",
                       reinterpret_cast<const void*>(Entry),
                       reinterpret_cast<ULONG_PTR>(driver->DeviceObject),
                       static_cast<ULONG_PTR>(status));
        }
        ObpRemoveObjectName(driver);
        ObDereferenceObject(driver);
        return status;
    }
    // As the platform's loader does, devices created during DriverEntry are
    // ready once it returns.
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
         device = device->NextDevice) {
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    body->Extension.Count++;
    *Out = driver;
    return STATUS_SUCCESS;
}

VOID IopUnloadDriver(PDRIVER_OBJECT DriverObject) {
    if (DriverObject->DriverUnload != nullptr) {
        IOP_DRIVER_CALL call = {DriverObject, nullptr, nullptr, STATUS_UNSUCCESSFUL};
        IopCallOnSystemThread(&call);
        DriverObject->Flags |= DRVO_UNLOAD_INVOKED;
    }
    if (DriverObject->DeviceObject != nullptr) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "driver unloaded with device objects left",
                   reinterpret_cast<const void*>(DriverObject->DriverUnload),
                   reinterpret_cast<ULONG_PTR>(DriverObject->DeviceObject));
    }
    ObpRemoveObjectName(DriverObject);
    ObDereferenceObject(DriverObject);
}

void IopDeleteDriver(PVOID Object) {
    IOP_DRIVER_BODY* body = IopBody(static_cast<PDRIVER_OBJECT>(Object));
    while (!IsListEmpty(&body->ClientExtensions)) {
        PLIST_ENTRY entry = RemoveHeadList(&body->ClientExtensions);
        ExFreePoolWithTag(CONTAINING_RECORD(entry, IOP_CLIENT_EXTENSION, Links),
                          IOP_TAG_DRIVER_EXTENSION);
    }
}

NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject,
                                         PVOID ClientIdentificationAddress,
                                         ULONG DriverObjectExtensionSize,
                                         PVOID* DriverObjectExtension) {
    *DriverObjectExtension = nullptr;
    auto block = static_cast<IOP_CLIENT_EXTENSION*>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(IOP_CLIENT_EXTENSION) + DriverObjectExtensionSize,
        IOP_TAG_DRIVER_EXTENSION));
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(block, 0, sizeof(IOP_CLIENT_EXTENSION) + DriverObjectExtensionSize);
    block->ClientId = ClientIdentificationAddress;
    IOP_DRIVER_BODY* body = IopBody(DriverObject);
    {
        std::lock_guard<std::mutex> guard(IopDatabaseLock());
        bool duplicate = false;
        for (PLIST_ENTRY e = body->ClientExtensions.Flink; e != &body->ClientExtensions;
             e = e->Flink) {
            if (CONTAINING_RECORD(e, IOP_CLIENT_EXTENSION, Links)->ClientId ==
                ClientIdentificationAddress) {
                duplicate = true;
                break;
            }
        }
        if (!duplicate) {
            InsertTailList(&body->ClientExtensions, &block->Links);
            *DriverObjectExtension = block + 1;
            return STATUS_SUCCESS;
        }
    }
    ExFreePoolWithTag(block, IOP_TAG_DRIVER_EXTENSION);
    return STATUS_OBJECT_NAME_COLLISION;
}

PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress) {
    IOP_DRIVER_BODY* body = IopBody(DriverObject);
    std::lock_guard<std::mutex> guard(IopDatabaseLock());
    for (PLIST_ENTRY e = body->ClientExtensions.Flink; e != &body->ClientExtensions; e = e->Flink) {
        auto block = CONTAINING_RECORD(e, IOP_CLIENT_EXTENSION, Links);
        if (block->ClientId == ClientIdentificationAddress) {
            return block + 1;
        }
    }
    return nullptr;
}
