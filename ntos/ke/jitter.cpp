// ke/jitter.cpp - seeded scheduling jitter for race tests.
//
// Off by default. When on, a thread that reaches a point of contention (a
// wait, an event signal, a spin lock or resource acquisition, a request sent
// or completed) sometimes yields or sleeps a few microseconds, so that
// lifecycle races meet different interleavings from run to run. Each thread
// draws from its own generator, seeded with the jitter's seed and the order
// in which the thread first drew, so a seed picks a family of schedules.
#include "ntos/ke/ki.h"
#include "ntos/ke/kernel.h"

#include <chrono>
#include <random>
#include <thread>

namespace {

// Settings; written together by KiSetSchedulingJitter, read without a lock
// (a thread seeing a mix of old and new settings only jitters differently).
std::atomic<ULONG> KipJitterPercent{0};
std::atomic<ULONG> KipJitterMaxMicroseconds{0};
std::atomic<ULONG64> KipJitterSeed{0};
// Incremented by each KiSetSchedulingJitter: threads reseed on a change.
std::atomic<ULONG> KipJitterGeneration{0};
std::atomic<ULONG> KipJitterThreads{0}; // threads that drew since the last change

struct KIP_JITTER_STATE {
    ULONG Generation = ~0u;
    std::minstd_rand Random;
};
thread_local KIP_JITTER_STATE KipJitterState;

} // namespace

void KiSetSchedulingJitter(ULONG64 Seed, ULONG PercentChance, ULONG MaxMicroseconds) {
    KipJitterSeed.store(Seed);
    KipJitterMaxMicroseconds.store(MaxMicroseconds);
    KipJitterThreads.store(0);
    KipJitterGeneration.fetch_add(1);
    KipJitterPercent.store(PercentChance > 100 ? 100 : PercentChance);
}

void KiJitter() {
    const ULONG percent = KipJitterPercent.load(std::memory_order_relaxed);
    if (percent == 0) {
        return;
    }
    KIP_JITTER_STATE& state = KipJitterState;
    const ULONG generation = KipJitterGeneration.load();
    if (state.Generation != generation) {
        state.Generation = generation;
        const ULONG64 order = KipJitterThreads.fetch_add(1);
        state.Random.seed(static_cast<std::minstd_rand::result_type>(
            (KipJitterSeed.load() * 0x9E3779B97F4A7C15ull + order) % 0x7FFFFFFFu + 1));
    }
    if (state.Random() % 100 >= percent) {
        return;
    }
    const ULONG most = KipJitterMaxMicroseconds.load(std::memory_order_relaxed);
    const ULONG micro = most == 0 ? 0 : static_cast<ULONG>(state.Random() % (most + 1));
    if (micro == 0) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::microseconds(micro));
    }
}
