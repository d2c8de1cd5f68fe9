// privileges_test.cpp - user programs looking up and enabling privileges of
// their token, as each account. The programs check what they see in place.
#include "user_program_fixture.h"
#include "windows.h"

namespace {

using PrivilegesTest = UserProgramTest;

// What enabling backup and then security gives each account.
struct AdjustCase {
    TEST_ACCOUNT Account;
    DWORD BackupError;
    DWORD SecurityError;
};

// Enables backup, then security, then disables backup reporting its former
// state; last, tries with a handle that may only query. A privilege not held
// still succeeds, with ERROR_NOT_ALL_ASSIGNED.
ULONG AdjustProgram(PVOID Context) {
    const auto& c = *static_cast<const AdjustCase*>(Context);
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return GetLastError();
    }
    TOKEN_PRIVILEGES change = {};
    change.PrivilegeCount = 1;
    const WCHAR* names[3] = {SE_BACKUP_NAME, SE_SECURITY_NAME, SE_BACKUP_NAME};
    const ULONG attributes[3] = {SE_PRIVILEGE_ENABLED, SE_PRIVILEGE_ENABLED, 0};
    const DWORD errors[3] = {c.BackupError, c.SecurityError, c.BackupError};
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
        EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &change, sizeof(previousBuffer), previous,
                                          &returned))
            << "step " << i;
        EXPECT_EQ(GetLastError(), errors[i]) << "step " << i;
        if (i == 2) {
            const bool held = c.BackupError == ERROR_SUCCESS;
            EXPECT_EQ(previous->PrivilegeCount, held ? 1u : 0u)
                << "disabling reports what it changed";
            EXPECT_EQ(previous->Privileges[0].Attributes, held ? SE_PRIVILEGE_ENABLED : 0u);
        }
    }
    CloseHandle(token);

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return GetLastError();
    }
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED}) << "needs TOKEN_ADJUST_PRIVILEGES";
    CloseHandle(token);
    return 0;
}

TEST_F(PrivilegesTest, ProgramsEnableHeldPrivilegesAndLearnOfTheOthers) {
    for (AdjustCase c :
         {AdjustCase{TestAdministrator, ERROR_SUCCESS, ERROR_SUCCESS},
          AdjustCase{TestBackupOperator, ERROR_SUCCESS, ERROR_NOT_ALL_ASSIGNED},
          AdjustCase{TestPlainUser, ERROR_NOT_ALL_ASSIGNED, ERROR_NOT_ALL_ASSIGNED}}) {
        SCOPED_TRACE(testing::Message() << "account " << c.Account);
        EXPECT_EQ(TestRunUserProgram(AdjustProgram, &c, c.Account), 0u);
    }
}

// Names are looked up ignoring case; an empty system name is the local machine.
ULONG LookupProgram(PVOID) {
    LUID luid = {};
    EXPECT_TRUE(LookupPrivilegeValueW(nullptr, u"serestoreprivilege", &luid));
    EXPECT_EQ(luid.LowPart, 18u) << "SeRestorePrivilege";
    EXPECT_FALSE(LookupPrivilegeValueW(nullptr, u"SeNoSuchPrivilege", &luid));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_SUCH_PRIVILEGE});
    EXPECT_TRUE(LookupPrivilegeValueW(u"", SE_SECURITY_NAME, &luid));
    EXPECT_EQ(luid.LowPart, 8u) << "SeSecurityPrivilege";
    return 0;
}

TEST_F(PrivilegesTest, PrivilegeNamesAreLookedUpIgnoringCase) {
    EXPECT_EQ(TestRunUserProgram(LookupProgram, nullptr), 0u);
}

} // namespace
