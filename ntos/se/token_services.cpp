// se/token_services.cpp - NtOpenProcessToken and NtAdjustPrivilegesToken.
#include "ntos/se/token_services.h"
#include "ntos/ob/obp.h"
#include "ntos/se/sep.h"
#include "ntos/verifier/irql_rule.h"
#include "ntos/verifier/bugcheck.h"

namespace {

constexpr ACCESS_MASK SepTokenRead = STANDARD_RIGHTS_READ | TOKEN_QUERY;
constexpr ACCESS_MASK SepTokenWrite =
    STANDARD_RIGHTS_WRITE | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS | TOKEN_ADJUST_DEFAULT;
constexpr ACCESS_MASK SepTokenExecute = STANDARD_RIGHTS_EXECUTE;

ACCESS_MASK SepMapTokenAccess(ACCESS_MASK Desired) {
    ACCESS_MASK mapped = Desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                                     ACCESS_MASK{MAXIMUM_ALLOWED});
    if (Desired & GENERIC_READ) {
        mapped |= SepTokenRead;
    }
    if (Desired & GENERIC_WRITE) {
        mapped |= SepTokenWrite;
    }
    if (Desired & GENERIC_EXECUTE) {
        mapped |= SepTokenExecute;
    }
    if (Desired & (GENERIC_ALL | ACCESS_MASK{MAXIMUM_ALLOWED})) {
        mapped |= TOKEN_ALL_ACCESS;
    }
    return mapped;
}

// Bytes of a TOKEN_PRIVILEGES with Count entries.
ULONG SepPrivilegesSize(size_t Count) {
    return static_cast<ULONG>(FIELD_OFFSET(TOKEN_PRIVILEGES, Privileges) +
                              Count * sizeof(LUID_AND_ATTRIBUTES));
}

} // namespace

NTSTATUS NtOpenProcessToken(HANDLE ProcessHandle, ACCESS_MASK DesiredAccess,
                            PHANDLE TokenHandle) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "NtOpenProcessToken", VF_CALLER());
    const KPROCESSOR_MODE mode = ExGetPreviousMode();
    PVOID process;
    NTSTATUS status = ObReferenceObjectByHandle(ProcessHandle, PROCESS_QUERY_INFORMATION,
                                                *PsProcessType, mode, &process, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID token = PsReferencePrimaryToken(static_cast<PEPROCESS>(process));
    ObDereferenceObject(process);
    HANDLE handle;
    status = ObpCreateHandle(token, SepMapTokenAccess(DesiredAccess), 0, mode, &handle);
    PsDereferencePrimaryToken(token);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    _SEH2_TRY {
        if (mode != KernelMode) {
            ProbeForWrite(TokenHandle, sizeof(HANDLE), alignof(HANDLE));
        }
        *TokenHandle = handle;
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    _SEH2_END;
    if (!NT_SUCCESS(status)) {
        ObpCloseHandle(handle, KernelMode);
    }
    return status;
}

NTSTATUS NtAdjustPrivilegesToken(HANDLE TokenHandle, BOOLEAN DisableAllPrivileges,
                                 PTOKEN_PRIVILEGES NewState, ULONG BufferLength,
                                 PTOKEN_PRIVILEGES PreviousState, PULONG ReturnLength) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "NtAdjustPrivilegesToken", VF_CALLER());
    const KPROCESSOR_MODE mode = ExGetPreviousMode();
    if (!DisableAllPrivileges && NewState == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<LUID_AND_ATTRIBUTES> wanted;
    NTSTATUS status = STATUS_SUCCESS;
    _SEH2_TRY {
        if (!DisableAllPrivileges) {
            if (mode != KernelMode) {
                ProbeForRead(NewState, sizeof(ULONG), alignof(ULONG));
            }
            const ULONG count = NewState->PrivilegeCount;
            if (mode != KernelMode) {
                ProbeForRead(NewState, SepPrivilegesSize(count), alignof(ULONG));
            }
            wanted.assign(NewState->Privileges, NewState->Privileges + count);
        }
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    _SEH2_END;
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PVOID token;
    const ACCESS_MASK access =
        TOKEN_ADJUST_PRIVILEGES | (PreviousState != nullptr ? TOKEN_QUERY : 0);
    status = ObReferenceObjectByHandle(TokenHandle, access, *SeTokenObjectType, mode, &token,
                                       nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    size_t capacity = SIZE_MAX;
    if (PreviousState != nullptr) {
        const size_t header = FIELD_OFFSET(TOKEN_PRIVILEGES, Privileges);
        capacity = BufferLength < header
                       ? 0
                       : (BufferLength - header) / sizeof(LUID_AND_ATTRIBUTES);
    }
    std::vector<LUID_AND_ATTRIBUTES> previous;
    status = SepAdjustPrivileges(token, DisableAllPrivileges, wanted, capacity, &previous);
    ObDereferenceObject(token);
    if (PreviousState == nullptr) {
        return status;
    }
    NTSTATUS copied = STATUS_SUCCESS;
    _SEH2_TRY {
        if (mode != KernelMode) {
            ProbeForWrite(ReturnLength, sizeof(ULONG), alignof(ULONG));
        }
        *ReturnLength = SepPrivilegesSize(previous.size());
        if (status != STATUS_BUFFER_TOO_SMALL) {
            if (mode != KernelMode) {
                ProbeForWrite(PreviousState, SepPrivilegesSize(previous.size()), alignof(ULONG));
            }
            PreviousState->PrivilegeCount = static_cast<ULONG>(previous.size());
            for (size_t i = 0; i < previous.size(); ++i) {
                PreviousState->Privileges[i] = previous[i];
            }
        }
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        copied = GetExceptionCode();
    }
    _SEH2_END;
    return NT_SUCCESS(copied) ? status : copied;
}
