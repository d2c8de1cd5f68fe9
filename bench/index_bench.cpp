// index_bench.cpp - the snapshot's bookkeeping: memory per preserved block,
// the reclaim thread's work per GiB of the agent's progress, and the cost
// of a lookup in the ExtentTable as it grows.
#include "bench_machine.h"
#include "ntos/mm/user_memory.h"
#include "ntos/ps/psp.h"
#include "snapshot/qvdapi.h"

#include <benchmark/benchmark.h>

#include <random>

namespace {

constexpr ULONGLONG VolumeBlocks = BENCH_VOLUME_BYTES >> (EXTENT_BLOCK_SHIFT + 9);

// One sector preserved in every block of the volume (the most blocks for
// the least data), flushed; then the reclaim of the whole volume, as after
// the agent reported it has read all of it.
void ReclaimPerGiB(benchmark::State& State) {
    SetBenchTiming(false);
    FreezeBench();
    SIZE_T before = BenchDriverPoolBytes();
    AcquireVolumeLock(Bench.Extension, FALSE);
    for (ULONGLONG block = 0; block < VolumeBlocks; block++) {
        PreserveWrite(Bench.Extension, nullptr, block << (EXTENT_BLOCK_SHIFT + 9), 512);
    }
    ReleaseVolumeLock(Bench.Extension, PsGetCurrentThread());
    BenchWaitForFlushes();
    SIZE_T after = BenchDriverPoolBytes();

    double seconds = 0;
    for (auto _ : State) {
        AcquireVolumeLock(Bench.Extension, FALSE);
        seconds = Seconds([] { ReclaimBlocks(Bench.Extension, VolumeBlocks); });
        ReleaseVolumeLock(Bench.Extension, PsGetCurrentThread());
        State.SetIterationTime(seconds);
    }
    State.counters["bytes_per_block"] = (double)(after - before) / VolumeBlocks;
    State.counters["reclaim_ms_per_GiB"] = seconds * 1e3 * (double)(1ull << 30) / BENCH_VOLUME_BYTES;
    ThawBench();
    SetBenchTiming(true);
}
BENCHMARK(ReclaimPerGiB)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Lookups of random preserved blocks (shared bucket lock, chain walk) with
// 10^3 to 10^6 blocks in the table, which keeps its snapshot-time bucket
// count.
void LookupGrowth(benchmark::State& State) {
    FreezeBench();
    constexpr int lookups = 200000;
    std::mt19937_64 random(42);
    ULONGLONG blocks = 0;
    double first = 0, last = 0;
    for (auto _ : State) {
        for (ULONGLONG target = 1000; target <= 1000000; target *= 10) {
            for (; blocks < target; blocks++) {
                HashBucket* bucket = nullptr;
                ULONG_PTR handle = 0;
                FindExtentEntry(Bench.Snapshot, blocks << EXTENT_BLOCK_SHIFT, TRUE, &bucket,
                                &handle);
                HashTableUnlockBucket(Bench.Snapshot->ExtentTable, bucket, handle);
            }
            double seconds = Seconds([&] {
                for (int i = 0; i < lookups; i++) {
                    HashBucket* bucket = nullptr;
                    ULONG_PTR handle = 0;
                    ULONGLONG block = random() % blocks;
                    benchmark::DoNotOptimize(FindExtentEntry(
                        Bench.Snapshot, block << EXTENT_BLOCK_SHIFT, FALSE, &bucket, &handle));
                    HashTableUnlockBucket(Bench.Snapshot->ExtentTable, bucket, handle);
                }
            });
            double ns = seconds / lookups * 1e9;
            State.counters["ns_at_" + std::to_string(target)] = ns;
            first = first == 0 ? ns : first;
            last = ns;
        }
        State.SetIterationTime(last * lookups / 1e9);
    }
    State.counters["growth"] = last / first;
    State.counters["buckets"] = ExtentBucketCount();
    ThawBench();
}
BENCHMARK(LookupGrowth)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// ReadExtentList of 10^5 flushed extents in one call, into the array of a
// user process as the agent asks for it (the list walks every bucket).
void ReadExtentListOf100k(benchmark::State& State) {
    constexpr ULONG extents = 100000;
    SetBenchTiming(false);
    FreezeBench();
    AcquireVolumeLock(Bench.Extension, FALSE);
    for (ULONG i = 0; i < extents; i++) {
        // Every other sector: pieces that never touch.
        PreserveWrite(Bench.Extension, nullptr, (ULONGLONG)i * 2 * 512, 512);
    }
    ReleaseVolumeLock(Bench.Extension, PsGetCurrentThread());
    BenchWaitForFlushes();
    ChangeVolumeFlags(Bench.Extension, VOLUME_EXTENT_LIST, 0);

    PEPROCESS agent = nullptr;
    PVOID array = nullptr;
    SIZE_T size = extents * sizeof(QvdPreservedExtent);
    if (!NT_SUCCESS(PspCreateProcess(u"agent.exe", &agent))) {
        State.SkipWithError("no agent process");
        return;
    }
    if (!NT_SUCCESS(MmpCreateUserAddressSpace(agent)) ||
        !NT_SUCCESS(MmpAllocateUserMemory(agent, &array, &size, MEM_RESERVE | MEM_COMMIT,
                                          PAGE_READWRITE))) {
        State.SkipWithError("no user memory");
        return;
    }
    KeAttachProcess(&agent->Pcb);
    QvdExtentListRequest request = {};
    request.VolumeHandle = Bench.Extension->VolumeHandle;
    request.ArraySize = (uint32_t)size;
    request.Array = (uint32_t)(ULONG_PTR)array;
    for (auto _ : State) {
        request.Cursor = 0;
        ULONG_PTR information = 0;
        State.SetIterationTime(Seconds(
            [&] { ReadExtentList(&request, sizeof(request), sizeof(request), &information); }));
    }
    if (request.Result != QVD_RESULT_SUCCESS || request.Count != extents) {
        State.SkipWithError("ReadExtentList did not return every extent");
    }
    KeDetachProcess();
    MmpDeleteUserAddressSpace(agent);
    PspTerminateProcess(agent, STATUS_SUCCESS);
    ObDereferenceObject(agent);
    ChangeVolumeFlags(Bench.Extension, 0, VOLUME_EXTENT_LIST);
    ThawBench();
    SetBenchTiming(true);
}
BENCHMARK(ReadExtentListOf100k)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
