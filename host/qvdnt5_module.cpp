// host/qvdnt5_module.cpp - registering qvdnt5.sys with the machine's module
// table, and powering off a machine that runs it.
#include "host/qvdnt5_module.h"
#include "frame/exempt_file_list.h"
#include "frame/frame.h"
#include "frame/work_queue.h"
#include "host/volumes.h"
#include "io/copy_on_write.h"
#include "ntos/boot/module.h"
#include "resources/message_table.h"
#include "support/block_cache.h"

namespace {

// Service name the install library registers the image under.
constexpr const WCHAR* HostpServiceName = u"QVDNT";

} // namespace

VOID RegisterQvdnt5Module() {
    BootRegisterModule(QVDNT5_IMAGE_NAME, DriverEntry, &DriverMessageTable);
}

VOID UnregisterQvdnt5Module() {
    BootUnregisterModule(QVDNT5_IMAGE_NAME);
}

BOOLEAN Qvdnt5Loaded(PBOOT_MACHINE Machine) {
    for (const BOOT_SERVICE_LOAD& load : Machine->Loads) {
        if (load.ServiceName == HostpServiceName && NT_SUCCESS(load.Status)) {
            return TRUE;
        }
    }
    return FALSE;
}

VOID ShutDownQvdnt5Machine(PBOOT_MACHINE Machine) {
    HostRemoveVolumes();
    if (Qvdnt5Loaded(Machine)) {
        StopReclaimThread();
        StopWorkQueues();
        FreeBlockPools();
        ExemptFileClose();
    }
    PowerOffMachine(Machine);
}
