// ps/pspstate.h - state shared by the files of ps: the process list, the lock
// that guards the lists, and the object type storage.
#pragma once

#include "ntos/ps/psp.h"
#include "nt/debug.h"

#include "ntos/verifier/owned_mutex.h"

extern VfOwnedMutex PspLock;           // guards the process list and thread lists
extern LIST_ENTRY PspProcessList;     // EPROCESS.ProcessListEntry; PspLock
extern POBJECT_TYPE PspProcessTypeStorage;
extern POBJECT_TYPE PspThreadTypeStorage;

// Next process or thread id (multiples of 4); the caller holds PspLock.
ULONG_PTR PspNextClientId();
void PspCreateProcessType();
void PspCreateThreadType();
NTSTATUS PspCreateProcessObject(PCWSTR ImageName, SEP_ACCOUNT Account, PEPROCESS* Process);
