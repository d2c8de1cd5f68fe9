// ex/poolfault.cpp - pool fault injection: decides which allocations fail.
//
// Host-side; consulted by every pool allocation, at any IRQL.
#include "ntos/ex/exp.h"

#include <map>
#include <mutex>
#include <random>

namespace {

// Every field guarded by Lock.
struct ExpFaultState {
    std::mutex Lock;
    std::map<ULONG, ULONG> TagFailures; // tag -> failures left (EXP_FAIL_ALWAYS: unlimited)
    ULONG ScopeTag = 0;
    ULONG ScopeMask = 0;          // 0: every allocation is in scope
    ULONG EveryNth = 0;           // 0: mode off
    ULONG64 EveryNthCount = 0;    // in-scope allocations since ExpFailPoolEveryNth
    double Probability = 0.0;     // 0: random mode off
    std::mt19937_64 Random;       // seeded by ExpFailPoolRandom
    ULONG64 NthFromNowTarget = 0; // value of Attempts whose allocation fails; 0: none pending
    ULONG64 Attempts = 0;         // in-scope allocations since the reset (never reset by a mark)
    ULONG64 MarkAttempts = 0;     // Attempts at the last mark
    ULONG64 Injected = 0;         // allocations failed since the reset
};

ExpFaultState& State() {
    static ExpFaultState* state = new ExpFaultState;
    return *state;
}

} // namespace

void ExpFailPoolTag(ULONG Tag, ULONG Count) {
    ExpFaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    if (Count == 0) {
        s.TagFailures.erase(Tag);
    } else {
        s.TagFailures[Tag] = Count;
    }
}

void ExpFailPoolEveryNth(ULONG N) {
    ExpFaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.EveryNth = N;
    s.EveryNthCount = 0;
}

void ExpFailPoolRandom(ULONG64 Seed, double Probability) {
    ExpFaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Probability = Probability;
    s.Random.seed(Seed);
}

void ExpFailPoolNthFromNow(ULONG N) {
    ExpFaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.NthFromNowTarget = N == 0 ? 0 : s.Attempts + N;
}

void ExpSetPoolFaultScope(ULONG Tag, ULONG Mask) {
    ExpFaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.ScopeTag = Tag;
    s.ScopeMask = Mask;
}

void ExpResetPoolFaults() {
    ExpFaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.TagFailures.clear();
    s.ScopeTag = 0;
    s.ScopeMask = 0;
    s.EveryNth = 0;
    s.EveryNthCount = 0;
    s.Probability = 0.0;
    s.NthFromNowTarget = 0;
    s.Attempts = 0;
    s.MarkAttempts = 0;
    s.Injected = 0;
}

void ExpMarkPoolAllocations() {
    ExpFaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.MarkAttempts = s.Attempts;
}

ULONG64 ExpPoolAllocationsSinceMark() {
    ExpFaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.Attempts - s.MarkAttempts;
}

ULONG64 ExpPoolInjectedFailures() {
    ExpFaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.Injected;
}

BOOLEAN ExpShouldFailAllocation(ULONG Tag) {
    ExpFaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    bool fail = false;
    auto it = s.TagFailures.find(Tag);
    if (it != s.TagFailures.end()) {
        fail = true;
        if (it->second != EXP_FAIL_ALWAYS && --it->second == 0) {
            s.TagFailures.erase(it);
        }
    }
    if ((Tag & s.ScopeMask) == (s.ScopeTag & s.ScopeMask)) {
        ++s.Attempts;
        if (s.EveryNth != 0 && ++s.EveryNthCount % s.EveryNth == 0) {
            fail = true;
        }
        // The generator advances on every in-scope allocation, failed or not,
        // so one seed gives one sequence of decisions.
        if (s.Probability > 0.0 &&
            static_cast<double>(s.Random() >> 11) * 0x1.0p-53 < s.Probability) {
            fail = true;
        }
        if (s.NthFromNowTarget != 0 && s.Attempts == s.NthFromNowTarget) {
            s.NthFromNowTarget = 0;
            fail = true;
        }
    }
    if (fail) {
        ++s.Injected;
    }
    return fail ? TRUE : FALSE;
}
