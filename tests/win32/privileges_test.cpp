// privileges_test.cpp - user programs looking up and enabling privileges of
// their token, as each account.
#include "user_program_fixture.h"
#include "windows.h"

namespace {

using PrivilegesTest = UserProgramTest;

struct AdjustResult {
    BOOL Ok[4];
    DWORD Error[4];
    ULONG PreviousCount;
    ULONG PreviousAttributes;
};

// Enables backup, then security, then disables backup reporting its former
// state; last, tries with a handle that may only query.
ULONG AdjustProgram(PVOID Context) {
    auto* result = static_cast<AdjustResult*>(Context);
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return GetLastError();
    }
    TOKEN_PRIVILEGES change = {};
    change.PrivilegeCount = 1;
    const WCHAR* names[3] = {SE_BACKUP_NAME, SE_SECURITY_NAME, SE_BACKUP_NAME};
    const ULONG attributes[3] = {SE_PRIVILEGE_ENABLED, SE_PRIVILEGE_ENABLED, 0};
    for (int i = 0; i < 3; ++i) {
        if (!LookupPrivilegeValueW(nullptr, names[i], &change.Privileges[0].Luid)) {
            return 100 + GetLastError();
        }
        change.Privileges[0].Attributes = attributes[i];
        // The former state lands on this thread's stack: user memory.
        UCHAR previousBuffer[sizeof(TOKEN_PRIVILEGES)] = {};
        auto* previous = reinterpret_cast<PTOKEN_PRIVILEGES>(previousBuffer);
        DWORD returned = 0;
        SetLastError(0xDEAD);
        result->Ok[i] = AdjustTokenPrivileges(token, FALSE, &change, sizeof(previousBuffer),
                                              previous, &returned);
        result->Error[i] = GetLastError();
        if (i == 2) {
            result->PreviousCount = previous->PrivilegeCount;
            result->PreviousAttributes = previous->Privileges[0].Attributes;
        }
    }
    CloseHandle(token);

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return GetLastError();
    }
    result->Ok[3] = AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr);
    result->Error[3] = GetLastError();
    CloseHandle(token);
    return 0;
}

TEST_F(PrivilegesTest, ProgramsEnableHeldPrivilegesAndLearnOfTheOthers) {
    struct Case {
        TEST_ACCOUNT Account;
        DWORD BackupError;   // enabling backup
        DWORD SecurityError; // enabling security
    };
    for (const Case& c : {Case{TestAdministrator, ERROR_SUCCESS, ERROR_SUCCESS},
                          Case{TestBackupOperator, ERROR_SUCCESS, ERROR_NOT_ALL_ASSIGNED},
                          Case{TestPlainUser, ERROR_NOT_ALL_ASSIGNED, ERROR_NOT_ALL_ASSIGNED}}) {
        AdjustResult result = {};
        ASSERT_EQ(TestRunUserProgram(AdjustProgram, &result, c.Account), 0u);
        EXPECT_TRUE(result.Ok[0] && result.Ok[1] && result.Ok[2])
            << "account " << c.Account << ": a privilege not held still succeeds";
        EXPECT_EQ(result.Error[0], c.BackupError) << "account " << c.Account;
        EXPECT_EQ(result.Error[1], c.SecurityError) << "account " << c.Account;
        const bool backupHeld = c.BackupError == ERROR_SUCCESS;
        EXPECT_EQ(result.PreviousCount, backupHeld ? 1u : 0u)
            << "account " << c.Account << ": disabling reports what it changed";
        if (backupHeld) {
            EXPECT_EQ(result.PreviousAttributes, ULONG{SE_PRIVILEGE_ENABLED});
        }
        EXPECT_FALSE(result.Ok[3]) << "account " << c.Account;
        EXPECT_EQ(result.Error[3], DWORD{ERROR_ACCESS_DENIED})
            << "account " << c.Account << ": adjusting needs TOKEN_ADJUST_PRIVILEGES";
    }
}

struct LookupResult {
    BOOL Ok[3];
    DWORD Error[3];
    LUID Luid[3];
};

ULONG LookupProgram(PVOID Context) {
    auto* result = static_cast<LookupResult*>(Context);
    const WCHAR* names[3] = {u"serestoreprivilege", u"SeNoSuchPrivilege", SE_SECURITY_NAME};
    const WCHAR* systems[3] = {nullptr, nullptr, u""};
    for (int i = 0; i < 3; ++i) {
        SetLastError(0);
        result->Ok[i] = LookupPrivilegeValueW(systems[i], names[i], &result->Luid[i]);
        result->Error[i] = GetLastError();
    }
    return 0;
}

TEST_F(PrivilegesTest, PrivilegeNamesAreLookedUpIgnoringCase) {
    LookupResult result = {};
    ASSERT_EQ(TestRunUserProgram(LookupProgram, &result), 0u);
    EXPECT_TRUE(result.Ok[0]);
    EXPECT_EQ(result.Luid[0].LowPart, 18u) << "SeRestorePrivilege";
    EXPECT_FALSE(result.Ok[1]);
    EXPECT_EQ(result.Error[1], DWORD{ERROR_NO_SUCH_PRIVILEGE});
    EXPECT_TRUE(result.Ok[2]) << "an empty system name is the local machine";
    EXPECT_EQ(result.Luid[2].LowPart, 8u) << "SeSecurityPrivilege";
}

} // namespace
