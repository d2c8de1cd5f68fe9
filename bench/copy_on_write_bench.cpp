// copy_on_write_bench.cpp - what a snapshot costs the volume's writers and
// the agent's reads, each as a ratio of two paths timed in turn, request by
// request, on the same disk model: the baseline's time over the measured
// path's time, so 1.0 means no cost and 0.5 half the speed.
#include "bench_machine.h"
#include "ntos/disk/disk.h"
#include "support/change_store.h"

#include <benchmark/benchmark.h>

namespace {

constexpr ULONG IoBytes = 64u << 10; // one request: a whole block of 512-byte sectors
constexpr int Requests = 200;

std::vector<UCHAR>& Data() {
    static std::vector<UCHAR> data(IoBytes, 0x5A);
    return data;
}

ULONGLONG BlockOffset(ULONGLONG Block) {
    return Block * IoBytes;
}

// Times Base and Measured in turn, Requests times each, and reports the
// ratio of their totals against the physical bound.
template <typename B, typename M>
void CompareInTurn(benchmark::State& State, double Bound, B&& Base, M&& Measured) {
    double base = 0, measured = 0;
    for (auto _ : State) {
        for (int i = 0; i < Requests; i++) {
            base += Seconds([&] { Base(i); });
            measured += Seconds([&] { Measured(i); });
        }
        State.SetIterationTime(base + measured);
    }
    State.counters["base_us"] = base / Requests * 1e6;
    State.counters["measured_us"] = measured / Requests * 1e6;
    State.counters["ratio"] = base / measured;
    State.counters["bound"] = Bound;
}

void LowerWrite(ULONGLONG Block) {
    BenchIo(Bench.Volume, IRP_MJ_WRITE, Data().data(), IoBytes, BlockOffset(Block));
}

void LowerRead(ULONGLONG Block) {
    std::vector<UCHAR> buffer(IoBytes);
    BenchIo(Bench.Volume, IRP_MJ_READ, buffer.data(), IoBytes, BlockOffset(Block));
}

// Preserves blocks [0, Requests) with the disk model off.
void PreserveFirstBlocks() {
    SetBenchTiming(false);
    for (int i = 0; i < Requests; i++) {
        BenchCowWrite(Data().data(), IoBytes, BlockOffset(i));
    }
    SetBenchTiming(true);
}

// A write of a block not yet preserved: the old data is read first. Bound:
// the write waits for one read of the same size.
void FirstOverwrite(benchmark::State& State) {
    FreezeBench();
    CompareInTurn(
        State, 0.5, [](int i) { LowerWrite(2 * i); },
        [](int i) { BenchCowWrite(Data().data(), IoBytes, BlockOffset(2 * i + 1)); });
    ThawBench();
}
BENCHMARK(FirstOverwrite)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// A write of a block already preserved: nothing is read.
void PreservedRewrite(benchmark::State& State) {
    FreezeBench();
    PreserveFirstBlocks();
    BenchWaitForFlushes();
    CompareInTurn(
        State, 1.0, [](int i) { LowerWrite(i); },
        [](int i) { BenchCowWrite(Data().data(), IoBytes, BlockOffset(i)); });
    ThawBench();
}
BENCHMARK(PreservedRewrite)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The agent's read of the frozen image against a live read of the same
// block: untouched (served from the volume), preserved and still in memory,
// preserved and flushed to the partial data file.
enum FrozenSource { Untouched, InMemory, InFile };

void FrozenRead(benchmark::State& State) {
    auto source = (FrozenSource)State.range(0);
    FreezeBench();
    if (source == InMemory) {
        HoldBenchFlushes();
    }
    if (source != Untouched) {
        PreserveFirstBlocks();
    }
    if (source == InFile) {
        BenchWaitForFlushes();
    }
    CompareInTurn(State, 1.0, [](int i) { LowerRead(i); },
                  [](int i) {
                      std::vector<UCHAR> buffer(IoBytes);
                      BenchIo(Bench.Filter, IRP_MJ_READ, buffer.data(), IoBytes, BlockOffset(i));
                  });
    ReleaseBenchFlushes();
    ThawBench();
}
BENCHMARK(FrozenRead)
    ->ArgName("source")
    ->Arg(Untouched)
    ->Arg(InMemory)
    ->Arg(InFile)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Writers through the filter with no snapshot, with a change store that
// logs every write against none. Blocks are spread over the volume so that
// the bits land on many pages of the store.
void ChangeStoreLogging(benchmark::State& State) {
    ChangeStore* store = &Bench.Extension->ChangeStores[0];
    if (ChangeStoreCreate(store, u"T:\\changes.bin", BENCH_VOLUME_BYTES) != 0) {
        State.SkipWithError("no change store");
        return;
    }
    auto spread = [](int i) { return BlockOffset((ULONGLONG)i * 7919 % (BENCH_VOLUME_BYTES / IoBytes)); };
    CompareInTurn(
        State, 1.0,
        [&](int i) {
            SetPreviousChangeStore(Bench.Extension, nullptr);
            BenchIo(Bench.Filter, IRP_MJ_WRITE, Data().data(), IoBytes, spread(i));
        },
        [&](int i) {
            SetPreviousChangeStore(Bench.Extension, store);
            BenchIo(Bench.Filter, IRP_MJ_WRITE, Data().data(), IoBytes, spread(i));
        });
    ChangeStoreDrain(store);
    SetPreviousChangeStore(Bench.Extension, nullptr);
    ChangeStoreClose(store);
}
BENCHMARK(ChangeStoreLogging)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
