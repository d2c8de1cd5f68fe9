// end_snapshot.cpp - ending a volume's snapshot when the volume goes away.
//
// Kernel mode, PASSIVE_LEVEL. A volume gets a snapshot only through the
// freeze operation of the control device; until that operation exists no
// volume has one, and ending a volume's snapshot finds nothing to end.
#include "frame/frame.h"

NTSTATUS EndSnapshot(FilterExtension* Extension, BOOLEAN CloseStores) {
    PAGED_CODE();
    return STATUS_SUCCESS;
}
