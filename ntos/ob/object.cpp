// ob/object.cpp - object types, object creation, references and deletion.
//
// An object's memory is a header followed by its body; drivers and the other
// components see only the body. The last reference deletes the object: its
// name goes, its type's Delete procedure runs and its memory is freed.
#include "ntos/ob/obheader.h"
#include "ntos/verifier/bugcheck.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

POBJECT_TYPE ObpIoFileTypeStorage = nullptr;
POBJECT_TYPE ObpIoDeviceTypeStorage = nullptr;
POBJECT_TYPE ObpIoDriverTypeStorage = nullptr;
POBJECT_TYPE ObpMmSectionTypeStorage = nullptr;
POBJECT_TYPE* IoFileObjectType = &ObpIoFileTypeStorage;
POBJECT_TYPE* IoDeviceObjectType = &ObpIoDeviceTypeStorage;
POBJECT_TYPE* IoDriverObjectType = &ObpIoDriverTypeStorage;
POBJECT_TYPE* MmSectionObjectType = &ObpMmSectionTypeStorage;

namespace {

std::mutex ObpObjectListLock;                               // guards the two below
LIST_ENTRY ObpObjectList = {&ObpObjectList, &ObpObjectList};  // every live object
std::vector<std::unique_ptr<OBJECT_TYPE>> ObpTypes;         // ObpObjectListLock

void ObpFreeObject(OBP_OBJECT_HEADER* Header) {
    {
        std::lock_guard<std::mutex> guard(ObpObjectListLock);
        KiRemoveEntryList(&Header->ObjectListEntry);
    }
    Header->~OBP_OBJECT_HEADER();
    ::operator delete(static_cast<void*>(Header), std::align_val_t(alignof(OBP_OBJECT_HEADER)));
}

void ObpDeleteObject(OBP_OBJECT_HEADER* Header) {
    ObpRemoveObjectName(ObpBody(Header));
    if (Header->Type->Procedures.Delete != nullptr) {
        Header->Type->Procedures.Delete(ObpBody(Header));
    }
    ObpFreeObject(Header);
}

} // namespace

POBJECT_TYPE ObpCreateKernelType(PCWSTR Name, const OBP_TYPE_PROCEDURES& Procedures,
                                 BOOLEAN Waitable, const GENERIC_MAPPING& Mapping) {
    auto type = std::make_unique<OBJECT_TYPE>();
    type->Name = Name;
    type->Procedures = Procedures;
    type->GenericMapping = Mapping;
    type->Waitable = Waitable;
    type->KernelOwned = TRUE;
    std::lock_guard<std::mutex> guard(ObpObjectListLock);
    ObpTypes.push_back(std::move(type));
    return ObpTypes.back().get();
}

POBJECT_TYPE ObpCreateObjectType(PCWSTR Name, const OBP_TYPE_PROCEDURES& Procedures,
                                 const GENERIC_MAPPING& Mapping) {
    POBJECT_TYPE type = ObpCreateKernelType(Name, Procedures, FALSE, Mapping);
    type->KernelOwned = FALSE;
    return type;
}

ACCESS_MASK ObpMapGenericAccess(POBJECT_TYPE Type, ACCESS_MASK Access) {
    const GENERIC_MAPPING& mapping = Type->GenericMapping;
    ACCESS_MASK mapped =
        Access & ~ACCESS_MASK{GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                              MAXIMUM_ALLOWED};
    if (Access & GENERIC_READ) {
        mapped |= mapping.GenericRead;
    }
    if (Access & GENERIC_WRITE) {
        mapped |= mapping.GenericWrite;
    }
    if (Access & GENERIC_EXECUTE) {
        mapped |= mapping.GenericExecute;
    }
    if (Access & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        mapped |= mapping.GenericAll;
    }
    return mapped;
}

PCWSTR ObpTypeName(POBJECT_TYPE Type) { return Type->Name.c_str(); }

