// ke/kernel.h - lifetime of the emulated kernel inside a host process, and the
// clock controls tests use.
//
// KiStartKernel makes the calling host thread the initial thread of the System
// process; KiStopKernel, called from that same thread, verifies that every
// system thread has ended and no handle is left open, then tears everything
// down (the event log included) so that the next KiStartKernel starts clean.
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
    double ClockScale = 1.0; // system time advances at host speed times this
    ULONG Processors = 2;    // emulated processors, each running its own DPCs (1..32)
};

void KiStartKernel(const KernelConfig& Config);
// Ends every kernel thread but the initial thread and the kernel's own
// workers, as a machine that loses power stops threads that would wait
// forever: each one's current wait (or its next wait or delay) unwinds its
// stack as PsTerminateSystemThread does, running its termination handlers,
// and the thread ends through the normal path without the checks of a
// thread's end. Returns once all of them have ended; bug-checks naming a
// thread that does not reach a wait within a bounded time. From the initial
// thread, at PASSIVE_LEVEL, before KiStopKernel.
void KiPowerOffThreads();
void KiStopKernel();
BOOLEAN KiKernelRunning();
const KernelConfig& KiConfig();

// Moves the system clock forward by Delta100ns (> 0). Before it returns, every
// timer that became due has expired (its DPC queued) and every timed wait that
// became due has ended with STATUS_TIMEOUT.
void KiClockJump(LONGLONG Delta100ns);

// Scheduling jitter for race tests: at waits, event signals, spin lock and
// resource acquisitions and requests sent or completed, a thread yields or
// sleeps up to MaxMicroseconds with PercentChance, drawn from a generator per
// thread seeded with Seed and the thread's order. PercentChance 0 (the
// default) turns it off. Any thread.
void KiSetSchedulingJitter(ULONG64 Seed, ULONG PercentChance, ULONG MaxMicroseconds);
