// se/token.cpp - access tokens: the object type, the privileges each
// account's token holds, and reading and adjusting them.
//
// A token is only ever a process's primary token here: no impersonation,
// no groups or owner. Any IRQL <= APC_LEVEL for the internal routines.
#include "ntddk.h"
#include "ntos/ob/obp.h"
#include "ntos/se/sep.h"
#include "ntos/verifier/bugcheck.h"

#include <algorithm>
#include <mutex>
#include "ntos/verifier/irql_rule.h"

namespace {

struct SEP_TOKEN {
    SEP_ACCOUNT Account; // set at creation
    std::mutex Lock;     // guards Privileges
    // Held privileges, ordered by value; their SE_PRIVILEGE_* attributes.
    std::vector<LUID_AND_ATTRIBUTES> Privileges;
};

POBJECT_TYPE SepTokenTypeStorage = nullptr;

SEP_TOKEN* SepToken(PACCESS_TOKEN Token) {
    return static_cast<SEP_TOKEN*>(Token);
}

void SepDeleteToken(PVOID Object) {
    static_cast<SEP_TOKEN*>(Object)->~SEP_TOKEN();
}

struct SEP_GRANT {
    ULONG Privilege;
    BOOLEAN Enabled; // enabled by default
};

// The privileges of each account, as a freshly installed system grants them
// to its built-in groups. Backup, restore and security are never enabled by
// default: a program enables them before use.
const std::vector<SEP_GRANT>& SepGrants(SEP_ACCOUNT Account) {
    static const std::vector<SEP_GRANT> system = {
        {SE_ASSIGNPRIMARYTOKEN_PRIVILEGE, FALSE}, {SE_LOCK_MEMORY_PRIVILEGE, TRUE},
        {SE_INCREASE_QUOTA_PRIVILEGE, FALSE},     {SE_TCB_PRIVILEGE, TRUE},
        {SE_SECURITY_PRIVILEGE, FALSE},           {SE_TAKE_OWNERSHIP_PRIVILEGE, FALSE},
        {SE_LOAD_DRIVER_PRIVILEGE, FALSE},        {SE_SYSTEM_PROFILE_PRIVILEGE, TRUE},
        {SE_SYSTEMTIME_PRIVILEGE, FALSE},         {SE_PROF_SINGLE_PROCESS_PRIVILEGE, TRUE},
        {SE_INC_BASE_PRIORITY_PRIVILEGE, TRUE},   {SE_CREATE_PAGEFILE_PRIVILEGE, TRUE},
        {SE_CREATE_PERMANENT_PRIVILEGE, TRUE},    {SE_BACKUP_PRIVILEGE, FALSE},
        {SE_RESTORE_PRIVILEGE, FALSE},            {SE_SHUTDOWN_PRIVILEGE, FALSE},
        {SE_DEBUG_PRIVILEGE, TRUE},               {SE_AUDIT_PRIVILEGE, TRUE},
        {SE_SYSTEM_ENVIRONMENT_PRIVILEGE, FALSE}, {SE_CHANGE_NOTIFY_PRIVILEGE, TRUE},
        {SE_UNDOCK_PRIVILEGE, FALSE},
    };
    static const std::vector<SEP_GRANT> administrator = {
        {SE_INCREASE_QUOTA_PRIVILEGE, FALSE},     {SE_SECURITY_PRIVILEGE, FALSE},
        {SE_TAKE_OWNERSHIP_PRIVILEGE, FALSE},     {SE_LOAD_DRIVER_PRIVILEGE, FALSE},
        {SE_SYSTEM_PROFILE_PRIVILEGE, FALSE},     {SE_SYSTEMTIME_PRIVILEGE, FALSE},
        {SE_PROF_SINGLE_PROCESS_PRIVILEGE, FALSE}, {SE_INC_BASE_PRIORITY_PRIVILEGE, FALSE},
        {SE_CREATE_PAGEFILE_PRIVILEGE, FALSE},    {SE_BACKUP_PRIVILEGE, FALSE},
        {SE_RESTORE_PRIVILEGE, FALSE},            {SE_SHUTDOWN_PRIVILEGE, FALSE},
        {SE_DEBUG_PRIVILEGE, FALSE},              {SE_SYSTEM_ENVIRONMENT_PRIVILEGE, FALSE},
        {SE_CHANGE_NOTIFY_PRIVILEGE, TRUE},       {SE_REMOTE_SHUTDOWN_PRIVILEGE, FALSE},
        {SE_UNDOCK_PRIVILEGE, FALSE},
    };
    static const std::vector<SEP_GRANT> backupOperator = {
        {SE_BACKUP_PRIVILEGE, FALSE},       {SE_RESTORE_PRIVILEGE, FALSE},
        {SE_SHUTDOWN_PRIVILEGE, FALSE},     {SE_CHANGE_NOTIFY_PRIVILEGE, TRUE},
        {SE_UNDOCK_PRIVILEGE, FALSE},
    };
    static const std::vector<SEP_GRANT> user = {
        {SE_SHUTDOWN_PRIVILEGE, FALSE},
        {SE_CHANGE_NOTIFY_PRIVILEGE, TRUE},
        {SE_UNDOCK_PRIVILEGE, FALSE},
    };
    switch (Account) {
    case SepAccountSystem:
        return system;
    case SepAccountAdministrator:
        return administrator;
    case SepAccountBackupOperator:
        return backupOperator;
    case SepAccountUser:
        return user;
    }
    return user;
}

bool SepSameLuid(const LUID& A, const LUID& B) {
    return A.LowPart == B.LowPart && A.HighPart == B.HighPart;
}

} // namespace

