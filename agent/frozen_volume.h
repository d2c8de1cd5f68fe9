// frozen_volume.h - one snapshot of a volume as the agent holds it: the
// backup privilege enabled, a mutex created owned by this thread, the
// volume flushed and frozen, its frozen image read by this same thread, and
// the volume thawed however the holder ends (return, error, cancel or
// exception: the destructor thaws).
//
// Thread rule: construct, read, report and destroy on one thread. The
// driver serves the frozen image only to the thread that froze the volume,
// and its watchdog ends the snapshot once that thread has ended without
// releasing the mutex (the agent died).
#pragma once

#include "qvd_control.h"

#include <string>

class FrozenVolume {
  public:
    // Throws QvdError: the privilege is not held, the volume cannot be
    // opened, or FreezeVolume did not answer QVD_RESULT_SUCCESS.
    FrozenVolume(QvdControl& Control, const FreezeSettings& Settings);
    ~FrozenVolume();
    FrozenVolume(const FrozenVolume&) = delete;
    FrozenVolume& operator=(const FrozenVolume&) = delete;

    uint32_t Handle() const { return handle_; }
    uint64_t Bytes() const { return bytes_; }
    // The change store of the previous snapshot of the volume ("X:\..."),
    // empty when there was none, and whether it missed writes.
    const std::u16string& PreviousChangeStore() const { return previousStore_; }
    bool PreviousStoreIncomplete() const { return previousIncomplete_; }

    // Reads the frozen image; Length a multiple of the sector size (4096
    // always is), Buffer in this process's memory.
    void Read(uint64_t Offset, void* Buffer, uint32_t Length);
    // Reports that everything below Position has been read; the Status bits.
    uint32_t ReportProgress(uint64_t Position);
    // After the thaw, when the driver has let go of the partial data file:
    // deletes it and returns the size it reached, the room the driver
    // needed for overwritten data (0 when it is gone already).
    uint64_t RemovePartialDataFile();
    // Ends the snapshot; throws when the driver refuses. Once thawed the
    // destructor does nothing more.
    void Thaw();

  private:
    QvdControl& control_;
    std::u16string partialDataFile_;
    HANDLE mutex_ = nullptr;
    HANDLE volume_ = nullptr;
    uint32_t handle_ = 0;
    uint64_t bytes_ = 0;
    std::u16string previousStore_;
    bool previousIncomplete_ = false;
    bool frozen_ = false;
};

// Enables SeBackupPrivilege in the process's token; throws when the account
// does not hold it.
void EnableBackupPrivilege();
// "\\.\C:" for "C:", and a volume GUID path without its final backslash.
std::u16string VolumeDevicePath(const std::u16string& Volume);
// The volume's size in bytes, through an open handle of it.
uint64_t QueryVolumeBytes(HANDLE Volume);
