// se/privilege.cpp - the system's privilege values (SeExports), the
// caller's subject context and privilege checks against it.
//
// PASSIVE_LEVEL, as the platform requires of each routine.
#include "ntos/ps/psp.h"
#include "ntos/se/sep.h"
#include "ntos/verifier/irql_rule.h"
#include "ntos/verifier/bugcheck.h"

namespace {

SE_EXPORTS SepExports;

LUID SepLuid(ULONG Value) {
    return LUID{Value, 0};
}

} // namespace

PSE_EXPORTS SeExports = nullptr;

void SepInitialize() {
    SepCreateTokenType();
    SE_EXPORTS& e = SepExports;
    e.SeCreateTokenPrivilege = SepLuid(SE_CREATE_TOKEN_PRIVILEGE);
    e.SeAssignPrimaryTokenPrivilege = SepLuid(SE_ASSIGNPRIMARYTOKEN_PRIVILEGE);
    e.SeLockMemoryPrivilege = SepLuid(SE_LOCK_MEMORY_PRIVILEGE);
    e.SeIncreaseQuotaPrivilege = SepLuid(SE_INCREASE_QUOTA_PRIVILEGE);
    e.SeUnsolicitedInputPrivilege = SepLuid(SE_UNSOLICITED_INPUT_PRIVILEGE);
    e.SeTcbPrivilege = SepLuid(SE_TCB_PRIVILEGE);
    e.SeSecurityPrivilege = SepLuid(SE_SECURITY_PRIVILEGE);
    e.SeTakeOwnershipPrivilege = SepLuid(SE_TAKE_OWNERSHIP_PRIVILEGE);
    e.SeLoadDriverPrivilege = SepLuid(SE_LOAD_DRIVER_PRIVILEGE);
    e.SeCreatePagefilePrivilege = SepLuid(SE_CREATE_PAGEFILE_PRIVILEGE);
    e.SeIncreaseBasePriorityPrivilege = SepLuid(SE_INC_BASE_PRIORITY_PRIVILEGE);
    e.SeSystemProfilePrivilege = SepLuid(SE_SYSTEM_PROFILE_PRIVILEGE);
    e.SeSystemtimePrivilege = SepLuid(SE_SYSTEMTIME_PRIVILEGE);
    e.SeProfileSingleProcessPrivilege = SepLuid(SE_PROF_SINGLE_PROCESS_PRIVILEGE);
    e.SeCreatePermanentPrivilege = SepLuid(SE_CREATE_PERMANENT_PRIVILEGE);
    e.SeBackupPrivilege = SepLuid(SE_BACKUP_PRIVILEGE);
    e.SeRestorePrivilege = SepLuid(SE_RESTORE_PRIVILEGE);
    e.SeShutdownPrivilege = SepLuid(SE_SHUTDOWN_PRIVILEGE);
    e.SeDebugPrivilege = SepLuid(SE_DEBUG_PRIVILEGE);
    e.SeAuditPrivilege = SepLuid(SE_AUDIT_PRIVILEGE);
    e.SeSystemEnvironmentPrivilege = SepLuid(SE_SYSTEM_ENVIRONMENT_PRIVILEGE);
    e.SeChangeNotifyPrivilege = SepLuid(SE_CHANGE_NOTIFY_PRIVILEGE);
    e.SeRemoteShutdownPrivilege = SepLuid(SE_REMOTE_SHUTDOWN_PRIVILEGE);
    SeExports = &SepExports;
}

void SepShutdown() {
    SeExports = nullptr;
}

VOID SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "SeCaptureSubjectContext", VF_CALLER());
    SubjectContext->ClientToken = nullptr;
    SubjectContext->ImpersonationLevel = SecurityAnonymous;
    SubjectContext->PrimaryToken = PsReferencePrimaryToken(PsGetCurrentProcess());
    SubjectContext->ProcessAuditId = PsGetCurrentProcessId();
}

VOID SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "SeReleaseSubjectContext", VF_CALLER());
    if (SubjectContext->PrimaryToken == nullptr) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "subject context released that was not captured or already released",
                   VF_CALLER());
    }
    PsDereferencePrimaryToken(SubjectContext->PrimaryToken);
    SubjectContext->PrimaryToken = nullptr;
}

BOOLEAN SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "SeSinglePrivilegeCheck", VF_CALLER());
    if (PreviousMode == KernelMode) {
        return TRUE;
    }
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    BOOLEAN granted = FALSE;
    for (const LUID_AND_ATTRIBUTES& held : SepQueryPrivileges(subject.PrimaryToken)) {
        if (held.Luid.LowPart == PrivilegeValue.LowPart &&
            held.Luid.HighPart == PrivilegeValue.HighPart) {
            granted = (held.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
    }
    SeReleaseSubjectContext(&subject);
    return granted;
}
