// integrity_view.h - mapped views of a file for a user program, as the
// memory manager's section services give them (the writer programs' headers
// and the kernel's do not meet in one file). Run in the program's thread.
#pragma once

#include "ntdef.h"

// A read-write section on File (a handle of the calling process).
NTSTATUS CreateFileSection(HANDLE File, HANDLE* Section);
// Maps the whole section into the calling process.
NTSTATUS MapWholeView(HANDLE Section, PVOID* Base);
// Unmaps a view: its changed pages go to the file by paging writes.
NTSTATUS UnmapView(PVOID Base);
NTSTATUS CloseSection(HANDLE Section);
