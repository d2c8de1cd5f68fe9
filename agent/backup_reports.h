// backup_reports.h - what the agent's commands report: progress as they
// advance and a closing report each. Standard types only, so that host code
// that prints them need not see the win32 headers.
#pragma once

#include <cstdint>
#include <string>

struct BackupProgress {
    const char* Phase; // "reading", "restoring", "verifying"
    uint64_t Done;     // bytes handled so far (blocks, when restoring a delta)
    uint64_t Total;    // bytes to handle
    uint32_t Status;   // the driver's Status bits at the latest report
};

struct BackupReport {
    uint64_t VolumeBytes = 0;
    uint64_t BytesRead = 0;      // of the frozen image
    uint64_t BytesWritten = 0;   // to the image or delta file
    uint64_t BlocksCopied = 0;   // 4096-byte blocks in the output
    uint64_t PreservedBytes = 0; // size the partial data file reached
    uint32_t Status = 0;         // Status bits of the last progress report
    bool EveryBlock = false;     // an incremental that fell back to every block
    std::u16string ChangeStore;  // the store this backup asked for
};

struct RestoreReport {
    uint64_t BytesWritten = 0;
    uint32_t FilesApplied = 0;
};

struct VerifyReport {
    uint64_t BytesCompared = 0;
    uint64_t BlocksDiffering = 0;
    uint64_t FirstDifference = 0; // byte offset, when BlocksDiffering != 0
};
