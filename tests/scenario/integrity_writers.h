// integrity_writers.h - the writer programs of the integrity torture. Each
// owns one file of C: and overwrites its sectors at random with
// self-describing sectors (support/sector_pattern.h), the way its kind of
// program reaches the volume. Plain types only.
#pragma once

#include "ntdef.h"

#include <atomic>
#include <vector>

enum class WriterKind {
    Cached,    // cached writes, flushed now and then by FlushFileBuffers
    Lazy,      // cached writes left to the lazy writer's paging writes
    NonCached, // FILE_FLAG_NO_BUFFERING: straight to the volume
    Mapped,    // stores into a mapped view; unmapping sends paging writes
    Raw,       // sector writes to \\.\C: at the file's clusters
};

struct IntegrityWriter {
    WriterKind Kind;
    const char16_t* Path;             // the file, allocated before the writer starts
    ULONG SectorSize;                 // the volume's
    std::vector<ULONGLONG> Map;       // volume sector of each sector of the file
    std::atomic<ULONGLONG>* Sequence; // shared by every writer: next sequence number
    ULONG Seed;
    BOOLEAN FillOnly;  // write every sector once, in order, non-cached, then end
    ULONG PauseMs = 0; // host time slept after each write
    std::atomic<bool> Stop{false};
    std::atomic<ULONG> Writes{0};
    ULONG Error = 0; // Win32 error of the first call that failed
};

// Context: an IntegrityWriter. Writes until Stop is set.
ULONG IntegrityWriterProgram(PVOID Context);
