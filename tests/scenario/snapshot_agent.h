// snapshot_agent.h - the agent of the integrity tests, the fault sweep and the
// lifecycle races: a user program that freezes a volume from its own thread,
// then reads the frozen image, checks every sector it gets against the image
// at the freeze (when given), reports its progress, and thaws or just ends
// (an agent that dies). Plain types only.
#pragma once

#include "agent_side.h"
#include "support/sector_pattern.h"

#include <atomic>
#include <vector>

struct ByteRange {
    ULONGLONG Offset; // bytes, sector aligned
    ULONG Length;     // bytes, sector multiple
};

// How the agent reads the frozen image.
enum class AgentReads {
    Segments,  // each sector Passes times, at random places and sizes, segment by
               // segment; progress reported after each segment
    Ranges,    // Ranges once, in 64 KiB pieces; progress reported to the end of the last
    UntilStop, // 16 KiB at random 4 KiB boundaries until Stop
};

struct SnapshotAgent {
    FreezeCall Freeze;
    const char16_t* VolumePath = u"\\\\.\\C:";
    ULONG SectorSize = 512;
    ULONGLONG VolumeBytes = 8 << 20;
    ULONG Seed = 1;
    AgentReads Reading = AgentReads::Ranges;
    ULONG Passes = 1;
    std::vector<ByteRange> Ranges;
    std::atomic<bool> Stop{false};
    // Before the thaw: extent-list mode on, the whole extent list read a few
    // entries per call, then the whole partial data file.
    BOOLEAN ListExtents = FALSE;
    BOOLEAN Thaw = TRUE;       // else the agent ends holding its mutex (it dies)
    std::atomic<int> Phase{0}; // 1: frozen (the host copies C:), 2: the image is set, read it

    // Set by the host before phase 2, sized by the volume's sectors.
    const UCHAR* Image = nullptr; // the volume at the freeze; none: reads are not checked
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
    std::atomic<ULONG> Reads{0};
    std::atomic<ULONG> FailedReads{0};
    ULONG BrokenStatus = 0;    // QVD_STATUS_* bits of every progress report
    ULONG ProgressResults = 0; // reports whose Result was not 0
    ULONG EnableResult = ~0u;
    ULONG ListResult = ~0u; // of the last call
    std::vector<QvdPreservedExtent> Extents;
    ULONG FileError = ~0u; // Win32 error of the file's open or read, 0 when read
    std::vector<UCHAR> File;
    ULONG ThawResult = ~0u;
};

// Context: a SnapshotAgent.
ULONG SnapshotAgentProgram(PVOID Context);
