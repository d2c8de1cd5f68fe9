// ke/kernel.h - lifetime of the emulated kernel inside a host process, and the
// clock controls tests use.
//
// KiStartKernel makes the calling host thread the initial thread of the System
// process; KiStopKernel, called from that same thread, verifies that every
// system thread has ended and no handle is left open, then tears everything
// down so that the next KiStartKernel starts clean.
#pragma once

#include "ntdef.h"
#include "nt/ps.h"

struct KernelConfig {
    ULONG MajorVersion = 5;
    ULONG MinorVersion = 0;
    ULONG BuildNumber = 2195;
    const WCHAR* CsdVersion = u"Service Pack 4";
    MM_SYSTEMSIZE SystemSize = MmLargeSystem;
    BOOLEAN NtAsSystem = FALSE;
    double ClockScale = 1.0;  // system time advances at host speed times this
};

void KiStartKernel(const KernelConfig& Config);
void KiStopKernel();
BOOLEAN KiKernelRunning();
const KernelConfig& KiConfig();

// Moves the system clock forward by Delta100ns (> 0). Before it returns, every
// timer that became due has expired (its DPC queued) and every timed wait that
// became due has ended with STATUS_TIMEOUT.
void KiClockJump(LONGLONG Delta100ns);
