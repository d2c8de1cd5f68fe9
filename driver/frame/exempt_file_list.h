// exempt_file_list.h - the lists of file streams whose reads and writes pass
// a frozen volume straight down, unfrozen and unrecorded.
//
// Kernel mode. A stream is identified by the FsContext of its file objects,
// the same for every handle open on it; NULL is never listed. Each list holds
// at most EXEMPT_FILE_LIST_SLOTS identities; an identity may stand in a list
// more than once (each add adds one occurrence, each remove takes one out).
// Every routine may be called at IRQL <= DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>

#define EXEMPT_FILE_LIST_COUNT 3u
#define EXEMPT_FILE_LIST_SLOTS 64u

// List 0 has no user.
// Streams of files the agent names while a volume is frozen.
#define PASS_THROUGH_FILE_LIST 1u
// The driver's own files: partial data files, the file system's internal
// stream, change-store files.
#define OWN_FILE_LIST 2u

// Empties every list and lets them take entries. Called by start-up before
// anything else can use the lists.
VOID ExemptFileInit(VOID);

// Makes every later ExemptFileAdd fail; an add already under way has finished
// when this returns. Removing, testing and clearing go on working.
VOID ExemptFileClose(VOID);

// Adds one occurrence of Identity to list List. FALSE when the lists are
// closed, Identity is NULL, List is not a list number, or the list is full.
BOOLEAN ExemptFileAdd(PVOID Identity, ULONG List);

// Takes one occurrence of Identity out of list List. FALSE when Identity is
// NULL, List is not a list number, or Identity is not in the list.
BOOLEAN ExemptFileRemove(PVOID Identity, ULONG List);

// TRUE when Identity stands in list List (FALSE for NULL or a bad List).
BOOLEAN ExemptFileContains(PVOID Identity, ULONG List);

// Takes every entry out of list List; a bad List is ignored.
VOID ExemptFileClear(ULONG List);
