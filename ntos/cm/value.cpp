// cm/value.cpp - reading, writing and deleting registry values.
#include "ntos/cm/cmdata.h"
#include "bugcodes.h"
#include "ntos/verifier/bugcheck.h"

#include <cstring>

namespace {

CM_VALUE* CmpFindValueLocked(PCM_KEY Key, PCWSTR Name) {
    ASSERT(Key->Registry->Lock.HeldByCurrentThread());
    std::u16string folded = CmpFoldName(Name == nullptr ? u"" : Name);
    for (auto& v : Key->Values) {
        if (CmpFoldName(v.Name) == folded) {
            return &v;
        }
    }
    return nullptr;
}

bool CmpIsStoredType(ULONG Type) {
    return Type == REG_NONE || Type == REG_SZ || Type == REG_EXPAND_SZ || Type == REG_BINARY ||
           Type == REG_DWORD || Type == REG_MULTI_SZ;
}

NTSTATUS CmpValuePrologueLocked(PCM_KEY Key, CM_OPERATION Operation, PCWSTR Name,
                                const void* Caller) {
    ASSERT(Key->Registry->Lock.HeldByCurrentThread());
    if (Key == nullptr || Key->References == 0) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "registry key used without a reference",
                   Caller, reinterpret_cast<ULONG_PTR>(Key));
    }
    if (Key->Deleted) {
        return STATUS_KEY_DELETED;
    }
    return CmpCheckInjectedLocked(Key->Registry, Operation, CmpKeyPathLocked(Key), Name);
}

} // namespace

NTSTATUS CmpQueryValue(PCM_KEY Key, PCWSTR Name, ULONG* Type, PVOID Data, ULONG* DataLength) {
    std::lock_guard guard(Key->Registry->Lock);
    NTSTATUS status = CmpValuePrologueLocked(Key, CmOperationQueryValue, Name, VF_CALLER());
    if (status != STATUS_SUCCESS) {
        return status;
    }
    const CM_VALUE* value = CmpFindValueLocked(Key, Name);
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    ULONG size = static_cast<ULONG>(value->Data.size());
    ULONG room = DataLength == nullptr ? 0 : *DataLength;
    if (Type != nullptr) {
        *Type = value->Type;
    }
    if (DataLength != nullptr) {
        *DataLength = size;
    }
    if (Data == nullptr) {
        return STATUS_SUCCESS;
    }
    if (room < size) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (size != 0) {
        std::memcpy(Data, value->Data.data(), size);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CmpSetValue(PCM_KEY Key, PCWSTR Name, ULONG Type, const VOID* Data, ULONG DataLength) {
    if (!CmpIsStoredType(Type)) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "registry value type is not emulated (only NONE, SZ, EXPAND_SZ, BINARY, "
                   "DWORD and MULTI_SZ)",
                   VF_CALLER(), Type);
    }
    std::lock_guard guard(Key->Registry->Lock);
    NTSTATUS status = CmpValuePrologueLocked(Key, CmOperationSetValue, Name, VF_CALLER());
    if (status != STATUS_SUCCESS) {
        return status;
    }
    const auto* bytes = static_cast<const UCHAR*>(Data);
    std::vector<UCHAR> data(bytes, bytes + (bytes == nullptr ? 0 : DataLength));
    if (CM_VALUE* value = CmpFindValueLocked(Key, Name)) {
        value->Type = Type;
        value->Data = std::move(data);
    } else {
        Key->Values.push_back({Name == nullptr ? u"" : Name, Type, std::move(data)});
    }
    return STATUS_SUCCESS;
}

NTSTATUS CmpDeleteValue(PCM_KEY Key, PCWSTR Name) {
    std::lock_guard guard(Key->Registry->Lock);
    NTSTATUS status = CmpValuePrologueLocked(Key, CmOperationDeleteValue, Name, VF_CALLER());
    if (status != STATUS_SUCCESS) {
        return status;
    }
    const CM_VALUE* value = CmpFindValueLocked(Key, Name);
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Key->Values.erase(Key->Values.begin() + (value - Key->Values.data()));
    return STATUS_SUCCESS;
}
