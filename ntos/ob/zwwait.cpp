// ob/zwwait.cpp - ZwWaitForMultipleObjects: a wait on several objects named
// by handles, as kernel code issues it.
//
// PASSIVE_LEVEL. The handles are looked up as kernel-mode handles of the
// current process and must grant SYNCHRONIZE.
#include "ntddk.h"
#include "ntos/ob/obheader.h"
#include "ntos/verifier/bugcheck.h"

#include <algorithm>

namespace {

constexpr ULONG ObpWaitBlockTag = EX_POOL_TAG('O', 'b', 'W', 'b');

} // namespace

NTSTATUS ZwWaitForMultipleObjects(ULONG Count, HANDLE Handles[], WAIT_TYPE WaitType,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "handles waited on above PASSIVE_LEVEL", VF_CALLER(),
                   KeGetCurrentIrql());
    }
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) {
        return STATUS_INVALID_PARAMETER_1;
    }
    if (WaitType != WaitAll && WaitType != WaitAny) {
        return STATUS_INVALID_PARAMETER_3;
    }
    PVOID objects[MAXIMUM_WAIT_OBJECTS];
    ULONG referenced = 0;
    NTSTATUS status = STATUS_SUCCESS;
    for (; referenced < Count; ++referenced) {
        status = ObReferenceObjectByHandle(Handles[referenced], SYNCHRONIZE, nullptr, KernelMode,
                                           &objects[referenced], nullptr);
        if (!NT_SUCCESS(status)) {
            break;
        }
        if (!ObpGetObjectType(objects[referenced])->Waitable) {
            ObfDereferenceObject(objects[referenced]);
            status = STATUS_OBJECT_TYPE_MISMATCH;
            break;
        }
    }
    // One object twice cannot be waited on for all: the wait could never
    // take it twice.
    if (NT_SUCCESS(status) && WaitType == WaitAll) {
        for (ULONG i = 0; i < Count && NT_SUCCESS(status); ++i) {
            if (std::find(objects + i + 1, objects + Count, objects[i]) != objects + Count) {
                status = STATUS_INVALID_PARAMETER_MIX;
            }
        }
    }
    PKWAIT_BLOCK waitBlocks = nullptr;
    if (NT_SUCCESS(status) && Count > THREAD_WAIT_OBJECTS) {
        waitBlocks = static_cast<PKWAIT_BLOCK>(
            ExAllocatePoolWithTag(NonPagedPool, Count * sizeof(KWAIT_BLOCK), ObpWaitBlockTag));
        if (waitBlocks == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (NT_SUCCESS(status)) {
        status = KeWaitForMultipleObjects(Count, objects, WaitType, UserRequest, KernelMode,
                                          Alertable, Timeout, waitBlocks);
    }
    if (waitBlocks != nullptr) {
        ExFreePoolWithTag(waitBlocks, ObpWaitBlockTag);
    }
    for (ULONG i = 0; i < referenced; ++i) {
        ObfDereferenceObject(objects[i]);
    }
    return status;
}
