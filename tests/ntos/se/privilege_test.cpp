// Tokens and privileges as kernel code sees them: each account's token,
// SeSinglePrivilegeCheck in user and kernel mode, the subject context and
// SeQueryInformationToken, and adjusting privileges.
#include "ntddk.h"
#include "ntos/kernel_fixture.h"
#include "ntos/ps/psp.h"
#include "ntos/se/sep.h"
#include "ntos/se/token_services.h"

#include <map>

namespace {

// A test body attached to a process of its own that runs as one account.
class PrivilegeTest : public KernelTest {
  protected:
    void Attach(SEP_ACCOUNT Account) {
        ASSERT_EQ(PspCreateProcess(u"program.exe", &Process, Account), STATUS_SUCCESS);
        KeAttachProcess(&Process->Pcb);
    }

    void TearDown() override {
        if (Process != nullptr) {
            KeDetachProcess();
            EXPECT_EQ(PspTerminateProcess(Process, STATUS_SUCCESS), STATUS_SUCCESS);
            ObDereferenceObject(Process);
        }
        KernelTest::TearDown();
    }

    // Privilege value -> attributes, from SeQueryInformationToken.
    static std::map<ULONG, ULONG> Held(PACCESS_TOKEN Token) {
        PVOID info = nullptr;
        EXPECT_EQ(SeQueryInformationToken(Token, TokenPrivileges, &info), STATUS_SUCCESS);
        std::map<ULONG, ULONG> held;
        if (info != nullptr) {
            auto* privileges = static_cast<PTOKEN_PRIVILEGES>(info);
            for (ULONG i = 0; i < privileges->PrivilegeCount; ++i) {
                held[privileges->Privileges[i].Luid.LowPart] = privileges->Privileges[i].Attributes;
            }
            ExFreePool(info);
        }
        return held;
    }

    static NTSTATUS Enable(PACCESS_TOKEN Token, LUID Privilege, bool On) {
        std::vector<LUID_AND_ATTRIBUTES> previous;
        return SepAdjustPrivileges(Token, FALSE,
                                   {LUID_AND_ATTRIBUTES{Privilege, On ? SE_PRIVILEGE_ENABLED : 0u}},
                                   SIZE_MAX, &previous);
    }

