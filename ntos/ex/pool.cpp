// ex/pool.cpp - paged and nonpaged pool: tagged blocks with guards.
//
// Kernel mode, IRQL <= DISPATCH_LEVEL (paged pool <= APC_LEVEL).
//
// Each block is a host allocation laid out as
//     [front guard: Alignment bytes][caller's bytes][back guard: 16 bytes]
// The block's record (tag, type, size, state) is kept apart from the memory,
// in a table keyed by the caller's address, so a wild write cannot forge it
// and freeing an address that is not a block is recognised without reading
// memory around it. Guards are checked when the block is freed. A freed block
// stays in a bounded quarantine, so that freeing it again is told apart from
// freeing memory that never was pool; under AddressSanitizer its bytes are
// poisoned there, so a use after free is reported too.
#include "ntos/ex/exp.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/lock_order.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define EXP_POISON(p, n) __asan_poison_memory_region((p), (n))
#define EXP_UNPOISON(p, n) __asan_unpoison_memory_region((p), (n))
#else
#define EXP_POISON(p, n) ((void)(p), (void)(n))
#define EXP_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

// BAD_POOL_CALLER first parameters, as the platform reports them.
constexpr ULONG_PTR kFreedTwice = 0x07;
constexpr ULONG_PTR kAllocateAtBadIrql = 0x08;
constexpr ULONG_PTR kFreeAtBadIrql = 0x09;
constexpr ULONG_PTR kTagMismatch = 0x0A;
constexpr ULONG_PTR kNotPool = 0x46;
constexpr ULONG_PTR kMustSucceed = 0x9A;
constexpr ULONG_PTR kBadPoolType = 0x9B;

constexpr SIZE_T kAlignment = 16;
constexpr SIZE_T kCacheAlignment = 64;
constexpr SIZE_T kBackGuard = 16;
constexpr UCHAR kGuardFill = 0xFB;
constexpr UCHAR kFreshFill = 0xCD; // new blocks are not zeroed, as on the platform
constexpr UCHAR kFreedFill = 0xFD;

// Freed blocks kept to recognise a second free: at most this many, at most
// this many bytes.
constexpr size_t kQuarantineBlocks = 4096;
constexpr SIZE_T kQuarantineBytes = 64u << 20;

enum class BlockState { Live, Freed };

// The record of one block. Guarded by ExpPool::Lock.
struct ExpPoolBlock {
    UCHAR* HostBase;   // start of the host allocation (the front guard)
    SIZE_T FrontGuard; // bytes before the caller's address (the alignment)
    SIZE_T Size;       // bytes the caller asked for
    ULONG Tag;
    POOL_TYPE BaseType; // NonPagedPool or PagedPool
    BlockState State;
};

struct ExpPool {
    std::mutex Lock;
    std::unordered_map<const void*, ExpPoolBlock> Blocks; // keyed by the caller's address
    std::deque<const void*> Quarantine;                   // freed blocks, oldest first
    SIZE_T QuarantineBytes = 0;
};

ExpPool& Pool() {
    // Never destroyed: blocks may be freed by threads that outlive static
    // destruction, and the leak checker must see live blocks as reachable.
    static ExpPool* pool = new ExpPool;
    return *pool;
}

bool GuardIntact(const UCHAR* p, SIZE_T n) {
    for (SIZE_T i = 0; i < n; ++i) {
        if (p[i] != kGuardFill) {
            return false;
        }
    }
    return true;
}

// Returns the oldest quarantined blocks to the host. Pool lock held.
void TrimQuarantineLocked(ExpPool& pool) {
    while (!pool.Quarantine.empty() && (pool.Quarantine.size() > kQuarantineBlocks ||
                                        pool.QuarantineBytes > kQuarantineBytes)) {
        auto it = pool.Blocks.find(pool.Quarantine.front());
        pool.Quarantine.pop_front();
        ExpPoolBlock& block = it->second;
        SIZE_T total = block.FrontGuard + block.Size + kBackGuard;
        pool.QuarantineBytes -= block.Size;
        EXP_UNPOISON(block.HostBase, total);
        std::free(block.HostBase);
        pool.Blocks.erase(it);
    }
}

// Checks the pool type and the IRQL for an allocation or a free; returns the
// base type.
POOL_TYPE CheckTypeAndIrql(POOL_TYPE PoolType, bool Allocating, SIZE_T Size, const void* Address,
                           const void* Caller) {
    if (PoolType == NonPagedPoolMustSucceed || PoolType == 6 /* cache-aligned must-succeed */) {
        VfBugCheck(BAD_POOL_CALLER, "must-succeed pool is not supported", Caller, kMustSucceed,
                   PoolType, Size);
    }
    if (PoolType != NonPagedPool && PoolType != PagedPool && PoolType != NonPagedPoolCacheAligned &&
        PoolType != PagedPoolCacheAligned) {
        VfBugCheck(BAD_POOL_CALLER, "pool type is not supported", Caller, kBadPoolType, PoolType,
                   Size);
    }
    POOL_TYPE base = (PoolType & 1) ? PagedPool : NonPagedPool;
    KIRQL irql = KeGetCurrentIrql();
    KIRQL limit = base == PagedPool ? APC_LEVEL : DISPATCH_LEVEL;
    if (irql > limit) {
        if (Allocating) {
            VfBugCheck(BAD_POOL_CALLER,
                       base == PagedPool ? "paged pool allocated at DISPATCH_LEVEL or above"
                                         : "nonpaged pool allocated above DISPATCH_LEVEL",
                       Caller, kAllocateAtBadIrql, irql, PoolType, Size);
        }
        VfBugCheck(BAD_POOL_CALLER,
                   base == PagedPool ? "paged pool freed at DISPATCH_LEVEL or above"
                                     : "nonpaged pool freed above DISPATCH_LEVEL",
                   Caller, kFreeAtBadIrql, irql, PoolType, reinterpret_cast<ULONG_PTR>(Address));
    }
    return base;
}

