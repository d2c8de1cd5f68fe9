// mm/paging_file.h - the machine's paging file and the paging thread that
// writes to it. Emulation internal (boot, tests). PASSIVE_LEVEL.
#pragma once

#include "ntifs.h"

// System time between two page-outs of the paging thread (100 ns units).
#define MMP_PAGING_PERIOD (1LL * 10 * 1000 * 1000)

// Creates \pagefile.sys (hidden, system) of Pages pages on the volume
// VolumeName names ("\??\C:"), keeps it open and starts the paging thread,
// whose paging writes (IRP_PAGING_IO | IRP_NOCACHE) carry the file's file
// object. STATUS_OBJECT_NAME_COLLISION while one runs already.
NTSTATUS MmpStartPagingFile(PCWSTR VolumeName, ULONG Pages);
// Stops the paging thread (and waits for it) and closes the paging file.
VOID MmpStopPagingFile();
