// frozen_image_agent.h - the agent of the integrity oracle: a user program
// that freezes a volume from its own thread, reads the frozen image of \\.\C:
// at random places and sizes segment by segment, reports its progress after
// each segment and thaws. Plain types only.
#pragma once

#include "agent_side.h"

#include <atomic>
#include <vector>

struct OracleAgentJob {
    FreezeCall Freeze;
    ULONG SectorSize;
    ULONGLONG VolumeBytes;
    ULONG Seed;
    std::atomic<int> Phase{0}; // 1: frozen (the host copies C:), 2: writers running
    std::vector<UCHAR> Seen;   // what the reads returned, by volume offset
    std::vector<bool> Read;    // sectors returned by a successful read
    ULONG FailedReads = 0;
    ULONG BrokenStatus = 0;    // Status bits of the last progress report
    ULONG ProgressResults = 0; // reports whose Result was not 0
    ULONG ThawResult = ~0u;
};

// Context: an OracleAgentJob.
ULONG OracleAgentProgram(PVOID Context);
