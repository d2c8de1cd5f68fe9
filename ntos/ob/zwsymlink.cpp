// ob/zwsymlink.cpp - opening and querying symbolic links through handles.
#include "ntos/ob/obheader.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/irql_rule.h"

#include <cstring>

NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwOpenSymbolicLinkObject", VF_CALLER());
    KiCurrentThread(VF_CALLER());
    if (ObjectAttributes == nullptr || ObjectAttributes->ObjectName == nullptr) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (ObjectAttributes->RootDirectory != nullptr) {
        return STATUS_NOT_IMPLEMENTED;  // names relative to a directory handle
    }
    PVOID object;
    NTSTATUS status = ObpLookup(ObpString(ObjectAttributes->ObjectName), ObpSymbolicLinkType,
                                nullptr, true, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ObpCreateHandle(object, DesiredAccess,
                             ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE, KernelMode,
                             LinkHandle);
    ObfDereferenceObject(object);
    return status;
}

NTSTATUS ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget,
                                   PULONG ReturnedLength) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwQuerySymbolicLinkObject", VF_CALLER());
    PVOID object;
    NTSTATUS status = ObReferenceObjectByHandle(LinkHandle, SYMBOLIC_LINK_QUERY,
                                                ObpSymbolicLinkType, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const std::u16string& target = static_cast<OBP_SYMBOLIC_LINK*>(object)->Target;
    const ULONG length = static_cast<ULONG>(target.size() * sizeof(WCHAR));
    const ULONG needed = length + sizeof(WCHAR);  // with a terminator
    if (length <= LinkTarget->MaximumLength) {
        std::memcpy(LinkTarget->Buffer, target.data(), length);
        if (needed <= LinkTarget->MaximumLength) {
            LinkTarget->Buffer[target.size()] = 0;
        }
        LinkTarget->Length = static_cast<USHORT>(length);
        status = STATUS_SUCCESS;
    } else {
        status = STATUS_BUFFER_TOO_SMALL;
    }
    if (ReturnedLength != nullptr) {
        *ReturnedLength = needed;
    }
    ObfDereferenceObject(object);
    return status;
}
