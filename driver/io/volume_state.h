// volume_state.h - the small routines the whole I/O path shares: the volume
// lock, the snapshot lock and the broken bit of the frozen state.
//
// Kernel mode.
#pragma once

#include <ntddk.h>

#include "frame/frame.h"
#include "snapshot/snapshot_context.h"

// AcquireVolumeLock - takes VolumeResource, shared or exclusive; waits.
// IRQL: <= APC_LEVEL.
VOID AcquireVolumeLock(FilterExtension* Volume, BOOLEAN Exclusive);

// ReleaseVolumeLock - gives VolumeResource back for Owner, the thread that
// took it (the current one, or the taker when a completion gives it back).
// IRQL: <= DISPATCH_LEVEL.
VOID ReleaseVolumeLock(FilterExtension* Volume, ERESOURCE_THREAD Owner);

// LockSnapshot / UnlockSnapshot - SnapshotLock around ProgressMark.
// IRQL: <= APC_LEVEL.
VOID LockSnapshot(SnapshotContext* Snapshot);
VOID UnlockSnapshot(SnapshotContext* Snapshot);

// SetFrozenStateBroken - sets or clears the broken bit under StateLock;
// writes the broken-state event when the bit goes from clear to set.
// Returns the bit's previous value. IRQL: <= DISPATCH_LEVEL.
BOOLEAN SetFrozenStateBroken(FilterExtension* Volume, BOOLEAN Broken);

// IsFrozenStateBroken - the broken bit, read under StateLock.
// IRQL: <= DISPATCH_LEVEL.
BOOLEAN IsFrozenStateBroken(FilterExtension* Volume);