POBJECT_TYPE* SeTokenObjectType = &SepTokenTypeStorage;

NTSTATUS SepCreateToken(SEP_ACCOUNT Account, PACCESS_TOKEN* Token) {
    PVOID body;
    NTSTATUS status = ObpCreateObject(SepTokenTypeStorage, sizeof(SEP_TOKEN), &body);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* token = new (body) SEP_TOKEN{};
    token->Account = Account;
    for (const SEP_GRANT& grant : SepGrants(Account)) {
        const ULONG attributes =
            grant.Enabled ? SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED : 0;
        token->Privileges.push_back(LUID_AND_ATTRIBUTES{LUID{grant.Privilege, 0}, attributes});
    }
    std::sort(token->Privileges.begin(), token->Privileges.end(),
              [](const LUID_AND_ATTRIBUTES& a, const LUID_AND_ATTRIBUTES& b) {
                  return a.Luid.LowPart < b.Luid.LowPart;
              });
    *Token = token;
    return STATUS_SUCCESS;
}

SEP_ACCOUNT SepTokenAccount(PACCESS_TOKEN Token) {
    return SepToken(Token)->Account;
}

std::vector<LUID_AND_ATTRIBUTES> SepQueryPrivileges(PACCESS_TOKEN Token) {
    SEP_TOKEN* token = SepToken(Token);
    std::lock_guard<std::mutex> guard(token->Lock);
    return token->Privileges;
}

NTSTATUS SepAdjustPrivileges(PACCESS_TOKEN Token, BOOLEAN DisableAll,
                             const std::vector<LUID_AND_ATTRIBUTES>& NewState,
                             size_t PreviousCapacity, std::vector<LUID_AND_ATTRIBUTES>* Previous) {
    SEP_TOKEN* token = SepToken(Token);
    std::lock_guard<std::mutex> guard(token->Lock);
    // The new state, worked out on a copy and kept only if the former state
    // of what changes fits the caller's room.
    std::vector<LUID_AND_ATTRIBUTES> privileges = token->Privileges;
    Previous->clear();
    NTSTATUS status = STATUS_SUCCESS;
    auto set = [&](LUID_AND_ATTRIBUTES& held, bool enable) {
        const bool enabled = (held.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        if (enabled != enable) {
            Previous->push_back(held);
            held.Attributes ^= SE_PRIVILEGE_ENABLED;
        }
    };
    if (DisableAll) {
        for (LUID_AND_ATTRIBUTES& held : privileges) {
            set(held, false);
        }
    } else {
        for (const LUID_AND_ATTRIBUTES& wanted : NewState) {
            auto held = std::find_if(privileges.begin(), privileges.end(),
                                     [&](const LUID_AND_ATTRIBUTES& entry) {
                                         return SepSameLuid(entry.Luid, wanted.Luid);
                                     });
            if (held == privileges.end()) {
                status = STATUS_NOT_ALL_ASSIGNED;
                continue;
            }
            set(*held, (wanted.Attributes & SE_PRIVILEGE_ENABLED) != 0);
        }
    }
    if (Previous->size() > PreviousCapacity) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    token->Privileges = std::move(privileges);
    return status;
}

NTSTATUS SeQueryInformationToken(PACCESS_TOKEN Token, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                 PVOID* TokenInformation) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "SeQueryInformationToken", VF_CALLER());
    if (TokenInformationClass < TokenUser || TokenInformationClass > TokenStatistics) {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (TokenInformationClass != TokenPrivileges) {
        return STATUS_NOT_IMPLEMENTED; // only privileges are emulated
    }
    const std::vector<LUID_AND_ATTRIBUTES> privileges = SepQueryPrivileges(Token);
    const SIZE_T bytes =
        std::max<SIZE_T>(sizeof(TOKEN_PRIVILEGES), FIELD_OFFSET(TOKEN_PRIVILEGES, Privileges) +
                                                       privileges.size() * sizeof(LUID_AND_ATTRIBUTES));
    auto* info = static_cast<PTOKEN_PRIVILEGES>(
        ExAllocatePoolWithTag(PagedPool, bytes, EX_POOL_TAG('S', 'e', 'T', 'i')));
    if (info == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    info->PrivilegeCount = static_cast<ULONG>(privileges.size());
    std::copy(privileges.begin(), privileges.end(), info->Privileges);
    *TokenInformation = info;
    return STATUS_SUCCESS;
}

void SepCreateTokenType() {
    OBP_TYPE_PROCEDURES procedures{};
    procedures.Delete = SepDeleteToken;
    // The token rights' generic mapping (TOKEN_READ, TOKEN_WRITE, TOKEN_EXECUTE).
    static const GENERIC_MAPPING mapping = {
        STANDARD_RIGHTS_READ | TOKEN_QUERY,
        STANDARD_RIGHTS_WRITE | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS |
            TOKEN_ADJUST_DEFAULT,
        STANDARD_RIGHTS_EXECUTE, TOKEN_ALL_ACCESS};
    SepTokenTypeStorage = ObpCreateKernelType(u"Token", procedures, FALSE, mapping);
}
