// boot/module.h - the driver images installed on the emulated machine.
//
// A driver's library registers its entry point and message table under its
// image file name ("qvdnt5.sys"), as if the image had been copied into the
// system's drivers directory. Boot finds a service's image by the last
// component of its ImagePath. Registrations belong to the host process and
// outlive boots. Thread-safe; any thread.
#pragma once

#include "ntddk.h"

// Registers (or replaces) the image ImageName (compared without regard to
// case). MessageTable may be NULL; it must outlive the registration.
VOID BootRegisterModule(PCWSTR ImageName, PDRIVER_INITIALIZE Entry,
                        PCMESSAGE_TABLE_RESOURCE MessageTable);
VOID BootUnregisterModule(PCWSTR ImageName);

// Looks ImageName up; FALSE when no such image is installed.
BOOLEAN BootFindModule(PCWSTR ImageName, PDRIVER_INITIALIZE* Entry,
                       PCMESSAGE_TABLE_RESOURCE* MessageTable);
