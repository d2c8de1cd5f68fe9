// caller_privilege.cpp - who may freeze a volume and name pass-through
// files: a caller whose token holds the backup privilege, enabled or not.
//
// Kernel mode, PASSIVE_LEVEL, in the caller's thread. Freezing creates
// files with the driver's rights at paths the caller names and exposes the
// whole volume's data to it; the backup privilege is the platform's mark of
// a caller who may read every file regardless of its protection.
// Administrators and backup operators hold it, so existing agents keep
// working without enabling it first.
#include "snapshot/snapshot.h"

BOOLEAN CallerMayReadVolumes(VOID) {
    if (ExGetPreviousMode() == KernelMode) {
        return TRUE;
    }
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    PACCESS_TOKEN token = subject.ClientToken != NULL ? subject.ClientToken : subject.PrimaryToken;
    PTOKEN_PRIVILEGES privileges = NULL;
    BOOLEAN held = FALSE;
    if (NT_SUCCESS(SeQueryInformationToken(token, TokenPrivileges, (PVOID*)&privileges))) {
        LUID backup = SeExports->SeBackupPrivilege;
        for (ULONG i = 0; i < privileges->PrivilegeCount && !held; i++) {
            const LUID_AND_ATTRIBUTES* entry = &privileges->Privileges[i];
            held = entry->Luid.LowPart == backup.LowPart && entry->Luid.HighPart == backup.HighPart;
        }
        ExFreePool(privileges);
    }
    SeReleaseSubjectContext(&subject);
    return held;
}
