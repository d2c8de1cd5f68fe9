// sweep_agent.h - the agent of the fault sweep: it freezes C:, reads given
// ranges of the frozen image from its own thread, reports progress, switches
// extent-list mode on, reads the extent list and thaws. Plain types only.
#pragma once

#include "scenario/agent_side.h"

#include <atomic>
#include <vector>

struct ByteRange {
    ULONGLONG Offset; // bytes, sector aligned
    ULONG Length;     // bytes, sector multiple
};

struct SweepAgentJob {
    FreezeCall Freeze;
    const char16_t* VolumePath = u"\\\\.\\C:";
    std::vector<ByteRange> Ranges; // read back while frozen
    ULONG SectorSize = 512;
    // 1: frozen, -1: the freeze failed; the host sets
    // 2 to let the agent read and thaw.
    std::atomic<int> Phase{0};
    std::vector<UCHAR> Seen;       // what successful reads returned, by volume offset
    std::vector<bool> ReadSectors; // sectors a read returned, by volume sector
    ULONG FailedReads = 0;
    ULONG ProgressStatus = 0; // Status of the progress report
    ULONG ExtentListResult = ~0u;
    ULONG ThawResult = ~0u;
};
// Context: a SweepAgentJob.
ULONG SweepAgentProgram(PVOID Context);
