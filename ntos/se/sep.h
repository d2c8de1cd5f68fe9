// se/sep.h - the security reference monitor's internal interface: access
// tokens (an object type of their own), the accounts a process can run as,
// and adjusting a token's privileges. Used by ps, boot and the token
// services, never by drivers.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "nt/se.h"

#include <vector>

// Who a process runs as; decides which privileges its token holds.
typedef enum _SEP_ACCOUNT {
    SepAccountSystem,         // the System process: every privilege, the usual ones enabled
    SepAccountAdministrator,  // an administrator: backup, restore, security and more
    SepAccountBackupOperator, // a backup operator: backup and restore
    SepAccountUser,           // a plain user: change notify, shutdown, undock
} SEP_ACCOUNT;

// Creates a primary token for Account; returns it referenced.
NTSTATUS SepCreateToken(SEP_ACCOUNT Account, PACCESS_TOKEN* Token);
SEP_ACCOUNT SepTokenAccount(PACCESS_TOKEN Token);

// The privileges Token holds, with their attributes, in value order.
std::vector<LUID_AND_ATTRIBUTES> SepQueryPrivileges(PACCESS_TOKEN Token);

// Enables or disables held privileges as NtAdjustPrivilegesToken does: with
// DisableAll every privilege is disabled and NewState is ignored; otherwise
// each entry of NewState sets its privilege's enabled state (held ones
// only). *Previous receives the former attributes of the privileges whose
// state changed. When more than PreviousCapacity would change, nothing
// changes and STATUS_BUFFER_TOO_SMALL comes back (*Previous still lists
// them). Returns STATUS_NOT_ALL_ASSIGNED when an entry names a privilege the
// token does not hold (the others still change).
NTSTATUS SepAdjustPrivileges(PACCESS_TOKEN Token, BOOLEAN DisableAll,
                             const std::vector<LUID_AND_ATTRIBUTES>& NewState,
                             size_t PreviousCapacity, std::vector<LUID_AND_ATTRIBUTES>* Previous);

// Creates the token object type (SepInitialize).
void SepCreateTokenType();

// Lifetime, driven by KiStartKernel / KiStopKernel (before ps starts, after
// it stops).
void SepInitialize();
void SepShutdown();
