// host/qvdnt5_module.h - the driver image qvdnt5.sys on the emulated machine.
//
// The driver is built as a library that sees only the platform's headers;
// this glue registers its entry point and message table with the machine's
// module table, as if the image lay in the system's drivers directory, so
// that installing the service and booting are what load it. Host code.
#pragma once

#include "ntos/boot/machine.h"

// Image name the install library's service points at.
#define QVDNT5_IMAGE_NAME u"qvdnt5.sys"

// Registers (or re-registers) qvdnt5.sys. Any thread.
VOID RegisterQvdnt5Module();
VOID UnregisterQvdnt5Module();

// TRUE when the latest boot of Machine loaded qvdnt5.sys successfully.
BOOLEAN Qvdnt5Loaded(PBOOT_MACHINE Machine);

// Powers a running machine off the way the emulation needs it with the
// driver loaded: every volume still present is removed through plug and
// play (so that no filter device is abandoned with its resource live), the
// driver's services that live until the system stops (work queues, block
// pools, exempt lists) are stopped, then PowerOffMachine. Without the driver
// loaded it is PowerOffMachine after the removals. From the booting thread.
VOID ShutDownQvdnt5Machine(PBOOT_MACHINE Machine);
