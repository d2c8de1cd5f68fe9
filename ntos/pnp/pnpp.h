// pnp/pnpp.h - internals shared by the files of the plug-and-play manager.
#pragma once

#include "ntos/pnp/pnp.h"

// Sends a request described by Location (major, minor and parameters) to the
// top of Pdo's stack from the current thread and waits for it. The request
// starts with STATUS_NOT_SUPPORTED, as the platform's plug-and-play and power
// requests do. Returns the final status; *Information (optional) receives
// IoStatus.Information. PASSIVE_LEVEL, in a system thread.
NTSTATUS PnppSendRequest(PDEVICE_OBJECT Pdo, const IO_STACK_LOCATION& Location,
                         ULONG_PTR* Information);

// Runs Routine(Context) on a new System-process system thread and waits for
// it to end.
VOID PnppRunInSystemThread(PKSTART_ROUTINE Routine, PVOID Context);

// Records what became of a volume.
VOID PnppSetVolumeState(PDEVICE_OBJECT Pdo, PNP_VOLUME_STATE State, NTSTATUS Status);