NTSTATUS ObpCreateObject(POBJECT_TYPE Type, ULONG BodySize, PVOID* Object) {
    if (Type == nullptr) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "object created with no type",
                   VF_CALLER());
    }
    const size_t size = sizeof(OBP_OBJECT_HEADER) + BodySize;
    void* memory = ::operator new(size, std::align_val_t(alignof(OBP_OBJECT_HEADER)),
                                  std::nothrow);
    if (memory == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* header = new (memory) OBP_OBJECT_HEADER{};
    header->Type = Type;
    header->PointerCount.store(1, std::memory_order_relaxed);
    std::memset(ObpBody(header), 0, BodySize);
    {
        std::lock_guard<std::mutex> guard(ObpObjectListLock);
        KiInsertTailList(&ObpObjectList, &header->ObjectListEntry);
    }
    *Object = ObpBody(header);
    return STATUS_SUCCESS;
}

bool ObpTryReference(PVOID Object) {
    std::atomic<LONG_PTR>& count = ObpHeader(Object)->PointerCount;
    LONG_PTR current = count.load(std::memory_order_relaxed);
    while (current > 0) {
        if (count.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel)) {
            return true;
        }
    }
    return false;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    LONG_PTR count = ObpHeader(Object)->PointerCount.fetch_add(1, std::memory_order_relaxed) + 1;
    if (count <= 1) {
        VfBugCheck(REFERENCE_BY_POINTER, "object referenced after its last reference went",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(Object));
    }
    return count;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    OBP_OBJECT_HEADER* header = ObpHeader(Object);
    LONG_PTR count = header->PointerCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count < 0) {
        VfBugCheck(REFERENCE_BY_POINTER, "object dereferenced more often than referenced",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(Object));
    }
    if (count == 0) {
        if (header->HandleCount.load(std::memory_order_acquire) != 0) {
            VfBugCheck(REFERENCE_BY_POINTER, "last reference of an object with open handles",
                       VF_CALLER(), reinterpret_cast<ULONG_PTR>(Object));
        }
        ObpDeleteObject(header);
    }
    return count;
}

NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess,
                                    POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode) {
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(AccessMode);
    if (ObjectType != nullptr && ObpHeader(Object)->Type != ObjectType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ObfReferenceObject(Object);
    return STATUS_SUCCESS;
}

POBJECT_TYPE ObpGetObjectType(PVOID Object) { return ObpHeader(Object)->Type; }

ULONG ObpPointerCount(PVOID Object) {
    return static_cast<ULONG>(ObpHeader(Object)->PointerCount.load(std::memory_order_acquire));
}

ULONG ObpHandleCount(PVOID Object) {
    return static_cast<ULONG>(ObpHeader(Object)->HandleCount.load(std::memory_order_acquire));
}

void ObpInitialize() {
    ObpCreateExecutiveTypes();
    ObpInitializeNamespace();
}

void ObpShutdown() {
    ObpShutdownNamespace();
    // Objects still referenced now were leaked by their users. They go newest
    // first, so an object goes before the older ones it may refer to; only the
    // kernel's own types run their Delete procedures this late.
    for (;;) {
        OBP_OBJECT_HEADER* header;
        {
            std::lock_guard<std::mutex> guard(ObpObjectListLock);
            if (KiIsListEmpty(&ObpObjectList)) {
                break;
            }
            // ObjectListEntry is the header's first field.
            header = reinterpret_cast<OBP_OBJECT_HEADER*>(ObpObjectList.Blink);
        }
        header->PointerCount.store(0);
        header->HandleCount.store(0);
        if (header->Type->KernelOwned && header->Type->Procedures.Delete != nullptr) {
            header->Type->Procedures.Delete(ObpBody(header));
        }
        ObpFreeObject(header);
    }
    std::lock_guard<std::mutex> guard(ObpObjectListLock);
    ObpTypes.clear();
    for (POBJECT_TYPE* storage : {PsThreadType, PsProcessType, ExEventObjectType,
                                  ExSemaphoreObjectType, ExMutantObjectType, IoFileObjectType,
                                  IoDeviceObjectType, IoDriverObjectType, MmSectionObjectType}) {
        *storage = nullptr;
    }
}
