// win32/privileges.cpp - OpenProcessToken, LookupPrivilegeValueW and
// AdjustTokenPrivileges.
#include "securitybaseapi.h"
#include "win32/ntcall.h"

#include <cstring>

namespace {

struct BASEP_PRIVILEGE_NAME {
    const WCHAR* Name;
    ULONG Value;
};

// The local security authority's names of the privileges, by value.
constexpr BASEP_PRIVILEGE_NAME BasepPrivilegeNames[] = {
    {u"SeCreateTokenPrivilege", 2},         {u"SeAssignPrimaryTokenPrivilege", 3},
    {u"SeLockMemoryPrivilege", 4},          {u"SeIncreaseQuotaPrivilege", 5},
    {u"SeMachineAccountPrivilege", 6},      {u"SeTcbPrivilege", 7},
    {u"SeSecurityPrivilege", 8},            {u"SeTakeOwnershipPrivilege", 9},
    {u"SeLoadDriverPrivilege", 10},         {u"SeSystemProfilePrivilege", 11},
    {u"SeSystemtimePrivilege", 12},         {u"SeProfileSingleProcessPrivilege", 13},
    {u"SeIncreaseBasePriorityPrivilege", 14}, {u"SeCreatePagefilePrivilege", 15},
    {u"SeCreatePermanentPrivilege", 16},    {u"SeBackupPrivilege", 17},
    {u"SeRestorePrivilege", 18},            {u"SeShutdownPrivilege", 19},
    {u"SeDebugPrivilege", 20},              {u"SeAuditPrivilege", 21},
    {u"SeSystemEnvironmentPrivilege", 22},  {u"SeChangeNotifyPrivilege", 23},
    {u"SeRemoteShutdownPrivilege", 24},     {u"SeUndockPrivilege", 25},
    {u"SeSyncAgentPrivilege", 26},          {u"SeEnableDelegationPrivilege", 27},
};

WCHAR BasepUpcase(WCHAR C) {
    return C >= u'a' && C <= u'z' ? static_cast<WCHAR>(C - u'a' + u'A') : C;
}

bool BasepSameNameIgnoringCase(const WCHAR* A, const WCHAR* B) {
    for (; *A != 0 && *B != 0; ++A, ++B) {
        if (BasepUpcase(*A) != BasepUpcase(*B)) {
            return false;
        }
    }
    return *A == *B;
}

} // namespace

HANDLE GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, HANDLE* TokenHandle) {
    NTSTATUS status = BasepNtOpenProcessToken(ProcessHandle, DesiredAccess, TokenHandle);
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
    if (lpSystemName != nullptr && lpSystemName[0] != 0) {
        SetLastError(ERROR_NOT_SUPPORTED); // other machines are not emulated
        return FALSE;
    }
    if (lpName != nullptr) {
        for (const BASEP_PRIVILEGE_NAME& entry : BasepPrivilegeNames) {
            if (BasepSameNameIgnoringCase(entry.Name, lpName)) {
                lpLuid->LowPart = entry.Value;
                lpLuid->HighPart = 0;
                return TRUE;
            }
        }
    }
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                           PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                           PTOKEN_PRIVILEGES PreviousState, LPDWORD ReturnLength) {
    ULONG returned = 0;
    NTSTATUS status = BasepNtAdjustPrivilegesToken(
        TokenHandle, DisableAllPrivileges ? TRUE : FALSE, NewState, BufferLength, PreviousState,
        ReturnLength != nullptr ? &returned : nullptr);
    if (ReturnLength != nullptr) {
        *ReturnLength = returned;
    }
    if (!NT_SUCCESS(status)) {
        BasepSetLastNtError(status);
        return FALSE;
    }
    // Success either way; the error tells whether every privilege was held.
    SetLastError(status == STATUS_NOT_ALL_ASSIGNED ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
    return TRUE;
}
