// race_agent.h - the programs of the lifecycle races: an agent that freezes a
// volume from its own thread and reads its frozen image at random places
// until told to stop, reporting progress as it goes, then thaws or just ends
// (an agent that dies); and a reader that is not the agent. Plain types only.
#pragma once

#include "scenario/agent_side.h"

#include <atomic>

struct RaceAgentJob {
    FreezeCall Freeze;
    const char16_t* VolumePath = u"\\\\.\\C:";
    ULONGLONG VolumeBytes = 8 << 20;
    ULONG Seed = 1;
    BOOLEAN Thaw = TRUE; // when stopped: thaw, else end holding the mutex (the agent dies)
    // Before the thaw: report progress up to the volume's end, so that the
    // thaw meets the reclaim of every preserved block.
    BOOLEAN ReportProgress = FALSE;
    // 1: frozen and reading, -1: the freeze failed. Done once the thread
    // is about to end.
    std::atomic<int> Phase{0};
    std::atomic<bool> Stop{false};
    std::atomic<bool> Done{false};
    std::atomic<ULONG> Reads{0};
    std::atomic<ULONG> FailedReads{0};
    ULONG ThawResult = ~0u;
};
// Context: a RaceAgentJob.
ULONG RaceAgentProgram(PVOID Context);

// Reads VolumePath at random places until Stop (set also when the volume
// cannot be opened).
struct VolumeReaderJob {
    const char16_t* VolumePath = u"\\\\.\\C:";
    ULONGLONG VolumeBytes = 8 << 20;
    std::atomic<bool> Stop{false};
    std::atomic<bool> Done{false};
    std::atomic<ULONG> Reads{0};
};
// Context: a VolumeReaderJob.
ULONG VolumeReaderProgram(PVOID Context);
