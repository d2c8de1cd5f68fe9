// driver/resources/version.h - the driver's version block.
//
// Kernel mode, data only. Start-up writes these values into the load message
// ("<Product> Driver V<Major>.<Minor><Revision> (<Flavor> Build <Build>) has
// loaded successfully.").
#pragma once

#include "ntdef.h"

typedef struct _DRIVER_VERSION_BLOCK {
    ULONG MajorVersion;
    ULONG MinorVersion;
    CHAR RevisionLetter; // appended to the version; a blank when there is none
    PCSTR BuildFlavor;   // "Free" or "Checked"
    ULONG BuildNumber;
    PCWSTR ProductName;
} DRIVER_VERSION_BLOCK;

inline constexpr DRIVER_VERSION_BLOCK DriverVersion = {
    7, 0, ' ', "Free", 102, u"Marrowfen Quiverdale",
};