PVOID AllocateBlock(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, const void* Caller) {
    POOL_TYPE base = CheckTypeAndIrql(PoolType, true, NumberOfBytes, nullptr, Caller);
    if (ExpShouldFailAllocation(Tag)) {
        return nullptr;
    }
    SIZE_T align = (PoolType == NonPagedPoolCacheAligned || PoolType == PagedPoolCacheAligned)
                       ? kCacheAlignment
                       : kAlignment;
    if (NumberOfBytes > SIZE_MAX / 2 - align - kBackGuard) {
        return nullptr;
    }
    SIZE_T total = align + NumberOfBytes + kBackGuard;
    SIZE_T rounded = (total + align - 1) / align * align;
    auto* host = static_cast<UCHAR*>(std::aligned_alloc(align, rounded));
    if (host == nullptr) {
        return nullptr;
    }
    UCHAR* user = host + align;
    std::memset(host, kGuardFill, align);
    std::memset(user, kFreshFill, NumberOfBytes);
    std::memset(user + NumberOfBytes, kGuardFill, kBackGuard);
    {
        ExpPool& pool = Pool();
        std::lock_guard<std::mutex> guard(pool.Lock);
        // A quarantined block never shares an address with a live one, so the
        // key is free.
        pool.Blocks[user] = ExpPoolBlock{host, align, NumberOfBytes, Tag, base, BlockState::Live};
    }
    EXP_POISON(host, align);
    EXP_POISON(user + NumberOfBytes, kBackGuard);
    ExpForgetResourcesIn(user, NumberOfBytes);
    ExpChargePoolTag(Tag, base, NumberOfBytes);
    return user;
}

// Frees P; when CheckTag is set, P must carry Tag. A bug check ends the
// process, so it may be raised with the pool lock held.
void FreeBlock(PVOID P, bool CheckTag, ULONG Tag, const void* Caller) {
    ExpPool& pool = Pool();
    std::unique_lock<std::mutex> guard(pool.Lock);
    auto it = pool.Blocks.find(P);
    if (it == pool.Blocks.end()) {
        VfBugCheck(BAD_POOL_CALLER, "freed memory that is not a pool block", Caller, kNotPool,
                   reinterpret_cast<ULONG_PTR>(P));
    }
    ExpPoolBlock& block = it->second;
    if (block.State == BlockState::Freed) {
        VfBugCheck(BAD_POOL_CALLER, "pool block freed twice", Caller, kFreedTwice, block.Tag, 0,
                   reinterpret_cast<ULONG_PTR>(P));
    }
    if (CheckTag && block.Tag != Tag) {
        VfBugCheck(BAD_POOL_CALLER, "pool block freed with a tag it was not allocated with", Caller,
                   kTagMismatch, reinterpret_cast<ULONG_PTR>(P), Tag, block.Tag);
    }
    CheckTypeAndIrql(block.BaseType, false, block.Size, P, Caller);
    ExpCheckNoResourceIn(P, block.Size, Caller);
    VfLockForgetRange(P, block.Size, Caller);
    UCHAR* user = static_cast<UCHAR*>(P);
    EXP_UNPOISON(block.HostBase, block.FrontGuard);
    EXP_UNPOISON(user + block.Size, kBackGuard);
    if (!GuardIntact(block.HostBase, block.FrontGuard) ||
        !GuardIntact(user + block.Size, kBackGuard)) {
        VfBugCheck(BAD_POOL_HEADER, "pool block overrun: its guard bytes were overwritten", Caller,
                   reinterpret_cast<ULONG_PTR>(P), block.Size, block.Tag);
    }
    block.State = BlockState::Freed;
    std::memset(user, kFreedFill, block.Size);
    EXP_POISON(block.HostBase, block.FrontGuard + block.Size + kBackGuard);
    ULONG tag = block.Tag;
    POOL_TYPE base = block.BaseType;
    SIZE_T size = block.Size;
    pool.QuarantineBytes += size;
    pool.Quarantine.push_back(P);
    TrimQuarantineLocked(pool);
    guard.unlock();
    ExpReturnPoolTag(tag, base, size);
}

} // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return AllocateBlock(PoolType, NumberOfBytes, Tag, VF_CALLER());
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return AllocateBlock(PoolType, NumberOfBytes, EX_DEFAULT_POOL_TAG, VF_CALLER());
}

VOID ExFreePool(PVOID P) {
    FreeBlock(P, false, 0, VF_CALLER());
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    FreeBlock(P, true, Tag, VF_CALLER());
}
