// index_bench.cpp - the snapshot's bookkeeping: memory per preserved block,
// the reclaim thread's work per GiB of the agent's progress, and the cost
// of a lookup in the ExtentTable as it grows.
#include "bench_machine.h"

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

} // namespace
