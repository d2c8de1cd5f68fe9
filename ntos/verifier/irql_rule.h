// verifier/irql_rule.h - the highest IRQL each kernel routine may be called at.
//
// Routines documented as PASSIVE_LEVEL only (most Zw routines, handle
// references, thread creation) or as at most APC_LEVEL (threaded request
// builders) check their caller on entry, so that a driver calling them under
// a spin lock or a fast mutex fails here as it fails on the platform.
#pragma once

#include "ntdef.h"

// Bug checks DRIVER_VERIFIER_DETECTED_VIOLATION naming Routine when the
// current thread runs above Highest.
void VfCheckIrqlAtMost(KIRQL Highest, const char* Routine, const void* Caller);
