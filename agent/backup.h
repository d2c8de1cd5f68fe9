// backup.h - the backup agent's four commands as user-mode code: a full
// backup of a live volume, an incremental backup from the driver's change
// store, a restore of a full image and its deltas, and a verify of an image
// against a volume or another image. Each runs in the calling thread (which
// freezes, reads and thaws) and throws QvdError when it cannot finish.
#pragma once

#include "backup_files.h"
#include "backup_reports.h"
#include "qvd_control.h"

#include <atomic>
#include <string>
#include <vector>

// Calls out of the agent. All optional; each runs in the agent's thread.
struct BackupHooks {
    void* Context = nullptr;
    void (*Progress)(void* Context, const BackupProgress& Progress) = nullptr;
    // The volume is frozen and nothing of it has been read yet.
    void (*Frozen)(void* Context) = nullptr;
    // A note for the operator (a fallback, low space).
    void (*Note)(void* Context, const std::string& Text) = nullptr;
    // Set by another thread to stop early; the snapshot is thawed.
    const std::atomic<bool>* Cancel = nullptr;
};

struct BackupOptions {
    // Limits and flags of the freeze; Volume, PartialDataFile and ChangeStore
    // are filled in by the command (partial data file and change store beside
    // the output unless PartialDataFile is set here).
    FreezeSettings Freeze;
    uint32_t ChunkBytes = 1u << 20; // frozen reads; a multiple of 4096
    BackupHooks Hooks;
};

BackupReport RunFullBackup(const std::u16string& Volume, const std::u16string& Image,
                           const BackupOptions& Options);
// Copies the blocks written since the backup that produced Base (a full
// image or a delta); every block when the driver's record of changes is
// missing, incomplete or not the one Base's backup asked for.
BackupReport RunIncrementalBackup(const std::u16string& Volume, const std::u16string& Base,
                                  const std::u16string& Delta, const BackupOptions& Options);

// Writes Files[0] (a full image) and then each delta in order to Target:
// a volume ("S:", written raw) or a file.
RestoreReport RunRestore(const std::u16string& Target, const std::vector<std::u16string>& Files,
                         const BackupHooks& Hooks);

// Compares a full image with Against: a volume ("S:") or an image file.
VerifyReport RunVerify(const std::u16string& Image, const std::u16string& Against,
                       const BackupHooks& Hooks);
