// cow_fixture.h - a frozen volume for the copy-on-write pieces: the driver
// loaded, its filter device above an emulated volume V: (no file system),
// a snapshot of V: built by hand with its partial data file on a second
// volume T: that carries the file system, and helpers that write, read the
// frozen image and hold back the flush queue.
//
// Host test code; test bodies run as the System process's initial thread.
#pragma once

#include "driver/support/test_threads.h"
#include "io/copy_on_write.h"

#include <vector>

class CopyOnWriteTest : public DriverTest {
  public:
    // Boots the driver above V: and freezes it by hand.
    void SetUp() override;
    void TearDown() override;

    // Overwrites Length bytes at Offset with Fill as a write through the
    // filter would: preserved first (VolumeResource shared), then written to
    // the volume below. Returns PreserveWrite's status.
    NTSTATUS Overwrite(ULONGLONG Offset, ULONG Length, UCHAR Fill);
    // Reads the frozen image through the filter device as the owner would;
    // *Bytes gets the byte count. Returns the read's status.
    NTSTATUS FrozenRead(ULONGLONG Offset, std::vector<UCHAR>& Buffer, ULONG_PTR* Bytes = nullptr);
    // The image as it was at the freeze, [Offset, Offset + Length).
    std::vector<UCHAR> Image(ULONGLONG Offset, ULONG Length) const;
    // Waits until every preserved piece is in the partial data file.
    void WaitForFlushes();
    // Stops the two flush threads until ReleaseFlushQueue (queued flushes wait).
    void HoldFlushQueue();
    void ReleaseFlushQueue();
    // Pieces of the block of Sector as (sector offset, count, in memory).
    struct PieceView {
        ULONG Offset;
        ULONG Count;
        bool InMemory;
        bool operator==(const PieceView&) const = default;
    };
    std::vector<PieceView> Pieces(ULONGLONG Sector);
    // Reads of V: below the filter since the last call.
    ULONGLONG VolumeReadsSince();

    PDRIVER_OBJECT Driver = nullptr;
    PDRIVER_OBJECT FsDriver = nullptr;
    PDEVICE_OBJECT Volume = nullptr; // V:, the frozen volume
    PDEVICE_OBJECT Store = nullptr;  // T:, holds the partial data file
    PDEVICE_OBJECT Filter = nullptr;
    FilterExtension* Extension = nullptr;
    SnapshotContext* Snapshot = nullptr;
    ULONG SectorSize = 512;
    std::vector<UCHAR> FreezeImage; // V: at the freeze

    // Removes the filter device (and V: with it); returns once removed.
    void RemoveFilter();
    // Ends the snapshot built by SetUp.
    void ThawByHand();

  private:
    KEVENT FlushGate;
    KEVENT FlushersParked;
    LONG Parked = 0;
    WorkItem Blockers[2] = {};
    ULONGLONG ReadsSeen = 0;
};

// The sectors of the test volume V: (8 MiB) and its byte size.
#define COW_VOLUME_BYTES (8ull << 20)