    PEPROCESS Process = nullptr;
};

// Backup, restore and security as each account holds them: disabled (0) or
// not held (-1); change notify is enabled by default for everyone.
TEST_F(PrivilegeTest, EachAccountHoldsItsPrivilegesDisabledUntilEnabled) {
    const ULONG privileges[] = {SE_BACKUP_PRIVILEGE, SE_RESTORE_PRIVILEGE, SE_SECURITY_PRIVILEGE};
    struct Case {
        SEP_ACCOUNT Account;
        LONG Attributes[3];
    };
    for (const Case& c :
         {Case{SepAccountAdministrator, {0, 0, 0}}, Case{SepAccountBackupOperator, {0, 0, -1}},
          Case{SepAccountUser, {-1, -1, -1}}}) {
        PACCESS_TOKEN token;
        ASSERT_EQ(SepCreateToken(c.Account, &token), STATUS_SUCCESS);
        const std::map<ULONG, ULONG> held = Held(token);
        for (int i = 0; i < 3; ++i) {
            const auto found = held.find(privileges[i]);
            EXPECT_EQ(found == held.end() ? -1 : LONG(found->second), c.Attributes[i])
                << "account " << c.Account << ", privilege " << privileges[i];
        }
        EXPECT_EQ(held.at(SE_CHANGE_NOTIFY_PRIVILEGE),
                  ULONG{SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT});
        ObDereferenceObject(token);
    }
}

TEST_F(PrivilegeTest, SinglePrivilegeCheckNeedsTheEnabledPrivilegeFromUserMode) {
    Attach(SepAccountBackupOperator);
    const LUID backup = SeExports->SeBackupPrivilege;
    EXPECT_EQ(backup.LowPart, ULONG{SE_BACKUP_PRIVILEGE});
    EXPECT_FALSE(SeSinglePrivilegeCheck(backup, UserMode)) << "held but disabled";
    EXPECT_TRUE(SeSinglePrivilegeCheck(backup, KernelMode)) << "kernel mode always passes";

    PACCESS_TOKEN token = PsReferencePrimaryToken(Process);
    EXPECT_EQ(Enable(token, backup, true), STATUS_SUCCESS);
    EXPECT_TRUE(SeSinglePrivilegeCheck(backup, UserMode)) << "enabled";
    EXPECT_FALSE(SeSinglePrivilegeCheck(SeExports->SeRestorePrivilege, UserMode))
        << "enabling one privilege leaves the others disabled";
    EXPECT_EQ(Enable(token, SeExports->SeSecurityPrivilege, true), STATUS_NOT_ALL_ASSIGNED)
        << "a backup operator does not hold the security privilege";
    EXPECT_FALSE(SeSinglePrivilegeCheck(SeExports->SeSecurityPrivilege, UserMode));
    EXPECT_EQ(Enable(token, backup, false), STATUS_SUCCESS);
    EXPECT_FALSE(SeSinglePrivilegeCheck(backup, UserMode)) << "disabled again";
    PsDereferencePrimaryToken(token);
}

TEST_F(PrivilegeTest, SubjectContextHoldsTheCurrentProcessTokenUntilReleased) {
    Attach(SepAccountUser);
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    EXPECT_EQ(subject.ClientToken, nullptr) << "no impersonation";
    EXPECT_EQ(subject.PrimaryToken, Process->Token);
    EXPECT_EQ(SepTokenAccount(subject.PrimaryToken), SepAccountUser);
    const ULONG references = ObpPointerCount(Process->Token);
    SeReleaseSubjectContext(&subject);
    EXPECT_EQ(ObpPointerCount(Process->Token), references - 1) << "the capture's reference goes";

    // System threads act with the System token.
    KeDetachProcess();
    SeCaptureSubjectContext(&subject);
    EXPECT_EQ(SepTokenAccount(subject.PrimaryToken), SepAccountSystem);
    SeReleaseSubjectContext(&subject);
    KeAttachProcess(&Process->Pcb);
}

TEST_F(PrivilegeTest, AdjustPrivilegesReportsFormerStateAndRefusesShortBuffers) {
    Attach(SepAccountAdministrator);
    HANDLE token;
    ASSERT_EQ(NtOpenProcessToken(NtCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token),
              STATUS_SUCCESS);
    struct {
        ULONG Count = 2;
        LUID_AND_ATTRIBUTES Entries[2] = {{{SE_BACKUP_PRIVILEGE, 0}, SE_PRIVILEGE_ENABLED},
                                          {{SE_RESTORE_PRIVILEGE, 0}, SE_PRIVILEGE_ENABLED}};
    } wanted;
    auto* newState = reinterpret_cast<PTOKEN_PRIVILEGES>(&wanted);
    UCHAR previousBuffer[64] = {};
    auto* previous = reinterpret_cast<PTOKEN_PRIVILEGES>(previousBuffer);
    ULONG returned = 0;

    // Room for one former state when two change: nothing changes.
    EXPECT_EQ(NtAdjustPrivilegesToken(token, FALSE, newState, 4 + 12, previous, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(returned, 4u + 2 * 12u);
    EXPECT_EQ(Held(Process->Token).at(SE_BACKUP_PRIVILEGE), 0u)
        << "a refused change changes nothing";

    EXPECT_EQ(NtAdjustPrivilegesToken(token, FALSE, newState, sizeof(previousBuffer), previous,
                                      &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(previous->PrivilegeCount, 2u);
    EXPECT_EQ(previous->Privileges[0].Attributes, 0u) << "was disabled";
    EXPECT_TRUE(SeSinglePrivilegeCheck(SeExports->SeRestorePrivilege, UserMode));

    // Enabling what is enabled changes nothing and reports nothing.
    EXPECT_EQ(NtAdjustPrivilegesToken(token, FALSE, newState, sizeof(previousBuffer), previous,
                                      &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(previous->PrivilegeCount, 0u);

    // Disable all: every enabled privilege, change notify included.
    EXPECT_EQ(NtAdjustPrivilegesToken(token, TRUE, nullptr, 0, nullptr, nullptr), STATUS_SUCCESS);
    for (const auto& [privilege, attributes] : Held(Process->Token)) {
        EXPECT_EQ(attributes & SE_PRIVILEGE_ENABLED, 0u) << "privilege " << privilege;
    }
    EXPECT_EQ(ZwClose(token), STATUS_SUCCESS);
}

} // namespace
