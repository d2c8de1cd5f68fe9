// bench_machine.h - the emulated machine the benchmarks run on: the driver
// loaded above a volume V: (no file system) and a volume T: with the file
// system, which holds the partial data file and the change store. Both
// volumes have the same timing model, so that every ratio compares two
// paths through one disk. The snapshot of V: is built by hand, as the
// copy-on-write tests build it, so that nothing but the measured path runs.
//
// Host code; everything runs as the System process's initial thread unless
// said otherwise.
#pragma once

#include "io/copy_on_write.h"

#include <chrono>
#include <vector>

// The disk model of both volumes: every request pays the latency, and moves
// its bytes over a channel of the given rate that the volume's requests
// share (see DiskSetTiming).
#define BENCH_LATENCY_US 200u
#define BENCH_BYTES_PER_SECOND (100ull << 20)
#define BENCH_VOLUME_BYTES (1ull << 30)

struct BenchMachine {
    PDRIVER_OBJECT Driver = nullptr;
    PDRIVER_OBJECT FsDriver = nullptr;
    PDEVICE_OBJECT Volume = nullptr; // V:, the volume that is frozen
    PDEVICE_OBJECT Store = nullptr;  // T:, the partial data file's volume
    PDEVICE_OBJECT Filter = nullptr; // the driver's filter device above V:
    FilterExtension* Extension = nullptr;
    SnapshotContext* Snapshot = nullptr; // while frozen
};
extern BenchMachine Bench;

// Starts the kernel, the volumes and the driver / stops them all.
void StartBenchMachine();
void StopBenchMachine();

// Freezes V: by hand (ExtentTable sized as for a snapshot) / ends the snapshot.
void FreezeBench();
void ThawBench();

// Turns the disk model of both volumes on or off (set-up phases run fast).
void SetBenchTiming(bool On);

// A read or write of Device, sent and waited for. Returns its status.
NTSTATUS BenchIo(PDEVICE_OBJECT Device, ULONG Major, PVOID Buffer, ULONG Length,
                 ULONGLONG Offset);
// A write of V: as the filter does it while frozen: preserved first
// (VolumeResource shared), then sent below the filter.
NTSTATUS BenchCowWrite(PVOID Buffer, ULONG Length, ULONGLONG Offset);
// Waits until every preserved piece is in the partial data file.
void BenchWaitForFlushes();
// Stops / resumes the two flush threads.
void HoldBenchFlushes();
void ReleaseBenchFlushes();
// Bytes of live pool of the driver's tags ("Qvd?").
SIZE_T BenchDriverPoolBytes();

// Seconds a callable takes, by the host's steady clock.
template <typename F> double Seconds(F&& Body) {
    auto start = std::chrono::steady_clock::now();
    Body();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
