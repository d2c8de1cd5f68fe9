// ex/exp.h - emulation-only interface of the executive: pool accounting, the
// pool leak check and pool fault injection.
//
// Host code (tests, the machine harness, other emulation components) calls
// these; a driver never does. All routines are thread-safe and may be called
// at any IRQL.
#pragma once

#include "ntddk.h"

#include <string>
#include <vector>

// Bug check for a corrupted pool block (its guard bytes were overwritten).
#ifndef BAD_POOL_HEADER
#define BAD_POOL_HEADER 0x00000019
#endif

// ---------------------------------------------------------------------------
// Accounting
// ---------------------------------------------------------------------------

// Live blocks of one tag, by base pool type (the cache-aligned types count
// with their base type).
struct ExpPoolTagUsage {
    ULONG Tag;
    ULONG NonPagedBlocks;
    SIZE_T NonPagedBytes; // bytes the callers asked for, without guards
    ULONG PagedBlocks;
    SIZE_T PagedBytes;
};

// Live blocks and bytes of Tag (all zero when none are live).
ExpPoolTagUsage ExpQueryPoolTag(ULONG Tag);

// Every tag with at least one live block, ordered by tag value.
std::vector<ExpPoolTagUsage> ExpListPoolTags();

// The tag as the platform's tools show it ("QvdA"); bytes that are not
// printable show as '?'.
std::string ExpFormatPoolTag(ULONG Tag);

// Bug-checks (DRIVER_VERIFIER_DETECTED_VIOLATION, rule "pool leaked ...")
// when a block is still live whose tag matches: (tag & Mask) == (Tag & Mask).
// The defaults check every tag. The rule names the first leaking tag, its
// block count and bytes; every leaking tag is listed on stderr before it.
void ExpVerifyNoPoolLeaks(ULONG Tag = 0, ULONG Mask = 0);

// ---------------------------------------------------------------------------
// Fault injection
//
// A failed allocation returns NULL, as when the pool is exhausted. The tag
// mode applies to its tag only; the other modes apply to the allocations in
// scope (every allocation unless ExpSetPoolFaultScope narrowed it). Modes
// combine: an allocation fails when any active mode says so.
// ---------------------------------------------------------------------------

// Count for ExpFailPoolTag that never runs out.
#define EXP_FAIL_ALWAYS MAXULONG

// Fails the next Count allocations with Tag (EXP_FAIL_ALWAYS: all of them).
// Count 0 stops failing that tag.
void ExpFailPoolTag(ULONG Tag, ULONG Count);

// Fails every Nth allocation in scope, counting from this call (the Nth,
// 2Nth, ...). N 0 stops the mode.
void ExpFailPoolEveryNth(ULONG N);

// Fails each allocation in scope with the given probability (0.0 - 1.0),
// drawn from a generator seeded with Seed: the same seed and the same
// sequence of allocations fail the same allocations. Probability 0 stops it.
void ExpFailPoolRandom(ULONG64 Seed, double Probability);

// Fails the Nth allocation in scope from now (N >= 1), once. Fault sweeps
// call it with 1, 2, ... in turn. N 0 cancels a pending one.
void ExpFailPoolNthFromNow(ULONG N);

// Limits the counted modes (every Nth, random, Nth from now) and the
// allocation counter to tags with (tag & Mask) == (Tag & Mask). Mask 0
// (the default) means every allocation.
void ExpSetPoolFaultScope(ULONG Tag, ULONG Mask);

// Stops every mode, restores the scope to every allocation and zeroes the
// counters.
void ExpResetPoolFaults();

// Starts counting allocation attempts in scope from zero.
void ExpMarkPoolAllocations();

// Allocation attempts in scope since the last mark (failed ones included).
// A sweep that failed the Nth allocation has covered every site once this
// stays below N.
ULONG64 ExpPoolAllocationsSinceMark();

// Allocations failed by injection since the last reset.
ULONG64 ExpPoolInjectedFailures();

// Called by the pool for each allocation attempt: TRUE when it must fail.
BOOLEAN ExpShouldFailAllocation(ULONG Tag);

// Charges and returns blocks to the per-tag accounting; BaseType is
// NonPagedPool or PagedPool. Called by the pool only.
void ExpChargePoolTag(ULONG Tag, POOL_TYPE BaseType, SIZE_T Bytes);
void ExpReturnPoolTag(ULONG Tag, POOL_TYPE BaseType, SIZE_T Bytes);

// Bug-checks when an initialised resource lies in [Start, Start + Size):
// memory holding a resource must not be freed before ExDeleteResourceLite.
// Called by the pool for each block it frees.
void ExpCheckNoResourceIn(const void* Start, SIZE_T Size, const void* Caller);

// Forgets resources recorded in [Start, Start + Size): memory that was just
// allocated holds none. A resource in memory freed without the pool (an object
// of a device abandoned when the machine powered off) leaves a stale record
// that must not later be taken for a live resource at the same address.
void ExpForgetResourcesIn(const void* Start, SIZE_T Size);
