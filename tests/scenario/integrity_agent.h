// integrity_agent.h - the agent of the integrity torture: a user program
// that freezes a volume from its own thread, then reads the frozen image of
// \\.\C: segment by segment at random places and sizes, checks every sector
// it gets against the image at the freeze, reports its progress after each
// segment and thaws. Plain types only.
#pragma once

#include "agent_side.h"
#include "support/sector_pattern.h"

#include <atomic>
#include <vector>

struct IntegrityAgent {
    FreezeCall Freeze;
    ULONG SectorSize;
    ULONGLONG VolumeBytes;
    ULONG Seed;
    ULONG Passes;              // each sector is read this many times
    std::atomic<int> Phase{0}; // 1: frozen (the host copies C:), 2: the image is set, read it

    // Set by the host before phase 2.
    const UCHAR* Image = nullptr; // the volume at the freeze
    std::vector<bool> Excluded;   // sectors not compared (the system's own streams)
    std::vector<bool> Patterned;  // sectors holding self-describing sectors
    ULONGLONG FreezeSequence = 0; // first sequence number written after the freeze

    // Out.
    std::vector<ULONG> Checked; // by sector: times compared (sized by the host)
    struct Mismatch {
        ULONGLONG Sector;
        SectorVerdict Verdict; // Good when only the bytes differ from the image
    };
    std::vector<Mismatch> Mismatches; // every sector read that was not the image
    ULONG Reads = 0;
    ULONG FailedReads = 0;
    ULONG BrokenStatus = 0;    // QVD_STATUS_* bits of every progress report
    ULONG ProgressResults = 0; // reports whose Result was not 0
    ULONG ThawResult = ~0u;
};

// Context: an IntegrityAgent.
ULONG IntegrityAgentProgram(PVOID Context);

// Switches the volume to extent-list mode, reads its whole extent list a
// few entries per call, then the whole partial data file.
struct ExtentListJob {
    ULONG VolumeHandle;
    const char16_t* PartialFile;
    ULONG EnableResult = ~0u;
    ULONG ListResult = ~0u; // of the last call
    std::vector<QvdPreservedExtent> Extents;
    ULONG FileError = ~0u; // Win32 error of the file's open or read, 0 when read
    std::vector<UCHAR> File;
};

// Context: an ExtentListJob.
ULONG ExtentListProgram(PVOID Context);
