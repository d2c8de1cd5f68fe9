// ob/zwevent.cpp - event, semaphore and mutant objects and the Zw routines
// that create, signal and wait on them through handles.
#include "ntos/ob/obheader.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/irql_rule.h"

POBJECT_TYPE ObpEventTypeStorage = nullptr;
POBJECT_TYPE ObpSemaphoreTypeStorage = nullptr;
POBJECT_TYPE ObpMutantTypeStorage = nullptr;
POBJECT_TYPE* ExEventObjectType = &ObpEventTypeStorage;
POBJECT_TYPE* ExSemaphoreObjectType = &ObpSemaphoreTypeStorage;
POBJECT_TYPE* ExMutantObjectType = &ObpMutantTypeStorage;

namespace {

void ObpDeleteMutant(PVOID Object) { KiRundownMutant(static_cast<PKMUTANT>(Object)); }

// Names Object as ObjectAttributes asks and opens a handle to it; consumes the
// creation reference. With OBJ_OPENIF an existing object of the same type is
// opened instead (STATUS_OBJECT_NAME_EXISTS).
NTSTATUS ObpInsertAndOpen(PVOID Object, ACCESS_MASK DesiredAccess,
                          POBJECT_ATTRIBUTES ObjectAttributes, PHANDLE Handle) {
    ULONG attributes = ObjectAttributes != nullptr ? ObjectAttributes->Attributes : 0;
    NTSTATUS status = STATUS_SUCCESS;
    PVOID opened = Object;
    if (ObjectAttributes != nullptr && ObjectAttributes->ObjectName != nullptr) {
        if (ObjectAttributes->RootDirectory != nullptr) {
            ObfDereferenceObject(Object);
            return STATUS_NOT_IMPLEMENTED;  // names relative to a directory handle
        }
        status = ObpInsertObjectName(Object, ObjectAttributes->ObjectName);
        if (status == STATUS_OBJECT_NAME_COLLISION && (attributes & OBJ_OPENIF) != 0) {
            ObfDereferenceObject(Object);
            status = ObpLookupObjectName(ObjectAttributes->ObjectName, ObpGetObjectType(Object),
                                         nullptr, &opened);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            status = STATUS_OBJECT_NAME_EXISTS;
        } else if (!NT_SUCCESS(status)) {
            ObfDereferenceObject(Object);
            return status;
        }
    }
    NTSTATUS handleStatus =
        ObpCreateHandle(opened, DesiredAccess, attributes & OBJ_KERNEL_HANDLE, KernelMode, Handle);
    ObfDereferenceObject(opened);
    return NT_SUCCESS(handleStatus) ? status : handleStatus;
}

} // namespace

void ObpCreateExecutiveTypes() {
    OBP_TYPE_PROCEDURES none{};
    ObpEventTypeStorage = ObpCreateKernelType(u"Event", none, TRUE);
    ObpSemaphoreTypeStorage = ObpCreateKernelType(u"Semaphore", none, TRUE);
    OBP_TYPE_PROCEDURES mutant{};
    mutant.Delete = ObpDeleteMutant;
    ObpMutantTypeStorage = ObpCreateKernelType(u"Mutant", mutant, TRUE);
}

NTSTATUS ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                       POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                       BOOLEAN InitialState) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateEvent", VF_CALLER());
    KiCurrentThread(VF_CALLER());
    PVOID object;
    NTSTATUS status = ObpCreateObject(ObpEventTypeStorage, sizeof(KEVENT), &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KeInitializeEvent(static_cast<PKEVENT>(object), EventType, InitialState);
    return ObpInsertAndOpen(object, DesiredAccess, ObjectAttributes, EventHandle);
}

NTSTATUS ZwSetEvent(HANDLE EventHandle, PLONG PreviousState) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwSetEvent", VF_CALLER());
    PVOID object;
    NTSTATUS status = ObReferenceObjectByHandle(EventHandle, EVENT_MODIFY_STATE,
                                                ObpEventTypeStorage, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LONG previous = KeSetEvent(static_cast<PKEVENT>(object), 0, FALSE);
    if (PreviousState != nullptr) {
        *PreviousState = previous;
    }
    ObfDereferenceObject(object);
    return STATUS_SUCCESS;
}

NTSTATUS ZwClearEvent(HANDLE EventHandle) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwClearEvent", VF_CALLER());
    PVOID object;
    NTSTATUS status = ObReferenceObjectByHandle(EventHandle, EVENT_MODIFY_STATE,
                                                ObpEventTypeStorage, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KeClearEvent(static_cast<PKEVENT>(object));
    ObfDereferenceObject(object);
    return STATUS_SUCCESS;
}

NTSTATUS ZwCreateMutant(PHANDLE MutantHandle, ACCESS_MASK DesiredAccess,
                        POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN InitialOwner) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateMutant", VF_CALLER());
    KiCurrentThread(VF_CALLER());
    PVOID object;
    NTSTATUS status = ObpCreateObject(ObpMutantTypeStorage, sizeof(KMUTANT), &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KeInitializeMutant(static_cast<PKMUTANT>(object), InitialOwner);
    return ObpInsertAndOpen(object, DesiredAccess, ObjectAttributes, MutantHandle);
}

NTSTATUS ZwReleaseMutant(HANDLE MutantHandle, PLONG PreviousCount) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwReleaseMutant", VF_CALLER());
    PKTHREAD current = KiCurrentThread(VF_CALLER());
    PVOID object;
    NTSTATUS status = ObReferenceObjectByHandle(MutantHandle, 0, ObpMutantTypeStorage,
                                                KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* mutant = static_cast<PKMUTANT>(object);
    bool owned;
    {
        // Only the owner can take ownership away from itself, so this holds.
        std::lock_guard<std::mutex> guard(KiDispatcherLock);
        owned = mutant->OwnerThread == current && mutant->Header.SignalState <= 0;
    }
    if (!owned) {
        ObfDereferenceObject(object);
        return STATUS_MUTANT_NOT_OWNED;
    }
    LONG previous = KeReleaseMutant(mutant, 1, FALSE, FALSE);
    if (PreviousCount != nullptr) {
        *PreviousCount = previous;
    }
    ObfDereferenceObject(object);
    return STATUS_SUCCESS;
}

NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwWaitForSingleObject", VF_CALLER());
    PVOID object;
    NTSTATUS status =
        ObReferenceObjectByHandle(Handle, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!ObpGetObjectType(object)->Waitable) {
        ObfDereferenceObject(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    status = KeWaitForSingleObject(object, UserRequest, KernelMode, Alertable, Timeout);
    ObfDereferenceObject(object);
    return status;
}
