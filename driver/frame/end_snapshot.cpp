// end_snapshot.cpp - ending a volume's snapshot when the volume goes away.
//
// Kernel mode, PASSIVE_LEVEL. A volume gets a snapshot only through the
// freeze operation of the control device; until that operation exists no
// volume has one, and ending a volume's snapshot finds nothing to end.
#include "frame/frame.h"

//
// EndSnapshot - ends the snapshot of the volume, if one runs.
//
// Extension: the volume's filter device record. CloseStores: also close
// the volume's change stores. Returns STATUS_SUCCESS: with no snapshot and
// no change store, nothing is left to end. IRQL: PASSIVE_LEVEL.
//
NTSTATUS EndSnapshot(FilterExtension* Extension, BOOLEAN CloseStores) {
    return STATUS_SUCCESS;
}
